// Times the multipart upload of the setup program's HTTP client so
// run_upload_bench.py can set it against a bare WinINet write loop and curl.
//
//   zanuploadbench multipart URL PATH   CSimpleHttpFetch::PostMultipart of one file
//   zanuploadbench rawwrite URL BYTES   one POST of BYTES from memory, written with
//                                       InternetWriteFile in 1 MiB pieces
//   zanuploadbench rawfile URL PATH     the same loop over the file's bytes, each
//                                       piece read with ReadFile first
//
// Each mode prints one line of "key=value" fields (memory in bytes, from
// GetProcessMemoryInfo); the exit code is 0 when the upload succeeded.
#include <windows.h>
#include <psapi.h>
#include <wininet.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "setup/common/handles.h"
#include "setup/http/http_url.h"
#include "setup/http/internet_handle.h"
#include "setup/http/simple_http_fetch.h"
#include "stopwatch.h"

namespace {

using zan_bench::Stopwatch;

using zan::CSimpleHttpFetch;
using zan::InternetHandles;

PROCESS_MEMORY_COUNTERS Memory() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof(counters);
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters));
  return counters;
}

void PrintMemory(const PROCESS_MEMORY_COUNTERS& before, const PROCESS_MEMORY_COUNTERS& after) {
  printf(" ws_before=%lu peak_before=%lu peak_after=%lu", static_cast<unsigned long>(before.WorkingSetSize),
         static_cast<unsigned long>(before.PeakWorkingSetSize),
         static_cast<unsigned long>(after.PeakWorkingSetSize));
}

// The answer of the sink route: "received N of M".
std::string Squeeze(std::string text) {
  for (char& c : text) {
    if (c == ' ' || c == '\n' || c == '\r') c = '_';
  }
  return text;
}

int Multipart(const std::wstring& url, const std::wstring& path) {
  CSimpleHttpFetch fetch;
  std::string answer;
  const PROCESS_MEMORY_COUNTERS before = Memory();
  Stopwatch clock;
  HRESULT result =
      fetch.PostMultipart(url, L"", {{L"note", L"benchmark"}}, {{L"file", path}}, nullptr, answer);
  double ms = clock.ElapsedMs();
  const PROCESS_MEMORY_COUNTERS after = Memory();
  printf("mode=multipart ms=%.1f hr=0x%08lx status=%d answer=%s", ms, static_cast<unsigned long>(result),
         fetch.status(), Squeeze(answer).c_str());
  PrintMemory(before, after);
  printf("\n");
  return result == S_OK ? 0 : 1;
}

// WinINet's ceiling: the same write calls with no bookkeeping around them,
// and without the file reads when `file` is empty.
int RawWrite(const wchar_t* mode, const std::wstring& url, unsigned long long total, HANDLE file) {
  zan::HttpUrlParts parts;
  if (!zan::CrackHttpUrl(url, &parts)) return 2;
  std::string piece(CSimpleHttpFetch::kUploadPieceSize, 'x');
  const PROCESS_MEMORY_COUNTERS before = Memory();
  Stopwatch clock;
  InternetHandles handles;
  handles.internet.reset(::InternetOpenW(L"zanuploadbench", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  if (handles.internet) {
    handles.connection.reset(::InternetConnectW(handles.internet.get(), parts.host.c_str(), parts.port,
                                                nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
  }
  if (handles.connection) {
    handles.request.reset(::HttpOpenRequestW(handles.connection.get(), L"POST", parts.objectName.c_str(),
                                             nullptr, nullptr, nullptr, zan::RequestFlagsFor(parts),
                                             0));
  }
  INTERNET_BUFFERSW announce = {};
  announce.dwStructSize = sizeof(announce);
  announce.dwBufferTotal = static_cast<DWORD>(total);
  bool ok = handles.request && ::HttpSendRequestExW(handles.request.get(), &announce, nullptr, 0, 0);
  for (unsigned long long left = total; ok && left > 0;) {
    DWORD count = static_cast<DWORD>(left < piece.size() ? left : piece.size());
    DWORD got = 0;
    if (file != INVALID_HANDLE_VALUE &&
        (!::ReadFile(file, &piece[0], count, &got, nullptr) || got != count)) {
      ok = false;
      break;
    }
    DWORD written = 0;
    ok = ::InternetWriteFile(handles.request.get(), piece.data(), count, &written) && written > 0;
    left -= written;
  }
  ok = ok && ::HttpEndRequestW(handles.request.get(), nullptr, 0, 0);
  std::string answer;
  char buffer[4096];
  DWORD got = 0;
  while (ok && ::InternetReadFile(handles.request.get(), buffer, sizeof(buffer), &got) && got > 0) {
    answer.append(buffer, got);
  }
  double ms = clock.ElapsedMs();
  const PROCESS_MEMORY_COUNTERS after = Memory();
  printf("mode=%ls ms=%.1f ok=%d answer=%s", mode, ms, ok ? 1 : 0, Squeeze(answer).c_str());
  PrintMemory(before, after);
  printf("\n");
  return ok ? 0 : 1;
}

// How long an upload the server stops reading takes to run into the
// client's deadline of `timeoutMs` (the unit test checks only that it does).
int Deadline(const std::wstring& url, const std::wstring& path, DWORD timeoutMs) {
  CSimpleHttpFetch fetch;
  fetch.set_timeout(timeoutMs);
  std::string answer;
  Stopwatch clock;
  HRESULT result = fetch.PostMultipart(url, L"", {}, {{L"file", path}}, nullptr, answer);
  printf("mode=deadline ms=%.1f hr=0x%08lx timeout=%lu\n", clock.ElapsedMs(), static_cast<unsigned long>(result),
         static_cast<unsigned long>(timeoutMs));
  return result == E_ABORT ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 5 && std::wstring(argv[1]) == L"deadline") {
    return Deadline(argv[2], argv[3], wcstoul(argv[4], nullptr, 10));
  }
  if (argc == 4) {
    std::wstring mode = argv[1];
    if (mode == L"multipart") return Multipart(argv[2], argv[3]);
    if (mode == L"rawwrite") {
      return RawWrite(L"rawwrite", argv[2], _wcstoui64(argv[3], nullptr, 10), INVALID_HANDLE_VALUE);
    }
    if (mode == L"rawfile") {
      zan::ScopedFile file(::CreateFileW(argv[3], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
      LARGE_INTEGER size;
      if (!file || !::GetFileSizeEx(file.get(), &size)) return 2;
      return RawWrite(L"rawfile", argv[2], static_cast<unsigned long long>(size.QuadPart), file.get());
    }
  }
  fprintf(stderr,
          "usage: zanuploadbench multipart URL PATH\n"
          "       zanuploadbench rawwrite URL BYTES\n"
          "       zanuploadbench rawfile URL PATH\n"
          "       zanuploadbench deadline URL PATH TIMEOUT_MS\n");
  return 2;
}
