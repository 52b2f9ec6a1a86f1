// Running the setup program with administrator rights: always as a copy
// in a folder only administrators may change (elevated_copy.h), never from
// the folder the user installed into.
#pragma once

#include <string>

#include "protected_log.h"  // HasElevatedToken

namespace zan {

// Makes a protected copy of the setup program in `sourceFolder` (ending in
// "\"), starts it with `arguments` and "Uac=yes" when it is current and, in
// a pinned build, signed with a pinned key, and waits for it. The product's
// installer unpacks into a TEMP inside the copy's folder. `who` begins each
// log line ("ZanSetupSH: " for the launcher). Returns the copy's exit code,
// or -1 when no copy ran.
int RunProtectedCopy(const std::wstring& sourceFolder, const std::wstring& arguments, const std::wstring& who,
                     bool removeLeftovers);

}  // namespace zan
