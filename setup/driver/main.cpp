// Process entry of ZanSetup.exe.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include "entry.h"
#include "setup/common/build_settings.h"
#include "setup/common/elevated_copy.h"
#include "setup/common/files.h"
#include "setup/common/log.h"
#include "setup/common/process_safety.h"
#include "setup/ui/dialog_base.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int) {
  zan::SearchSystemFolderOnlyForDlls();
  zan::SetLogModule(instance);
  if (!zan::IsPinnedBuild()) zan::SetLogPreamble(L"development build: no publisher key is pinned");
  // The protected copy logs where only administrators may write, whatever
  // its token (a run with administrator rights does so anyway: log.h).
  const bool protectedCopy = zan::IsProtectedCopyProgram(zan::ModuleFilePath(nullptr));
  if (protectedCopy) zan::SetLogToProtectedFolder();
  zan::SetResourceModule(instance);
  ::CoInitialize(nullptr);
  INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES};
  ::InitCommonControlsEx(&controls);
  int code = zan::RunSetup(instance, commandLine, protectedCopy);
  ::CoUninitialize();
  return code;
}
