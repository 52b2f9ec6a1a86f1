#include "dialog_base.h"

#include "resource.h"

namespace zan {
namespace {

HINSTANCE g_resourceModule = nullptr;

}  // namespace

HINSTANCE ResourceModule() { return g_resourceModule ? g_resourceModule : ::GetModuleHandleW(nullptr); }
void SetResourceModule(HINSTANCE instance) { g_resourceModule = instance; }

DialogBase::~DialogBase() { Destroy(); }

HWND DialogBase::Create(int templateId, HWND owner) {
  return ::CreateDialogParamW(ResourceModule(), MAKEINTRESOURCEW(templateId), owner, DialogProc,
                              reinterpret_cast<LPARAM>(this));
}

INT_PTR DialogBase::DoModal(int templateId, HWND owner) {
  return ::DialogBoxParamW(ResourceModule(), MAKEINTRESOURCEW(templateId), owner, DialogProc,
                           reinterpret_cast<LPARAM>(this));
}

void DialogBase::Destroy() {
  if (IsWindow()) ::DestroyWindow(hwnd_);
}

void DialogBase::EndModal(INT_PTR result) { ::EndDialog(hwnd_, result); }

bool DialogBase::PreTranslateMessage(MSG* msg) {
  return IsWindow() && ::IsDialogMessageW(hwnd_, msg);
}

void DialogBase::AddToMessageLoop() {
  if (MessageLoop* loop = MessageLoop::Current()) loop->AddFilter(this);
}

void DialogBase::SetItemText(int id, const wchar_t* text) { ::SetDlgItemTextW(hwnd_, id, text); }

void DialogBase::InitCommon() {
  CenterOnWorkArea(hwnd_);
  HICON large = static_cast<HICON>(::LoadImageW(ResourceModule(), MAKEINTRESOURCEW(IDI_PROGRAM),
                                                IMAGE_ICON, ::GetSystemMetrics(SM_CXICON),
                                                ::GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
  HICON small = static_cast<HICON>(::LoadImageW(ResourceModule(), MAKEINTRESOURCEW(IDI_PROGRAM),
                                                IMAGE_ICON, ::GetSystemMetrics(SM_CXSMICON),
                                                ::GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
  ::SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(large));
  ::SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
}

INT_PTR CALLBACK DialogBase::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  DialogBase* self = nullptr;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<DialogBase*>(lParam);
    ::SetWindowLongPtrW(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
    self->hwnd_ = hwnd;
  } else {
    self = reinterpret_cast<DialogBase*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
  }
  if (!self) return FALSE;

  if (message == WM_DESTROY) {
    if (MessageLoop* loop = MessageLoop::Current()) loop->RemoveFilter(self);
  }
  LRESULT result = 0;
  bool handled = self->HandleMessage(message, wParam, lParam, &result);
  if (message == WM_NCDESTROY) {
    ::SetWindowLongPtrW(hwnd, DWLP_USER, 0);
    self->hwnd_ = nullptr;
  }
  if (!handled) return FALSE;
  if (message == WM_INITDIALOG) return static_cast<INT_PTR>(result);
  ::SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, result);
  return TRUE;
}

void CenterOnWorkArea(HWND hwnd) {
  RECT window;
  if (!::GetWindowRect(hwnd, &window)) return;
  MONITORINFO monitor = {sizeof(monitor)};
  if (!::GetMonitorInfoW(::MonitorFromWindow(hwnd, MONITOR_DEFAULTTOPRIMARY), &monitor)) return;
  const RECT& area = monitor.rcWork;
  int width = window.right - window.left;
  int height = window.bottom - window.top;
  int x = area.left + ((area.right - area.left) - width) / 2;
  int y = area.top + ((area.bottom - area.top) - height) / 2;
  if (x + width > area.right) x = area.right - width;
  if (y + height > area.bottom) y = area.bottom - height;
  if (x < area.left) x = area.left;
  if (y < area.top) y = area.top;
  ::SetWindowPos(hwnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace zan
