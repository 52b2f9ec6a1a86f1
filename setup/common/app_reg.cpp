#include "app_reg.h"

#include <windows.h>

#include "handles.h"

namespace zan {
namespace {

// REG_SZ with its terminating zero; any text can be stored.
void SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
  ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

// Creates whatever part of the key is missing and sets its default value to
// the empty string; null when the key could not be opened for writing.
HKEY OpenRecordForWriting() {
  HKEY key = nullptr;
  if (::RegCreateKeyExW(HKEY_CURRENT_USER, CAppReg::kKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return nullptr;
  }
  SetString(key, nullptr, std::wstring());
  return key;
}

}  // namespace

void CAppReg::RegAppInfo(const std::wstring& version, const std::wstring& path) {
  ScopedRegKey key(OpenRecordForWriting());
  if (!key) return;
  SetString(key.get(), L"version", version);
  SetString(key.get(), L"Install_dir", path);
}

void CAppReg::WriteRegAppValue(const std::wstring& key, const std::wstring& value) {
  ScopedRegKey record(OpenRecordForWriting());
  if (!record) return;
  SetString(record.get(), key.c_str(), value);
}

bool CAppReg::WriteRegAppDword(const std::wstring& key, unsigned long value) {
  ScopedRegKey record(OpenRecordForWriting());
  if (!record) return false;
  DWORD data = value;
  return ::RegSetValueExW(record.get(), key.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                          sizeof(data)) == ERROR_SUCCESS;
}

bool CAppReg::GetRegAppDword(const std::wstring& name, unsigned long* value) {
  DWORD data = 0;
  DWORD size = sizeof(data);
  if (::RegGetValueW(HKEY_CURRENT_USER, kKeyPath, name.c_str(), RRF_RT_REG_DWORD, nullptr, &data, &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  *value = data;
  return true;
}

}  // namespace zan
