#include "main_dlg.h"

#include "resource.h"

namespace zan {

const int CMainDlg::kTemplate = IDD_MAIN;

CMainDlg::~CMainDlg() = default;

void CMainDlg::Start(const std::wstring& commandLine, const std::wstring& productName,
                     const std::wstring& productVersion) {
  commandLine_ = commandLine;
  productName_ = productName;
  productVersion_ = productVersion;
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
      if (MessageLoop* loop = MessageLoop::Current()) loop->AddFilter(this);
      *result = TRUE;
      return true;
    case WM_DESTROY:
      if (MessageLoop* loop = MessageLoop::Current()) loop->RemoveFilter(this);
      return true;
    case WM_COMMAND:
      OnCommand(LOWORD(wParam));
      return true;
    default:
      return false;
  }
}

}  // namespace zan
