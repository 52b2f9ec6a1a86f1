// The check of a downloaded file against the digests its publisher
// announced: MD5 always, SHA-256 when one was published.
#pragma once

#include <windows.h>

#include <string>

namespace zan {

struct ExpectedDigests {
  std::wstring md5;
  // Checked only when published; an empty or malformed text then matches
  // no file.
  bool hasSha256 = false;
  std::wstring sha256;
};

// 64 hexadecimal digits, either letter case: a SHA-256 digest's text.
bool IsSha256Text(const std::wstring& text);

// True when the file can be read and every expected digest equals the
// file's, ignoring letter case. Each mismatch is logged ("compare md5
// failed, ..." or "compare sha256 failed, ..."); a file that cannot be
// opened or sized is not. The file is read once for both digests.
bool CheckFileDigests(const std::wstring& path, const ExpectedDigests& expected);

// The same over a file the caller holds open for reading (from its first
// byte), so that what was checked is what the caller goes on to use.
bool CheckFileDigests(HANDLE file, const ExpectedDigests& expected);

// The MD5 check alone.
bool CheckFileMd5(const std::wstring& path, const std::wstring& expected);
bool CheckFileMd5(HANDLE file, const std::wstring& expected);

}  // namespace zan
