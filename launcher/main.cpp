// ZanSetupSH: runs the setup program again with the rights its manifest
// demands, passing its own arguments on and marking the start with "Uac=yes".
// It runs a copy in a folder only administrators may change (elevated_copy.h)
// and waits for it, so that nothing the user's own programs can write is
// loaded or run with those rights.
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "elevated_copy.h"
#include "setup/common/authenticode.h"
#include "setup/common/build_settings.h"
#include "setup/common/files.h"
#include "setup/common/handles.h"
#include "setup/common/log.h"
#include "setup/common/process_safety.h"
#include "setup/common/string_util.h"

namespace {

std::wstring OwnFolder() {
  std::wstring own = zan::ModuleFilePath(nullptr);
  size_t slash = own.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : own.substr(0, slash + 1);
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

// A writable command line with room for at least this many characters.
constexpr size_t kCommandLineRoom = 260;

// Starts `program` by its full path with `folder` as its current folder and
// waits for it to end.
void RunAndWait(const std::wstring& program, const std::wstring& folder, const std::wstring& commandLine) {
  std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
  buffer.resize(std::max(buffer.size() + 1, kCommandLineRoom), L'\0');
  // SW_SHOW without STARTF_USESHOWWINDOW: a hint the program may pass over.
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION process = {};
  if (!::CreateProcessW(program.c_str(), buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                        &startup, &process)) {
    zan::WriteLog(L"ZanSetupSH: start the setup program failed, error code: %d", static_cast<int>(::GetLastError()));
    return;
  }
  ::CloseHandle(process.hThread);
  ::WaitForSingleObject(process.hProcess, INFINITE);
  ::CloseHandle(process.hProcess);
}

// Not older than the launcher itself: an old copy left beside it (one with
// a flaw since mended) must not run with the rights.
bool CopyIsCurrent(const std::wstring& program) {
  zan::ScopedFile file(::CreateFileW(program.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  zan::FileVersion version;
  if (!file || !zan::ReadFileVersion(file.get(), &version)) {
    zan::WriteLog(L"ZanSetupSH: the setup program is not started elevated: it carries no version block");
    return false;
  }
  const zan::FileVersion own = zan::BuildVersion();
  if (zan::IsNewer(own, version)) {
    zan::WriteLog(L"ZanSetupSH: the setup program is not started elevated: its version %s is older than "
                  L"this launcher's %s",
                  zan::VersionText(version).c_str(), zan::VersionText(own).c_str());
    return false;
  }
  return true;
}

// In a pinned build the copy must carry a valid signature by a pinned key:
// the program beside the launcher lies in a folder the user may write to.
bool CopyMayRun(const std::wstring& program) {
  if (!CopyIsCurrent(program)) return false;
  const zan::PublisherPins& pins = zan::BuildPins();
  if (pins.empty()) return true;
  zan::FileSignature signature = zan::VerifyFileSignature(program, nullptr);
  if (zan::JudgePublisherSignature(pins, signature) == zan::PublisherSignature::kAccepted) return true;
  zan::WriteLog(L"ZanSetupSH: the setup program is not started elevated: it is not signed by our publisher, "
                L"error code: 0x%08x, key: %s",
                static_cast<unsigned>(signature.trust), zan::Utf8ToWide(signature.pin).c_str());
  return false;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  zan::SearchSystemFolderOnlyForDlls();
  if (!zan::IsPinnedBuild()) zan::SetLogPreamble(L"development build: no publisher key is pinned");
  const std::wstring folder = OwnFolder();
  if (folder.empty()) return 0;
  zan::ElevatedCopy copy;
  // Without its protected copy the setup program does not run elevated.
  if (!copy.Make(folder)) {
    zan::WriteLog(L"ZanSetupSH: the protected copy of the setup program could not be made, error code: %d",
                  static_cast<int>(::GetLastError()));
    return 0;
  }
  // After the copy is made: its folder's rules tell the copies of earlier
  // launchers from anything else.
  zan::RemoveLeftoverCopies(copy);
  // The copy writes its log beside the installed program, where the user
  // and the run that asked for the rights find it.
  ::SetEnvironmentVariableW(L"ZANSETUP_LOG_FOLDER", folder.c_str());
  // The product's installer unpacks into TEMP: not the user's, where any
  // program of that user could swap a DLL it then loads, but one inside the
  // protected folder.
  const std::wstring temp = copy.root() + L"temp";
  if (::CreateDirectoryW(temp.c_str(), nullptr)) {
    ::SetEnvironmentVariableW(L"TEMP", temp.c_str());
    ::SetEnvironmentVariableW(L"TMP", temp.c_str());
  } else {
    zan::WriteLog(L"ZanSetupSH: the protected temporary folder could not be made, error code: %d",
                  static_cast<int>(::GetLastError()));
    return 0;
  }
  const std::wstring program = copy.programFolder() + L"ZanSetup.exe";
  if (!CopyMayRun(program)) return 0;
  RunAndWait(program, copy.programFolder(), BuildCommandLine(program, argc, argv));
  return 0;
}
