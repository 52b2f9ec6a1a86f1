// Window messages between the workers, the dialogs and the workflow.
#pragma once

#include <windows.h>

namespace zan {

// To the progress dialog.
const UINT UM_PROGRESS_POSITION = WM_USER + 10;  // wParam: amount done
const UINT UM_PROGRESS_MODE = WM_USER + 12;      // wParam: nonzero busy, 0 percent
const UINT UM_PROGRESS_TOTAL = WM_USER + 13;     // wParam: total amount

// To the main dialog. UM_INFO_READY's wParam is a std::string allocated with
// new by the info worker; the main dialog deletes it (and the worker deletes
// it itself when the post fails). UM_PATH_CHOSEN is sent, never posted: its
// wParam points at the path dialog's own wide string.
const UINT UM_INFO_READY = WM_USER + 14;
const UINT UM_PACKAGE_READY = WM_USER + 15;
const UINT UM_PATH_CHOSEN = WM_USER + 16;
const UINT UM_INSTALL_DONE = WM_USER + 17;
const UINT UM_INFO_FAILED = WM_USER + 18;
const UINT UM_PACKAGE_FAILED = WM_USER + 19;
const UINT UM_INSTALL_FAILED = WM_USER + 20;

// What the dialogs call back into the workflow.
class IDownloadCallback {
 public:
  virtual void OnContinue() = 0;
  virtual void OnCancel() = 0;

 protected:
  ~IDownloadCallback() = default;
};

}  // namespace zan
