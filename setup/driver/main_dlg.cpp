#include "main_dlg.h"

#include "setup/common/worker.h"
#include "setup/ui/messages.h"
#include "setup/ui/resource.h"
#include "ui_manager.h"

namespace zan {

const int CMainDlg::kTemplate = IDD_MAIN;

CMainDlg::CMainDlg() = default;
CMainDlg::~CMainDlg() = default;

void CMainDlg::Start(const std::wstring& commandLine, const std::wstring& productName,
                     const std::wstring& productVersion) {
  manager_.reset(new CUIManager(hwnd(), commandLine, productName, productVersion));
  manager_->Start();
}

// Each workflow message becomes one call on this, the user-interface thread.
// A payload is taken first, so that one arriving after the run has ended is
// freed as well.
bool CMainDlg::RouteToWorkflow(UINT message, WPARAM wParam) {
  if (!IsWorkflowMessage(message)) return false;
  std::unique_ptr<std::string> text;
  if (message == UM_INFO_READY) text = TakeOwned<std::string>(wParam);
  std::unique_ptr<std::shared_ptr<ProxyPrompt>> prompt;
  if (message == UM_PROXY_PROMPT) prompt = TakeOwned<std::shared_ptr<ProxyPrompt>>(wParam);
  if (!manager_ || manager_->HasEnded()) {
    // The asking worker hears at once that no answer comes.
    if (prompt && *prompt) ::SetEvent((*prompt)->done.get());
    return true;
  }
  switch (message) {
    case UM_INFO_READY: manager_->OnInfoReady(*text); break;
    case UM_PACKAGE_READY: manager_->OnPackageReady(); break;
    case UM_PATH_CHOSEN: manager_->SetInstallPath(reinterpret_cast<const wchar_t*>(wParam)); break;
    case UM_INSTALL_DONE: manager_->EndInstall(); break;
    case UM_INFO_FAILED: manager_->ShowInfoError(); break;
    case UM_PACKAGE_FAILED: manager_->ShowPackageError(); break;
    case UM_INSTALL_FAILED: manager_->ShowInstallError(); break;
    case UM_PROXY_PROMPT: if (prompt && *prompt) manager_->OnProxyPrompt(**prompt); break;
  }
  return true;
}

void CMainDlg::OnCommand(int id) {
  if (id != IDOK && id != IDCANCEL) return;
  Destroy();
  ::PostQuitMessage(id);
}

bool CMainDlg::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  switch (message) {
    case WM_INITDIALOG:
      InitCommon();
      AddToMessageLoop();
      *result = TRUE;
      return true;
    case WM_COMMAND:
      OnCommand(LOWORD(wParam));
      return true;
    default:
      if (!RouteToWorkflow(message, wParam)) return false;
      *result = 0;
      return true;
  }
}

}  // namespace zan
