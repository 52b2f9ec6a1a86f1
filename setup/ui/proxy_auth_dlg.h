// The dialog that asks for a proxy's user name and password, its texts
// compiled in: it may come before any language file has arrived.
#pragma once

#include <string>

#include "dialog_base.h"

namespace zan {

// "%PROXY%" in `text` replaced by the proxy's name.
std::wstring ProxyPromptText(const std::wstring& text, const std::wstring& proxy);

class CProxyAuthDlg : public DialogBase {
 public:
  // `again`: the last answer was refused, and the text says so.
  CProxyAuthDlg(const std::wstring& proxy, bool again) : proxy_(proxy), again_(again) {}
  ~CProxyAuthDlg() override;

  // True when the user gave an answer (OK), false when they declined.
  bool Run(HWND owner) { return DoModal(kTemplate, owner) == IDOK; }

  // The answer, once Run returned true. The password is wiped with the dialog.
  const std::wstring& user() const { return user_; }
  const std::wstring& password() const { return password_; }
  bool remember() const { return remember_; }

  static const int kTemplate;

 protected:
  bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

 private:
  void OnInitDialog();
  void OnOk();
  std::wstring ItemText(int id);

  std::wstring proxy_;
  bool again_;
  std::wstring user_;
  std::wstring password_;
  bool remember_ = false;
};

}  // namespace zan
