// The dialogs' shared base and the progress dialog, created for real from
// their templates.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <functional>
#include <memory>

#include "setup/driver/package_install.h"
#include "setup/ui/dialog_base.h"
#include "setup/ui/progress_dlg.h"
#include "setup/ui/resource.h"
#include "test_util.h"

namespace zan {
namespace {

class CancelRecorder : public IDownloadCallback {
 public:
  void OnContinue() override { ++continued; }
  void OnCancel() override { ++cancelled; }
  int continued = 0;
  int cancelled = 0;
};

// While it lives, answers each message box made for `owner` on this thread
// with `answer`, first running `onBox` there, inside the box's own loop, as
// a message of the workflow's would run.
class BoxAnswerer {
 public:
  BoxAnswerer(HWND owner, int answer, std::function<void()> onBox = nullptr)
      : owner_(owner), answer_(answer), onBox_(std::move(onBox)) {
    current_ = this;
    hook_ = ::SetWindowsHookExW(WH_CBT, Hook, nullptr, ::GetCurrentThreadId());
  }
  ~BoxAnswerer() {
    ::UnhookWindowsHookEx(hook_);
    current_ = nullptr;
  }
  int seen() const { return seen_; }

 private:
  static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam) {
    BoxAnswerer* self = current_;
    wchar_t name[16] = {};
    if (code == HCBT_CREATEWND && self && ::GetClassNameW(reinterpret_cast<HWND>(wParam), name, 16) &&
        wcscmp(name, L"#32770") == 0 && reinterpret_cast<CBT_CREATEWNDW*>(lParam)->lpcs->hwndParent == self->owner_) {
      ++self->seen_;
      if (self->onBox_) self->onBox_();
      ::PostMessageW(reinterpret_cast<HWND>(wParam), WM_COMMAND, MAKEWPARAM(self->answer_, BN_CLICKED), 0);
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
  }

  static BoxAnswerer* current_;
  HWND owner_;
  int answer_;
  std::function<void()> onBox_;
  HHOOK hook_ = nullptr;
  int seen_ = 0;
};

BoxAnswerer* BoxAnswerer::current_ = nullptr;

class ProgressDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES};
    ::InitCommonControlsEx(&controls);
    ASSERT_NE(nullptr, dialog_.Create());
  }
  std::wstring Text(int id = IDC_PERCENT_TEXT) {
    wchar_t text[64] = {};
    ::GetDlgItemTextW(dialog_.hwnd(), id, text, 64);
    return text;
  }
  LONG Style(int id) { return ::GetWindowLongW(::GetDlgItem(dialog_.hwnd(), id), GWL_STYLE); }
  int BarPosition() {
    return static_cast<int>(::SendDlgItemMessageW(dialog_.hwnd(), IDC_PROGRESS_BAR, PBM_GETPOS, 0, 0));
  }
  LRESULT Send(UINT message, WPARAM wParam) { return ::SendMessageW(dialog_.hwnd(), message, wParam, 0); }

  CancelRecorder callback_;
  CProgressDlg dialog_{&callback_};
};

// Each step sends a message, then reads the percent and the bar. The total
// is 100 until one is sent, and one of 0 changes nothing; a resumed download
// counting again does not take the bar back.
TEST_F(ProgressDialog, PercentShowsTruncatedSinglePrecisionAndNeverGoesBack) {
  const UINT kMode = UM_PROGRESS_MODE, kTotal = UM_PROGRESS_TOTAL, kAt = UM_PROGRESS_POSITION;
  const struct {
    UINT message;
    WPARAM value;
    const wchar_t* percent;
    int bar;
  } steps[] = {{kMode, 0, L"(0%)", 0},    {kAt, 20, L"(20%)", 20},  {kTotal, 100, L"(20%)", 20},
               {kAt, 29, L"(28%)", 28},   {kAt, 10, L"(28%)", 28},  {kTotal, 3, L"(28%)", 28},
               {kAt, 1, L"(33%)", 33},    {kTotal, 0, L"(33%)", 33}, {kAt, 2, L"(33%)", 33},
               {kTotal, 3, L"(33%)", 33}, {kAt, 3, L"(100%)", 100}};
  for (const auto& step : steps) {
    EXPECT_EQ(1, Send(step.message, step.value));
    EXPECT_EQ(step.percent, Text()) << step.message << " " << step.value;
    EXPECT_EQ(step.bar, BarPosition()) << step.message << " " << step.value;
  }

  Send(UM_PROGRESS_MODE, 1);
  EXPECT_TRUE(Style(IDC_PROGRESS_BAR) & PBS_MARQUEE);
  // The dialog itself is never shown here, so the text's own style tells.
  EXPECT_FALSE(Style(IDC_PERCENT_TEXT) & WS_VISIBLE) << "busy mode hides the percent";
  Send(UM_PROGRESS_MODE, 0);
  EXPECT_TRUE(Style(IDC_PERCENT_TEXT) & WS_VISIBLE) << "percent mode shows it";
  EXPECT_FALSE(Style(IDC_PROGRESS_BAR) & PBS_MARQUEE);
  EXPECT_EQ(L"(0%)", Text());
  EXPECT_EQ(100, BarPosition()) << "switching modes leaves the bar where it was";
  Send(UM_PROGRESS_POSITION, 2);
  EXPECT_EQ(L"(0%)", Text()) << "the last percent shown is kept across modes";
}

TEST_F(ProgressDialog, TextsAndTheCloseItem) {
  dialog_.SetTexts(L"progress", L"step");
  EXPECT_EQ(L"progress", Text(IDC_PROGRESS_TEXT));
  EXPECT_EQ(L"step", Text(IDC_STEP_TEXT));

  HMENU menu = ::GetSystemMenu(dialog_.hwnd(), FALSE);
  ASSERT_NE(nullptr, menu);
  dialog_.EnableClose(false);
  EXPECT_TRUE(::GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND) & MF_GRAYED);
  // Escape (IDCANCEL) asks nothing while closing is off.
  {
    BoxAnswerer answerer(dialog_.hwnd(), IDYES);
    ::SendMessageW(dialog_.hwnd(), WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(0, answerer.seen()) << "no confirmation while the installer runs";
  }
  EXPECT_EQ(0, callback_.cancelled);
  dialog_.EnableClose(true);
  EXPECT_FALSE(::GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND) & MF_GRAYED);
}

// No keeps the setup running, Yes ends it. When the installer starts while
// the box is open (its loop delivers the workflow's message, which turns
// closing off), the Yes that follows is stale and must not end it.
TEST_F(ProgressDialog, CancelAsksAndOnlyAYesWhileClosingIsAllowedEndsTheRun) {
  const struct {
    int answer;
    bool installerStarts;
    int cancelled;  // afterwards
  } rows[] = {{IDNO, false, 0}, {IDYES, false, 1}, {IDYES, true, 1}};
  for (const auto& row : rows) {
    {
      BoxAnswerer answerer(dialog_.hwnd(), row.answer, [&] {
        if (row.installerStarts) dialog_.EnableClose(false);
      });
      Send(WM_COMMAND, IDCANCEL);
      EXPECT_EQ(1, answerer.seen());
    }
    EXPECT_EQ(row.cancelled, callback_.cancelled) << row.answer << (row.installerStarts ? " after the start" : "");
  }
}

class RecordingDialog : public DialogBase {
 public:
  explicit RecordingDialog(int* destroyMessages) : destroyMessages_(destroyMessages) {}
  HWND Create() { return DialogBase::Create(IDD_MAIN, nullptr); }

 protected:
  bool HandleMessage(UINT message, WPARAM, LPARAM, LRESULT* result) override {
    if (message == WM_INITDIALOG) {
      InitCommon();
      *result = TRUE;
      return true;
    }
    if (message == WM_DESTROY || message == WM_NCDESTROY) ++*destroyMessages_;
    return false;
  }

 private:
  int* destroyMessages_;
};

TEST(DialogBase, AnObjectDestroyedWithItsWindowLiveUnbindsFirst) {
  int destroyMessages = 0;
  std::unique_ptr<RecordingDialog> dialog(new RecordingDialog(&destroyMessages));
  HWND window = dialog->Create();
  ASSERT_NE(nullptr, window);
  // Before the fix the base destructor sent the window's last messages to
  // the object's HandleMessage, a pure virtual call by then.
  dialog.reset();
  EXPECT_FALSE(::IsWindow(window));
  EXPECT_EQ(0, destroyMessages) << "messages reached a half-destroyed object";

  // Destroyed the ordinary way, the object still sees its window go.
  RecordingDialog live(&destroyMessages);
  ASSERT_NE(nullptr, live.Create());
  live.Destroy();
  EXPECT_EQ(2, destroyMessages);
  EXPECT_EQ(nullptr, live.hwnd());
}

// Each dialog shares the program's icons instead of loading (and leaking)
// its own.
TEST_F(ProgressDialog, DialogsShareTheProgramIconInsteadOfLoadingTheirOwn) {
  CProgressDlg second(&callback_);
  ASSERT_NE(nullptr, second.Create());
  HICON icons[2][2];
  for (int kind : {ICON_BIG, ICON_SMALL}) {
    icons[0][kind] = reinterpret_cast<HICON>(Send(WM_GETICON, kind));
    icons[1][kind] = reinterpret_cast<HICON>(::SendMessageW(second.hwnd(), WM_GETICON, kind, 0));
    ASSERT_NE(nullptr, icons[0][kind]);
    EXPECT_EQ(icons[0][kind], icons[1][kind]) << "icon kind " << kind;
  }
  EXPECT_NE(icons[0][ICON_BIG], icons[0][ICON_SMALL]);
}

// Events 0 and 1 post the total and the amount so far; others post nothing.
TEST(DownloadProgress, EventsBecomePostsToTheDialog) {
  zan_test::ScopedWindow window = zan_test::MessageWindow();
  ASSERT_NE(nullptr, window.get());
  const struct {
    int event, value;
    UINT posted;  // 0: nothing
  } rows[] = {{0, 5000, UM_PROGRESS_TOTAL}, {1, 1200, UM_PROGRESS_POSITION}, {2, 7, 0}, {3, 7, 0}};
  for (const auto& row : rows) {
    EXPECT_EQ(1, DownloadProgressProc(reinterpret_cast<UINT_PTR>(window.get()), row.event, row.value));
    MSG msg = {};
    const bool posted = ::PeekMessageW(&msg, window.get(), WM_USER, WM_USER + 100, PM_REMOVE) != FALSE;
    EXPECT_EQ(row.posted != 0, posted) << row.event;
    EXPECT_TRUE(!row.posted || (msg.message == row.posted && msg.wParam == WPARAM(row.value))) << row.event;
  }
}

}  // namespace
}  // namespace zan
