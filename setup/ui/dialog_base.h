// A dialog bound to a C++ object: the static dialog procedure binds the
// object at WM_INITDIALOG, unbinds it at WM_NCDESTROY and routes every other
// message to HandleMessage. Modeless creation and modal runs share it.
#pragma once

#include <windows.h>

#include <string>

#include "message_loop.h"

namespace zan {

class CI18N;

class DialogBase : public MessageFilter {
 public:
  DialogBase() = default;
  ~DialogBase() override;
  DialogBase(const DialogBase&) = delete;
  DialogBase& operator=(const DialogBase&) = delete;

  HWND Create(int templateId, HWND owner);
  INT_PTR DoModal(int templateId, HWND owner);
  void Destroy();

  HWND hwnd() const { return hwnd_; }
  bool IsWindow() const { return hwnd_ != nullptr && ::IsWindow(hwnd_); }

  // Keyboard navigation for this dialog's own window only.
  bool PreTranslateMessage(MSG* msg) override;

 protected:
  // True when handled; `result` is the message's result (for WM_INITDIALOG,
  // whether the system should set the focus).
  virtual bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) = 0;

  // What every dialog of the program does at WM_INITDIALOG: centre on the
  // work area and carry the program icon.
  void InitCommon();
  // Lets the thread's message loop hand this modeless dialog its keyboard
  // messages (Tab, Enter, Escape); undone when the window is destroyed.
  void AddToMessageLoop();
  void SetItemText(int id, const wchar_t* text);
  void EndModal(INT_PTR result);
  // The dialog's texts; empty until SetStrings gave it language strings.
  void SetStrings(CI18N* strings) { strings_ = strings; }
  std::wstring Text(const wchar_t* key) const;

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

  HWND hwnd_ = nullptr;
  CI18N* strings_ = nullptr;
};

// Centres `hwnd` on the work area of its monitor, keeping it inside.
void CenterOnWorkArea(HWND hwnd);

// The module that holds the program's resources.
HINSTANCE ResourceModule();
void SetResourceModule(HINSTANCE instance);

}  // namespace zan
