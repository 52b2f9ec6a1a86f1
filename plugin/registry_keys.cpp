#include "registry_keys.h"

#include "setup/common/handles.h"
#include "setup/common/string_util.h"

namespace zan {
namespace {

std::wstring Expand(const wchar_t* text, const std::vector<Replacement>& with) {
  std::wstring result = text ? text : L"";
  for (const Replacement& item : with) result = ReplaceAll(result, L"%" + item.name + L"%", item.value);
  return result;
}

LONG SetValue(HKEY key, const RegValueRow& row, const std::vector<Replacement>& with) {
  if (row.type == REG_DWORD) {
    return ::RegSetValueExW(key, row.name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&row.number),
                            sizeof(row.number));
  }
  std::wstring text = Expand(row.text, with);
  return ::RegSetValueExW(key, row.name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

bool IsEmptyKey(HKEY root, const std::wstring& path) {
  HKEY opened = nullptr;
  if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return false;
  ScopedRegKey key(opened);
  DWORD subkeys = 0, values = 0;
  if (::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                         nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  return subkeys == 0 && values == 0;
}

bool Gone(LONG result) { return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND; }

LONG RemoveTableValues(HKEY root, const std::wstring& path, const RegKeyRow& row) {
  HKEY opened = nullptr;
  LONG result = ::RegOpenKeyExW(root, path.c_str(), 0, KEY_SET_VALUE, &opened);
  if (result != ERROR_SUCCESS) return result;
  ScopedRegKey key(opened);
  for (const RegValueRow& value : row.values) {
    result = ::RegDeleteValueW(key.get(), value.name);
    if (!Gone(result)) return result;
  }
  return ERROR_SUCCESS;
}

LONG UnregisterRow(HKEY root, const RegKeyRow& row, const std::vector<Replacement>& with) {
  std::wstring path = Expand(row.path, with);
  switch (row.rule) {
    case KeyRule::kKept:
      return ERROR_SUCCESS;
    case KeyRule::kForced:
      return ::RegDeleteTreeW(root, path.c_str());
    case KeyRule::kNormal:
      break;
  }
  LONG result = RemoveTableValues(root, path, row);
  if (result == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (result != ERROR_SUCCESS) return result;
  return IsEmptyKey(root, path) ? ::RegDeleteKeyW(root, path.c_str()) : ERROR_SUCCESS;
}

}  // namespace

HRESULT RegisterKeys(HKEY root, const std::vector<RegKeyRow>& table, const std::vector<Replacement>& with) {
  for (const RegKeyRow& row : table) {
    std::wstring path = Expand(row.path, with);
    if (row.rule == KeyRule::kForced) {
      LONG removed = ::RegDeleteTreeW(root, path.c_str());
      if (!Gone(removed)) return HRESULT_FROM_WIN32(removed);
    }
    HKEY created = nullptr;
    LONG result = ::RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    KEY_SET_VALUE, nullptr, &created, nullptr);
    if (result != ERROR_SUCCESS) return HRESULT_FROM_WIN32(result);
    ScopedRegKey key(created);
    for (const RegValueRow& value : row.values) {
      result = SetValue(key.get(), value, with);
      if (result != ERROR_SUCCESS) return HRESULT_FROM_WIN32(result);
    }
  }
  return S_OK;
}

HRESULT UnregisterKeys(HKEY root, const std::vector<RegKeyRow>& table, const std::vector<Replacement>& with) {
  for (auto row = table.rbegin(); row != table.rend(); ++row) {
    LONG result = UnregisterRow(root, *row, with);
    if (!Gone(result)) return HRESULT_FROM_WIN32(result);
  }
  return S_OK;
}

}  // namespace zan
