#include "product_values.h"

#include <cwctype>

#include "string_util.h"

namespace zan {
namespace {

bool IsReservedDeviceName(const std::wstring& name) {
  std::wstring stem = name.substr(0, name.find(L'.'));
  static const wchar_t* const kPlain[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
  for (const wchar_t* reserved : kPlain) {
    if (EqualsIgnoreCase(stem, reserved)) return true;
  }
  if (stem.size() == 4 && stem[3] >= L'1' && stem[3] <= L'9') {
    std::wstring prefix = stem.substr(0, 3);
    return EqualsIgnoreCase(prefix, L"COM") || EqualsIgnoreCase(prefix, L"LPT");
  }
  return false;
}

// Characters that could split the value into a second argument, hide part
// of it, or turn the rewritten command line into something else.
bool IsRefusedValueCharacter(wchar_t c) {
  if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || iswspace(c)) return true;
  if (c == L'"' || c == L'\'' || c == L'=' || c == L'&') return true;
  // Invisible format marks: zero-width characters and direction overrides.
  return (c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF;
}

}  // namespace

bool IsSafePathSegment(const std::wstring& name) {
  if (name.empty() || name.find(L"..") != std::wstring::npos) return false;
  for (wchar_t c : name) {
    if (c < 0x20 || std::wstring(L"\\/:*?\"<>|%#").find(c) != std::wstring::npos) return false;
  }
  wchar_t last = name[name.size() - 1];
  if (last == L'.' || last == L' ') return false;
  return !IsReservedDeviceName(name);
}

bool IsUsableProductValue(const std::wstring& value) {
  if (value.size() > kMaxProductValueLength) return false;
  for (wchar_t c : value) {
    if (IsRefusedValueCharacter(c)) return false;
  }
  return IsSafePathSegment(value);
}

std::wstring ProductValuesRefusal(size_t nameLength, size_t versionLength) {
  if (nameLength > kMaxProductValueLength) return L"the product name is longer than 200 characters";
  if (versionLength > kMaxProductValueLength) return L"the product version is longer than 200 characters";
  return std::wstring();
}

std::wstring ProductValuesRefusal(const std::wstring& name, const std::wstring& version) {
  std::wstring refusal = ProductValuesRefusal(name.size(), version.size());
  if (!refusal.empty()) return refusal;
  if (!IsUsableProductValue(name)) return L"the product name is not usable";
  if (!version.empty() && !IsUsableProductValue(version)) return L"the product version is not usable";
  return std::wstring();
}

}  // namespace zan
