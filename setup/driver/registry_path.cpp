#include "registry_path.h"

#include <cwchar>

#include "setup/common/handles.h"
#include "setup/common/log.h"
#include "setup/common/string_util.h"

namespace zan {
namespace {

// Null for a name that is none of the five.
HKEY RootByName(const std::wstring& name) {
  static const struct {
    const wchar_t* name;
    HKEY key;
  } kRoots[] = {{L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
                {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                {L"HKEY_USERS", HKEY_USERS},
                {L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG}};
  for (const auto& root : kRoots) {
    if (EqualsIgnoreCase(name, root.name)) return root.key;
  }
  return nullptr;
}

bool RootAllowed(const RegistryPath& parts, const std::wstring& path, KeyRoots roots) {
  if (roots == KeyRoots::kAny || parts.root == HKEY_LOCAL_MACHINE) return true;
  if (!parts.knownRoot) {
    WriteLog(L"the elevated run reads no install folder under a root it does not know: %s", path.c_str());
  } else {
    WriteLog(L"the elevated run reads install folders from HKEY_LOCAL_MACHINE only, not from: %s", path.c_str());
  }
  return false;
}

}  // namespace

bool SplitRegistryPath(const std::wstring& path, RegistryPath* out) {
  if (path.empty()) return false;
  size_t first = path.find(L'\\');
  size_t last = path.rfind(L'\\');
  const HKEY root = RootByName(path.substr(0, first));
  out->knownRoot = root != nullptr;
  out->root = root ? root : HKEY_CURRENT_USER;
  out->valueName = last == std::wstring::npos ? path : path.substr(last + 1);
  out->key = first == std::wstring::npos || last <= first
                 ? std::wstring()
                 : path.substr(first + 1, last - first - 1);
  return true;
}

bool ReadRegistryPathValue(const std::wstring& path, std::wstring& out, KeyRoots roots) {
  RegistryPath parts;
  if (!SplitRegistryPath(path, &parts) || !RootAllowed(parts, path, roots)) return false;
  HKEY opened = nullptr;
  if (::RegOpenKeyExW(parts.root, parts.key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) {
    return false;
  }
  ScopedRegKey key(opened);
  bool found = false;
  for (DWORD index = 0;; ++index) {
    wchar_t name[512];
    DWORD nameLength = 512;
    // One spare wide zero beyond the 512 bytes, so data without its own
    // terminator still reads as a string.
    wchar_t data[256 + 1] = {};
    DWORD dataSize = 512;
    DWORD type = 0;
    if (::RegEnumValueW(key.get(), index, name, &nameLength, nullptr, &type,
                        reinterpret_cast<BYTE*>(data), &dataSize) != ERROR_SUCCESS) {
      break;
    }
    if (EqualsIgnoreCase(name, parts.valueName)) {
      out = data;
      found = true;
    }
  }
  return found;
}

}  // namespace zan
