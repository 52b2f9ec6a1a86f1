#include "dialog_base.h"

#include "i18n.h"
#include "resource.h"

namespace zan {
namespace {

HINSTANCE g_resourceModule = nullptr;

HICON LoadProgramIcon(int widthMetric, int heightMetric) {
  return static_cast<HICON>(::LoadImageW(ResourceModule(), MAKEINTRESOURCEW(IDI_PROGRAM), IMAGE_ICON,
                                         ::GetSystemMetrics(widthMetric),
                                         ::GetSystemMetrics(heightMetric), LR_DEFAULTCOLOR));
}

// The program icon in both sizes, loaded once and shared by every dialog of
// the process, so no dialog leaks a pair of its own. (LR_SHARED would not
// do: the shared copy comes back in whatever size was loaded first.)
struct ProgramIcons {
  static const ProgramIcons& Get() {
    static const ProgramIcons icons = {LoadProgramIcon(SM_CXICON, SM_CYICON),
                                       LoadProgramIcon(SM_CXSMICON, SM_CYSMICON)};
    return icons;
  }
  HICON large;
  HICON small;
};

}  // namespace

HINSTANCE ResourceModule() { return g_resourceModule ? g_resourceModule : ::GetModuleHandleW(nullptr); }
void SetResourceModule(HINSTANCE instance) { g_resourceModule = instance; }

// The derived part is gone by now: the window is unbound first, so that its
// last messages do not reach HandleMessage of an object half destroyed.
DialogBase::~DialogBase() {
  if (!hwnd_) return;
  if (MessageLoop* loop = MessageLoop::Current()) loop->RemoveFilter(this);
  HWND window = hwnd_;
  hwnd_ = nullptr;
  if (::IsWindow(window)) {
    ::SetWindowLongPtrW(window, DWLP_USER, 0);
    ::DestroyWindow(window);
  }
}

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

std::wstring DialogBase::Text(const wchar_t* key) const {
  return strings_ ? strings_->Text(key) : std::wstring();
}

void DialogBase::InitCommon() {
  CenterOnWorkArea(hwnd_);
  const ProgramIcons& icons = ProgramIcons::Get();
  ::SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icons.large));
  ::SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icons.small));
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
