#include "protected_log.h"

#include <windows.h>
#include <sddl.h>
#include <shlobj.h>

#include "held_files.h"
#include "process_safety.h"  // LOAD_LIBRARY_SEARCH_SYSTEM32

namespace zan {
namespace {

// Owned by Administrators; full control for SYSTEM and Administrators,
// reading for users, for the folder and all it holds; nothing inherited.
const wchar_t kLogRules[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
const wchar_t* const kSteps[] = {L"Corvela", L"ZanSetup", L"Logs"};

// Asked of the shell, not read from the environment, which the user's
// programs set. The shell is loaded from the system folder when needed:
// the launcher imports nothing but what Windows maps from there.
std::wstring ProgramData() {
  using GetFolderPath = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);
  HMODULE shell = ::LoadLibraryExW(L"shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  FARPROC proc = shell ? ::GetProcAddress(shell, "SHGetFolderPathW") : nullptr;
  auto get = reinterpret_cast<GetFolderPath>(reinterpret_cast<void*>(proc));
  wchar_t folder[MAX_PATH] = {};
  const bool found = get && SUCCEEDED(get(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder));
  if (shell) ::FreeLibrary(shell);
  return found ? std::wstring(folder) : std::wstring();
}

// One step down: the folder `name` inside `parent`, made with our rules
// when missing; never a link.
ScopedFile StepDown(HANDLE parent, const wchar_t* name, PSECURITY_DESCRIPTOR rules) {
  HeldOpen how = {FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_TRAVERSE | READ_CONTROL |
                      FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF, FILE_DIRECTORY_FILE, rules};
  ScopedFile folder = OpenInside(parent, name, how);
  if (folder && IsLink(folder.get())) folder.reset();
  return folder;
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
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return std::wstring();
  ScopedHandle held(token);
  unsigned char buffer[256] = {};
  DWORD size = 0;
  if (!::GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size)) return std::wstring();
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) return std::wstring();
  std::wstring name = L"zansetup-" + std::wstring(text) + L".log";
  ::LocalFree(text);
  return name;
}

std::wstring ProtectedLogPath() {
  const std::wstring folder = ProtectedLogFolder();
  const std::wstring name = ProtectedLogName();
  return folder.empty() || name.empty() ? std::wstring() : folder + name;
}

ScopedFile OpenProtectedLogFolder() {
  const std::wstring root = ProgramData();
  LocalSecurityDescriptor rules(kLogRules);
  ScopedFile folder;
  if (!root.empty() && rules.get()) {
    folder = OpenNoFollow(root, FILE_TRAVERSE | FILE_LIST_DIRECTORY | FILE_ADD_SUBDIRECTORY);
  }
  if (!folder || IsLink(folder.get())) return ScopedFile();
  for (const wchar_t* step : kSteps) {
    folder = StepDown(folder.get(), step, rules.get());
    if (!folder) return ScopedFile();
  }
  const std::wstring found = RulesOf(folder.get());
  return !found.empty() && found == ReferenceRules(kLogRules) ? std::move(folder) : ScopedFile();
}

}  // namespace zan
