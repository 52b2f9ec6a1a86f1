#include "file_digests.h"

#include <cwchar>
#include <vector>

#include "handles.h"
#include "log.h"
#include "md5.h"
#include "sha256.h"
#include "string_util.h"

namespace zan {
namespace {

const DWORD kReadBuffer = 10240;

bool Matches(const wchar_t* name, const std::string& realText, const std::wstring& expected) {
  const std::wstring real = Utf8ToWide(realText);
  if (!real.empty() && _wcsicmp(real.c_str(), expected.c_str()) == 0) return true;
  WriteLog(L"compare %s failed, expected: %s, real: %s", name, expected.c_str(), real.c_str());
  return false;
}

}  // namespace

bool IsSha256Text(const std::wstring& text) {
  if (text.size() != 2 * Sha256Context::kDigestSize) return false;
  for (wchar_t c : text) {
    const bool hex = (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
    if (!hex) return false;
  }
  return true;
}

bool CheckFileDigests(const std::wstring& path, const ExpectedDigests& expected) {
  // Read sharing only: a writer still holding the file means it is not
  // finished, and the check must fail rather than digest half a file.
  ScopedFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  return CheckFileDigests(file.get(), expected);
}

bool CheckFileDigests(HANDLE file, const ExpectedDigests& expected) {
  // The whole size: a 32-bit one would check a file of 4 GiB or more only up
  // to its size modulo 4 GiB.
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(file, &size)) return false;
  LARGE_INTEGER start = {};
  if (!::SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;

  Md5Context md5;
  Sha256Context sha256;
  {
    std::vector<unsigned char> buffer(kReadBuffer);
    unsigned long long remaining = static_cast<unsigned long long>(size.QuadPart);
    while (remaining > 0) {
      DWORD want = remaining < kReadBuffer ? static_cast<DWORD>(remaining) : kReadBuffer;
      DWORD got = 0;
      if (!::ReadFile(file, buffer.data(), want, &got, nullptr) || got == 0) break;
      md5.Add(buffer.data(), got);
      if (expected.hasSha256) sha256.Add(buffer.data(), got);
      remaining -= got;
    }
  }

  unsigned char md5Digest[Md5Context::kDigestSize];
  md5.Finish(md5Digest);
  if (!Matches(L"md5", Md5DigestText(md5Digest), expected.md5)) return false;
  if (!expected.hasSha256) return true;
  unsigned char shaDigest[Sha256Context::kDigestSize];
  const std::string shaText = sha256.Finish(shaDigest) ? HexText(shaDigest, sizeof(shaDigest)) : std::string();
  return Matches(L"sha256", shaText, expected.sha256);
}

bool CheckFileMd5(const std::wstring& path, const std::wstring& expected) {
  return CheckFileDigests(path, ExpectedDigests{expected});
}

bool CheckFileMd5(HANDLE file, const std::wstring& expected) {
  return CheckFileDigests(file, ExpectedDigests{expected});
}

}  // namespace zan
