#include "progress_dlg.h"

#include <commctrl.h>

#include <cwchar>

#include "i18n.h"
#include "resource.h"
#include "setup/common/string_util.h"

namespace zan {

const int CProgressDlg::kTemplate = IDD_PROGRESS;

int PercentOf(int amount, int total) {
  if (total == 0) return -1;
  float ratio = static_cast<float>(static_cast<double>(amount) / total);
  return static_cast<int>(static_cast<double>(ratio) * 100.0);
}

namespace {
const UINT_PTR kWaitTimer = 1;
}  // namespace

std::wstring RetryWaitText(const std::wstring& format, int seconds) {
  return ReplaceAll(format, L"%SECONDS%", std::to_wstring(seconds));
}

void CProgressDlg::SetTexts(const std::wstring& progressText, const std::wstring& stepText) {
  ::SetWindowTextW(progressText_, progressText.c_str());
  stepTextShown_ = stepText;
  if (waitSeconds_ == 0) ::SetWindowTextW(stepText_, stepText.c_str());
}

// Compiled in: the drop may come before any language file has.
void CProgressDlg::ShowWaiting() {
  ::SetWindowTextW(stepText_, RetryWaitText(BuiltInText(L"language.network.retrywait"), waitSeconds_).c_str());
}

void CProgressDlg::OnWaiting(int seconds) {
  if (seconds <= 0) {
    ::KillTimer(hwnd(), kWaitTimer);
    waitSeconds_ = 0;
    ::SetWindowTextW(stepText_, stepTextShown_.c_str());
    return;
  }
  waitSeconds_ = seconds;
  ShowWaiting();
  ::SetTimer(hwnd(), kWaitTimer, 1000, nullptr);
}

void CProgressDlg::SetConfirmTexts(const std::wstring& text, const std::wstring& caption) {
  confirmText_ = text;
  confirmCaption_ = caption;
}

// By command, not by position: the Close item is not the last one of every
// system menu.
void CProgressDlg::EnableClose(bool enable) {
  closeEnabled_ = enable;
  HMENU menu = ::GetSystemMenu(hwnd(), FALSE);
  if (!menu) return;
  ::EnableMenuItem(menu, SC_CLOSE, MF_BYCOMMAND | (enable ? MF_ENABLED : (MF_GRAYED | MF_DISABLED)));
}

void CProgressDlg::OnInitDialog() {
  InitCommon();
  bar_ = ::GetDlgItem(hwnd(), IDC_PROGRESS_BAR);
  progressText_ = ::GetDlgItem(hwnd(), IDC_PROGRESS_TEXT);
  percentText_ = ::GetDlgItem(hwnd(), IDC_PERCENT_TEXT);
  stepText_ = ::GetDlgItem(hwnd(), IDC_STEP_TEXT);
  AddToMessageLoop();
}

void CProgressDlg::ShowPercent(int percent) {
  wchar_t text[32];
  swprintf(text, 32, percentFormat_.c_str(), percent);
  ::SetWindowTextW(percentText_, text);
}

// The bar never goes back: a resumed download that recounts from the start
// leaves the display where it was.
void CProgressDlg::OnPosition(int amount) {
  int percent = PercentOf(amount, total_);
  if (percent <= lastPercent_) return;
  ::SendMessageW(bar_, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
  lastPercent_ = percent;
  ShowPercent(percent);
}

void CProgressDlg::OnMode(bool busy) {
  LONG style = ::GetWindowLongW(bar_, GWL_STYLE);
  if (busy) {
    if (!(style & PBS_MARQUEE)) ::SetWindowLongW(bar_, GWL_STYLE, style | PBS_MARQUEE);
    ::SendMessageW(bar_, PBM_SETMARQUEE, TRUE, 40);
    ::ShowWindow(percentText_, SW_HIDE);
  } else {
    ShowPercent(0);
    ::ShowWindow(percentText_, SW_SHOWNORMAL);
    if (style & PBS_MARQUEE) ::SetWindowLongW(bar_, GWL_STYLE, style & ~PBS_MARQUEE);
    ::SendMessageW(bar_, PBM_SETMARQUEE, FALSE, 40);
  }
}

void CProgressDlg::OnCancel() {
  if (!closeEnabled_) return;  // the installer is running: no way out but its end
  int answer = ::MessageBoxW(hwnd(), confirmText_.c_str(), confirmCaption_.c_str(), MB_YESNO);
  // The box runs its own message loop: while it was open the download may
  // have finished and the installer started, and a Yes must not end it.
  if (answer != IDYES || !closeEnabled_ || !callback_) return;
  callback_->OnCancel();
}

bool CProgressDlg::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  switch (message) {
    case WM_INITDIALOG:
      OnInitDialog();
      *result = TRUE;
      return true;
    case WM_COMMAND:
      if (LOWORD(wParam) != IDCANCEL) return false;
      OnCancel();
      return true;
    case UM_PROGRESS_POSITION:
      OnPosition(static_cast<int>(wParam));
      *result = 1;
      return true;
    case UM_PROGRESS_MODE:
      OnMode(wParam != 0);
      *result = 1;
      return true;
    case UM_PROGRESS_TOTAL:
      total_ = static_cast<int>(wParam);
      *result = 1;
      return true;
    case UM_PROGRESS_WAITING:
      OnWaiting(static_cast<int>(wParam));
      *result = 1;
      return true;
    case WM_TIMER:
      if (wParam != kWaitTimer) return false;
      // The wait's end says when it is over; the count stops at one.
      if (waitSeconds_ > 1) --waitSeconds_;
      if (waitSeconds_ > 0) ShowWaiting();
      return true;
    default:
      return false;
  }
}

void BringToFront(HWND hwnd) {
  ::ShowWindow(hwnd, SW_RESTORE);
  DWORD windowThread = ::GetWindowThreadProcessId(hwnd, nullptr);
  DWORD foregroundThread = ::GetWindowThreadProcessId(::GetForegroundWindow(), nullptr);
  bool attached = windowThread != foregroundThread &&
                  ::AttachThreadInput(foregroundThread, windowThread, TRUE);
  ::SetForegroundWindow(hwnd);
  ::BringWindowToTop(hwnd);
  ::SetFocus(hwnd);
  if (attached) ::AttachThreadInput(foregroundThread, windowThread, FALSE);
  ::SetWindowPos(hwnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_SHOWWINDOW | SWP_NOMOVE | SWP_NOSIZE);
}

}  // namespace zan
