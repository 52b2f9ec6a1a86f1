// Window messages between the workers, the dialogs and the workflow, and the
// dialogs' way back into the workflow: the one header the dialogs and the
// workflow share.
#pragma once

#include <windows.h>

#include <algorithm>
#include <iterator>

namespace zan {

// To the progress dialog.
const UINT UM_PROGRESS_POSITION = WM_USER + 10;  // wParam: amount done
const UINT UM_PROGRESS_MODE = WM_USER + 12;      // wParam: nonzero busy, 0 percent
const UINT UM_PROGRESS_TOTAL = WM_USER + 13;     // wParam: total amount
// wParam: the seconds until a request is tried again; 0: the wait is over.
const UINT UM_PROGRESS_WAITING = WM_USER + 40;

// To the main dialog. UM_INFO_READY carries an owned std::string (PostOwned,
// TakeOwned). UM_PATH_CHOSEN is sent, never posted: its wParam points at
// the path dialog's own wide string.
const UINT UM_INFO_READY = WM_USER + 14;
const UINT UM_PACKAGE_READY = WM_USER + 15;
const UINT UM_PATH_CHOSEN = WM_USER + 16;
const UINT UM_INSTALL_DONE = WM_USER + 17;
const UINT UM_INFO_FAILED = WM_USER + 18;
const UINT UM_PACKAGE_FAILED = WM_USER + 19;
const UINT UM_INSTALL_FAILED = WM_USER + 20;
// A worker needs proxy credentials: wParam owns a std::shared_ptr of the
// driver's ProxyPrompt (PostOwned, TakeOwned).
const UINT UM_PROXY_PROMPT = WM_USER + 41;

// The messages the main dialog hands to the workflow, and only these.
inline bool IsWorkflowMessage(UINT message) {
  static const UINT kWorkflow[] = {UM_INFO_READY,  UM_PACKAGE_READY,  UM_PATH_CHOSEN,   UM_INSTALL_DONE,
                                   UM_INFO_FAILED, UM_PACKAGE_FAILED, UM_INSTALL_FAILED, UM_PROXY_PROMPT};
  return std::find(std::begin(kWorkflow), std::end(kWorkflow), message) != std::end(kWorkflow);
}

// What the dialogs call back into the workflow.
class IDownloadCallback {
 public:
  virtual void OnContinue() = 0;
  virtual void OnCancel() = 0;

 protected:
  ~IDownloadCallback() = default;
};

}  // namespace zan
