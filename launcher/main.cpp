// ZanSetupSH: runs the setup program again with the rights its manifest
// demands, passing its own arguments on and marking the start with "Uac=yes".
#include <windows.h>

#include <string>

#include "setup/common/process_safety.h"
#include "setup/common/start_program.h"

namespace {

// The setup program beside this one, by its full path: a bare name would
// be searched for in the current folder too.
std::wstring SetupProgramPath() {
  std::wstring own = zan::ModuleFilePath(nullptr);
  size_t slash = own.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : own.substr(0, slash + 1) + L"ZanSetup.exe";
}

// The program quoted, then the arguments as received, each followed by a
// blank; the arguments are not quoted.
std::wstring BuildCommandLine(const std::wstring& program, int argc, wchar_t** argv) {
  std::wstring line = L"\"" + program + L"\" ";
  for (int i = 1; i < argc; ++i) {
    line += argv[i];
    line += L" ";
  }
  return line + L"Uac=yes";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  zan::SearchSystemFolderOnlyForDlls();
  const std::wstring program = SetupProgramPath();
  if (program.empty()) return 0;
  PROCESS_INFORMATION process;
  if (zan::StartProgram(BuildCommandLine(program, argc, argv), 0, SW_SHOW, &process)) {
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
  }
  return 0;
}
