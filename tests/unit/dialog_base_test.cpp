// What every dialog shares: binding to its object, and the program icon.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <memory>

#include "setup/ui/dialog_base.h"
#include "setup/ui/progress_dlg.h"
#include "setup/ui/resource.h"

namespace zan {
namespace {

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

class NoCallback : public IDownloadCallback {
 public:
  void OnContinue() override {}
  void OnCancel() override {}
};

TEST(DialogBase, DialogsShareTheProgramIconInsteadOfLoadingTheirOwn) {
  INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES};
  ::InitCommonControlsEx(&controls);
  NoCallback callback;
  HICON big[2] = {};
  HICON small[2] = {};
  for (int i = 0; i < 2; ++i) {
    CProgressDlg dialog(&callback);
    ASSERT_NE(nullptr, dialog.Create());
    big[i] = reinterpret_cast<HICON>(::SendMessageW(dialog.hwnd(), WM_GETICON, ICON_BIG, 0));
    small[i] = reinterpret_cast<HICON>(::SendMessageW(dialog.hwnd(), WM_GETICON, ICON_SMALL, 0));
    dialog.Destroy();
  }
  ASSERT_NE(nullptr, big[0]);
  ASSERT_NE(nullptr, small[0]);
  EXPECT_NE(big[0], small[0]);
  EXPECT_EQ(big[0], big[1]) << "each dialog loaded (and leaked) an icon of its own";
  EXPECT_EQ(small[0], small[1]);
}

}  // namespace
}  // namespace zan
