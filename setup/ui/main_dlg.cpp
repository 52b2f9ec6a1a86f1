#include "main_dlg.h"

#include "resource.h"
#include "setup/driver/messages.h"
#include "setup/driver/ui_manager.h"

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
bool CMainDlg::RouteToWorkflow(UINT message, WPARAM wParam) {
  if (!manager_ || manager_->HasEnded()) {
    if (message == UM_INFO_READY) delete reinterpret_cast<std::string*>(wParam);
    return message >= UM_INFO_READY && message <= UM_INSTALL_FAILED;
  }
  switch (message) {
    case UM_INFO_READY: {
      std::unique_ptr<std::string> text(reinterpret_cast<std::string*>(wParam));
      manager_->OnInfoReady(*text);
      return true;
    }
    case UM_PACKAGE_READY: manager_->OnPackageReady(); return true;
    case UM_PATH_CHOSEN:
      manager_->SetInstallPath(reinterpret_cast<const wchar_t*>(wParam));
      return true;
    case UM_INSTALL_DONE: manager_->EndInstall(); return true;
    case UM_INFO_FAILED: manager_->ShowInfoError(); return true;
    case UM_PACKAGE_FAILED: manager_->ShowPackageError(); return true;
    case UM_INSTALL_FAILED: manager_->ShowInstallError(); return true;
    default: return false;
  }
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
