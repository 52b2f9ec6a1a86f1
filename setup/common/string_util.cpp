#include "string_util.h"

#include <windows.h>

#include <cwchar>

namespace zan {

std::wstring MultiByteToWide(const std::string& text, unsigned codePage) {
  if (text.empty()) return std::wstring();
  int length = ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()),
                                     nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(length), L'\0');
  ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), &out[0], length);
  return out;
}

std::string WideToMultiByte(const std::wstring& text, unsigned codePage) {
  if (text.empty()) return std::string();
  int length = ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()),
                                     nullptr, 0, nullptr, nullptr);
  if (length <= 0) return std::string();
  std::string out(static_cast<size_t>(length), '\0');
  ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), &out[0], length,
                        nullptr, nullptr);
  return out;
}

bool EqualsIgnoreCase(const std::wstring& a, const std::wstring& b) {
  return _wcsicmp(a.c_str(), b.c_str()) == 0;
}

std::wstring ReplaceAll(std::wstring text, const std::wstring& what, const std::wstring& with) {
  if (what.empty()) return text;
  for (size_t at = text.find(what); at != std::wstring::npos; at = text.find(what, at + with.size())) {
    text.replace(at, what.size(), with);
  }
  return text;
}

bool ParseDecimal(const std::wstring& text, unsigned long long* value) {
  size_t begin = text.find_first_not_of(L" \t");
  size_t end = text.find_last_not_of(L" \t");
  if (begin == std::wstring::npos) return false;
  unsigned long long result = 0;
  for (size_t i = begin; i <= end; ++i) {
    wchar_t c = text[i];
    if (c < L'0' || c > L'9') return false;
    unsigned digit = static_cast<unsigned>(c - L'0');
    if (result > (~0ull - digit) / 10) return false;
    result = result * 10 + digit;
  }
  *value = result;
  return true;
}

std::string HexText(const unsigned char* bytes, size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(count * 2);
  for (size_t i = 0; i < count; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0f];
  }
  return text;
}

std::wstring LowerAscii(std::wstring text) {
  for (wchar_t& c : text) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return text;
}

std::vector<std::wstring> SplitSettingList(const std::wstring& text) {
  std::vector<std::wstring> entries;
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find_first_of(L";,", at);
    if (end == std::wstring::npos) end = text.size();
    const std::wstring entry = text.substr(at, end - at);
    const size_t first = entry.find_first_not_of(L" \t");
    if (first != std::wstring::npos) {
      entries.push_back(LowerAscii(entry.substr(first, entry.find_last_not_of(L" \t") - first + 1)));
    }
    at = end + 1;
  }
  return entries;
}

}  // namespace zan
