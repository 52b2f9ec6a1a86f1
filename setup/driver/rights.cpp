#include "rights.h"

#include <windows.h>
#include <shellapi.h>

#include "instance_guard.h"
#include "setup/common/string_util.h"

namespace zan {

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

RightsDecision DecideRights(const std::wstring& execLevel, bool isAdministrator,
                            bool elevationAttempted) {
  if (execLevel.empty() || !EqualsIgnoreCase(execLevel, L"Administrator") || isAdministrator) {
    return RightsDecision::kProceed;
  }
  return elevationAttempted ? RightsDecision::kRefuse : RightsDecision::kRelaunch;
}

void StartElevatingLauncher(const std::wstring& launcher, const std::wstring& parameters) {
  ReleaseInstanceGuard();
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  info.lpFile = launcher.c_str();
  info.lpParameters = parameters.c_str();
  info.nShow = SW_HIDE;
  // Whether the launcher started is not looked at: this run ends either way.
  if (::ShellExecuteExW(&info) && info.hProcess) ::CloseHandle(info.hProcess);
}

}  // namespace zan
