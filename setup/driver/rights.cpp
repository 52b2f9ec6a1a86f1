#include "rights.h"

#include <windows.h>
#include <shellapi.h>

#include "elevated_start.h"
#include "instance_guard.h"
#include "setup/common/protected_log.h"
#include "setup/common/string_util.h"

namespace zan {
namespace {

bool g_protectedCopy = false;

}  // namespace

bool IsAdministrator() {
  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (!::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                  DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators)) {
    return false;
  }
  BOOL member = FALSE;
  BOOL ok = ::CheckTokenMembership(nullptr, administrators, &member);
  ::FreeSid(administrators);
  return ok && member;
}

void SetProtectedCopyRun() { g_protectedCopy = true; }

bool IsElevatedRun() {
  static const bool elevatedToken = HasElevatedToken();
  return g_protectedCopy || elevatedToken;
}

RightsDecision DecideRights(const std::wstring& execLevel, bool isAdministrator,
                            bool elevationAttempted) {
  if (execLevel.empty() || !EqualsIgnoreCase(execLevel, L"Administrator") || isAdministrator) {
    return RightsDecision::kProceed;
  }
  return elevationAttempted ? RightsDecision::kRefuse : RightsDecision::kRelaunch;
}

void StartElevatingLauncher(const std::wstring& launcher, const std::wstring& parameters) {
  ReleaseInstanceGuard();
  NoteElevatedLogStart();
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  info.lpFile = launcher.c_str();
  info.lpParameters = parameters.c_str();
  info.nShow = SW_HIDE;
  // This run's dialogs end either way; its process waits for the launcher
  // at the end, to take the elevated run's log into its own.
  if (::ShellExecuteExW(&info) && info.hProcess) KeepElevatedRun(info.hProcess);
}

}  // namespace zan
