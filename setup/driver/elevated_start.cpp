#include "elevated_start.h"

#include <vector>

#include "command_line.h"
#include "setup/common/files.h"
#include "setup/common/handles.h"
#include "setup/common/log.h"
#include "setup/common/protected_log.h"
#include "setup/common/protected_run.h"

namespace zan {
namespace {

// The user's own language files lie in the user's folder, which this run
// does not read: the text is fixed.
const wchar_t kRefusal[] =
    L"ZanSetup does not run with administrator rights from this folder, and its protected copy could not be "
    L"started. Start ZanSetup again without administrator rights; it asks for them when a product needs them.";
// Far more than one elevated run writes; anything beyond stays in the
// protected log alone.
constexpr DWORD kMaxCopied = 4u * 1024 * 1024;

ScopedHandle g_launcher;
ULONGLONG g_logStart = 0;

// The bytes from `start` to the end (from the beginning when the file is
// shorter: it was rotated meanwhile), at most kMaxCopied.
std::string ReadNewPart(HANDLE file, ULONGLONG start) {
  LARGE_INTEGER size = {};
  if (!::GetFileSizeEx(file, &size)) return std::string();
  if (static_cast<ULONGLONG>(size.QuadPart) < start) start = 0;
  const ULONGLONG left = static_cast<ULONGLONG>(size.QuadPart) - start;
  std::string bytes(static_cast<size_t>(left < kMaxCopied ? left : kMaxCopied), '\0');
  LARGE_INTEGER at = {};
  at.QuadPart = static_cast<LONGLONG>(start);
  DWORD read = 0;
  if (bytes.empty() || !::SetFilePointerEx(file, at, nullptr, FILE_BEGIN) ||
      !::ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr)) {
    return std::string();
  }
  bytes.resize(read);
  return bytes;
}

void RefuseElevatedRun(const std::wstring& folder, const wchar_t* why) {
  WriteLog(L"the setup program does not run with administrator rights from %s: %s", folder.c_str(), why);
  ::MessageBoxW(nullptr, kRefusal, L"ZanSetup", MB_OK | MB_ICONERROR);
}

}  // namespace

int RunFromProtectedCopy(HINSTANCE instance, const std::wstring& line) {
  const std::wstring folder = GetModuleFolder(instance);
  // A copy that does not know itself for one would start copies for ever.
  if (!ArgumentValue(ParseArguments(line), L"Uac").empty()) {
    RefuseElevatedRun(folder, L"it was started as the protected copy but is none");
    return 0;
  }
  WriteLog(L"the setup program runs with administrator rights from %s: it runs its protected copy instead",
           folder.c_str());
  const int code = RunProtectedCopy(folder, line, std::wstring(), false);
  if (code < 0) {
    RefuseElevatedRun(folder, L"its protected copy did not run");
    return 0;
  }
  return code;
}

void NoteElevatedLogStart() {
  LARGE_INTEGER size = {};
  ScopedFile file = OpenProtectedLogForReading();
  g_logStart = file && ::GetFileSizeEx(file.get(), &size) ? static_cast<ULONGLONG>(size.QuadPart) : 0;
}

void KeepElevatedRun(HANDLE launcher) { g_launcher.reset(launcher); }

void AwaitElevatedRun() {
  if (!g_launcher) return;
  ::WaitForSingleObject(g_launcher.get(), INFINITE);
  g_launcher.reset();
  const std::wstring path = ProtectedLogPath();
  // Through handles that follow no link, and only a log that an
  // administrator's process made: nothing a user put there is copied.
  ScopedFile file = OpenProtectedLogForReading();
  std::string bytes = file ? ReadNewPart(file.get(), g_logStart) : std::string();
  if (bytes.empty()) {
    WriteLog(L"the elevated run wrote nothing to %s", path.c_str());
    return;
  }
  if (bytes.back() != '\n') bytes += "\r\n";
  WriteLog(L"the elevated run's log follows, from %s", path.c_str());
  AppendToLog(bytes);
  WriteLog(L"the elevated run's log ends");
}

}  // namespace zan
