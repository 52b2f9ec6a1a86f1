// Times the download and digest paths of the setup program so run_bench.py
// can set them against the platform's ceiling and native tools.
//
//   zanbench fetchfile URL TARGET [SPAN WORKERS]
//                                   CHttpFetchFile::Download (by default one
//                                   block per request on two connections)
//   zanbench ranged URL TARGET      one connection, 100 KiB ranged GETs
//   zanbench md5 PATH EXPECTED      CheckFileMd5
//   zanbench md5read PATH           CheckFileMd5's reads alone (10,240 bytes each)
//   zanbench md5digest MB           Md5Context over MB megabytes in memory, in
//                                   the same 10,240-byte pieces
//
// Each mode prints one line of "key=value" fields; the exit code is 0 when
// the operation succeeded.
#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "setup/common/file_digests.h"
#include "setup/common/handles.h"
#include "setup/common/md5.h"
#include "setup/http/http_fetch_file.h"
#include "setup/http/http_url.h"
#include "setup/http/internet_handle.h"
#include "stopwatch.h"

namespace {

using zan_bench::Stopwatch;

using zan::CHttpFetchFile;
using zan::InternetHandles;
using zan::ScopedFile;
using zan::ScopedInternet;

int FetchFile(const std::wstring& url, const std::wstring& target, unsigned span = 1,
              unsigned workers = CHttpFetchFile::kWorkers) {
  CHttpFetchFile fetch;
  fetch.set_transfer(span, workers);
  Stopwatch clock;
  HRESULT result = fetch.Download(url, L"", target, nullptr, 0, nullptr);
  double ms = clock.ElapsedMs();
  printf("mode=fetchfile ms=%.1f hr=0x%08lx status=%d\n", ms, static_cast<unsigned long>(result),
         fetch.status());
  return result == S_OK ? 0 : 1;
}

// One ranged GET of [start, start + kBlock) into `file`. Returns the total
// size from Content-Range, or 0 when the answer was not the block asked for.
unsigned long long FetchBlock(HINTERNET connection, const zan::HttpUrlParts& parts,
                              unsigned long long start, HANDLE file) {
  static const unsigned kBlock = CHttpFetchFile::kBlockSize;
  ScopedInternet request(::HttpOpenRequestW(connection, L"GET", parts.objectName.c_str(), nullptr,
                                            nullptr, nullptr, zan::RequestFlagsFor(parts), 0));
  if (!request) return 0;
  wchar_t range[80];
  swprintf(range, 80, L"Range: bytes=%llu-%llu\r\n", start, start + kBlock - 1);
  if (!::HttpSendRequestW(request.get(), range, static_cast<DWORD>(-1), nullptr, 0)) return 0;

  DWORD status = 0;
  DWORD size = sizeof(status);
  if (!::HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                        nullptr) ||
      status != 206) {
    return 0;
  }
  wchar_t contentRange[128];
  size = sizeof(contentRange);
  unsigned long long total = 0;
  if (!::HttpQueryInfoW(request.get(), HTTP_QUERY_CONTENT_RANGE, contentRange, &size, nullptr) ||
      !zan::ParseContentRangeTotal(contentRange, &total)) {
    return 0;
  }
  // The same read size as the setup program, so the two differ only in
  // their bookkeeping.
  char buffer[CHttpFetchFile::kReadSize];
  unsigned long long received = 0;
  for (;;) {
    DWORD got = 0;
    if (!::InternetReadFile(request.get(), buffer, sizeof(buffer), &got)) return 0;
    if (got == 0) break;
    DWORD written = 0;
    if (!::WriteFile(file, buffer, got, &written, nullptr) || written != got) return 0;
    received += got;
  }
  unsigned long long expected = total - start < kBlock ? total - start : kBlock;
  return received == expected ? total : 0;
}

int Ranged(const std::wstring& url, const std::wstring& target) {
  zan::HttpUrlParts parts;
  if (!zan::CrackHttpUrl(url, &parts)) {
    printf("mode=ranged error=url\n");
    return 1;
  }
  ScopedFile file(::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    printf("mode=ranged error=file\n");
    return 1;
  }
  Stopwatch clock;
  InternetHandles handles;
  handles.internet.reset(::InternetOpenW(L"zanbench", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  if (handles.internet) {
    handles.connection.reset(::InternetConnectW(handles.internet.get(), parts.host.c_str(), parts.port,
                                                nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
  }
  unsigned long long offset = 0;
  unsigned long long total = 1;  // known after the first answer
  unsigned requests = 0;
  bool ok = static_cast<bool>(handles.connection);
  while (ok && offset < total) {
    total = FetchBlock(handles.connection.get(), parts, offset, file.get());
    ok = total != 0;
    offset += CHttpFetchFile::kBlockSize;
    ++requests;
  }
  double ms = clock.ElapsedMs();
  printf("mode=ranged ms=%.1f ok=%d requests=%u bytes=%llu\n", ms, ok ? 1 : 0, requests,
         ok ? total : 0ull);
  return ok ? 0 : 1;
}

int Md5(const std::wstring& path, const std::wstring& expected) {
  Stopwatch clock;
  bool match = zan::CheckFileMd5(path, expected);
  double ms = clock.ElapsedMs();
  printf("mode=md5 ms=%.1f match=%d\n", ms, match ? 1 : 0);
  return match ? 0 : 1;
}

// The read loop of CheckFileMd5 without the digest, to tell the time the
// platform's reads take from the time of the transform.
int Md5Read(const std::wstring& path) {
  Stopwatch clock;
  ScopedFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    printf("mode=md5read error=open\n");
    return 1;
  }
  DWORD size = ::GetFileSize(file.get(), nullptr);
  std::vector<unsigned char> buffer(10240);
  DWORD remaining = size;
  unsigned reads = 0;
  unsigned char sum = 0;  // touches the bytes, as the digest would
  while (remaining > 0) {
    DWORD want = remaining < buffer.size() ? remaining : static_cast<DWORD>(buffer.size());
    DWORD got = 0;
    if (!::ReadFile(file.get(), buffer.data(), want, &got, nullptr) || got == 0) break;
    for (DWORD i = 0; i < got; i += 64) sum = static_cast<unsigned char>(sum + buffer[i]);
    remaining -= got;
    ++reads;
  }
  double ms = clock.ElapsedMs();
  printf("mode=md5read ms=%.1f bytes=%lu reads=%u MBps=%.1f sum=%u\n", ms,
         static_cast<unsigned long>(size - remaining), reads, (size - remaining) / 1e3 / ms, sum);
  return remaining == 0 ? 0 : 1;
}

int Md5Digest(int megabytes) {
  std::vector<unsigned char> data(static_cast<size_t>(megabytes) * 1000 * 1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 2654435761u >> 13);
  Stopwatch clock;
  zan::Md5Context context;
  for (size_t at = 0; at < data.size(); at += 10240) {
    context.Add(data.data() + at, data.size() - at < 10240 ? data.size() - at : 10240);
  }
  unsigned char digest[zan::Md5Context::kDigestSize];
  context.Finish(digest);
  double ms = clock.ElapsedMs();
  printf("mode=md5digest ms=%.1f bytes=%lu MBps=%.1f digest=%s\n", ms,
         static_cast<unsigned long>(data.size()), data.size() / 1e3 / ms,
         zan::Md5DigestText(digest).c_str());
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3) {
    std::wstring mode = argv[1];
    if (mode == L"md5read") return Md5Read(argv[2]);
    if (mode == L"md5digest") return Md5Digest(_wtoi(argv[2]));
  }
  if (argc == 4) {
    std::wstring mode = argv[1];
    if (mode == L"fetchfile") return FetchFile(argv[2], argv[3]);
    if (mode == L"ranged") return Ranged(argv[2], argv[3]);
    if (mode == L"md5") return Md5(argv[2], argv[3]);
  }
  if (argc == 6 && std::wstring(argv[1]) == L"fetchfile") {
    return FetchFile(argv[2], argv[3], static_cast<unsigned>(_wtoi(argv[4])), static_cast<unsigned>(_wtoi(argv[5])));
  }
  fprintf(stderr,
          "usage: zanbench fetchfile URL TARGET [SPAN WORKERS]\n"
          "       zanbench ranged URL TARGET\n"
          "       zanbench md5 PATH EXPECTED\n"
          "       zanbench md5read PATH\n"
          "       zanbench md5digest MB\n");
  return 2;
}
