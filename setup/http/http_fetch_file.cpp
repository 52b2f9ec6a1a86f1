#include "http_fetch_file.h"

#include <cstdio>
#include <cwchar>
#include <memory>

#include <boost/shared_ptr.hpp>

#include "file_block_info.h"
#include "setup/common/files.h"
#include "setup/common/handles.h"
#include "setup/common/log.h"
#include "setup/common/string_util.h"
#include "setup/common/worker.h"

namespace zan {
namespace {

typedef boost::shared_ptr<CFileBlockInfo> SharedBlockInfo;

struct WorkerStart {
  SharedBlockInfo state;
  ProxySetting proxy;
  bool hasProxy;
  unsigned span;
};

// Wakes the thread that saves the state and reports progress, if one waits.
void Signal(const SharedBlockInfo& state) {
  if (state->event) ::SetEvent(state->event.get());
}

void Report(ProgressFunc progress, UINT_PTR user, int kind, int value) {
  if (progress) progress(user, kind, value);
}

bool IsRangeStatus(int status) { return status == 206 || status == 203; }

// FetchRange answers S_OK for a 200 too, having written nothing: only a
// range answer that it accepted put the block on disk.
bool BlockArrived(HRESULT result, int status) { return result == S_OK && IsRangeStatus(status); }

// "bytes START-END/TOTAL" with decimal digits only and START <= END; TOTAL
// may be "*" (not known), which leaves `*totalKnown` false.
bool ReadContentRange(const std::wstring& text, unsigned long long* start, unsigned long long* end,
                      unsigned long long* total, bool* totalKnown) {
  static const wchar_t kUnit[] = L"bytes ";
  const size_t unitLength = wcslen(kUnit);
  size_t begin = text.find_first_not_of(L" \t");
  if (begin == std::wstring::npos || text.compare(begin, unitLength, kUnit) != 0) return false;
  begin += unitLength;
  size_t dash = text.find(L'-', begin);
  size_t slash = text.find(L'/', begin);
  if (dash == std::wstring::npos || slash == std::wstring::npos || slash < dash) return false;
  unsigned long long first = 0, last = 0, length = 0;
  if (!ParseDecimal(text.substr(begin, dash - begin), &first) ||
      !ParseDecimal(text.substr(dash + 1, slash - dash - 1), &last) || first > last) {
    return false;
  }
  const std::wstring lengthText = text.substr(slash + 1);
  bool known = lengthText != L"*";
  if (known && !ParseDecimal(lengthText, &length)) return false;
  *start = first;
  *end = last;
  *total = length;
  *totalKnown = known;
  return true;
}

HRESULT SetFileLength(const std::wstring& path, unsigned long long length) {
  ScopedFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return HResultFromLastError();
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(length);
  if (!::SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN) || !::SetEndOfFile(file.get())) {
    return HResultFromLastError();
  }
  return S_OK;
}

// Sizes, offsets and progress are 32-bit in the download's design.
bool WithinDesignSize(unsigned long long size) {
  if (size <= CHttpFetchFile::kLargestFile) return true;
  WriteLog(L"the file to download is larger than the download can take: %s bytes",
           std::to_wstring(size).c_str());
  return false;
}

// Runs of up to `span` blocks, each one request, until none is left. An
// answer that ended early gives back the blocks it did not bring, to be
// asked for again; one that brought no whole block fails the download, as
// any other failed request does.
bool FetchRuns(CHttpFetchFile& fetch, InternetHandles* handles, const SharedBlockInfo& state, unsigned span) {
  unsigned first = 0, count = 0;
  while (state->NextRun(span, &first, &count)) {
    Signal(state);
    int status = 0;
    unsigned delivered = 0;
    HRESULT result = fetch.FetchRange(state->headerBlock, &status, handles, state->url, state->temporaryPath,
                                      state->blockSize, first, state->size, count, [&](unsigned index) {
                                        state->MarkBlockDone(index);
                                        ++delivered;
                                        Signal(state);
                                      });
    if (BlockArrived(result, status)) continue;
    state->ReleaseRun(first, count);
    if (result != CHttpFetchFile::kEndedEarly || delivered == 0) return false;
  }
  Signal(state);
  return true;
}

// The workers fetch the blocks; this thread saves the state and reports
// progress each time one of them signals.
HRESULT DownloadWithWorkers(const SharedBlockInfo& state, const std::wstring& statePath,
                            ProgressFunc progress, UINT_PTR user, const ProxySetting* proxy,
                            unsigned workers, unsigned span) {
  state->event.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!state->event) return E_FAIL;
  unsigned started = 0;
  for (unsigned i = 0; i < workers; ++i) {
    std::unique_ptr<WorkerStart> start(
        new WorkerStart{state, proxy ? *proxy : ProxySetting(), proxy != nullptr, span});
    if (StartWorker(CHttpFetchFile::BlockWorker, std::move(start))) ++started;
  }
  // Without any worker nothing would ever signal.
  if (started == 0) return E_FAIL;
  for (;;) {
    DWORD wait = ::WaitForSingleObject(state->event.get(), CHttpFetchFile::kWaitSlice);
    if (wait == WAIT_TIMEOUT) continue;
    if (wait != WAIT_OBJECT_0) return E_FAIL;
    ::ResetEvent(state->event.get());
    if (state->failed) {
      Report(progress, user, 3, 0);
      return E_FAIL;
    }
    state->SaveState(statePath);
    Report(progress, user, 1, state->done_count() * static_cast<int>(CHttpFetchFile::kBlockSize));
    if (state->IsComplete()) {
      Report(progress, user, 2, 0);
      return S_OK;
    }
  }
}

}  // namespace

bool ParseContentRange(const std::wstring& text, unsigned long long* start, unsigned long long* end) {
  unsigned long long total = 0;
  bool totalKnown = false;
  return ReadContentRange(text, start, end, &total, &totalKnown);
}

bool ParseContentRangeTotal(const std::wstring& text, unsigned long long* total) {
  unsigned long long start = 0, end = 0, length = 0;
  bool totalKnown = false;
  if (!ReadContentRange(text, &start, &end, &length, &totalKnown) || !totalKnown) return false;
  *total = length;
  return true;
}

void CHttpFetchFile::set_transfer(unsigned span, unsigned workers) {
  span_ = span < 1 ? 1 : (span > kMaxSpan ? kMaxSpan : span);
  workers_ = workers < 1 ? 1 : (workers > kMaxWorkers ? kMaxWorkers : workers);
}

HRESULT CHttpFetchFile::FetchRange(const std::wstring& headerBlock, int* status,
                                   InternetHandles* handles, const std::wstring& url,
                                   const std::wstring& dataPath, unsigned blockSize, unsigned index,
                                   unsigned long long total, unsigned count,
                                   const std::function<void(unsigned)>& blockDone) {
  HttpUrlParts parts;
  if (!CrackHttpUrl(url, &parts)) return E_FAIL;
  HRESULT opened = OpenRequestHandle(handles->connection.get(), L"GET", parts, &handles->request);
  if (FAILED(opened)) return opened;
  HINTERNET request = handles->request.get();
  if (!headerBlock.empty()) {
    ::HttpAddRequestHeadersW(request, headerBlock.c_str(), static_cast<DWORD>(-1),
                             HTTP_ADDREQ_FLAG_REPLACE | HTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA | HTTP_ADDREQ_FLAG_ADD);
  }
  unsigned long long start = static_cast<unsigned long long>(blockSize) * index;
  unsigned long long end = static_cast<unsigned long long>(blockSize) * (index + count);
  if (total < end) end = total;
  end -= 1;
  wchar_t range[80];
  swprintf(range, 80, L"Range: bytes=%llu-%llu", start, end);
  ::HttpAddRequestHeadersW(request, range, static_cast<DWORD>(-1),
                           HTTP_ADDREQ_FLAG_REPLACE | HTTP_ADDREQ_FLAG_ADD_IF_NEW);
  const BOOL sent = ::HttpSendRequestW(request, nullptr, 0, nullptr, 0);
  if (!SendSucceeded(request, sent, ::GetLastError(), url)) return E_FAIL;
  QueryStatusCode(request, status);
  if (*status == 200) return S_OK;
  if (!IsRangeStatus(*status)) return 1;

  std::wstring contentRange;
  unsigned long long gotStart = 0;
  unsigned long long gotEnd = 0;
  if (!QueryHeaderText(request, HTTP_QUERY_CONTENT_RANGE, &contentRange) ||
      !ParseContentRange(contentRange, &gotStart, &gotEnd) || gotStart != start || gotEnd != end) {
    return E_FAIL;
  }
  const unsigned long long length = end - start + 1;
  BodyFile block;
  block.path = dataPath;
  block.access = GENERIC_WRITE;
  block.share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  block.disposition = OPEN_ALWAYS;
  block.flags = FILE_FLAG_WRITE_THROUGH;
  block.offset = start;
  block.lockWrites = true;
  // The bytes after the range are another block's, maybe being written by
  // the other worker.
  block.cap = length;
  // Told apart from a body that merely ended early.
  block.pastCap = kTooLarge;
  const bool run = count > 1 && blockDone;
  const unsigned last = index + count - 1;
  unsigned next = index;
  // A block is done once a byte after it is on disk; the run's last one
  // once the answer has ended as it should.
  if (run) {
    block.afterWrite = [&](unsigned long long, unsigned long long bodyEnd) {
      while (next < last && start + bodyEnd > static_cast<unsigned long long>(blockSize) * (next + 1)) {
        blockDone(next++);
      }
    };
  }
  unsigned long long written = 0;
  HRESULT read = ReadBodyToFile(request, block, &written);
  if (read == kTooLarge) return E_FAIL;
  if (written == length && SUCCEEDED(read)) {
    while (run && next <= last) blockDone(next++);
    return S_OK;
  }
  // An incomplete block is no block.
  if (!run || (FAILED(read) && read != E_FAIL)) return FAILED(read) ? read : E_FAIL;
  const unsigned long long arrived = start + written;
  while (next <= last && (arrived >= static_cast<unsigned long long>(blockSize) * (next + 1) || arrived >= total)) {
    blockDone(next++);
  }
  return kEndedEarly;
}

// The server ignored the range: the whole body follows in this answer and
// goes straight into the target.
HRESULT CHttpFetchFile::DownloadWhole(HINTERNET request, const std::wstring& path,
                                      ProgressFunc progress, UINT_PTR user) {
  unsigned long long length = 0;
  AnnouncedLength(request, &length);
  if (!WithinDesignSize(length)) return kTooLarge;
  Report(progress, user, 0, static_cast<int>(length));
  BodyFile target;
  target.path = path;
  target.access = GENERIC_WRITE;
  target.share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  target.disposition = CREATE_ALWAYS;
  target.flags = FILE_FLAG_WRITE_THROUGH;
  target.lockWrites = true;
  target.cap = kLargestFile;
  target.pastCap = kTooLarge;
  // The saved blocks belong to a file the server no longer serves.
  target.beforeOpen = [&path] { ::DeleteFileW((path + L".size").c_str()); };
  target.afterWrite = [&](unsigned long long offset, unsigned long long) {
    Report(progress, user, 1, static_cast<int>(offset));
  };
  unsigned long long received = 0;
  // A body cut off is a failed download, not a finished one.
  HRESULT read = ReadBodyToFile(request, target, &received);
  if (FAILED(read)) return read;
  Report(progress, user, 2, 0);
  return S_OK;
}

HRESULT CHttpFetchFile::Download(const std::wstring& url, const std::wstring& extraHeaders,
                                 const std::wstring& path, ProgressFunc progress, UINT_PTR user,
                                 const ProxySetting* proxy) {
  StartClock();
  const std::wstring dataPath = path + L".tmp";
  const std::wstring statePath = path + L".size";
  SharedBlockInfo state(new CFileBlockInfo(kBlockSize));
  state->temporaryPath = dataPath;
  state->headerBlock = extraHeaders.empty() ? std::wstring(kDefaultHeaderBlock)
                                            : header_block() + L"\r\n" + extraHeaders;
  if (FileExists(dataPath) && FileExists(statePath)) {
    state->LoadState(statePath);
    if (state->url != url) {
      state->size = 0;
      state->date.clear();
    }
  }
  if (!state->date.empty()) {
    // The block may already end its last line; an empty line would end the
    // headers before If-Range.
    std::wstring& block = state->headerBlock;
    while (block.size() >= 2 && block.compare(block.size() - 2, 2, L"\r\n") == 0) block.resize(block.size() - 2);
    block += L"\r\nIf-Range: " + state->date;
  }

  InternetHandles handles;
  HRESULT opened = OpenRequest(L"GET", url, proxy, &handles);
  if (FAILED(opened)) return opened;
  int status = 0;
  HRESULT probe = FetchRange(state->headerBlock, &status, &handles, url, dataPath, kProbeSize, 0,
                             ~0ull);
  // Only an answer has a status: a probe that could not be sent leaves
  // the one before.
  if (status != 0) set_status(status);
  if (FAILED(probe)) return probe;
  if (status == 200) return DownloadWhole(handles.request.get(), path, progress, user);
  // A 304 carries no range: nothing of the file is known.
  if (!BlockArrived(probe, status)) return status == 304 ? E_FAIL : 1;

  std::wstring contentRange;
  unsigned long long total = 0;
  // Without a total ("*") there is nothing to cut into blocks; one smaller
  // than the probe's own ten bytes contradicts the answer it came with.
  if (!QueryHeaderText(handles.request.get(), HTTP_QUERY_CONTENT_RANGE, &contentRange) ||
      !ParseContentRangeTotal(contentRange, &total) || total < kProbeSize) {
    return E_FAIL;
  }
  // Checked before the data file is sized: a forged total must not fill the disk.
  if (!WithinDesignSize(total)) return kTooLarge;
  if (total != state->size || !state->BitmapCoversBlocks()) {
    HRESULT sized = SetFileLength(dataPath, total);
    if (FAILED(sized)) return sized;
    state->ResetForSize(total);
  }
  std::wstring lastModified;
  QueryHeaderText(handles.request.get(), HTTP_QUERY_LAST_MODIFIED, &lastModified);
  if (lastModified.empty()) return E_FAIL;
  if (lastModified != state->date) {
    state->ClearBitmap();
    state->date = lastModified;
  }
  state->url = url;
  Report(progress, user, 0, static_cast<int>(total));
  state->blockCount = CFileBlockInfo::BlockCount(total, kBlockSize);

  if (span_ > 1) state->CountMarks();
  if (total > static_cast<unsigned long long>(kWorkerThresholdBlocks) * kBlockSize) {
    HRESULT result = DownloadWithWorkers(state, statePath, progress, user, proxy, workers_, span_);
    if (FAILED(result)) return result;
  } else if (span_ > 1) {
    if (!FetchRuns(*this, &handles, state, span_)) return E_FAIL;
  } else {
    for (unsigned index = 0; index < state->blockCount; ++index) {
      int blockStatus = 0;
      HRESULT fetched = FetchRange(L"", &blockStatus, &handles, url, dataPath, kBlockSize, index, total);
      if (!BlockArrived(fetched, blockStatus)) return FAILED(fetched) ? fetched : E_FAIL;
    }
  }
  if (!::MoveFileExW(dataPath.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return E_FAIL;
  }
  ::DeleteFileW(statePath.c_str());
  return S_OK;
}

// Fetches blocks until none is left or one fails; every step signals the
// waiting thread.
unsigned __stdcall CHttpFetchFile::BlockWorker(void* param) {
  std::unique_ptr<WorkerStart> start = TakeBlock<WorkerStart>(param);
  SharedBlockInfo state = start->state;
  auto fail = [&state] {
    ::InterlockedExchange(&state->failed, 1);
    ::SetEvent(state->event.get());
  };
  const bool ended = RunGuarded(L"a block download", [&] {
    CHttpFetchFile fetch;
    fetch.set_header_block(state->headerBlock);
    InternetHandles handles;
    // A connection that fails to open shows up as failing blocks.
    fetch.OpenRequest(L"GET", state->url, start->hasProxy ? &start->proxy : nullptr, &handles);
    if (start->span > 1) {
      if (!FetchRuns(fetch, &handles, state, start->span)) fail();
      return;
    }
    for (unsigned index = state->NextBlock(); index != CFileBlockInfo::kNoBlock;) {
      ::SetEvent(state->event.get());
      int status = 0;
      HRESULT result = fetch.FetchRange(state->headerBlock, &status, &handles, state->url,
                                        state->temporaryPath, state->blockSize, index, state->size);
      if (!BlockArrived(result, status)) {
        fail();
        return;
      }
      state->MarkBlockDone(index);
      index = state->NextBlock();
    }
    ::SetEvent(state->event.get());
  });
  if (!ended) fail();
  return 0;
}

}  // namespace zan
