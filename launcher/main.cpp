// ZanSetupSH: runs the setup program again with the rights its manifest
// demands, passing its own arguments on and marking the start with "Uac=yes".
#include <windows.h>

#include <string>
#include <vector>

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
  std::wstring line = BuildCommandLine(argc, argv);
  std::vector<wchar_t> buffer(line.begin(), line.end());
  buffer.resize(buffer.size() + MAX_PATH, L'\0');
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION process = {};
  if (::CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &startup, &process)) {
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
  }
  return 0;
}
