// Process entry of ZanSetup.exe.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include "entry.h"
#include "setup/common/build_settings.h"
#include "setup/common/log.h"
#include "setup/common/process_safety.h"
#include "setup/ui/dialog_base.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int) {
  zan::SearchSystemFolderOnlyForDlls();
  zan::SetLogModule(instance);
  if (!zan::IsPinnedBuild()) zan::SetLogPreamble(L"development build: no publisher key is pinned");
  // Set by the elevated launcher for the copy it runs: the log stays beside
  // the installed program.
  wchar_t logFolder[MAX_PATH] = {};
  DWORD length = ::GetEnvironmentVariableW(L"ZANSETUP_LOG_FOLDER", logFolder, MAX_PATH);
  if (length > 0 && length < MAX_PATH) zan::SetLogFolder(logFolder);
  zan::SetResourceModule(instance);
  ::CoInitialize(nullptr);
  INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES};
  ::InitCommonControlsEx(&controls);
  int code = zan::RunSetup(instance, commandLine);
  ::CoUninitialize();
  return code;
}
