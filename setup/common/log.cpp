#include "log.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <new>

#include <boost/scoped_array.hpp>

#include "files.h"
#include "held_files.h"
#include "protected_log.h"
#include "string_util.h"

namespace zan {
namespace {

HINSTANCE g_logModule = nullptr;
std::atomic<LogWriter*> g_redirect{nullptr};
std::atomic<const std::wstring*> g_preamble{nullptr};
LogWriter* g_protected = nullptr;
bool g_dropped = false;

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
// A process with administrator rights (a plug-in in an elevated browser,
// say) logs into the protected folder, never beside a user's module.
// Decided once, at the first line: static initialisation runs once even
// when threads race to it.
LogWriter& ProcessLog() {
  static const bool decided = g_protected || g_dropped || !HasElevatedToken() || SetLogToProtectedFolder();
  (void)decided;
  if (g_protected) return *g_protected;
  static LogWriter* const writer = new LogWriter(GetModuleFolder(g_logModule) + L"zansetup.log");
  return *writer;
}

}  // namespace

void SetLogModule(HINSTANCE instance) { g_logModule = instance; }

// Nothing to log into when this fails: the folder is the log.
bool SetLogToProtectedFolder() {
  const std::wstring path = ProtectedLogPath();
  ScopedFile folder = path.empty() ? ScopedFile() : OpenProtectedLogFolder();
  if (!folder) {
    g_dropped = true;
    return false;
  }
  g_protected = new LogWriter(std::move(folder), ProtectedLogName(), path, ProtectedLogFileRules());
  return true;
}

// Never freed, as the log itself: a writer may read it at any time.
void SetLogPreamble(const std::wstring& line) { g_preamble.store(new std::wstring(line)); }

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

void LogWriter::AppendText(const std::string& bytes) {
  ScopedLock hold(lock_);
  AppendBytes(bytes);
}

// Looked up through the directory rather than opened, so the check is cheap
// and does not collide with another writer's exclusive open.
void LogWriter::RotateIfTooLarge() {
  if (folder_) {
    RotateHeldIfTooLarge();
    return;
  }
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

// In the held folder the file is renamed through its own handle, within
// that folder.
void LogWriter::RotateHeldIfTooLarge() {
  const HeldOpen how = {DELETE | FILE_READ_ATTRIBUTES, 0, FILE_OPEN, FILE_NON_DIRECTORY_FILE, nullptr};
  ScopedFile file = OpenInside(folder_.get(), name_, how);
  LARGE_INTEGER size = {};
  if (file && !IsLink(file.get()) && ::GetFileSizeEx(file.get(), &size) &&
      static_cast<ULONGLONG>(size.QuadPart) > kMaxSize) {
    RenameHeld(file.get(), folder_.get(), name_ + L".1");
  }
}

// Share mode 0: bytes of two processes never interleave; nothing stays open
// between lines, so every line is on disk when the call returns.
ScopedFile LogWriter::OpenForAppend() {
  if (!folder_) {
    return ScopedFile(::CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr));
  }
  LocalSecurityDescriptor rules(fileRules_.empty() ? nullptr : fileRules_.c_str());
  if (!fileRules_.empty() && !rules.get()) return ScopedFile();
  const HeldOpen how = {FILE_GENERIC_WRITE, 0, FILE_OPEN_IF, FILE_NON_DIRECTORY_FILE, rules.get()};
  ScopedFile file = OpenInside(folder_.get(), name_, how);
  if (file && IsLink(file.get())) file.reset();
  return file;
}

void LogWriter::AppendLine(const std::wstring& line) {
  AppendBytes(WideToMultiByte(line, CP_THREAD_ACP) + "\r\n");
}

void LogWriter::AppendBytes(const std::string& bytes) {
  ScopedFile file = OpenForAppend();
  if (!file) return;
  LARGE_INTEGER end = {};
  ::SetFilePointerEx(file.get(), end, nullptr, FILE_END);
  DWORD written = 0;
  ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

LogWriter* RedirectWriteLog(LogWriter* writer) { return g_redirect.exchange(writer); }

namespace {

// A test's redirection, else this process's log; none when its lines are dropped.
LogWriter* ActiveWriter() {
  LogWriter* redirect = g_redirect.load();
  if (redirect) return redirect;
  LogWriter& log = ProcessLog();
  return g_dropped ? nullptr : &log;
}

}  // namespace

void WriteLog(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  // The log never reports: a line whose text cannot be had is dropped.
  try {
    LogWriter* writer = ActiveWriter();
    if (writer) writer->Write(format, args);
  } catch (...) {
  }
  va_end(args);
}

void AppendToLog(const std::string& bytes) {
  try {
    LogWriter* writer = ActiveWriter();
    if (writer) writer->AppendText(bytes);
  } catch (...) {
  }
}

}  // namespace zan
