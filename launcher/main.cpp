// ZanSetupSH: runs the setup program again with the rights its manifest
// demands, passing its own arguments on and marking the start with "Uac=yes".
#include <windows.h>

#include <string>

#include "setup/common/start_program.h"

namespace {

// Arguments go on as received, each followed by a blank; nothing is quoted.
std::wstring BuildCommandLine(int argc, wchar_t** argv) {
  std::wstring line = L"ZanSetup.exe ";
  for (int i = 1; i < argc; ++i) {
    line += argv[i];
    line += L" ";
  }
  return line + L"Uac=yes";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  PROCESS_INFORMATION process;
  if (zan::StartProgram(BuildCommandLine(argc, argv), 0, SW_SHOW, &process)) {
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
  }
  return 0;
}
