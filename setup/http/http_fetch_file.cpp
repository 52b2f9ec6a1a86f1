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

// What each connection of a download needs beside the block state.
struct DownloadPlan {
  std::vector<std::wstring> addresses;
  // The header lines for the first address, with the validator (If-Range)
  // when the state had one, and for the others, without: the saved date is
  // the first address's, and the digests judge what the others send.
  std::wstring primaryBlock;
  std::wstring mirrorBlock;
  unsigned span = 1;
  ProxySetting proxy;
  bool hasProxy = false;

  const std::wstring& HeaderBlockFor(size_t address) const { return address == 0 ? primaryBlock : mirrorBlock; }
  const ProxySetting* Proxy() const { return hasProxy ? &proxy : nullptr; }
};

struct WorkerStart {
  SharedBlockInfo state;
  DownloadPlan plan;
  size_t address;
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

const NetworkRun* RunOf(const SharedBlockInfo& state) { return state->hasRun ? &state->run : nullptr; }

// One connection of a download: fetches runs of blocks until none is left,
// each block marked done as it lands. A transient failure costs only the
// block in flight: the connection waits as the retry policy says and goes on
// over a new connection, to the next address in turn.
class Connection {
 public:
  Connection(CHttpFetchFile& fetch, const SharedBlockInfo& state, const DownloadPlan& plan, size_t address,
             InternetHandles* handles)
      : fetch_(fetch), state_(state), plan_(plan), address_(address), handles_(handles) {}

  // True once no block is left; false when a failure ended the download or
  // the run was cancelled (result() says which).
  bool FetchAll() {
    RetryLoop retries(RunOf(state_), plan_.addresses.size(), state_->stop.get());
    LONG seen = state_->arrivals;
    for (;;) {
      if (retries.Cancelled() || state_->failed) {
        result_ = E_ABORT;
        return false;
      }
      TryOutcome outcome;
      if (FetchRuns(&outcome)) return true;
      result_ = FAILED(outcome.result) ? outcome.result : E_FAIL;
      // A block that landed on any connection is progress for this one.
      const LONG arrived = state_->arrivals;
      if (arrived != seen) {
        seen = arrived;
        retries.Progress();
      }
      if (!retries.TryAgain(outcome, plan_.addresses[address_], address_, &address_)) {
        if (retries.Cancelled()) result_ = E_ABORT;
        return false;
      }
      handles_->Close();
    }
  }

  HRESULT result() const { return result_; }

 private:
  bool FetchRuns(TryOutcome* outcome) {
    const std::wstring& url = plan_.addresses[address_];
    if (!handles_->connection) {
      const HRESULT opened = fetch_.Connect(url, plan_.Proxy(), handles_);
      if (FAILED(opened)) {
        *outcome = fetch_.last_try();
        outcome->result = opened;
        return false;
      }
    }
    unsigned first = 0, count = 0;
    while (state_->NextRun(plan_.span, &first, &count)) {
      Signal(state_);
      unsigned delivered = 0;
      RangeRequest range;
      range.url = url;
      range.headerBlock = plan_.HeaderBlockFor(address_);
      range.dataPath = state_->temporaryPath;
      range.blockSize = state_->blockSize;
      range.index = first;
      range.count = count;
      range.total = state_->size;
      range.received = &state_->received;
      range.blockDone = [&](unsigned index) {
        state_->MarkBlockDone(index);
        state_->NoteSource(address_);
        ::InterlockedIncrement(&state_->arrivals);
        ++delivered;
        Signal(state_);
      };
      int status = 0;
      const HRESULT result = fetch_.FetchRange(range, handles_, &status);
      if (BlockArrived(result, status)) continue;
      state_->ReleaseRun(first, count);
      // Whole blocks came before the answer ended: the rest is asked for
      // again at once.
      if (result == CHttpFetchFile::kEndedEarly && delivered > 0) continue;
      *outcome = fetch_.last_try();
      outcome->result = FAILED(result) ? result : E_FAIL;
      return false;
    }
    Signal(state_);
    return true;
  }

  CHttpFetchFile& fetch_;
  SharedBlockInfo state_;
  const DownloadPlan& plan_;
  size_t address_;
  InternetHandles* handles_;
  HRESULT result_ = E_FAIL;
};

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

// The workers fetch the blocks; this thread saves the state and reports
// progress each time one of them signals, and ends at once when the run is
// cancelled, the state saved for a later run.
HRESULT DownloadWithWorkers(const SharedBlockInfo& state, const DownloadPlan& plan, size_t address,
                            const std::wstring& statePath, ProgressFunc progress, UINT_PTR user, unsigned workers) {
  state->event.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!state->event) return E_FAIL;
  unsigned started = 0;
  for (unsigned i = 0; i < workers; ++i) {
    std::unique_ptr<WorkerStart> start(new WorkerStart{state, plan, address});
    if (StartWorker(CHttpFetchFile::BlockWorker, std::move(start))) ++started;
  }
  // Without any worker nothing would ever signal.
  if (started == 0) return E_FAIL;
  HANDLE events[] = {state->event.get(), state->cancel.get()};
  const DWORD count = state->cancel ? 2 : 1;
  for (;;) {
    DWORD wait = ::WaitForMultipleObjects(count, events, FALSE, CHttpFetchFile::kWaitSlice);
    if (wait == WAIT_TIMEOUT) continue;
    if (wait == WAIT_OBJECT_0 + 1) {
      state->SaveState(statePath);
      return E_ABORT;
    }
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

// The run for the download's connections, with a cancel event of the
// state's own.
void ShareRun(const NetworkRun* run, CFileBlockInfo* state) {
  if (!run) return;
  state->hasRun = true;
  state->run = *run;
  HANDLE copy = nullptr;
  if (run->cancel && ::DuplicateHandle(::GetCurrentProcess(), run->cancel, ::GetCurrentProcess(), &copy,
                                       SYNCHRONIZE, FALSE, 0)) {
    state->cancel.reset(copy);
  }
  state->run.cancel = state->cancel.get();
}

// Header lines without a trailing line end, so that one more can follow.
std::wstring WithoutTrailingLineEnds(std::wstring block) {
  while (block.size() >= 2 && block.compare(block.size() - 2, 2, L"\r\n") == 0) block.resize(block.size() - 2);
  return block;
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

HRESULT CHttpFetchFile::Connect(const std::wstring& url, const ProxySetting* proxy, InternetHandles* handles) {
  BeginTry();
  return OpenRequest(L"GET", url, proxy, handles);
}

HRESULT CHttpFetchFile::FetchRange(const RangeRequest& range, InternetHandles* handles, int* status) {
  BeginTry();
  *status = 0;
  HttpUrlParts parts;
  if (!CrackHttpUrl(range.url, &parts)) return E_FAIL;
  HRESULT opened = OpenRequestHandle(handles->connection.get(), L"GET", parts, &handles->request);
  if (FAILED(opened)) return opened;
  HINTERNET request = handles->request.get();
  if (!range.headerBlock.empty()) {
    ::HttpAddRequestHeadersW(request, range.headerBlock.c_str(), static_cast<DWORD>(-1),
                             HTTP_ADDREQ_FLAG_REPLACE | HTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA | HTTP_ADDREQ_FLAG_ADD);
  }
  const unsigned long long blockSize = range.blockSize;
  const unsigned long long start = blockSize * range.index;
  unsigned long long end = blockSize * (range.index + range.count);
  if (range.total < end) end = range.total;
  end -= 1;
  wchar_t rangeLine[80];
  swprintf(rangeLine, 80, L"Range: bytes=%llu-%llu", start, end);
  ::HttpAddRequestHeadersW(request, rangeLine, static_cast<DWORD>(-1),
                           HTTP_ADDREQ_FLAG_REPLACE | HTTP_ADDREQ_FLAG_ADD_IF_NEW);
  if (!SendForStatus(handles, range.url, [request] { return ::HttpSendRequestW(request, nullptr, 0, nullptr, 0); },
                     status)) {
    return E_FAIL;
  }
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
  block.path = range.dataPath;
  block.access = GENERIC_WRITE;
  block.share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  block.disposition = OPEN_ALWAYS;
  block.flags = FILE_FLAG_WRITE_THROUGH;
  block.offset = start;
  block.lockWrites = true;
  block.cancel = run() ? run()->cancel : nullptr;
  // The bytes after the range are another block's, maybe being written by
  // the other worker.
  block.cap = length;
  // Told apart from a body that merely ended early.
  block.pastCap = kTooLarge;
  const unsigned last = range.index + range.count - 1;
  unsigned next = range.index;
  // A block is done once a byte after it is on disk; the range's last one
  // once the answer has ended as it should.
  block.afterWrite = [&](unsigned long long bodyBegin, unsigned long long bodyEnd) {
    if (range.received) ::InterlockedExchangeAdd64(range.received, static_cast<LONG64>(bodyEnd - bodyBegin));
    while (range.blockDone && next < last && start + bodyEnd > blockSize * (next + 1)) range.blockDone(next++);
  };
  unsigned long long written = 0;
  HRESULT read = ReadBodyToFile(request, block, &written);
  if (read == kTooLarge) return E_FAIL;
  if (written == length && SUCCEEDED(read)) {
    while (range.blockDone && next <= last) range.blockDone(next++);
    return S_OK;
  }
  // An answer that ended without an error of its own was cut short all the same.
  if (SUCCEEDED(read)) NoteCutShort(0);
  // A file error or a cancelled run is no answer that ended early.
  if (FAILED(read) && read != E_FAIL) return read;
  const unsigned long long arrived = start + written;
  bool whole = false;
  while (range.blockDone && next <= last && (arrived >= blockSize * (next + 1) || arrived >= range.total)) {
    range.blockDone(next++);
    whole = true;
  }
  // An incomplete block is no block.
  return range.count > 1 || whole ? kEndedEarly : E_FAIL;
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
  target.cancel = run() ? run()->cancel : nullptr;
  // A body cut short must not stay behind under the installer's own name.
  target.discardOnFailure = true;
  // The saved blocks belong to a file the server no longer serves.
  target.beforeOpen = [&path] { ::DeleteFileW((path + L".size").c_str()); };
  target.afterWrite = [&](unsigned long long offset, unsigned long long end) {
    ::InterlockedExchangeAdd64(&received_, static_cast<LONG64>(end - offset));
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
  DownloadRequest request;
  request.addresses.push_back(url);
  request.extraHeaders = extraHeaders;
  request.path = path;
  request.proxy = proxy;
  return Download(request, progress, user);
}

HRESULT CHttpFetchFile::Download(const DownloadRequest& request, ProgressFunc progress, UINT_PTR user) {
  StartClock();
  received_ = 0;
  mixed_sources_ = false;
  if (request.addresses.empty()) return E_FAIL;
  const std::wstring& url = request.addresses.front();
  const std::wstring statePath = request.path + L".size";
  SharedBlockInfo state(new CFileBlockInfo(kBlockSize));
  state->temporaryPath = request.path + L".tmp";
  state->headerBlock = request.extraHeaders.empty() ? std::wstring(kDefaultHeaderBlock)
                                                    : header_block() + L"\r\n" + request.extraHeaders;
  state->mirrorBlock = state->headerBlock;
  if (FileExists(state->temporaryPath) && FileExists(statePath)) {
    state->LoadState(statePath);
    if (state->url != url) {
      state->size = 0;
      state->date.clear();
    }
  }
  // The block may already end its last line; an empty line would end the
  // headers before If-Range.
  if (!state->date.empty()) state->headerBlock = WithoutTrailingLineEnds(state->headerBlock) + L"\r\nIf-Range: " + state->date;
  ShareRun(run(), state.get());
  state->stop.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));

  RetryLoop retries(RunOf(state), request.addresses.size());
  size_t address = 0;
  HRESULT result = E_FAIL;
  for (;;) {
    bool retriable = false;
    result = Attempt(request, address, state, progress, user, &retriable);
    TryOutcome outcome = last_try();
    outcome.result = result;
    if (result == S_OK || !retriable || !retries.TryAgain(outcome, request.addresses[address], address, &address)) {
      break;
    }
  }
  // Workers still at it end with the download.
  if (state->stop) ::SetEvent(state->stop.get());
  if (IsSignalled(state->cancel.get())) result = E_ABORT;
  received_ += state->received;
  mixed_sources_ = state->MixedSources();
  if (result == S_OK) {
    WriteLog(L"downloaded %s bytes for a file of %s bytes", std::to_wstring(received_).c_str(),
             std::to_wstring(state->size).c_str());
  }
  return result;
}

HRESULT CHttpFetchFile::Attempt(const DownloadRequest& request, size_t address, const SharedBlockInfo& state,
                                ProgressFunc progress, UINT_PTR user, bool* retriable) {
  *retriable = true;
  const std::wstring& url = request.addresses[address];
  const bool primary = address == 0;
  InternetHandles handles;
  HRESULT opened = Connect(url, request.proxy, &handles);
  if (FAILED(opened)) return opened;
  int status = 0;
  RangeRequest probe;
  probe.url = url;
  probe.headerBlock = primary ? state->headerBlock : state->mirrorBlock;
  probe.dataPath = state->temporaryPath;
  probe.blockSize = kProbeSize;
  probe.received = &state->received;
  HRESULT probed = FetchRange(probe, &handles, &status);
  // Only an answer has a status: a probe that could not be sent leaves
  // the one before.
  if (status != 0) set_status(status);
  if (FAILED(probed)) return probed;
  if (status == 200) return DownloadWhole(handles.request.get(), request.path, progress, user);
  // A 304 carries no range: nothing of the file is known.
  if (!BlockArrived(probed, status)) return status == 304 ? E_FAIL : 1;

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
    HRESULT sized = SetFileLength(state->temporaryPath, total);
    if (FAILED(sized)) return sized;
    state->ResetForSize(total);
  }
  std::wstring lastModified;
  QueryHeaderText(handles.request.get(), HTTP_QUERY_LAST_MODIFIED, &lastModified);
  if (lastModified.empty()) return E_FAIL;
  // The saved date is the first address's; a mirror's file has a date of
  // its own, and the digests judge its bytes.
  if (primary && lastModified != state->date) {
    state->ClearBitmap();
    state->date = lastModified;
  }
  state->url = request.addresses.front();
  Report(progress, user, 0, static_cast<int>(total));
  state->blockCount = CFileBlockInfo::BlockCount(total, kBlockSize);
  state->resumed = state->AnyBlockDone();
  state->CountMarks();

  // From here on each connection tries again by itself.
  *retriable = false;
  DownloadPlan plan;
  plan.addresses = request.oneServer ? std::vector<std::wstring>{url} : request.addresses;
  const size_t first = request.oneServer ? 0 : address;
  plan.span = span_;
  plan.hasProxy = request.proxy != nullptr;
  if (request.proxy) plan.proxy = *request.proxy;
  const bool workers = total > static_cast<unsigned long long>(kWorkerThresholdBlocks) * kBlockSize;
  // Small files, one block at a time, ask with no header lines at all.
  if (workers || span_ > 1) {
    plan.primaryBlock = state->headerBlock;
    plan.mirrorBlock = state->mirrorBlock;
  }
  if (workers) {
    HRESULT result = DownloadWithWorkers(state, plan, first, request.path + L".size", progress, user, workers_);
    if (FAILED(result)) return result;
  } else {
    Connection connection(*this, state, plan, first, &handles);
    if (!connection.FetchAll()) return connection.result();
  }
  if (!::MoveFileExW(state->temporaryPath.c_str(), request.path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return E_FAIL;
  }
  ::DeleteFileW((request.path + L".size").c_str());
  // Left by a run that ended while it wrote the state.
  ::DeleteFileW((request.path + L".size.new").c_str());
  return S_OK;
}

// Fetches blocks until none is left or a failure ends the download; every
// step signals the waiting thread.
unsigned __stdcall CHttpFetchFile::BlockWorker(void* param) {
  std::unique_ptr<WorkerStart> start = TakeBlock<WorkerStart>(param);
  SharedBlockInfo state = start->state;
  auto fail = [&state] {
    ::InterlockedExchange(&state->failed, 1);
    ::SetEvent(state->event.get());
  };
  const bool ended = RunGuarded(L"a block download", [&] {
    CHttpFetchFile fetch;
    fetch.set_run(RunOf(state));
    InternetHandles handles;
    Connection connection(fetch, state, start->plan, start->address, &handles);
    // A cancelled run or an ended download is no failure of this worker's.
    if (!connection.FetchAll() && connection.result() != E_ABORT) fail();
  });
  if (!ended) fail();
  return 0;
}

}  // namespace zan
