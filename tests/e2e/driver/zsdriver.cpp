// zsdriver: works the setup program's windows as a person would, for the
// end-to-end tests. One action per run; results go to standard output as UTF-8.
//
//   zsdriver find [--class C] [--title T] [--visible|--hidden] [--childless [--settled]]
//                 [--control ID [--text T]] [--timeout MS]
//       prints the handle (hex) of the first matching top-level window; with --text, the
//       child ID must hold that text (a message box by its caption and text); with
//       --settled, a childless window is still childless once its thread has answered
//   zsdriver gone HWND [--timeout MS]     waits until the window is gone
//   zsdriver texts HWND                   prints "title<TAB>..." then
//                                         "id<TAB>class<TAB>visible<TAB>enabled<TAB>text" per child
//   zsdriver items HWND ID                prints the entries of the list box ID
//   zsdriver click HWND ID                posts BM_CLICK to the child ID
//   zsdriver close HWND                   posts WM_CLOSE
//   zsdriver run CMDLINE [--windows] [--elevated|--standard-user]
//                                         runs CMDLINE exactly, exits with its code; with
//                                         --windows prints "windows N": how many top-level
//                                         windows its process owned while it ran
//   zsdriver event NAME FILE              writes "held" into FILE when an event NAME
//                                         exists already, else "free"
//   zsdriver lock FILE SECONDS READY      opens FILE sharing nothing, writes READY, holds
//                                         the file for SECONDS and ends
//   zsdriver mutex NAME SECONDS READY     holds the named mutex NAME the same way
//   zsdriver mutexfree NAME [--timeout MS] waits until no process holds the named mutex NAME
//   zsdriver registry get KEY NAME        prints the string value NAME of KEY (HKCU\... or
//                                         HKLM\...); exit code 1 when there is none
//   zsdriver registry set KEY NAME sz|dword DATA
//   zsdriver registry delete KEY [NAME]   the value NAME, or the key with all below it
//   zsdriver registry exists KEY          exit code 0 when the key is there
//   zsdriver version FILE                 prints the FileVersion text of FILE's version block
//   zsdriver size HWND                    prints the window's width and height in pixels
//   zsdriver hold                         connects to the desktop and never ends, so Wine's
//                                         desktop process stays up for the whole test run
//   zsdriver findall [find options]       prints every matching handle, one a line
//   zsdriver open LINK                    opens LINK with ShellExecuteExW, as a browser
//                                         hands a link on; exits with the started
//                                         program's code (254: no process, 255: failed)
//   zsdriver trustroot FILE               adds the DER certificate in FILE to the local
//                                         machine's "Root" store of this Wine prefix
//   zsdriver settext HWND ID TEXT         sets the text of the child ID (TEXT \uXXXX-escaped),
//                                         as typing it would
//   zsdriver check HWND ID                ticks the check box ID
//   zsdriver exec PROGRAM [ARGS...]       runs PROGRAM with ARGS (quoted as needed) on this
//                                         driver's standard handles, exits with its code
//   zsdriver serve                        takes actions from standard input until it closes
//                                         (driver_server.cpp): one driver for a test module
//
// run, open and exec start what they start as a user does: Wine gives every
// process an administrator's full token, so these take the token's limited
// twin first, as Windows gives an administrator's programs (TokenIsElevated
// 0). --elevated keeps the full token; --standard-user also takes the
// Administrators group away (deny-only), as for a standard user's programs.
#include <windows.h>
#include <shellapi.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "driver_server.h"

namespace zsdriver {

// Where Print writes instead of standard output, while the server runs an action.
std::string* g_output = nullptr;

void Print(const std::wstring& text) {
  int n = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr,
                                0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], n,
                          nullptr, nullptr);
  }
  bytes += "\n";
  if (g_output) {
    *g_output += bytes;
    return;
  }
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
              &written, nullptr);
}

std::wstring WindowText(HWND hwnd) {
  wchar_t buffer[4096] = {};
  ::GetWindowTextW(hwnd, buffer, 4096);
  return buffer;
}

std::wstring ClassName(HWND hwnd) {
  wchar_t buffer[256] = {};
  ::GetClassNameW(hwnd, buffer, 256);
  return buffer;
}

// Titles arrive with non-ASCII characters written as \uXXXX, so that they do
// not depend on the Unix locale that Wine converts arguments with.
std::wstring Unescape(const std::wstring& text) {
  std::wstring out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\\' && i + 5 < text.size() && text[i + 1] == L'u') {
      out += static_cast<wchar_t>(wcstoul(text.substr(i + 2, 4).c_str(), nullptr, 16));
      i += 5;
    } else {
      out += text[i];
    }
  }
  return out;
}

HWND ParseHandle(const wchar_t* text) {
  return reinterpret_cast<HWND>(static_cast<uintptr_t>(wcstoull(text, nullptr, 16)));
}

struct FindQuery {
  std::wstring className;
  std::wstring title;
  bool hasTitle = false;
  bool visibleOnly = false;
  bool hiddenOnly = false;
  bool childless = false;  // the setup program's main dialog has no controls
  // Another dialog is childless too while its thread makes its controls, in
  // one go: once the thread answers a message, that is over.
  bool settled = false;
  int controlId = 0;  // when set, the window must hold a child with this id
  std::wstring controlText;  // and, when set, that child must hold this text
  bool hasControlText = false;
  HWND found = nullptr;
};

std::wstring ControlText(HWND hwnd);

BOOL CALLBACK MatchWindow(HWND hwnd, LPARAM param) {
  FindQuery* query = reinterpret_cast<FindQuery*>(param);
  if (query->visibleOnly && !::IsWindowVisible(hwnd)) return TRUE;
  if (query->hiddenOnly && ::IsWindowVisible(hwnd)) return TRUE;
  if (query->childless && ::GetWindow(hwnd, GW_CHILD)) return TRUE;
  if (!query->className.empty() && ClassName(hwnd) != query->className) return TRUE;
  if (query->hasTitle && WindowText(hwnd) != query->title) return TRUE;
  if (query->controlId && !::GetDlgItem(hwnd, query->controlId)) return TRUE;
  if (query->hasControlText && ControlText(::GetDlgItem(hwnd, query->controlId)) != query->controlText) return TRUE;
  if (query->settled) {
    DWORD_PTR ignored = 0;
    if (!::SendMessageTimeoutW(hwnd, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 3000, &ignored)) return TRUE;
    if (query->childless && ::GetWindow(hwnd, GW_CHILD)) return TRUE;
  }
  query->found = hwnd;
  return FALSE;
}

BOOL CALLBACK PrintMatch(HWND hwnd, LPARAM param) {
  FindQuery* query = reinterpret_cast<FindQuery*>(param);
  query->found = nullptr;
  MatchWindow(hwnd, param);
  if (query->found) {
    wchar_t text[32];
    swprintf(text, 32, L"%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(hwnd)));
    Print(text);
  }
  return TRUE;
}

int Find(int argc, wchar_t** argv) {
  FindQuery query;
  DWORD timeout = 10000;
  for (int i = 2; i < argc; ++i) {
    std::wstring arg = argv[i];
    if (arg == L"--class" && i + 1 < argc) query.className = argv[++i];
    else if (arg == L"--title" && i + 1 < argc) { query.title = Unescape(argv[++i]); query.hasTitle = true; }
    else if (arg == L"--visible") query.visibleOnly = true;
    else if (arg == L"--hidden") query.hiddenOnly = true;
    else if (arg == L"--childless") query.childless = true;
    else if (arg == L"--settled") query.settled = true;
    else if (arg == L"--control" && i + 1 < argc) query.controlId = static_cast<int>(wcstol(argv[++i], nullptr, 10));
    else if (arg == L"--text" && i + 1 < argc) { query.controlText = Unescape(argv[++i]); query.hasControlText = true; }
    else if (arg == L"--timeout" && i + 1 < argc) timeout = wcstoul(argv[++i], nullptr, 10);
  }
  if (std::wstring(argv[1]) == L"findall") {
    ::EnumWindows(PrintMatch, reinterpret_cast<LPARAM>(&query));
    return 0;
  }
  DWORD start = ::GetTickCount();
  for (;;) {
    query.found = nullptr;
    ::EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&query));
    if (query.found) {
      wchar_t text[32];
      swprintf(text, 32, L"%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(query.found)));
      Print(text);
      return 0;
    }
    if (::GetTickCount() - start >= timeout) return 1;
    ::Sleep(50);
  }
}

int Gone(int argc, wchar_t** argv) {
  HWND hwnd = ParseHandle(argv[2]);
  DWORD timeout = argc > 4 ? wcstoul(argv[4], nullptr, 10) : 10000;
  DWORD start = ::GetTickCount();
  while (::IsWindow(hwnd)) {
    if (::GetTickCount() - start >= timeout) return 1;
    ::Sleep(50);
  }
  return 0;
}

// Controls of another process keep their text to themselves (an edit
// control, for one): ask the control, without hanging on a busy owner.
std::wstring ControlText(HWND hwnd) {
  wchar_t buffer[4096] = {};
  DWORD_PTR copied = 0;
  if (!::SendMessageTimeoutW(hwnd, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buffer),
                             SMTO_ABORTIFHUNG, 3000, &copied)) {
    return WindowText(hwnd);
  }
  return buffer;
}

BOOL CALLBACK PrintChild(HWND child, LPARAM) {
  wchar_t line[64];
  swprintf(line, 64, L"%d\t", ::GetDlgCtrlID(child));
  Print(line + ClassName(child) + L"\t" + (::IsWindowVisible(child) ? L"1" : L"0") + L"\t" +
        (::IsWindowEnabled(child) ? L"1" : L"0") + L"\t" + ControlText(child));
  return TRUE;
}

int Texts(wchar_t** argv) {
  HWND hwnd = ParseHandle(argv[2]);
  if (!::IsWindow(hwnd)) return 1;
  Print(WindowText(hwnd));
  ::EnumChildWindows(hwnd, PrintChild, 0);
  return 0;
}

// The window's outer width and height in pixels.
int Size(wchar_t** argv) {
  RECT rect = {};
  if (!::GetWindowRect(ParseHandle(argv[2]), &rect)) return 1;
  Print(std::to_wstring(rect.right - rect.left) + L" " + std::to_wstring(rect.bottom - rect.top));
  return 0;
}

int Items(wchar_t** argv) {
  HWND list = ::GetDlgItem(ParseHandle(argv[2]), static_cast<int>(wcstol(argv[3], nullptr, 10)));
  if (!list) return 1;
  LRESULT count = ::SendMessageW(list, LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    wchar_t text[1024] = {};
    if (::SendMessageW(list, LB_GETTEXTLEN, i, 0) < 1024) ::SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text));
    Print(text);
  }
  return 0;
}

int Click(wchar_t** argv) {
  HWND hwnd = ParseHandle(argv[2]);
  HWND button = ::GetDlgItem(hwnd, static_cast<int>(wcstol(argv[3], nullptr, 10)));
  if (!button) return 1;
  // Posted, so a message box that the click opens does not block us.
  return ::PostMessageW(button, BM_CLICK, 0, 0) ? 0 : 1;
}

int Close(wchar_t** argv) {
  return ::PostMessageW(ParseHandle(argv[2]), WM_CLOSE, 0, 0) ? 0 : 1;
}

struct OwnedWindows {
  DWORD processId;
  std::vector<HWND> seen;
};

BOOL CALLBACK CollectOwned(HWND hwnd, LPARAM param) {
  OwnedWindows* owned = reinterpret_cast<OwnedWindows*>(param);
  DWORD processId = 0;
  ::GetWindowThreadProcessId(hwnd, &processId);
  if (processId == owned->processId &&
      std::find(owned->seen.begin(), owned->seen.end(), hwnd) == owned->seen.end()) {
    owned->seen.push_back(hwnd);
  }
  return TRUE;
}

// Waits for a started process and ends with its exit code.
int WaitForExitCode(const PROCESS_INFORMATION& process) {
  ::CloseHandle(process.hThread);
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(process.hProcess, &code);
  ::CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

// What run, open and exec start with: the driver restarts itself on a
// lower token, and the copy (no longer elevated) does the action.
Rights WantedRights(int argc, wchar_t** argv) {
  Rights wanted = Rights::kLimited;
  for (int i = 2; i < argc; ++i) {
    if (std::wstring(argv[i]) == L"--elevated") wanted = Rights::kFull;
    if (std::wstring(argv[i]) == L"--standard-user") wanted = Rights::kStandardUser;
  }
  return wanted;
}

bool TokenIsElevated(HANDLE token) {
  TOKEN_ELEVATION elevation = {};
  DWORD size = 0;
  return ::GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size) &&
         elevation.TokenIsElevated != 0;
}

// The token to restart on, or nullptr to act in this process.
HANDLE LowerToken(Rights wanted) {
  if (wanted == Rights::kFull || ::GetEnvironmentVariableW(L"ZSDRIVER_LOWERED", nullptr, 0) > 0) return nullptr;
  HANDLE own = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY, &own)) {
    return nullptr;
  }
  HANDLE base = nullptr;
  if (TokenIsElevated(own)) {
    TOKEN_LINKED_TOKEN linked = {};
    DWORD size = 0;
    if (::GetTokenInformation(own, TokenLinkedToken, &linked, sizeof(linked), &size)) base = linked.LinkedToken;
  }
  if (wanted == Rights::kStandardUser) {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    ::AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins);
    SID_AND_ATTRIBUTES disabled = {admins, 0};
    HANDLE restricted = nullptr;
    if (admins && ::CreateRestrictedToken(base ? base : own, 0, 1, &disabled, 0, nullptr, 0, nullptr, &restricted)) {
      if (base) ::CloseHandle(base);
      base = restricted;
    }
    if (admins) ::FreeSid(admins);
  }
  ::CloseHandle(own);
  return base;
}

// The driver's own standard handles, passed on to what it starts.
STARTUPINFOW PassedHandles() {
  STARTUPINFOW startup = {sizeof(startup)};
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  for (HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
    if (handle && handle != INVALID_HANDLE_VALUE) {
      ::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
  }
  return startup;
}

int RestartOn(HANDLE token) {
  ::SetEnvironmentVariableW(L"ZSDRIVER_LOWERED", L"1");
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  const wchar_t* line = ::GetCommandLineW();
  std::vector<wchar_t> buffer(line, line + wcslen(line) + 1);
  STARTUPINFOW startup = PassedHandles();
  PROCESS_INFORMATION process = {};
  BOOL started = ::CreateProcessAsUserW(token, self, buffer.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                        &startup, &process);
  ::CloseHandle(token);
  if (!started) return 253;
  return WaitForExitCode(process);
}

std::wstring Quoted(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  return L"\"" + argument + L"\"";
}

// Runs the program on this driver's standard handles, so a test reads its output.
int Exec(int argc, wchar_t** argv) {
  std::wstring line;
  for (int i = 2; i < argc; ++i) {
    const std::wstring argument = argv[i];
    if (argument == L"--elevated" || argument == L"--standard-user") continue;
    line += (line.empty() ? L"" : L" ") + Quoted(argument);
  }
  std::vector<wchar_t> buffer(line.begin(), line.end());
  buffer.push_back(L'\0');
  STARTUPINFOW startup = PassedHandles();
  PROCESS_INFORMATION process = {};
  if (!::CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    return 255;
  }
  return WaitForExitCode(process);
}

int Run(const wchar_t* commandLine, bool countWindows) {
  std::vector<wchar_t> buffer(commandLine, commandLine + wcslen(commandLine) + 1);
  buffer.resize(buffer.size() + MAX_PATH);
  STARTUPINFOW startup = {sizeof(startup)};
  PROCESS_INFORMATION process = {};
  if (!::CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
    return 255;
  }
  if (countWindows) {
    OwnedWindows owned = {process.dwProcessId, {}};
    do {
      ::EnumWindows(CollectOwned, reinterpret_cast<LPARAM>(&owned));
    } while (::WaitForSingleObject(process.hProcess, 2) == WAIT_TIMEOUT);
    wchar_t text[32];
    swprintf(text, 32, L"windows %u", static_cast<unsigned>(owned.seen.size()));
    Print(text);
  }
  return WaitForExitCode(process);
}

// A file that readers see whole or not at all: written beside its place,
// then renamed into it, so no test waits for a writer to finish.
bool WriteWhole(const std::wstring& path, const std::string& bytes) {
  const std::wstring partial = path + L".partial";
  HANDLE file = ::CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL wrote = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  ::CloseHandle(file);
  return wrote && written == bytes.size() &&
         ::MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

int ProbeEvent(const wchar_t* name, const wchar_t* resultPath) {
  HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, name);
  const char* result = ::GetLastError() == ERROR_ALREADY_EXISTS ? "held" : "free";
  const bool written = WriteWhole(resultPath, result);
  if (event) ::CloseHandle(event);
  return written ? 0 : 1;
}

std::string Utf8(const std::wstring& text) {
  int n = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(n > 0 ? n - 1 : 0), '\0');
  if (n > 1) ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &bytes[0], n, nullptr, nullptr);
  return bytes;
}

// Copied under another program's name, the driver stands in for that program:
// it records the command line it was started with into "<name>.cmdline" beside
// itself (UTF-8, whole: see WriteWhole) and ends, so a test can see exactly what was started. With
// ZSDRIVER_RECORD set, it writes to that file instead, one item a line: the
// command line, its own path, its current folder, whether its token is
// elevated ("elevated" or ""), whether a language folder with files lies beside it ("language" or ""),
// and TEMP and TMP.
bool RecordIfStandIn() {
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path = self;
  std::wstring folder = path.substr(0, path.find_last_of(L"\\/") + 1);
  std::wstring name = path.substr(folder.size());
  if (_wcsicmp(name.c_str(), L"zsdriver.exe") == 0) return false;
  std::string bytes = Utf8(::GetCommandLineW());
  std::wstring target = path + L".cmdline";
  wchar_t record[MAX_PATH] = {};
  if (::GetEnvironmentVariableW(L"ZSDRIVER_RECORD", record, MAX_PATH) > 0) {
    target = record;
    wchar_t current[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, current);
    HANDLE token = nullptr;
    bool elevated = false;
    if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
      elevated = TokenIsElevated(token);
      ::CloseHandle(token);
    }
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((folder + L"language\\*.locale").c_str(), &data);
    const bool language = find != INVALID_HANDLE_VALUE;
    if (language) ::FindClose(find);
    wchar_t temp[MAX_PATH] = {}, tmp[MAX_PATH] = {};
    ::GetEnvironmentVariableW(L"TEMP", temp, MAX_PATH);
    ::GetEnvironmentVariableW(L"TMP", tmp, MAX_PATH);
    bytes += "\n" + Utf8(path) + "\n" + Utf8(current) + "\n" + (elevated ? "elevated" : "") + "\n" +
             (language ? "language" : "") +
             "\n" + Utf8(temp) + "\n" + Utf8(tmp);
  }
  WriteWhole(target, bytes);
  return true;
}

// Nothing else can open, rename or delete the file while this runs.
int Lock(const wchar_t* path, const wchar_t* seconds, const wchar_t* ready) {
  HANDLE file = ::CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  HANDLE mark = ::CreateFileW(ready, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (mark != INVALID_HANDLE_VALUE) ::CloseHandle(mark);
  ::Sleep(static_cast<DWORD>(_wtoi(seconds)) * 1000);
  ::CloseHandle(file);
  return 0;
}

// Holds the named mutex `name` for `seconds`, as a run of the setup program
// holds its update mutex, after writing `ready`.
int HoldMutex(const wchar_t* name, const wchar_t* seconds, const wchar_t* ready) {
  HANDLE mutex = ::CreateMutexW(nullptr, TRUE, name);
  if (!mutex || ::GetLastError() == ERROR_ALREADY_EXISTS) return 1;
  HANDLE mark = ::CreateFileW(ready, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (mark != INVALID_HANDLE_VALUE) ::CloseHandle(mark);
  ::Sleep(static_cast<DWORD>(_wtoi(seconds)) * 1000);
  ::ReleaseMutex(mutex);
  ::CloseHandle(mutex);
  return 0;
}

// The end of whatever holds the mutex (the setup program's update worker
// holds its mutex until it has done all it will): takes it once it is free
// and lets it go at once.
int MutexFree(int argc, wchar_t** argv) {
  DWORD timeout = argc > 4 ? wcstoul(argv[4], nullptr, 10) : 10000;
  HANDLE mutex = ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, argv[2]);
  if (!mutex) return 0;  // nobody has it open
  DWORD result = ::WaitForSingleObject(mutex, timeout);
  const bool taken = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
  if (taken) ::ReleaseMutex(mutex);
  ::CloseHandle(mutex);
  return taken ? 0 : 1;
}

// The harness's registry reads and writes, in the process that serves its
// other actions rather than in a reg.exe of their own; what they write the
// programs see at once, as what a program writes is seen here.
HKEY RootOf(const std::wstring& key, std::wstring* below) {
  const struct {
    const wchar_t* name;
    HKEY root;
  } roots[] = {{L"HKCU\\", HKEY_CURRENT_USER}, {L"HKLM\\", HKEY_LOCAL_MACHINE}};
  for (const auto& root : roots) {
    if (_wcsnicmp(key.c_str(), root.name, 5) == 0) {
      *below = key.substr(5);
      return root.root;
    }
  }
  return nullptr;
}

int Registry(int argc, wchar_t** argv) {
  if (argc < 4) return 2;
  const std::wstring verb = argv[2];
  std::wstring path;
  HKEY root = RootOf(argv[3], &path);
  if (!root) return 2;
  if (verb == L"get" && argc >= 5) {
    wchar_t data[4096] = {};
    DWORD size = sizeof(data);
    if (::RegGetValueW(root, path.c_str(), argv[4], RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS) {
      return 1;
    }
    Print(data);
    return 0;
  }
  if (verb == L"exists") {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return 1;
    ::RegCloseKey(key);
    return 0;
  }
  if (verb == L"set" && argc >= 7) {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
      return 1;
    }
    const std::wstring type = argv[5], text = argv[6];
    const DWORD number = wcstoul(text.c_str(), nullptr, 10);
    LSTATUS set = type == L"dword"
                      ? ::RegSetValueExW(key, argv[4], 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                                         sizeof(number))
                      : ::RegSetValueExW(key, argv[4], 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                         static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    ::RegCloseKey(key);
    return set == ERROR_SUCCESS ? 0 : 1;
  }
  if (verb == L"delete") {
    LSTATUS deleted = argc >= 5 ? ::RegDeleteKeyValueW(root, path.c_str(), argv[4])
                                : ::RegDeleteTreeW(root, path.c_str());
    if (argc < 5 && deleted == ERROR_SUCCESS) deleted = ::RegDeleteKeyW(root, path.c_str());
    return deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND ? 0 : 1;
  }
  return 2;
}

int Version(const wchar_t* path) {
  DWORD ignored = 0;
  DWORD size = ::GetFileVersionInfoSizeW(path, &ignored);
  if (size == 0) return 1;
  std::vector<BYTE> block(size);
  wchar_t* text = nullptr;
  UINT length = 0;
  if (!::GetFileVersionInfoW(path, 0, size, block.data()) ||
      !::VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\FileVersion",
                        reinterpret_cast<void**>(&text), &length)) {
    return 1;
  }
  Print(text);
  return 0;
}

int Open(const wchar_t* link) {
  SHELLEXECUTEINFOW info = {sizeof(info)};
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"open";
  info.lpFile = link;
  info.nShow = SW_SHOWNORMAL;
  if (!::ShellExecuteExW(&info)) return 255;
  if (!info.hProcess) return 254;
  ::WaitForSingleObject(info.hProcess, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(info.hProcess, &code);
  ::CloseHandle(info.hProcess);
  return static_cast<int>(code);
}

// The test CA is trusted in the prefix of the test run alone, never on the
// machine that runs it.
int TrustRoot(const wchar_t* path) {
  HANDLE file = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  std::vector<BYTE> der(64 * 1024);
  DWORD got = 0;
  BOOL read = ::ReadFile(file, der.data(), static_cast<DWORD>(der.size()), &got, nullptr);
  ::CloseHandle(file);
  if (!read || got == 0) return 1;
  HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (!store) return 1;
  BOOL added = ::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), got,
                                                  CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  ::CertCloseStore(store, 0);
  return added ? 0 : 1;
}

// Sent, not posted: the text is in place when the action ends.
int SetText(wchar_t** argv) {
  HWND item = ::GetDlgItem(ParseHandle(argv[2]), static_cast<int>(wcstol(argv[3], nullptr, 10)));
  if (!item) return 1;
  const std::wstring text = Unescape(argv[4]);
  return ::SendMessageW(item, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str())) ? 0 : 1;
}

int Check(wchar_t** argv) {
  HWND item = ::GetDlgItem(ParseHandle(argv[2]), static_cast<int>(wcstol(argv[3], nullptr, 10)));
  if (!item) return 1;
  ::SendMessageW(item, BM_SETCHECK, BST_CHECKED, 0);
  return 0;
}

void CaptureOutput(std::string* sink) { g_output = sink; }

int Act(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  std::wstring action = argv[1];
  if (action == L"find" || action == L"findall") return Find(argc, argv);
  if (action == L"gone" && argc >= 3) return Gone(argc, argv);
  if (action == L"texts" && argc >= 3) return Texts(argv);
  if (action == L"size" && argc >= 3) return Size(argv);
  if (action == L"click" && argc >= 4) return Click(argv);
  if (action == L"items" && argc >= 4) return Items(argv);
  if (action == L"close" && argc >= 3) return Close(argv);
  if (action == L"run" || action == L"open" || action == L"exec") {
    HANDLE lower = LowerToken(WantedRights(argc, argv));
    if (lower) return RestartOn(lower);
  }
  if (action == L"exec" && argc >= 3) return Exec(argc, argv);
  if (action == L"run" && argc >= 3) {
    bool countWindows = false;
    for (int i = 3; i < argc; ++i) countWindows = countWindows || std::wstring(argv[i]) == L"--windows";
    return Run(argv[2], countWindows);
  }
  if (action == L"event" && argc >= 4) return ProbeEvent(argv[2], argv[3]);
  if (action == L"lock" && argc >= 5) return Lock(argv[2], argv[3], argv[4]);
  if (action == L"mutex" && argc >= 5) return HoldMutex(argv[2], argv[3], argv[4]);
  if (action == L"mutexfree" && argc >= 3) return MutexFree(argc, argv);
  if (action == L"registry") return Registry(argc, argv);
  if (action == L"version" && argc >= 3) return Version(argv[2]);
  if (action == L"open" && argc >= 3) return Open(argv[2]);
  if (action == L"trustroot" && argc >= 3) return TrustRoot(argv[2]);
  if (action == L"settext" && argc >= 5) return SetText(argv);
  if (action == L"check" && argc >= 4) return Check(argv);
  if (action == L"hold") {
    ::GetDesktopWindow();
    ::Sleep(INFINITE);
  }
  return 2;
}

}  // namespace zsdriver

int wmain(int argc, wchar_t** argv) {
  if (zsdriver::RecordIfStandIn()) return 0;
  if (argc == 2 && std::wstring(argv[1]) == L"serve") return zsdriver::Serve();
  return zsdriver::Act(argc, argv);
}
