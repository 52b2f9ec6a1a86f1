// Resumable download of one large file in 100 KiB blocks, with two worker
// threads above 20 blocks and a block state file beside the target. A
// publisher may opt in to requests over several blocks and more workers.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

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

// One download, handed down whole.
struct DownloadRequest {
  // The file's address, then its mirrors: a transient failure moves the
  // next try to the next one in turn. Blocks from any of them make the
  // file; its digests decide. The first names the download in its state.
  std::vector<std::wstring> addresses;
  std::wstring extraHeaders;
  // The target; the data file and the block state lie beside it.
  std::wstring path;
  const ProxySetting* proxy = nullptr;
  // Every block from the one address that answers first.
  bool oneServer = false;
};

// One ranged request of FetchRange.
struct RangeRequest {
  std::wstring url;
  // Sent as it is (none when empty); carries the validator (If-Range).
  std::wstring headerBlock;
  std::wstring dataPath;
  unsigned blockSize = 0;
  unsigned index = 0;
  unsigned count = 1;
  // The file's size; ~0ull while it is not known (the probe).
  unsigned long long total = ~0ull;
  // Hears of each block of the range once it is on disk.
  std::function<void(unsigned)> blockDone;
  // Counts the body bytes that arrived, when given.
  volatile LONG64* received = nullptr;
};

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

  // S_OK when the file is at the request's path; 1 when the first answer's
  // status was not 200, 203, 206 or 304; kTooLarge for a file above
  // kLargestFile, found out before anything is sized on disk; E_ABORT when
  // the run was cancelled; E_FAIL or a file error's HRESULT otherwise. With
  // a run set (set_run), every connection tries again through transient
  // failures, keeping the blocks it has.
  HRESULT Download(const DownloadRequest& request, ProgressFunc progress, UINT_PTR user);
  // The same for one address.
  HRESULT Download(const std::wstring& url, const std::wstring& extraHeaders, const std::wstring& path,
                   ProgressFunc progress, UINT_PTR user, const ProxySetting* proxy);

  // After Download: whether the file's blocks came from more than one
  // server (blocks an earlier run left count as one more), and the body
  // bytes that arrived in all.
  bool mixed_sources() const { return mixed_sources_; }
  unsigned long long received_bytes() const { return static_cast<unsigned long long>(received_); }

  // Fetches the range's blocks into its data file over the open connection
  // in `handles`. S_OK for a 203/206 with exactly the asked range and that
  // many bytes, none written outside it; S_OK for a 200 as well, its body
  // left unread for the caller (the probe wants it); 1 for any other
  // status; E_FAIL or a file error's HRESULT otherwise. An answer that ends
  // early gives kEndedEarly after its whole blocks (a range of one block
  // brings none then).
  HRESULT FetchRange(const RangeRequest& range, InternetHandles* handles, int* status);
  // Opens the session and connection for `url` into `handles`: a new try.
  HRESULT Connect(const std::wstring& url, const ProxySetting* proxy, InternetHandles* handles);

  static unsigned __stdcall BlockWorker(void* param);

 private:
  HRESULT DownloadWhole(HINTERNET request, const std::wstring& path, ProgressFunc progress, UINT_PTR user);
  // One try of the probe at `address` and, when it answers, the rest of
  // the download. `*retriable`: the failure came before the blocks, whose
  // connections try again by themselves.
  HRESULT Attempt(const DownloadRequest& request, size_t address, const boost::shared_ptr<CFileBlockInfo>& state,
                  ProgressFunc progress, UINT_PTR user, bool* retriable);

  unsigned span_ = 1;
  unsigned workers_ = kWorkers;
  bool mixed_sources_ = false;
  volatile LONG64 received_ = 0;
};

}  // namespace zan
