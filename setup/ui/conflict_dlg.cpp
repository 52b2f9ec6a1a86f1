#include "conflict_dlg.h"

#include "resource.h"
#include "setup/common/handles.h"
#include "setup/common/log.h"

namespace zan {

const int CConflictProcessDlg::kTemplate = IDD_CONFLICT;

void CConflictProcessDlg::Init(ConflictScan scan, CI18N* strings) {
  scan_ = std::move(scan);
  SetStrings(strings);
}

bool CConflictProcessDlg::ScanConflicts() { return scan_ && scan_(&found_); }

void CConflictProcessDlg::FillList() {
  ::SendMessageW(processList_, LB_RESETCONTENT, 0, 0);
  for (const auto& process : found_) {
    ::SendMessageW(processList_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(process.second.c_str()));
  }
}

void CConflictProcessDlg::OnInitDialog() {
  InitCommon();
  processList_ = ::GetDlgItem(hwnd(), IDC_PROCESS_LIST);
  SetItemText(IDC_TERMINATE, Text(L"language.conflictdlg.terminatebutton").c_str());
  SetItemText(IDC_RETRY, Text(L"language.conflictdlg.retrybutton").c_str());
  SetItemText(IDC_GROUP, Text(L"language.conflictdlg.grouptext").c_str());
  SetItemText(IDCANCEL, Text(L"language.conflictdlg.cancelbutton").c_str());
  ::SetWindowTextW(hwnd(), Text(L"language.caption").c_str());
  ScanConflicts();
  FillList();
  ::SetWindowPos(hwnd(), HWND_TOPMOST, 0, 0, 0, 0, SWP_SHOWWINDOW | SWP_NOMOVE | SWP_NOSIZE);
}

void CConflictProcessDlg::OnRetry() {
  ::ShowWindow(hwnd(), SW_HIDE);
  found_.clear();
  ScanConflicts();
  FillList();
  if (::SendMessageW(processList_, LB_GETCOUNT, 0, 0) == 0) {
    EndModal(0);
    return;
  }
  ::Sleep(300);
  ::ShowWindow(hwnd(), SW_SHOWNORMAL);
}

// The installer goes on at once: nothing waits for the processes to end.
void CConflictProcessDlg::OnTerminate() {
  if (::MessageBoxW(hwnd(), Text(L"language.terminatemessage").c_str(),
                    Text(L"language.caption").c_str(), MB_YESNO) != IDYES) {
    return;
  }
  found_.clear();
  ScanConflicts();
  for (const auto& process : found_) {
    ScopedHandle handle(::OpenProcess(PROCESS_TERMINATE, FALSE, process.first));
    if (!handle) continue;
    WriteLog(L"Terminate Process:%s, process id:%d", process.second.c_str(),
             static_cast<int>(process.first));
    ::TerminateProcess(handle.get(), 0);
  }
  EndModal(0);
}

void CConflictProcessDlg::OnCancel() {
  if (::MessageBoxW(hwnd(), Text(L"language.messagebox").c_str(), Text(L"language.caption").c_str(),
                    MB_YESNO) != IDYES) {
    return;
  }
  cancelled_ = 1;
  EndModal(IDCANCEL);
}

bool CConflictProcessDlg::HandleMessage(UINT message, WPARAM wParam, LPARAM, LRESULT* result) {
  if (message == WM_INITDIALOG) {
    OnInitDialog();
    *result = TRUE;
    return true;
  }
  if (message != WM_COMMAND) return false;
  switch (LOWORD(wParam)) {
    case IDC_RETRY: OnRetry(); return true;
    case IDC_TERMINATE: OnTerminate(); return true;
    case IDCANCEL: OnCancel(); return true;
    default: return false;
  }
}

}  // namespace zan
