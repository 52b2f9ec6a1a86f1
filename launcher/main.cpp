// ZanSetupSH: runs the setup program again with the rights its manifest
// demands, passing its own arguments on and marking the start with "Uac=yes".
// It runs a copy in a folder only administrators may change (elevated_copy.h)
// and waits for it, so that nothing the user's own programs can write is
// loaded or run with those rights. Its log, like the copy's, lies in the
// protected log folder (protected_log.h): it writes nothing into the user's.
#include <windows.h>

#include <string>

#include "setup/common/build_settings.h"
#include "setup/common/files.h"
#include "setup/common/log.h"
#include "setup/common/process_safety.h"
#include "setup/common/protected_run.h"

namespace {

std::wstring OwnFolder() {
  std::wstring own = zan::ModuleFilePath(nullptr);
  size_t slash = own.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : own.substr(0, slash + 1);
}

// The arguments as received, each followed by a blank; not quoted.
std::wstring JoinArguments(int argc, wchar_t** argv) {
  std::wstring line;
  for (int i = 1; i < argc; ++i) {
    line += argv[i];
    line += L" ";
  }
  return line;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  zan::SearchSystemFolderOnlyForDlls();
  if (!zan::IsPinnedBuild()) zan::SetLogPreamble(L"development build: no publisher key is pinned");
  zan::SetLogToProtectedFolder();
  const std::wstring folder = OwnFolder();
  if (folder.empty()) return 0;
  zan::RunProtectedCopy(folder, JoinArguments(argc, argv), L"ZanSetupSH: ", true);
  return 0;
}
