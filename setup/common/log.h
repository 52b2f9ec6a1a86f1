// The diagnostic log "zansetup.log" beside the writing module.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <string>

#include "handles.h"

namespace zan {

class LogWriter;

// Records the module whose folder receives the log (the program at the top of
// its entry, the plug-in when its DLL is attached).
void SetLogModule(HINSTANCE instance);
HINSTANCE GetLogModule();

// Sends this process's lines to its account's file in the protected log
// folder (protected_log.h) instead of a folder the user may write to; the
// folder is held open from now on. When it cannot be had, the lines are
// dropped, never written elsewhere. Before the first line is written.
bool SetLogToProtectedFolder();

// Appends `bytes` (whole lines of another log) to this process's log as
// they are.
void AppendToLog(const std::string& bytes);

// A line each log writer of this process puts before its first line (empty:
// none), so every log says what kind of build wrote it.
void SetLogPreamble(const std::wstring& line);

// Writes one time-stamped line. "%s" takes a wide string, "%d" an int.
// Never reports a failure and never throws: a line that cannot be made or
// written is dropped.
void WriteLog(const wchar_t* format, ...);

// Sends WriteLog's lines to `writer` instead of the log beside the recorded
// module until it is called again; nullptr restores that log. Returns the
// writer in force before. Lets a test own the file it reads back; `writer`
// must outlive its turn, and no thread may be logging while it is swapped.
LogWriter* RedirectWriteLog(LogWriter* writer);

// A bounded, truncating formatter in the shape of `_vsnwprintf_s` with
// `_TRUNCATE`: -1 and `capacity - 1` characters with their zero when the text
// does not fit.
using LogFormatter = int (*)(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args);

// Formats with the C runtime's formatter, doubling a buffer that starts at
// 1024 characters, at most 20 times. False when the format cannot be applied
// or the buffer cannot be had; `out` is then untouched. Swaps the
// process-wide invalid-parameter handler while it runs, so calls must not
// overlap: LogWriter makes them under its lock.
bool FormatLogMessage(const wchar_t* format, va_list args, std::wstring* out);
// The same over another formatter, so a test can stand in for the runtime's.
bool FormatLogMessageWith(LogFormatter formatter, const wchar_t* format, va_list args,
                          std::wstring* out);

// "%Y-%m-%d %H:%M:%S" and a TAB, in local time.
std::wstring FormatLogTimeStamp(__time64_t now);

// One log file with its size check and single-generation rotation.
class LogWriter {
 public:
  static constexpr ULONGLONG kMaxSize = 10ull * 1024 * 1024;
  static constexpr unsigned kCheckEvery = 10;

  explicit LogWriter(std::wstring path) : path_(std::move(path)) {}
  // The file `name` in the folder held as `folder`, reached through that
  // handle alone, and made with the access rules `fileRules` (SDDL; empty:
  // inherited); `shown` is its path for the reader.
  LogWriter(ScopedFile folder, std::wstring name, std::wstring shown, std::wstring fileRules = std::wstring())
      : path_(std::move(shown)),
        name_(std::move(name)),
        fileRules_(std::move(fileRules)),
        folder_(std::move(folder)) {}
  LogWriter(const LogWriter&) = delete;
  LogWriter& operator=(const LogWriter&) = delete;

  // Formats and writes one line; a format that cannot be applied writes
  // nothing and is not counted.
  void Write(const wchar_t* format, va_list args);
  void Write(const std::wstring& message);
  void AppendText(const std::string& bytes);
  const std::wstring& path() const { return path_; }

 private:
  void WriteLocked(const std::wstring& message);
  void RotateIfTooLarge();
  void AppendLine(const std::wstring& line);
  void AppendBytes(const std::string& bytes);
  ScopedFile OpenForAppend();
  void RotateHeldIfTooLarge();

  const std::wstring path_;
  const std::wstring name_;
  const std::wstring fileRules_;
  const ScopedFile folder_;
  unsigned calls_ = 0;
  bool started_ = false;
  // Threads of one process take turns, formatting included; other processes
  // are kept out by the exclusive open, and lose their line when they
  // collide with us.
  CriticalSection lock_;
};

// Points WriteLog at a log file of the caller's own while it lives.
class ScopedLogRedirect {
 public:
  explicit ScopedLogRedirect(std::wstring path)
      : writer_(std::move(path)), previous_(RedirectWriteLog(&writer_)) {}
  ~ScopedLogRedirect() { RedirectWriteLog(previous_); }
  ScopedLogRedirect(const ScopedLogRedirect&) = delete;
  ScopedLogRedirect& operator=(const ScopedLogRedirect&) = delete;

  const std::wstring& path() const { return writer_.path(); }

 private:
  LogWriter writer_;
  LogWriter* previous_;
};

}  // namespace zan
