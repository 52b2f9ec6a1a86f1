// The hidden main dialog: the window that worker threads report to; it
// creates the workflow and hands it the workflow messages. Closing
// it ends the message loop with the command identifier as exit code.
#pragma once

#include <memory>
#include <string>

#include "setup/ui/dialog_base.h"

namespace zan {

class CUIManager;

class CMainDlg : public DialogBase {
 public:
  CMainDlg();
  ~CMainDlg() override;

  HWND Create() { return DialogBase::Create(kTemplate, nullptr); }
  void Start(const std::wstring& commandLine, const std::wstring& productName,
             const std::wstring& productVersion);

  static const int kTemplate;

 protected:
  bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

 private:
  void OnCommand(int id);
  bool RouteToWorkflow(UINT message, WPARAM wParam);

  std::unique_ptr<CUIManager> manager_;
};

}  // namespace zan
