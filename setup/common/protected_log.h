// Where runs with administrator rights log: a folder below the machine's
// program data that only SYSTEM and Administrators may change and users may
// read, one file per account. Nothing an elevated run writes lies in a
// folder the user's own programs could redirect.
#pragma once

#include <string>

#include "handles.h"

namespace zan {

// Whether this process's token holds administrator power, as Windows
// judges it (the Administrators group enabled, or privileges of that weight).
bool HasElevatedToken();

// "<program data>\Corvela\ZanSetup\Logs\", empty when the system does not
// say where its program data lies.
std::wstring ProtectedLogFolder();

// "zansetup-<the account's SID>.log", empty when the token cannot be read.
std::wstring ProtectedLogName();

// The account's file in that folder; empty when either is unknown.
std::wstring ProtectedLogPath();

// The log folder, made when missing, reached through handles from the
// program data folder down without following any link; held without
// delete sharing, so nobody renames or swaps it while it is open. Only a
// folder that carries exactly the owner and access rules it is made with
// is returned.
ScopedFile OpenProtectedLogFolder();

}  // namespace zan
