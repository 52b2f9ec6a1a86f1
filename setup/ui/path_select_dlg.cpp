#include "path_select_dlg.h"

#include <shlobj.h>

#include "resource.h"

namespace zan {
namespace {

// Selects and expands the shown folder when the browser opens.
int CALLBACK BrowseCallback(HWND browser, UINT message, LPARAM, LPARAM data) {
  if (message == BFFM_INITIALIZED && data) {
    ::SendMessageW(browser, BFFM_SETSELECTIONW, TRUE, data);
    ::SendMessageW(browser, BFFM_SETEXPANDED, TRUE, data);
  }
  return 0;
}

struct CoTaskMemItemList {
  explicit CoTaskMemItemList(PIDLIST_ABSOLUTE list) : value(list) {}
  ~CoTaskMemItemList() { ::CoTaskMemFree(value); }
  CoTaskMemItemList(const CoTaskMemItemList&) = delete;
  CoTaskMemItemList& operator=(const CoTaskMemItemList&) = delete;
  PIDLIST_ABSOLUTE value;
};

}  // namespace

const int CPathSelectDlg::kTemplate = IDD_PATH_SELECT;

void CPathSelectDlg::SetPath(const std::wstring& folder) {
  folder_ = folder;
  ::SetWindowTextW(folderField_, folder_.c_str());
}

void CPathSelectDlg::ApplyLanguage(CI18N* strings) {
  SetStrings(strings);
  ::SetWindowTextW(browseButton_, Text(L"language.selectpath.selectbutton").c_str());
  ::SetWindowTextW(nextButton_, Text(L"language.selectpath.nextbutton").c_str());
  SetItemText(IDC_HEADING, Text(L"language.selectpath.statictext").c_str());
  SetItemText(IDC_GROUP, Text(L"language.selectpath.grouptext").c_str());
  ::SetWindowTextW(cancelButton_, Text(L"language.selectpath.cancelbutton").c_str());
}

void CPathSelectDlg::OnInitDialog() {
  InitCommon();
  folderField_ = ::GetDlgItem(hwnd(), IDC_PATH_EDIT);
  browseButton_ = ::GetDlgItem(hwnd(), IDC_BROWSE);
  nextButton_ = ::GetDlgItem(hwnd(), IDC_NEXT);
  cancelButton_ = ::GetDlgItem(hwnd(), IDCANCEL);
  AddToMessageLoop();
}

void CPathSelectDlg::OnBrowse() {
  BROWSEINFOW info = {};
  info.hwndOwner = hwnd();
  info.lpszTitle = L"";
  info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
  info.lpfn = BrowseCallback;
  info.lParam = reinterpret_cast<LPARAM>(folder_.c_str());
  CoTaskMemItemList chosen(::SHBrowseForFolderW(&info));
  if (!chosen.value) return;
  wchar_t path[MAX_PATH] = {};
  if (::SHGetPathFromIDListW(chosen.value, path)) SetPath(path);
}

// The window goes before the workflow continues, so a second click cannot
// arrive.
void CPathSelectDlg::OnNext() {
  ::SendMessageW(mainWindow_, UM_PATH_CHOSEN, reinterpret_cast<WPARAM>(folder_.c_str()), 0);
  Destroy();
  if (callback_) callback_->OnContinue();
}

void CPathSelectDlg::OnCancel() {
  int answer = ::MessageBoxW(hwnd(), Text(L"language.messagebox").c_str(),
                             Text(L"language.caption").c_str(), MB_YESNO);
  if (answer == IDYES && callback_) callback_->OnCancel();
}

bool CPathSelectDlg::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  switch (message) {
    case WM_INITDIALOG:
      OnInitDialog();
      *result = TRUE;
      return true;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_BROWSE: OnBrowse(); return true;
        case IDC_NEXT: OnNext(); return true;
        case IDCANCEL: OnCancel(); return true;
        default: return false;
      }
    default:
      return false;
  }
}

}  // namespace zan
