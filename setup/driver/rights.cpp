#include "rights.h"

#include <windows.h>

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

}  // namespace zan
