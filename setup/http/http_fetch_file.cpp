#include "http_fetch_file.h"

#include <cstdio>
#include <cwchar>
#include <memory>

#include <boost/shared_ptr.hpp>

#include "file_block_info.h"
#include "setup/common/handles.h"
#include "setup/common/worker.h"

namespace zan {
namespace {

typedef boost::shared_ptr<CFileBlockInfo> SharedBlockInfo;

struct WorkerStart {
  SharedBlockInfo state;
  ProxySetting proxy;
  bool hasProxy;
};

void Report(ProgressFunc progress, unsigned int user, int kind, int value) {
  if (progress) progress(user, kind, value);
}

bool IsRangeStatus(int status) { return status == 206 || status == 203; }

// Writes one chunk at `offset` under a byte-range lock of its length.
HRESULT WriteAt(HANDLE file, unsigned long long offset, const std::string& chunk) {
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(offset);
  DWORD low = static_cast<DWORD>(offset);
  DWORD high = static_cast<DWORD>(offset >> 32);
  DWORD length = static_cast<DWORD>(chunk.size());
  ::LockFile(file, low, high, length, 0);
  DWORD written = 0;
  BOOL ok = ::SetFilePointerEx(file, position, nullptr, FILE_BEGIN) &&
            ::WriteFile(file, chunk.data(), length, &written, nullptr) && written == length;
  HRESULT result = ok ? S_OK : HResultFromLastError();
  ::UnlockFile(file, low, high, length, 0);
  return result;
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

bool FileExists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Two workers fetch the blocks; this thread saves the state and reports
// progress each time one of them signals.
HRESULT DownloadWithWorkers(const SharedBlockInfo& state, const std::wstring& statePath,
                            ProgressFunc progress, unsigned int user, const ProxySetting* proxy) {
  state->event.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!state->event) return E_FAIL;
  unsigned started = 0;
  for (unsigned i = 0; i < CHttpFetchFile::kWorkers; ++i) {
    std::unique_ptr<WorkerStart> start(
        new WorkerStart{state, proxy ? *proxy : ProxySetting(), proxy != nullptr});
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
  size_t bytes = text.find(L"bytes");
  size_t dash = text.find(L'-');
  if (bytes == std::wstring::npos || dash == std::wstring::npos) return false;
  *start = wcstoull(text.c_str() + bytes + 5, nullptr, 10);
  *end = wcstoull(text.c_str() + dash + 1, nullptr, 10);
  return true;
}

bool ParseContentRangeTotal(const std::wstring& text, unsigned long long* total) {
  size_t slash = text.find(L'/');
  if (slash == std::wstring::npos) return false;
  *total = wcstoull(text.c_str() + slash + 1, nullptr, 10);
  return true;
}

HRESULT CHttpFetchFile::FetchRange(const std::wstring& headerBlock, int* status,
                                   InternetHandles* handles, const std::wstring& url,
                                   const std::wstring& dataPath, unsigned blockSize, unsigned index,
                                   unsigned long long total) {
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
  unsigned long long end = static_cast<unsigned long long>(blockSize) * (index + 1);
  if (total < end) end = total;
  end -= 1;
  wchar_t range[80];
  swprintf(range, 80, L"Range: bytes=%llu-%llu", start, end);
  ::HttpAddRequestHeadersW(request, range, static_cast<DWORD>(-1),
                           HTTP_ADDREQ_FLAG_REPLACE | HTTP_ADDREQ_FLAG_ADD_IF_NEW);
  if (!::HttpSendRequestW(request, nullptr, 0, nullptr, 0)) return E_FAIL;
  QueryStatusCode(request, status);
  if (*status == 200) return S_OK;
  if (!IsRangeStatus(*status)) return 1;

  std::wstring contentRange;
  unsigned long long gotStart = 0;
  unsigned long long gotEnd = 0;
  if (!QueryHeaderText(request, HTTP_QUERY_CONTENT_RANGE, &contentRange) ||
      !ParseContentRange(contentRange, &gotStart, &gotEnd) || gotStart != start || gotEnd > end) {
    return E_FAIL;
  }
  ScopedFile file;
  unsigned long long written = 0;
  for (;;) {
    std::string chunk;
    ChunkResult read = ReadChunk(request, &chunk);
    if (read == ChunkResult::kFailed) return E_FAIL;  // an incomplete block is no block
    if (read == ChunkResult::kEnd) break;
    if (!file) {
      file.reset(::CreateFileW(dataPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_ALWAYS, FILE_FLAG_WRITE_THROUGH, nullptr));
      if (!file) return HResultFromLastError();
    }
    HRESULT wrote = WriteAt(file.get(), start + written, chunk);
    if (FAILED(wrote)) return wrote;
    written += chunk.size();
  }
  return written == end - start + 1 ? S_OK : E_FAIL;
}

// The server ignored the range: the whole body follows in this answer and
// goes straight into the target.
HRESULT CHttpFetchFile::DownloadWhole(HINTERNET request, const std::wstring& path,
                                      ProgressFunc progress, unsigned int user) {
  std::wstring length;
  QueryHeaderText(request, HTTP_QUERY_CONTENT_LENGTH, &length);
  Report(progress, user, 0, static_cast<int>(wcstoull(length.c_str(), nullptr, 10)));
  ScopedFile file;
  unsigned long long offset = 0;
  for (;;) {
    std::string chunk;
    ChunkResult read = ReadChunk(request, &chunk);
    // A body cut off is a failed download, not a finished one.
    if (read == ChunkResult::kFailed) return E_FAIL;
    if (read == ChunkResult::kEnd) break;
    if (!file) {
      ::DeleteFileW((path + L".size").c_str());
      file.reset(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, CREATE_ALWAYS, FILE_FLAG_WRITE_THROUGH, nullptr));
      if (!file) return HResultFromLastError();
    }
    HRESULT wrote = WriteAt(file.get(), offset, chunk);
    if (FAILED(wrote)) return wrote;
    Report(progress, user, 1, static_cast<int>(offset));
    offset += chunk.size();
  }
  if (!MatchesContentLength(request, offset)) return E_FAIL;
  Report(progress, user, 2, 0);
  return S_OK;
}

HRESULT CHttpFetchFile::Download(const std::wstring& url, const std::wstring& extraHeaders,
                                 const std::wstring& path, ProgressFunc progress, unsigned int user,
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
  set_status(status);
  if (FAILED(probe)) return probe;
  if (probe == 1 && status != 304) return 1;
  if (status == 200) return DownloadWhole(handles.request.get(), path, progress, user);

  std::wstring contentRange;
  unsigned long long total = 0;
  QueryHeaderText(handles.request.get(), HTTP_QUERY_CONTENT_RANGE, &contentRange);
  if (!ParseContentRangeTotal(contentRange, &total)) return E_FAIL;
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

  if (total > static_cast<unsigned long long>(kWorkerThresholdBlocks) * kBlockSize) {
    HRESULT result = DownloadWithWorkers(state, statePath, progress, user, proxy);
    if (FAILED(result)) return result;
  } else {
    for (unsigned index = 0; index < state->blockCount; ++index) {
      int blockStatus = 0;
      HRESULT fetched = FetchRange(L"", &blockStatus, &handles, url, dataPath, kBlockSize, index, total);
      if (FAILED(fetched)) return fetched;
    }
  }
  if (!::MoveFileExW(dataPath.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return E_FAIL;
  }
  ::DeleteFileW(statePath.c_str());
  return S_OK;
}

unsigned __stdcall CHttpFetchFile::BlockWorker(void* param) {
  std::unique_ptr<WorkerStart> start = TakeBlock<WorkerStart>(param);
  SharedBlockInfo state = start->state;
  CHttpFetchFile fetch;
  fetch.set_header_block(state->headerBlock);
  InternetHandles handles;
  // A connection that fails to open shows up as failing blocks.
  fetch.OpenRequest(L"GET", state->url, start->hasProxy ? &start->proxy : nullptr, &handles);
  for (unsigned index = state->NextBlock(); index != CFileBlockInfo::kNoBlock;) {
    ::SetEvent(state->event.get());
    int status = 0;
    HRESULT result = fetch.FetchRange(state->headerBlock, &status, &handles, state->url,
                                      state->temporaryPath, state->blockSize, index, state->size);
    if (result < 0 || !(IsRangeStatus(status) || status == 304)) {
      ::InterlockedExchange(&state->failed, 1);
      ::SetEvent(state->event.get());
      return 0;
    }
    state->MarkBlockDone(index);
    index = state->NextBlock();
  }
  ::SetEvent(state->event.get());
  return 0;
}

}  // namespace zan
