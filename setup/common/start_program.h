// Starting another program. CreateProcessW may write into the command line it
// is given, so the text goes into a buffer of its own with room to spare.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace zan {

// No inherited handles and the caller's environment. Without `program` the
// command line's first word names the program; without `folder` the
// caller's current folder is the program's. `show` goes into the start-up
// record without STARTF_USESHOWWINDOW, as a hint. False with the last error
// set when the program could not be started.
inline bool StartProgram(const std::wstring& commandLine, DWORD flags, WORD show, PROCESS_INFORMATION* info,
                         const wchar_t* program = nullptr, const wchar_t* folder = nullptr) {
  std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
  buffer.resize(buffer.size() + MAX_PATH, L'\0');
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.wShowWindow = show;
  *info = PROCESS_INFORMATION();
  return ::CreateProcessW(program, buffer.data(), nullptr, nullptr, FALSE, flags, nullptr, folder, &startup,
                          info) != FALSE;
}

}  // namespace zan
