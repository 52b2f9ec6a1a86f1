#include "protected_log.h"

#include <windows.h>
#include <sddl.h>
#include <shlobj.h>

#include "access_rules.h"
#include "held_files.h"
#include "system_library.h"

namespace zan {
namespace {

// Owned by Administrators; full control for SYSTEM and Administrators, for
// the folder and all it holds; users may list and pass through the folder
// itself, and read nothing in it by these rules: each log file names its
// reader (ProtectedLogFileRules). Nothing inherited.
const wchar_t kLogRules[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200a9;;;BU)";
const wchar_t* const kSteps[] = {L"Corvela", L"ZanSetup", L"Logs"};

// Asked of the shell, not read from the environment, which the user's
// programs set. The shell is loaded from the system folder when needed:
// the launcher imports nothing but what Windows maps from there.
std::wstring ProgramData() {
  using GetFolderPath = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);
  HMODULE shell = ZanLoadSystemLibrary("shell32.dll");
  FARPROC proc = shell ? ::GetProcAddress(shell, "SHGetFolderPathW") : nullptr;
  auto get = reinterpret_cast<GetFolderPath>(reinterpret_cast<void*>(proc));
  wchar_t folder[MAX_PATH] = {};
  const bool found = get && SUCCEEDED(get(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder));
  if (shell) ::FreeLibrary(shell);
  return found ? std::wstring(folder) : std::wstring();
}

// One step down: the folder `name` inside `parent`, made with our rules
// when missing; never a link, and only one that keeps users out.
ScopedFile StepDown(HANDLE parent, const wchar_t* name, PSECURITY_DESCRIPTOR rules) {
  HeldOpen how = {FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_TRAVERSE | READ_CONTROL |
                      FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF, FILE_DIRECTORY_FILE, rules};
  ScopedFile folder = OpenInsideNoLink(parent, name, how);
  if (folder && !HeldKeepsUsersOut(folder.get(), FolderUse::kWrittenIn)) folder.reset();
  return folder;
}

// One step down for a reader: an existing folder or file, never a link.
ScopedFile ReadStepDown(HANDLE parent, const std::wstring& name, bool file) {
  const ULONG kind = file ? FILE_NON_DIRECTORY_FILE : FILE_DIRECTORY_FILE;
  HeldOpen how = {file ? GENERIC_READ | READ_CONTROL : FILE_TRAVERSE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, kind, nullptr};
  return OpenInsideNoLink(parent, name, how);
}

// The account's SID as text, empty when the token cannot be read.
std::wstring AccountSid() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return std::wstring();
  ScopedHandle held(token);
  unsigned char buffer[256] = {};
  DWORD size = 0;
  if (!::GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size)) return std::wstring();
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) return std::wstring();
  std::wstring sid(text);
  ::LocalFree(text);
  return sid;
}

}  // namespace

bool HasElevatedToken() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  ScopedHandle held(token);
  TOKEN_ELEVATION elevation = {};
  DWORD size = 0;
  return ::GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size) &&
         elevation.TokenIsElevated != 0;
}

std::wstring ProtectedLogFolder() {
  std::wstring folder = ProgramData();
  if (folder.empty()) return folder;
  if (folder.back() != L'\\') folder += L'\\';
  for (const wchar_t* step : kSteps) folder += std::wstring(step) + L"\\";
  return folder;
}

std::wstring ProtectedLogName() {
  const std::wstring sid = AccountSid();
  return sid.empty() ? sid : L"zansetup-" + sid + L".log";
}

std::wstring ProtectedLogFileRules() {
  const std::wstring sid = AccountSid();
  return sid.empty() ? sid : L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;" + sid + L")";
}

std::wstring ProtectedLogPath() {
  const std::wstring folder = ProtectedLogFolder();
  const std::wstring name = ProtectedLogName();
  return folder.empty() || name.empty() ? std::wstring() : folder + name;
}

ScopedFile OpenProtectedLogFolder() { return OpenLogFolderBelow(ProgramData()); }

ScopedFile OpenLogFolderBelow(const std::wstring& root) {
  LocalSecurityDescriptor rules(kLogRules);
  ScopedFile folder;
  if (!root.empty() && rules.get()) {
    // Reading its attributes is what tells a link: without the right to,
    // every folder would look like one.
    folder = OpenNoFollow(root, FILE_TRAVERSE | FILE_LIST_DIRECTORY | FILE_ADD_SUBDIRECTORY | READ_CONTROL |
                                    FILE_READ_ATTRIBUTES);
  }
  if (!folder || IsLink(folder.get()) || !HeldKeepsUsersOut(folder.get(), FolderUse::kPassage)) return ScopedFile();
  for (const wchar_t* step : kSteps) {
    folder = StepDown(folder.get(), step, rules.get());
    if (!folder) return ScopedFile();
  }
  return folder;
}

ScopedFile OpenProtectedLogForReading() {
  const std::wstring root = ProgramData();
  const std::wstring name = ProtectedLogName();
  if (root.empty() || name.empty()) return ScopedFile();
  ScopedFile entry = OpenNoFollow(root, FILE_TRAVERSE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES);
  if (!entry || IsLink(entry.get())) return ScopedFile();
  for (const wchar_t* step : kSteps) {
    entry = ReadStepDown(entry.get(), step, false);
    if (!entry) return ScopedFile();
  }
  entry = ReadStepDown(entry.get(), name, true);
  return entry && OwnedByAdministrators(entry.get()) ? std::move(entry) : ScopedFile();
}

}  // namespace zan
