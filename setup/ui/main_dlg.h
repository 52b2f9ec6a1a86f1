// The hidden main dialog: the window that worker threads report to. Closing
// it ends the message loop with the command identifier as exit code.
#pragma once

#include <string>

#include "dialog_base.h"

namespace zan {

class CMainDlg : public DialogBase {
 public:
  CMainDlg() = default;
  ~CMainDlg() override;

  HWND Create() { return DialogBase::Create(kTemplate, nullptr); }
  void Start(const std::wstring& commandLine, const std::wstring& productName,
             const std::wstring& productVersion);

  static const int kTemplate;

 protected:
  bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

 private:
  void OnCommand(int id);

  std::wstring commandLine_;
  std::wstring productName_;
  std::wstring productVersion_;
};

}  // namespace zan
