// Files and folders reached through handles already held, never by a path
// looked up again: what an administrator's process does in a folder that
// someone else could change under it.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <string>
#include <utility>
#include <vector>

#include "handles.h"

namespace zan {

// A security descriptor made from its text form, or read from a held
// entry (its owner and rules), freed with the object; empty when it could
// not be made or read.
class LocalSecurityDescriptor {
 public:
  explicit LocalSecurityDescriptor(const wchar_t* sddl);
  explicit LocalSecurityDescriptor(HANDLE entry);
  ~LocalSecurityDescriptor();
  LocalSecurityDescriptor(const LocalSecurityDescriptor&) = delete;
  LocalSecurityDescriptor& operator=(const LocalSecurityDescriptor&) = delete;
  PSECURITY_DESCRIPTOR get() const { return descriptor_; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
};

// How OpenInside opens: NtCreateFile's access, sharing, disposition and
// options; FILE_OPEN_REPARSE_POINT and synchronous I/O are always added.
struct HeldOpen {
  ACCESS_MASK access;
  ULONG share;
  ULONG disposition;
  ULONG options;
  PSECURITY_DESCRIPTOR descriptor;  // for what it creates; nullptr: inherited
};

// Access enough to list a folder, read its rules and delete it, sharing
// no deletion: while held, nobody renames it or swaps it for another.
HeldOpen RemovalAccess();

// The entry at `path` itself, never what a link or junction points to.
ScopedFile OpenNoFollow(const std::wstring& path, DWORD access);

// `name` inside the folder held as `folder`, opened through that handle.
ScopedFile OpenInside(HANDLE folder, const std::wstring& name, const HeldOpen& how, NTSTATUS* result = nullptr);

// A link, a junction or any other reparse point, or an entry whose
// attributes cannot be read.
bool IsLink(HANDLE entry);

// `name` inside the held folder, opened through that handle, and only when
// it is no link: neither as its folder lists it nor as opened (Wine opens
// what a link leads to, and shows the link in the listing alone). The
// folder must be held with FILE_LIST_DIRECTORY.
ScopedFile OpenInsideNoLink(HANDLE folder, const std::wstring& name, const HeldOpen& how);

// A read-only file that has a name elsewhere too (or whose names cannot be
// counted): its attribute belongs to the file, so clearing it to delete
// this name would change the file that other name leads to.
bool IsLinkedReadOnlyFile(HANDLE entry);

// Marks the held entry for deletion when its last handle closes; a
// read-only file loses that attribute first, and one that
// IsLinkedReadOnlyFile is left as it is (false).
bool DeleteHeld(HANDLE entry);

// Renames the held entry to `name` in the folder held as `folder`,
// replacing what is there.
bool RenameHeld(HANDLE entry, HANDLE folder, const std::wstring& name);

// The names in the held folder with their attributes as the listing gives them.
std::vector<std::pair<std::wstring, DWORD>> ListHeld(HANDLE folder);

// The owner and the access rules of the held entry, as text (empty: unknown).
std::wstring RulesOf(HANDLE entry);

// The owner and rules that this system gives a folder made now with
// `sddl`: how it writes them down differs between systems, so a folder is
// judged against one made beside it for the purpose. Empty when it cannot
// be made.
std::wstring ReferenceRules(const wchar_t* sddl);

// The system's temporary folder ("%SystemRoot%\Temp\"), whose subfolders a
// standard user can neither rename nor delete; empty when unknown.
std::wstring SystemTempFolder();

// 32 hexadecimal digits from the system's random numbers (empty: none).
std::wstring RandomName();

}  // namespace zan
