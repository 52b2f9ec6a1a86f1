// The install path dialog: shows the folder the product goes into, lets the
// user pick another one with the folder browser, and accepts or cancels.
#pragma once

#include <string>

#include "dialog_base.h"
#include "messages.h"

namespace zan {

class CI18N;

class CPathSelectDlg : public DialogBase {
 public:
  CPathSelectDlg(IDownloadCallback* callback, HWND mainWindow)
      : callback_(callback), mainWindow_(mainWindow) {}

  HWND Create() { return DialogBase::Create(kTemplate, nullptr); }
  void SetPath(const std::wstring& folder);
  void ApplyLanguage(CI18N* strings);
  const std::wstring& folder() const { return folder_; }

  static const int kTemplate;

 protected:
  bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

 private:
  void OnInitDialog();
  void OnBrowse();
  void OnNext();
  void OnCancel();

  IDownloadCallback* callback_;
  HWND folderField_ = nullptr;
  HWND browseButton_ = nullptr;
  HWND nextButton_ = nullptr;
  HWND cancelButton_ = nullptr;
  std::wstring folder_;
  HWND mainWindow_;
};

}  // namespace zan
