#include "log.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <memory>

#include <boost/scoped_array.hpp>

#include "string_util.h"

namespace zan {
namespace {

HINSTANCE g_logModule = nullptr;

const size_t kFirstFormatBuffer = 1024;
const int kMaxFormatAttempts = 20;

// msvcrt reports a bad format through the invalid-parameter handler; we want
// the EINVAL result, not a process exit.
void IgnoreInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned, uintptr_t) {}

struct InvalidParameterGuard {
  InvalidParameterGuard() : previous(_set_invalid_parameter_handler(IgnoreInvalidParameter)) {}
  ~InvalidParameterGuard() { _set_invalid_parameter_handler(previous); }
  _invalid_parameter_handler previous;
};

const std::wstring& ProgramFileName() {
  static const std::wstring name = [] {
    wchar_t buffer[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return std::wstring(buffer);
  }();
  return name;
}

LogWriter& ProcessLog() {
  static LogWriter writer(GetModuleFolder(g_logModule) + L"zansetup.log");
  return writer;
}

}  // namespace

void SetLogModule(HINSTANCE instance) { g_logModule = instance; }
HINSTANCE GetLogModule() { return g_logModule; }

std::wstring FolderOfPath(const std::wstring& path) {
  size_t cut = path.find_last_of(L"\\/");
  return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
}

std::wstring GetModuleFolder(HINSTANCE instance) {
  if (!instance) return FolderOfPath(ProgramFileName());
  wchar_t buffer[MAX_PATH] = {};
  ::GetModuleFileNameW(instance, buffer, MAX_PATH);
  return FolderOfPath(buffer);
}

bool FormatLogMessage(const wchar_t* format, va_list args, std::wstring* out) {
  InvalidParameterGuard guard;
  size_t capacity = kFirstFormatBuffer;
  for (int attempt = 0; attempt < kMaxFormatAttempts; ++attempt, capacity *= 2) {
    boost::scoped_array<wchar_t> buffer(new wchar_t[capacity]);
    va_list copy;
    va_copy(copy, args);
    errno = 0;
    int written = _vsnwprintf_s(buffer.get(), capacity, _TRUNCATE, format, copy);
    va_end(copy);
    if (written >= 0) {
      out->assign(buffer.get(), static_cast<size_t>(written));
      return true;
    }
    if (errno == EINVAL) return false;  // not a matter of space
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

void LogWriter::Write(const std::wstring& message) {
  std::wstring line = FormatLogTimeStamp(_time64(nullptr)) + message;
  ScopedLock hold(lock_);
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

void WriteLog(const wchar_t* format, ...) {
  std::wstring message;
  va_list args;
  va_start(args, format);
  bool formatted = FormatLogMessage(format, args, &message);
  va_end(args);
  if (formatted) ProcessLog().Write(message);
}

}  // namespace zan
