// The record's readers. The plug-in builds this file too, so both programs
// find the record by the same rules; it needs nothing but the platform.
#include <windows.h>

#include <cwchar>

#include "app_reg.h"
#include "handles.h"

namespace zan {
namespace {

constexpr DWORD kNameCapacity = 256;
constexpr DWORD kDataBytes = 512;

struct Wanted {
  const wchar_t* name;
  std::wstring* out;
};

// Enumerates the record's values into fixed buffers, the capacities passed
// again before each call, and stops at the first call that fails: no more
// values, or a name or data too long for the buffers.
bool ReadRecord(const Wanted* wanted, size_t count) {
  HKEY opened = nullptr;
  if (::RegOpenKeyExW(HKEY_CURRENT_USER, CAppReg::kKeyPath, 0, KEY_READ, &opened) != ERROR_SUCCESS) {
    return false;
  }
  ScopedRegKey key(opened);
  bool readOne = false;
  for (DWORD index = 0;; ++index) {
    wchar_t name[kNameCapacity];
    DWORD nameLength = kNameCapacity;
    // One wide zero beyond the 512 bytes: data stored without its own
    // terminator (or not as a string at all) still ends inside the buffer.
    wchar_t data[kDataBytes / sizeof(wchar_t) + 1] = {};
    DWORD dataSize = kDataBytes;
    if (::RegEnumValueW(key.get(), index, name, &nameLength, nullptr, nullptr,
                        reinterpret_cast<BYTE*>(data), &dataSize) != ERROR_SUCCESS) {
      break;
    }
    readOne = true;
    for (size_t i = 0; i < count; ++i) {
      if (_wcsicmp(name, wanted[i].name) == 0) *wanted[i].out = data;
    }
  }
  return readOne;
}

}  // namespace

const wchar_t CAppReg::kKeyPath[] = L"Software\\Corvela\\ZanSetup";

bool CAppReg::GetRegAppInfo(std::wstring& version, std::wstring& path) {
  const Wanted wanted[] = {{L"version", &version}, {L"install_dir", &path}};
  return ReadRecord(wanted, 2);
}

bool CAppReg::GetRegAppValue(const std::wstring& name, std::wstring& value) {
  const Wanted wanted[] = {{name.c_str(), &value}};
  return ReadRecord(wanted, 1);
}

}  // namespace zan
