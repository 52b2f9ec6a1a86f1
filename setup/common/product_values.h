// A product name and version as a web page, a link or a command line hands
// them over. They become one argument of the setup program's command line,
// a folder name and segments of the server's address, so every face that
// takes them from outside checks them here, the same way.
#pragma once

#include <cstddef>
#include <string>

namespace zan {

// The longest name or version taken, in characters.
constexpr size_t kMaxProductValueLength = 200;

// True when `name` can stand as one folder name under the download folder and
// as one segment of a server address: not empty, no separators, no "..", no
// character that Windows forbids in file names, no "%" or "#" (which would
// change the meaning of the address), no reserved device name, and no
// trailing dot or blank (which Windows strips).
bool IsSafePathSegment(const std::wstring& name);

// A safe path segment of at most kMaxProductValueLength characters without
// a blank, quote, "=", "&", control or invisible character: nothing that
// could split it into a second argument, hide part of it, or turn a command
// line into something else.
bool IsUsableProductValue(const std::wstring& value);

// Why a page's request to install `name` at `version` (empty: none named)
// is refused, or empty when it is not. The lengths are checked first, so a
// caller with a huge string can ask with its length before copying it.
std::wstring ProductValuesRefusal(size_t nameLength, size_t versionLength);
std::wstring ProductValuesRefusal(const std::wstring& name, const std::wstring& version);

}  // namespace zan
