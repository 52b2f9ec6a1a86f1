// The progress dialog, created for real from its template.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include "setup/ui/progress_dlg.h"
#include "setup/ui/resource.h"

namespace zan {
namespace {

class CancelRecorder : public IDownloadCallback {
 public:
  void OnContinue() override { ++continued; }
  void OnCancel() override { ++cancelled; }
  int continued = 0;
  int cancelled = 0;
};

class ProgressDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES};
    ::InitCommonControlsEx(&controls);
    ASSERT_NE(nullptr, dialog_.Create());
  }
  std::wstring PercentText() {
    wchar_t text[64] = {};
    ::GetDlgItemTextW(dialog_.hwnd(), IDC_PERCENT_TEXT, text, 64);
    return text;
  }
  int BarPosition() {
    return static_cast<int>(::SendDlgItemMessageW(dialog_.hwnd(), IDC_PROGRESS_BAR, PBM_GETPOS, 0, 0));
  }
  LRESULT Send(UINT message, WPARAM wParam) { return ::SendMessageW(dialog_.hwnd(), message, wParam, 0); }

  CancelRecorder callback_;
  CProgressDlg dialog_{&callback_};
};

TEST_F(ProgressDialog, PercentShowsTruncatedSinglePrecisionAndNeverGoesBack) {
  EXPECT_EQ(1, Send(UM_PROGRESS_MODE, 0));
  EXPECT_EQ(L"(0%)", PercentText());
  EXPECT_EQ(1, Send(UM_PROGRESS_TOTAL, 100));
  EXPECT_EQ(1, Send(UM_PROGRESS_POSITION, 29));
  EXPECT_EQ(L"(28%)", PercentText());
  EXPECT_EQ(28, BarPosition());
  Send(UM_PROGRESS_POSITION, 10);  // a resumed download counting again
  EXPECT_EQ(L"(28%)", PercentText());
  EXPECT_EQ(28, BarPosition());
  Send(UM_PROGRESS_TOTAL, 3);
  Send(UM_PROGRESS_POSITION, 1);
  EXPECT_EQ(L"(33%)", PercentText());
  Send(UM_PROGRESS_POSITION, 3);
  EXPECT_EQ(L"(100%)", PercentText());
}

TEST_F(ProgressDialog, ZeroTotalChangesNothingAndModeSwitchKeepsTheBar) {
  Send(UM_PROGRESS_MODE, 0);
  Send(UM_PROGRESS_POSITION, 50);
  EXPECT_EQ(L"(50%)", PercentText());
  Send(UM_PROGRESS_TOTAL, 0);
  Send(UM_PROGRESS_POSITION, 70);
  EXPECT_EQ(L"(50%)", PercentText());

  Send(UM_PROGRESS_MODE, 1);
  HWND bar = ::GetDlgItem(dialog_.hwnd(), IDC_PROGRESS_BAR);
  EXPECT_TRUE(::GetWindowLongW(bar, GWL_STYLE) & PBS_MARQUEE);
  EXPECT_FALSE(::IsWindowVisible(::GetDlgItem(dialog_.hwnd(), IDC_PERCENT_TEXT)) &&
               (::GetWindowLongW(::GetDlgItem(dialog_.hwnd(), IDC_PERCENT_TEXT), GWL_STYLE) & WS_VISIBLE));
  Send(UM_PROGRESS_MODE, 0);
  EXPECT_FALSE(::GetWindowLongW(bar, GWL_STYLE) & PBS_MARQUEE);
  EXPECT_EQ(L"(0%)", PercentText());
  EXPECT_EQ(50, BarPosition()) << "switching modes leaves the bar where it was";
  Send(UM_PROGRESS_TOTAL, 100);
  Send(UM_PROGRESS_POSITION, 40);
  EXPECT_EQ(L"(0%)", PercentText()) << "the last percent shown is kept across modes";
}

TEST_F(ProgressDialog, TextsAndTheCloseItem) {
  dialog_.SetTexts(L"progress", L"step");
  wchar_t text[64] = {};
  ::GetDlgItemTextW(dialog_.hwnd(), IDC_PROGRESS_TEXT, text, 64);
  EXPECT_STREQ(L"progress", text);
  ::GetDlgItemTextW(dialog_.hwnd(), IDC_STEP_TEXT, text, 64);
  EXPECT_STREQ(L"step", text);

  HMENU menu = ::GetSystemMenu(dialog_.hwnd(), FALSE);
  ASSERT_NE(nullptr, menu);
  dialog_.EnableClose(false);
  EXPECT_TRUE(::GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND) & MF_GRAYED);
  // Escape (IDCANCEL) asks nothing while closing is off.
  ::SendMessageW(dialog_.hwnd(), WM_COMMAND, IDCANCEL, 0);
  EXPECT_EQ(0, callback_.cancelled);
  dialog_.EnableClose(true);
  EXPECT_FALSE(::GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND) & MF_GRAYED);
}

TEST(DownloadProgress, EventsBecomePostsToTheDialog) {
  HWND target = ::CreateWindowW(L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  ASSERT_NE(nullptr, target);
  unsigned context = static_cast<unsigned>(reinterpret_cast<uintptr_t>(target));
  EXPECT_EQ(1, DownloadProgressProc(context, 0, 5000));
  EXPECT_EQ(1, DownloadProgressProc(context, 1, 1200));
  EXPECT_EQ(1, DownloadProgressProc(context, 2, 0));
  EXPECT_EQ(1, DownloadProgressProc(context, 3, 0));
  MSG msg;
  ASSERT_TRUE(::PeekMessageW(&msg, target, 0, 0, PM_REMOVE));
  EXPECT_EQ(UM_PROGRESS_TOTAL, msg.message);
  EXPECT_EQ(5000u, msg.wParam);
  ASSERT_TRUE(::PeekMessageW(&msg, target, 0, 0, PM_REMOVE));
  EXPECT_EQ(UM_PROGRESS_POSITION, msg.message);
  EXPECT_EQ(1200u, msg.wParam);
  EXPECT_FALSE(::PeekMessageW(&msg, target, WM_USER, WM_USER + 100, PM_REMOVE)) << "kinds 2 and 3 post nothing";
  ::DestroyWindow(target);
}

}  // namespace
}  // namespace zan
