#include "protected_run.h"

#include <windows.h>

#include "authenticode.h"
#include "build_settings.h"
#include "elevated_copy.h"
#include "handles.h"
#include "log.h"
#include "start_program.h"
#include "string_util.h"
#include "versions.h"

namespace zan {
namespace {

// Not older than the running program itself: an old copy left beside it
// (one with a flaw since mended) must not run with the rights.
bool CopyIsCurrent(const std::wstring& program, const std::wstring& who) {
  ScopedFile file(::CreateFileW(program.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  FileVersion version;
  if (!file || !ReadFileVersion(file.get(), &version)) {
    WriteLog((who + L"the setup program is not started elevated: it carries no version block").c_str());
    return false;
  }
  const FileVersion own = BuildVersion();
  if (IsNewer(own, version)) {
    WriteLog((who + L"the setup program is not started elevated: its version %s is older than this launcher's %s")
                 .c_str(),
             VersionText(version).c_str(), VersionText(own).c_str());
    return false;
  }
  return true;
}

// In a pinned build the copy must carry a valid signature by a pinned key:
// the program it was copied from lies in a folder the user may write to.
bool CopyMayRun(const std::wstring& program, const std::wstring& who) {
  if (!CopyIsCurrent(program, who)) return false;
  const PublisherPins& pins = BuildPins();
  if (pins.empty()) return true;
  FileSignature signature = VerifyFileSignature(program, nullptr);
  if (JudgePublisherSignature(pins, signature) == PublisherSignature::kAccepted) return true;
  WriteLog((who + L"the setup program is not started elevated: it is not signed by our publisher, "
                  L"error code: 0x%08x, key: %s")
               .c_str(),
           static_cast<unsigned>(signature.trust), Utf8ToWide(signature.pin).c_str());
  return false;
}

// Starts `program` by its full path with `folder` as its current folder and
// waits for it to end; -1 when it could not start.
int RunAndWait(const std::wstring& program, const std::wstring& folder, const std::wstring& commandLine,
               const std::wstring& who) {
  PROCESS_INFORMATION process = {};
  if (!StartProgram(commandLine, 0, SW_SHOW, &process, program.c_str(), folder.c_str())) {
    WriteLog((who + L"start the setup program failed, error code: %d").c_str(), static_cast<int>(::GetLastError()));
    return -1;
  }
  ScopedHandle thread(process.hThread);
  ScopedHandle held(process.hProcess);
  ::WaitForSingleObject(held.get(), INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(held.get(), &code);
  return static_cast<int>(code);
}

}  // namespace

int RunProtectedCopy(const std::wstring& sourceFolder, const std::wstring& arguments, const std::wstring& who,
                     bool removeLeftovers) {
  ElevatedCopy copy;
  // Without its protected copy the setup program does not run elevated.
  if (!copy.Make(sourceFolder)) {
    WriteLog((who + L"the protected copy of the setup program could not be made, error code: %d").c_str(),
             static_cast<int>(::GetLastError()));
    return -1;
  }
  // After the copy is made: its folder's rules tell the copies of earlier
  // launchers from anything else.
  if (removeLeftovers) RemoveLeftoverCopies(copy);
  // The product's installer unpacks into TEMP: not the user's, where any
  // program of that user could swap a DLL it then loads, but one inside the
  // protected folder.
  const std::wstring temp = copy.root() + L"temp";
  if (!::CreateDirectoryW(temp.c_str(), nullptr)) {
    WriteLog((who + L"the protected temporary folder could not be made, error code: %d").c_str(),
             static_cast<int>(::GetLastError()));
    return -1;
  }
  ::SetEnvironmentVariableW(L"TEMP", temp.c_str());
  ::SetEnvironmentVariableW(L"TMP", temp.c_str());
  const std::wstring program = copy.programFolder() + L"ZanSetup.exe";
  if (!CopyMayRun(program, who)) return -1;
  std::wstring line = L"\"" + program + L"\" " + arguments;
  if (!line.empty() && line.back() != L' ') line += L' ';
  return RunAndWait(program, copy.programFolder(), line + L"Uac=yes", who);
}

}  // namespace zan
