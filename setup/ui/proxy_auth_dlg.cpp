#include "proxy_auth_dlg.h"

#include <vector>

#include "i18n.h"
#include "resource.h"
#include "setup/common/string_util.h"

namespace zan {

const int CProxyAuthDlg::kTemplate = IDD_PROXY_AUTH;

std::wstring ProxyPromptText(const std::wstring& text, const std::wstring& proxy) {
  return ReplaceAll(text, L"%PROXY%", proxy);
}

CProxyAuthDlg::~CProxyAuthDlg() {
  if (!password_.empty()) ::SecureZeroMemory(&password_[0], password_.size() * sizeof(wchar_t));
}

std::wstring CProxyAuthDlg::ItemText(int id) {
  HWND item = ::GetDlgItem(hwnd(), id);
  std::vector<wchar_t> buffer(static_cast<size_t>(::GetWindowTextLengthW(item)) + 1, L'\0');
  ::GetWindowTextW(item, buffer.data(), static_cast<int>(buffer.size()));
  std::wstring text(buffer.data());
  ::SecureZeroMemory(buffer.data(), buffer.size() * sizeof(wchar_t));
  return text;
}

void CProxyAuthDlg::OnInitDialog() {
  InitCommon();
  ::SetWindowTextW(hwnd(), BuiltInText(L"language.proxy.caption").c_str());
  const wchar_t* key = again_ ? L"language.proxy.againtext" : L"language.proxy.text";
  SetItemText(IDC_PROXY_TEXT, ProxyPromptText(BuiltInText(key), proxy_).c_str());
  SetItemText(IDC_PROXY_USER_LABEL, BuiltInText(L"language.proxy.user").c_str());
  SetItemText(IDC_PROXY_PASSWORD_LABEL, BuiltInText(L"language.proxy.password").c_str());
  SetItemText(IDC_PROXY_REMEMBER, BuiltInText(L"language.proxy.remember").c_str());
  SetItemText(IDOK, BuiltInText(L"language.proxy.ok").c_str());
  SetItemText(IDCANCEL, BuiltInText(L"language.proxy.cancel").c_str());
  ::SetWindowPos(hwnd(), HWND_TOPMOST, 0, 0, 0, 0, SWP_SHOWWINDOW | SWP_NOMOVE | SWP_NOSIZE);
}

// The edit control's copy of the password goes before the window does.
void CProxyAuthDlg::OnOk() {
  user_ = ItemText(IDC_PROXY_USER);
  password_ = ItemText(IDC_PROXY_PASSWORD);
  remember_ = ::IsDlgButtonChecked(hwnd(), IDC_PROXY_REMEMBER) == BST_CHECKED;
  SetItemText(IDC_PROXY_PASSWORD, L"");
  EndModal(IDOK);
}

bool CProxyAuthDlg::HandleMessage(UINT message, WPARAM wParam, LPARAM, LRESULT* result) {
  if (message == WM_INITDIALOG) {
    OnInitDialog();
    *result = TRUE;
    return true;
  }
  if (message != WM_COMMAND) return false;
  switch (LOWORD(wParam)) {
    case IDOK: OnOk(); return true;
    case IDCANCEL:
      SetItemText(IDC_PROXY_PASSWORD, L"");
      EndModal(IDCANCEL);
      return true;
    default: return false;
  }
}

}  // namespace zan
