#include "log.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <new>

#include <boost/scoped_array.hpp>

#include "files.h"
#include "string_util.h"

namespace zan {
namespace {

HINSTANCE g_logModule = nullptr;
std::wstring* g_logFolder = nullptr;
std::atomic<LogWriter*> g_redirect{nullptr};
std::atomic<const std::wstring*> g_preamble{nullptr};

const size_t kFirstFormatBuffer = 1024;
const int kMaxFormatAttempts = 20;
// Put where a truncated result ends before each attempt (a noncharacter, so
// no text carries it): only a formatter that ran out of room writes over it
// up to the last place.
const wchar_t kUnwritten = L'\xFFFF';

// msvcrt reports a bad format through the invalid-parameter handler; we want
// the EINVAL result, not a process exit.
void IgnoreInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned, uintptr_t) {}

// The handler is process-wide: two guards that overlap restore each other's
// handler in the wrong order, so their holders must take turns.
struct InvalidParameterGuard {
  InvalidParameterGuard() : previous(_set_invalid_parameter_handler(IgnoreInvalidParameter)) {}
  ~InvalidParameterGuard() { _set_invalid_parameter_handler(previous); }
  _invalid_parameter_handler previous;
};

int CrtFormat(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args) {
  return _vsnwprintf_s(buffer, capacity, _TRUNCATE, format, args);
}

// Never destroyed: a worker (the self-update's) may still log while the
// process runs its exit-time destructors, and only ExitProcess ends it.
LogWriter& ProcessLog() {
  static LogWriter* const writer =
      new LogWriter((g_logFolder ? *g_logFolder : GetModuleFolder(g_logModule)) + L"zansetup.log");
  return *writer;
}

}  // namespace

void SetLogModule(HINSTANCE instance) { g_logModule = instance; }

// Never freed, as the log itself: a writer may read it at any time.
void SetLogPreamble(const std::wstring& line) { g_preamble.store(new std::wstring(line)); }

void SetLogFolder(const std::wstring& folder) {
  if (folder.empty()) return;
  std::wstring* owned = new std::wstring(folder);
  if (owned->back() != L'\\') *owned += L'\\';
  g_logFolder = owned;
}
HINSTANCE GetLogModule() { return g_logModule; }

bool FormatLogMessage(const wchar_t* format, va_list args, std::wstring* out) {
  return FormatLogMessageWith(CrtFormat, format, args, out);
}

bool FormatLogMessageWith(LogFormatter formatter, const wchar_t* format, va_list args,
                          std::wstring* out) {
  InvalidParameterGuard guard;
  size_t capacity = kFirstFormatBuffer;
  for (int attempt = 0; attempt < kMaxFormatAttempts; ++attempt, capacity *= 2) {
    // A buffer too large to be had ends the attempts like any other failure.
    boost::scoped_array<wchar_t> buffer(new (std::nothrow) wchar_t[capacity]);
    if (!buffer) return false;
    buffer[capacity - 2] = kUnwritten;
    buffer[capacity - 1] = kUnwritten;
    va_list copy;
    va_copy(copy, args);
    errno = 0;
    int written = formatter(buffer.get(), capacity, format, copy);
    va_end(copy);
    if (written >= 0) {
      try {
        out->assign(buffer.get(), static_cast<size_t>(written));
      } catch (const std::bad_alloc&) {
        return false;
      }
      return true;
    }
    // Too small only when the text ran to the end: capacity - 1 characters
    // and the zero. Anything else (a bad conversion, a runtime that could
    // not allocate) fails the same way in any buffer.
    bool filled = buffer[capacity - 2] != kUnwritten && buffer[capacity - 1] == L'\0';
    if (!filled || errno == EINVAL) return false;
  }
  return false;
}

std::wstring FormatLogTimeStamp(__time64_t now) {
  struct tm local = {};
  if (_localtime64_s(&local, &now) != 0) return std::wstring();
  wchar_t text[64] = {};
  size_t length = wcsftime(text, 64, L"%Y-%m-%d %H:%M:%S\t", &local);
  return std::wstring(text, length);
}

// Formatting happens under the lock too: it swaps the process-wide
// invalid-parameter handler, and only one swap may be in flight.
void LogWriter::Write(const wchar_t* format, va_list args) {
  ScopedLock hold(lock_);
  std::wstring message;
  if (FormatLogMessage(format, args, &message)) WriteLocked(message);
}

void LogWriter::Write(const std::wstring& message) {
  ScopedLock hold(lock_);
  WriteLocked(message);
}

void LogWriter::WriteLocked(const std::wstring& message) {
  const std::wstring stamp = FormatLogTimeStamp(_time64(nullptr));
  // Not counted: the size checks come at the same calls as without it.
  if (!started_) {
    started_ = true;
    const std::wstring* preamble = g_preamble.load();
    if (preamble && !preamble->empty()) AppendLine(stamp + *preamble);
  }
  std::wstring line = stamp + message;
  if (++calls_ % kCheckEvery == 0) RotateIfTooLarge();
  AppendLine(line);
}

// Looked up through the directory rather than opened, so the check is cheap
// and does not collide with another writer's exclusive open.
void LogWriter::RotateIfTooLarge() {
  WIN32_FIND_DATAW data;
  ScopedFind find(::FindFirstFileW(path_.c_str(), &data));
  if (!find) return;
  find.reset();
  ULONGLONG size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  if (size > kMaxSize) {
    ::MoveFileExW(path_.c_str(), (path_ + L".1").c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  }
}

// Share mode 0: bytes of two processes never interleave; nothing stays open
// between lines, so every line is on disk when the call returns.
void LogWriter::AppendLine(const std::wstring& line) {
  ScopedFile file(::CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  ::SetFilePointer(file.get(), 0, nullptr, FILE_END);
  std::string bytes = WideToMultiByte(line, CP_THREAD_ACP);
  DWORD written = 0;
  ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  ::WriteFile(file.get(), "\r\n", 2, &written, nullptr);
}

LogWriter* RedirectWriteLog(LogWriter* writer) { return g_redirect.exchange(writer); }

void WriteLog(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  // The log never reports: a line whose text cannot be had is dropped.
  try {
    LogWriter* redirect = g_redirect.load();
    (redirect ? *redirect : ProcessLog()).Write(format, args);
  } catch (...) {
  }
  va_end(args);
}

}  // namespace zan
