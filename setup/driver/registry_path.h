// Registry values named by a path text: root, "\", key path, "\", value name.
#pragma once

#include <windows.h>

#include <string>

namespace zan {

struct RegistryPath {
  HKEY root;
  std::wstring key;
  std::wstring valueName;
};

// False for an empty path. A root other than the five predefined names reads
// as the current user's hive.
bool SplitRegistryPath(const std::wstring& path, RegistryPath* out);

// Enumerates the key's values and takes the data of every value whose name
// matches ignoring case; true when one was found.
bool ReadRegistryPathValue(const std::wstring& path, std::wstring& out);

}  // namespace zan
