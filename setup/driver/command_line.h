// The setup program's command line: space-separated key=value tokens.
#pragma once

#include <map>
#include <string>

namespace zan {

using ArgumentTable = std::map<std::wstring, std::wstring>;

// Removes leading and trailing characters that iswspace accepts.
std::wstring TrimCommandLine(const std::wstring& text);

// Splits at U+0020 only; the first "=" (not in first place) separates key and
// value and later values win; a token without one is a bare key whose
// existing value is kept. Nothing is quoted or escaped.
ArgumentTable ParseArguments(const std::wstring& trimmedLine);

// The value of `key`, or empty when the key is absent.
std::wstring ArgumentValue(const ArgumentTable& table, const std::wstring& key);

// Set by a non-empty "Uac" value; never cleared for the life of the process.
void SetElevationAttempted();
bool ElevationAttempted();

}  // namespace zan
