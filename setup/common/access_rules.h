// Who may change a folder, judged from its owner and access rules: what a
// process with administrator rights asks before it writes in a folder, or
// has something installed there.
#pragma once

#include <windows.h>

#include <string>

namespace zan {

// How a folder is used, and so which rights of others it must not grant.
enum class FolderUse {
  // Walked through to reach ours (the program data folder): others may add
  // entries, as Windows lets users there, but may not delete, rename or
  // re-rule what it holds, nor the folder itself.
  kPassage,
  // Written in: nobody but its trusted owners may change anything in it.
  kWrittenIn,
  // Installed into, or the nearest folder above one the installer is yet to
  // make: the rules that what it makes inherits count as well.
  kInstalledInto,
};

// Whether the descriptor's owner is SYSTEM, Administrators or
// TrustedInstaller (or `alsoTrusted`), and no entry of its access rules
// grants anyone else a right that `use` forbids. Deny entries only narrow;
// a rule of a kind not known here fails, and so does a missing rule list.
bool KeepsUsersOut(PSECURITY_DESCRIPTOR descriptor, FolderUse use, PSID alsoTrusted);

// The same for the held entry. Trusted as well: the owner this system writes
// down for a folder made to be Administrators' (ReferenceOwner), which on
// Windows is Administrators and under Wine, which keeps no owners, the user.
bool HeldKeepsUsersOut(HANDLE entry, FolderUse use);

// Whether the held entry belongs to Administrators or SYSTEM (or the
// reference owner above): what an elevated run made, not a user.
bool OwnedByAdministrators(HANDLE entry);

// Whether `folder` (a full path), or the nearest folder above it that
// exists when it does not, is a folder only administrators may change,
// with what is made in it. A link on the way is not judged: false.
bool InstallFolderKeepsUsersOut(const std::wstring& folder);

}  // namespace zan
