#include "entry.h"

#include "command_line.h"
#include "elevated_start.h"
#include "install_link.h"
#include "instance_guard.h"
#include "rights.h"
#include "self_update.h"
#include "setup/common/files.h"
#include "setup/common/log.h"
#include "setup/common/product_values.h"
#include "setup/common/protected_run.h"
#include "setup/ui/i18n.h"
#include "main_dlg.h"

namespace zan {
namespace {

void ShowAlreadyRunning(HINSTANCE instance) {
  CI18N strings;
  // An elevated run reads no text that the user's files decide.
  if (IsElevatedRun()) {
    strings.UseBuiltIn();
  } else {
    strings.SetLanguage(GetModuleFolder(instance) + L"language\\", 0);
  }
  ::MessageBoxW(nullptr, strings.Text(L"language.isruningmessage").c_str(),
                strings.Text(L"language.caption").c_str(), MB_OK);
}

// The name and version become a folder name and segments of the server
// address; anything that could step outside those places ends the run.
bool ArgumentsAreSafe(const std::wstring& product, const std::wstring& version) {
  if (!IsSafePathSegment(product)) {
    WriteLog(L"the Produce name is not usable, setup ends: %s", product.c_str());
    return false;
  }
  if (!version.empty() && !IsSafePathSegment(version)) {
    WriteLog(L"the Produce version is not usable, setup ends: %s", version.c_str());
    return false;
  }
  return true;
}

int RunMainDialog(const std::wstring& line, const std::wstring& product,
                  const std::wstring& version) {
  MessageLoop loop;
  CMainDlg dialog;
  if (!dialog.Create()) return 0;
  ::ShowWindow(dialog.hwnd(), SW_HIDE);
  dialog.Start(line, product, version);
  return loop.Run();
}

}  // namespace

int RunSetup(HINSTANCE instance, const wchar_t* commandLine, bool protectedCopy) {
  std::wstring line = TrimCommandLine(commandLine ? commandLine : L"");
  if (!TakeInstallLink(&line)) return 0;
  if (protectedCopy) SetProtectedCopyRun();
  if (!protectedCopy && HasElevatedToken()) return RunFromProtectedCopy(instance, line);
  ArgumentTable arguments = ParseArguments(line);
  std::wstring product = ArgumentValue(arguments, L"App");
  std::wstring version = ArgumentValue(arguments, L"Ver");
  if (!ArgumentValue(arguments, L"Uac").empty()) SetElevationAttempted();
  if (product.empty()) return 0;
  if (!ArgumentsAreSafe(product, version)) return 0;

  // The guard lives until the loop ends; if it cannot be made at all the run
  // goes on unguarded.
  if (AcquireInstanceGuard(product) == GuardResult::kAlreadyRunning) {
    ShowAlreadyRunning(instance);
    return 0;
  }
  // The run that asked for the rights has done this; an elevated run
  // touches no more than it must.
  if (!IsElevatedRun()) RemoveUpdateLeftovers(GetModuleFolder(instance));
  int code = RunMainDialog(line, product, version);
  ReleaseInstanceGuard();
  AwaitElevatedRun();
  return code;
}

}  // namespace zan
