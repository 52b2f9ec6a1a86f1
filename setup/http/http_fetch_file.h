// Resumable download of one large file in 100 KiB blocks, with two worker
// threads above 20 blocks and a block state file beside the target. A
// publisher may opt in to requests over several blocks and more workers.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "simple_http_fetch.h"

namespace zan {

// Kinds: 0 total size, 1 bytes done, 2 finished, 3 a block failed. Always
// called on the thread that called Download. The user value is pointer-sized
// (32 bits in the 32-bit programs), so a window or pointer passes whole.
typedef int(__stdcall* ProgressFunc)(UINT_PTR user, int kind, int value);

// Parse "bytes START-END/TOTAL" of a Content-Range answer, decimal digits
// only. TOTAL may be "*" (length not known) for the range, not for the total.
bool ParseContentRange(const std::wstring& text, unsigned long long* start, unsigned long long* end);
bool ParseContentRangeTotal(const std::wstring& text, unsigned long long* total);

class CFileBlockInfo;

class CHttpFetchFile : public CSimpleHttpFetch {
 public:
  static constexpr unsigned kBlockSize = 102400;
  static constexpr unsigned kProbeSize = 10;
  static constexpr unsigned kWorkers = 2;
  static constexpr unsigned kMaxSpan = 1024;
  static constexpr unsigned kMaxWorkers = 8;
  // A request over several blocks whose answer ended before its last byte
  // (ERROR_HANDLE_EOF); the whole blocks it brought are on disk.
  static constexpr HRESULT kEndedEarly = static_cast<HRESULT>(0x80070026);
  static constexpr unsigned kWorkerThresholdBlocks = 20;
  static constexpr DWORD kWaitSlice = 2000;
  // 4 GiB - 1: the largest file the download's 32-bit sizes can describe.
  static constexpr unsigned long long kLargestFile = 0xFFFFFFFFull;

  CHttpFetchFile() = default;
  ~CHttpFetchFile() override = default;

  // Up to `span` consecutive blocks per request (1: one block each), and
  // `workers` connections for a file past the threshold (kWorkers unless
  // set). Values outside 1..kMaxSpan and 1..kMaxWorkers are brought inside.
  void set_transfer(unsigned span, unsigned workers);

  // S_OK when the file is at `path`; 1 when the first answer's status was not
  // 200, 203, 206 or 304; kTooLarge for a file above kLargestFile, found out
  // before anything is sized on disk; E_FAIL or a file error's HRESULT otherwise.
  HRESULT Download(const std::wstring& url, const std::wstring& extraHeaders, const std::wstring& path,
                   ProgressFunc progress, UINT_PTR user, const ProxySetting* proxy);

  // Fetches `count` blocks of `blockSize` bytes from block `index` into
  // `dataPath` over the open connection in `handles`. S_OK for a 203/206
  // with exactly the asked range and that many bytes, none written outside
  // it; S_OK for a 200 as well, its body left unread for the caller (the
  // probe wants it); 1 for any other status; E_FAIL or a file error's
  // HRESULT otherwise. Over several blocks, `blockDone` hears of each block
  // once it is on disk, and an answer that ends early gives kEndedEarly
  // after its whole blocks.
  HRESULT FetchRange(const std::wstring& headerBlock, int* status, InternetHandles* handles,
                     const std::wstring& url, const std::wstring& dataPath, unsigned blockSize,
                     unsigned index, unsigned long long total, unsigned count = 1,
                     const std::function<void(unsigned)>& blockDone = nullptr);

  static unsigned __stdcall BlockWorker(void* param);

 private:
  HRESULT DownloadWhole(HINTERNET request, const std::wstring& path, ProgressFunc progress, UINT_PTR user);

  unsigned span_ = 1;
  unsigned workers_ = kWorkers;
};

}  // namespace zan
