// Where runs with administrator rights log: a folder below the machine's
// program data that only SYSTEM and Administrators may change and users may
// pass through, one file per account, which only that account and
// administrators may read. Nothing an elevated run writes lies in a folder
// the user's own programs could redirect.
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

// The access rules the account's log file is made with: full control for
// SYSTEM and Administrators, reading for the account; empty when the token
// cannot be read.
std::wstring ProtectedLogFileRules();

// The account's file in that folder; empty when either is unknown.
std::wstring ProtectedLogPath();

// The log folder, made when missing, reached through handles from the
// program data folder down without following any link; held without
// delete sharing, so nobody renames or swaps it while it is open. Each step
// must be owned by SYSTEM, Administrators or TrustedInstaller and grant no
// one else a right to change it (the program data folder: to delete,
// rename or re-rule what it holds); at a step that fails the walk ends,
// leaving it as it is, and nothing is returned.
ScopedFile OpenProtectedLogFolder();
// The same below `root` (a folder's full path) instead of the program data
// folder.
ScopedFile OpenLogFolderBelow(const std::wstring& root);

// The account's log, opened for reading through handles from the program
// data folder down without following any link, and only when an
// administrator's process made it (its owner is Administrators or SYSTEM);
// empty otherwise. For the run that asked for the rights, which has none.
ScopedFile OpenProtectedLogForReading();

}  // namespace zan
