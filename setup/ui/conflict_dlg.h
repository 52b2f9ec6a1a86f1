// The conflicting process dialog: lists the product's programs running from
// the install folder and lets the user end them, check again, or quit.
#pragma once

#include <functional>
#include <map>
#include <string>

#include "dialog_base.h"

namespace zan {

class CI18N;

// Adds the conflicting processes to the map by id, passing over ids already
// there and logging each one it adds; false when the process list could not
// be read.
using ConflictScan = std::function<bool(std::map<DWORD, std::wstring>* found)>;

class CConflictProcessDlg : public DialogBase {
 public:
  void Init(ConflictScan scan, CI18N* strings);
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

  ConflictScan scan_;
  std::map<DWORD, std::wstring> found_;
  HWND processList_ = nullptr;
  int cancelled_ = 0;
};

}  // namespace zan
