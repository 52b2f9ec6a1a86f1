// The Windows code page that matches the charset of a Content-Type value.
#pragma once

#include <string>

namespace zan {

constexpr int kUtf8CodePage = 65001;

// Finds the first "charset=" (lower case only) followed by a token of
// letters, digits, '_' and '-'. On a match `charset` becomes the token in
// upper case and the result is its code page from the known table, or UTF-8
// for a name not in it. Without a match `charset` keeps its value and the
// result is UTF-8; a quoted value is no match.
int DetectCodePage(const std::wstring& contentType, std::wstring* charset);

}  // namespace zan
