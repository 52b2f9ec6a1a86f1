// Conversions between UTF-16 and the narrow encodings the program meets.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace zan {

std::wstring MultiByteToWide(const std::string& text, unsigned codePage);
std::string WideToMultiByte(const std::wstring& text, unsigned codePage);

inline std::wstring Utf8ToWide(const std::string& text) { return MultiByteToWide(text, 65001); }
inline std::string WideToUtf8(const std::wstring& text) { return WideToMultiByte(text, 65001); }

// Case-insensitive equality of wide strings (ASCII letters folded, as _wcsicmp).
bool EqualsIgnoreCase(const std::wstring& a, const std::wstring& b);

// ASCII letters lower-cased; every other character as it is.
std::wstring LowerAscii(std::wstring text);

// The entries of a build setting's list, separated by ";" or ",": blanks
// around them dropped, lower-cased (ASCII), empty ones left out.
std::vector<std::wstring> SplitSettingList(const std::wstring& text);

// Replaces every occurrence of `what` in `text`.
std::wstring ReplaceAll(std::wstring text, const std::wstring& what, const std::wstring& with);

// Decimal digits only, with blanks around them, without overflow; anything
// else (a sign, "*", trailing letters) is no number and leaves `*value`
// alone. Servers put numbers in headers; none of them may be guessed at.
bool ParseDecimal(const std::wstring& text, unsigned long long* value);

// The bytes as lower-case hexadecimal digits, two per byte.
std::string HexText(const unsigned char* bytes, size_t count);

}  // namespace zan
