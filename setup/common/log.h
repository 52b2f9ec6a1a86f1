// The diagnostic log "zansetup.log" beside the writing module.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <string>

#include "handles.h"

namespace zan {

// Records the module whose folder receives the log (the program at the top of
// its entry, the plug-in when its DLL is attached).
void SetLogModule(HINSTANCE instance);
HINSTANCE GetLogModule();

// Folder of a module's file, ending in its separator; "\" and "/" both count
// and the later one wins. Empty when the name holds neither.
std::wstring GetModuleFolder(HINSTANCE instance);
std::wstring FolderOfPath(const std::wstring& path);

// Writes one time-stamped line. "%s" takes a wide string, "%d" an int.
// Never reports a failure: a line that cannot be written is dropped.
void WriteLog(const wchar_t* format, ...);

// Formats with the bounded, truncating formatter, doubling a buffer that
// starts at 1024 characters. False when the format cannot be applied.
bool FormatLogMessage(const wchar_t* format, va_list args, std::wstring* out);

// "%Y-%m-%d %H:%M:%S" and a TAB, in local time.
std::wstring FormatLogTimeStamp(__time64_t now);

// One log file with its size check and single-generation rotation.
class LogWriter {
 public:
  static constexpr ULONGLONG kMaxSize = 10ull * 1024 * 1024;
  static constexpr unsigned kCheckEvery = 10;

  explicit LogWriter(std::wstring path) : path_(std::move(path)) {}
  LogWriter(const LogWriter&) = delete;
  LogWriter& operator=(const LogWriter&) = delete;

  void Write(const std::wstring& message);
  const std::wstring& path() const { return path_; }

 private:
  void RotateIfTooLarge();
  void AppendLine(const std::wstring& line);

  const std::wstring path_;
  unsigned calls_ = 0;
  // Threads of one process take turns; other processes are kept out by the
  // exclusive open, and lose their line when they collide with us.
  CriticalSection lock_;
};

}  // namespace zan
