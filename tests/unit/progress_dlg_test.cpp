// The progress dialog, created for real from its template.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>
#include <process.h>

#include <functional>

#include "setup/driver/package_install.h"
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

// Watches from a thread of its own for a message box owned by `owner`; when
// one shows, runs `onBox` on the watcher thread and answers the box. A box
// that never shows is simply not seen, so a test that expects none does not
// hang in it.
class BoxWatcher {
 public:
  BoxWatcher(HWND owner, int answer, std::function<void()> onBox = nullptr)
      : owner_(owner), answer_(answer), onBox_(std::move(onBox)) {
    thread_ = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Run, this, 0, nullptr));
  }
  ~BoxWatcher() {
    stop_ = 1;
    ::WaitForSingleObject(thread_, 10000);
    ::CloseHandle(thread_);
  }
  bool seen() const { return seen_ != 0; }

 private:
  struct Search {
    HWND owner;
    HWND found;
  };
  static BOOL CALLBACK Match(HWND hwnd, LPARAM param) {
    Search* search = reinterpret_cast<Search*>(param);
    wchar_t name[16] = {};
    ::GetClassNameW(hwnd, name, 16);
    if (::GetWindow(hwnd, GW_OWNER) == search->owner && wcscmp(name, L"#32770") == 0 &&
        ::IsWindowVisible(hwnd)) {
      search->found = hwnd;
      return FALSE;
    }
    return TRUE;
  }
  static unsigned __stdcall Run(void* param) {
    BoxWatcher* self = static_cast<BoxWatcher*>(param);
    DWORD deadline = ::GetTickCount() + 15000;
    while (!self->stop_ && ::GetTickCount() < deadline) {
      Search search = {self->owner_, nullptr};
      ::EnumWindows(Match, reinterpret_cast<LPARAM>(&search));
      if (search.found) {
        self->seen_ = 1;
        if (self->onBox_) self->onBox_();
        ::PostMessageW(search.found, WM_COMMAND, MAKEWPARAM(self->answer_, BN_CLICKED), 0);
        return 0;
      }
      ::Sleep(10);
    }
    return 0;
  }

  HWND owner_;
  int answer_;
  std::function<void()> onBox_;
  HANDLE thread_ = nullptr;
  volatile LONG stop_ = 0;
  volatile LONG seen_ = 0;
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
  // The dialog itself is never shown here, so the text's own style tells.
  HWND percent = ::GetDlgItem(dialog_.hwnd(), IDC_PERCENT_TEXT);
  EXPECT_FALSE(::GetWindowLongW(percent, GWL_STYLE) & WS_VISIBLE) << "busy mode hides the percent";
  Send(UM_PROGRESS_MODE, 0);
  EXPECT_TRUE(::GetWindowLongW(percent, GWL_STYLE) & WS_VISIBLE) << "percent mode shows it";
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
  {
    BoxWatcher watcher(dialog_.hwnd(), IDYES);
    ::SendMessageW(dialog_.hwnd(), WM_COMMAND, IDCANCEL, 0);
    EXPECT_FALSE(watcher.seen()) << "no confirmation while the installer runs";
  }
  EXPECT_EQ(0, callback_.cancelled);
  dialog_.EnableClose(true);
  EXPECT_FALSE(::GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND) & MF_GRAYED);
}

// Runs a function on the dialog's thread when sent WM_APP, as the workflow's
// own messages do while a box's modal loop runs.
LRESULT CALLBACK RunOnThread(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_APP) {
    (*reinterpret_cast<std::function<void()>*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA)))();
    return 0;
  }
  return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

TEST_F(ProgressDialog, CancelAsksAndOnlyAYesWhileClosingIsAllowedEndsTheRun) {
  {
    BoxWatcher watcher(dialog_.hwnd(), IDNO);
    Send(WM_COMMAND, IDCANCEL);
    EXPECT_TRUE(watcher.seen());
  }
  EXPECT_EQ(0, callback_.cancelled) << "No keeps the setup running";
  {
    BoxWatcher watcher(dialog_.hwnd(), IDYES);
    Send(WM_COMMAND, IDCANCEL);
    EXPECT_TRUE(watcher.seen());
  }
  EXPECT_EQ(1, callback_.cancelled);

  // The installer starts while the box is open (its loop delivers the
  // workflow's message, which turns closing off); the Yes that follows is stale.
  std::function<void()> startInstaller = [this] { dialog_.EnableClose(false); };
  HWND helper = ::CreateWindowW(L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  ASSERT_NE(nullptr, helper);
  ::SetWindowLongPtrW(helper, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&startInstaller));
  ::SetWindowLongPtrW(helper, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(RunOnThread));
  {
    BoxWatcher watcher(dialog_.hwnd(), IDYES, [helper] { ::SendMessageW(helper, WM_APP, 0, 0); });
    Send(WM_COMMAND, IDCANCEL);
    EXPECT_TRUE(watcher.seen());
  }
  EXPECT_EQ(1, callback_.cancelled) << "a Yes given before the installer started must not end it";
  ::DestroyWindow(helper);
}

TEST(DownloadProgress, EventsBecomePostsToTheDialog) {
  HWND target = ::CreateWindowW(L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  ASSERT_NE(nullptr, target);
  UINT_PTR context = reinterpret_cast<UINT_PTR>(target);
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
