// Registry values named by a path text: root, "\", key path, "\", value name.
#pragma once

#include <windows.h>

#include <string>

namespace zan {

struct RegistryPath {
  HKEY root;
  bool knownRoot;  // one of the five predefined names
  std::wstring key;
  std::wstring valueName;
};

// False for an empty path. A root other than the five predefined names reads
// as the current user's hive.
bool SplitRegistryPath(const std::wstring& path, RegistryPath* out);

// Which roots a path may name. An elevated run reads from
// HKEY_LOCAL_MACHINE only: the other hives are the user's to write (the
// classes merge the user's in), or another user's.
enum class KeyRoots { kAny, kMachineOnly };

// Enumerates the key's values and takes the data of every value whose name
// matches ignoring case; true when one was found. With kMachineOnly, a path
// under another root, or under a root of no known name, is refused with a
// log line and read nowhere.
bool ReadRegistryPathValue(const std::wstring& path, std::wstring& out, KeyRoots roots = KeyRoots::kAny);

}  // namespace zan
