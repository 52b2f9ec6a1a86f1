// The conflicting process dialog: lists the product's programs running from
// the install folder and lets the user end them, check again, or quit.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "dialog_base.h"

namespace zan {

class CI18N;

class CConflictProcessDlg : public DialogBase {
 public:
  void Init(const std::vector<std::wstring>& names, CI18N* strings, const std::wstring& installFolder);
  INT_PTR Run() { return DoModal(kTemplate, nullptr); }
  bool cancelled() const { return cancelled_ != 0; }
  bool ScanConflicts();

  static const int kTemplate;

 protected:
  bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

 private:
  void OnInitDialog();
  void FillList();
  void OnRetry();
  void OnTerminate();
  void OnCancel();
  std::wstring Text(const wchar_t* key) const;

  std::vector<std::wstring> names_;
  std::map<DWORD, std::wstring> found_;
  CI18N* strings_ = nullptr;
  HWND processList_ = nullptr;
  std::wstring installFolder_;
  int cancelled_ = 0;
};

}  // namespace zan
