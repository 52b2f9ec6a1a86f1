// zsdriver: works the setup program's windows as a person would, for the end-to-end tests.
// One action per run; results go to standard output as UTF-8.
//
//   zsdriver find [--class C] [--title T] [--visible|--hidden] [--childless [--settled]]
//                 [--control ID [--text T]] [--timeout MS]
//       prints the handle (hex) of the first matching top-level window; with --text, the child ID must
//       hold that text (a message box by its caption and text); with --settled, a childless window is
//       still childless once its thread has answered
//   zsdriver findall [find options]       prints every matching handle, one a line
//   zsdriver gone HWND [--timeout MS]     waits until the window is gone
//   zsdriver texts HWND                   prints "title<TAB>..." then
//                                         "id<TAB>class<TAB>visible<TAB>enabled<TAB>text" per child
//   zsdriver items HWND ID                prints the entries of the list box ID
//   zsdriver size HWND                    prints the window's width and height in pixels
//   zsdriver click HWND ID                posts BM_CLICK to the child ID
//   zsdriver close HWND                   posts WM_CLOSE
//   zsdriver settext HWND ID TEXT         sets the text of the child ID (TEXT \uXXXX-escaped), as typing would
//   zsdriver check HWND ID                ticks the check box ID
//   zsdriver run CMDLINE [--windows] [--elevated|--standard-user]
//                                         runs CMDLINE exactly, exits with its code; with --windows prints
//                                         "windows N": how many top-level windows its process owned
//   zsdriver exec PROGRAM [ARGS...]       runs PROGRAM with ARGS (quoted as needed) on this driver's standard
//                                         handles, exits with its code
//   zsdriver open LINK                    opens LINK with ShellExecuteExW, as a browser hands a link on; exits
//                                         with the started program's code (254: no process, 255: failed)
//   zsdriver event NAME FILE              writes "held" into FILE when an event NAME exists already, else "free"
//   zsdriver lock FILE SECONDS READY      opens FILE sharing nothing, writes READY, holds the file for
//                                         SECONDS and ends
//   zsdriver mutex NAME SECONDS READY     holds the named mutex NAME the same way
//   zsdriver mutexfree NAME [--timeout MS] waits until no process holds the named mutex NAME
//   zsdriver registry get KEY NAME        prints the string value NAME of KEY (HKCU\... or HKLM\...);
//                                         exit code 1 when there is none
//   zsdriver registry set KEY NAME sz|dword DATA
//   zsdriver registry delete KEY [NAME]   the value NAME, or the key with all below it
//   zsdriver registry exists KEY          exit code 0 when the key is there
//   zsdriver version FILE                 prints the FileVersion text of FILE's version block
//   zsdriver trustroot FILE               adds the DER certificate in FILE to the local machine's "Root"
//                                         store of this Wine prefix
//   zsdriver hold                         connects to the desktop and never ends, so Wine's desktop
//                                         process stays up for the whole test run
//   zsdriver serve                        takes actions from standard input until it closes
//                                         (driver_server.cpp): one driver for a test module
//
// run, exec and open start what they start as a user does: Wine gives every process an administrator's
// full token, so these take the token's limited twin, as Windows gives an administrator's programs
// (TokenIsElevated 0). --elevated keeps the full token; --standard-user also takes the Administrators
// group away (deny-only), as for a standard user's programs.
#include <windows.h>
#include <shellapi.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "driver_server.h"
#include "setup/common/files.h"
#include "setup/common/string_util.h"

namespace zsdriver {

std::string g_output;

void Print(const std::wstring& text) { g_output += zan::WideToUtf8(text) + "\n"; }

// A write to a blocking pipe or to a file ends once all of it is written.
void WriteOut(const std::string& bytes) {
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void PrintHandle(HWND hwnd) {
  wchar_t text[32];
  swprintf(text, 32, L"%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(hwnd)));
  Print(text);
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

// Controls of another process keep their text to themselves (an edit
// control, for one): ask the control, without hanging on a busy owner.
std::wstring ControlText(HWND hwnd) {
  wchar_t buffer[4096] = {};
  DWORD_PTR copied = 0;
  const bool answered = ::SendMessageTimeoutW(hwnd, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buffer),
                                              SMTO_ABORTIFHUNG, 3000, &copied) != 0;
  return answered ? std::wstring(buffer) : WindowText(hwnd);
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

// The window that argv[2] names, and its child that argv[3] names.
HWND WindowArg(wchar_t** argv) {
  return reinterpret_cast<HWND>(static_cast<uintptr_t>(wcstoull(argv[2], nullptr, 16)));
}

HWND ChildArg(wchar_t** argv) { return ::GetDlgItem(WindowArg(argv), _wtoi(argv[3])); }

DWORD TimeoutArg(int argc, wchar_t** argv) {
  for (int i = 2; i + 1 < argc; ++i) {
    if (std::wstring(argv[i]) == L"--timeout") return wcstoul(argv[i + 1], nullptr, 10);
  }
  return 10000;
}

// Asks `done` every 50 ms until it holds or `timeout` ms have passed.
template <typename Done>
bool WaitUntil(Done done, DWORD timeout) {
  const DWORD start = ::GetTickCount();
  while (!done()) {
    if (::GetTickCount() - start >= timeout) return false;
    ::Sleep(50);
  }
  return true;
}

struct FindQuery {
  std::wstring className;
  std::optional<std::wstring> title;
  bool visibleOnly = false;
  bool hiddenOnly = false;
  bool childless = false;  // the setup program's main dialog has no controls
  // Another dialog is childless too while its thread makes its controls, in
  // one go: once the thread answers a message, that is over.
  bool settled = false;
  int controlId = 0;  // when set, the window must hold a child with this id
  std::optional<std::wstring> controlText;  // and, when set, that child must hold this text
  std::vector<HWND> found;
  bool all = false;  // collect every match rather than the first
};

FindQuery QueryArgs(int argc, wchar_t** argv) {
  FindQuery query;
  for (int i = 2; i < argc; ++i) {
    const std::wstring arg = argv[i];
    const bool valued = i + 1 < argc;
    if (arg == L"--class" && valued) query.className = argv[++i];
    else if (arg == L"--title" && valued) query.title = Unescape(argv[++i]);
    else if (arg == L"--visible") query.visibleOnly = true;
    else if (arg == L"--hidden") query.hiddenOnly = true;
    else if (arg == L"--childless") query.childless = true;
    else if (arg == L"--settled") query.settled = true;
    else if (arg == L"--control" && valued) query.controlId = _wtoi(argv[++i]);
    else if (arg == L"--text" && valued) query.controlText = Unescape(argv[++i]);
  }
  return query;
}

bool Matches(HWND hwnd, const FindQuery& query) {
  if (query.visibleOnly && !::IsWindowVisible(hwnd)) return false;
  if (query.hiddenOnly && ::IsWindowVisible(hwnd)) return false;
  if (query.childless && ::GetWindow(hwnd, GW_CHILD)) return false;
  if (!query.className.empty() && ClassName(hwnd) != query.className) return false;
  if (query.title && WindowText(hwnd) != *query.title) return false;
  if (query.controlId && !::GetDlgItem(hwnd, query.controlId)) return false;
  if (query.controlText && ControlText(::GetDlgItem(hwnd, query.controlId)) != *query.controlText) return false;
  if (query.settled) {
    DWORD_PTR ignored = 0;
    if (!::SendMessageTimeoutW(hwnd, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 3000, &ignored)) return false;
    if (query.childless && ::GetWindow(hwnd, GW_CHILD)) return false;
  }
  return true;
}

BOOL CALLBACK CollectMatch(HWND hwnd, LPARAM param) {
  FindQuery* query = reinterpret_cast<FindQuery*>(param);
  if (Matches(hwnd, *query)) query->found.push_back(hwnd);
  return query->all || query->found.empty();
}

int Find(int argc, wchar_t** argv) {
  FindQuery query = QueryArgs(argc, argv);
  auto search = [&query] {
    ::EnumWindows(CollectMatch, reinterpret_cast<LPARAM>(&query));
    return !query.found.empty();
  };
  if (!WaitUntil(search, TimeoutArg(argc, argv))) return 1;
  PrintHandle(query.found.front());
  return 0;
}

int FindAll(int argc, wchar_t** argv) {
  FindQuery query = QueryArgs(argc, argv);
  query.all = true;
  ::EnumWindows(CollectMatch, reinterpret_cast<LPARAM>(&query));
  std::for_each(query.found.begin(), query.found.end(), PrintHandle);
  return 0;
}

int Gone(int argc, wchar_t** argv) {
  const HWND hwnd = WindowArg(argv);
  return WaitUntil([hwnd] { return !::IsWindow(hwnd); }, TimeoutArg(argc, argv)) ? 0 : 1;
}

BOOL CALLBACK PrintChild(HWND child, LPARAM) {
  Print(std::to_wstring(::GetDlgCtrlID(child)) + L"\t" + ClassName(child) + L"\t" +
        (::IsWindowVisible(child) ? L"1" : L"0") + L"\t" + (::IsWindowEnabled(child) ? L"1" : L"0") + L"\t" +
        ControlText(child));
  return TRUE;
}

int Texts(int, wchar_t** argv) {
  const HWND hwnd = WindowArg(argv);
  if (!::IsWindow(hwnd)) return 1;
  Print(WindowText(hwnd));
  ::EnumChildWindows(hwnd, PrintChild, 0);
  return 0;
}

// The window's outer width and height in pixels.
int Size(int, wchar_t** argv) {
  RECT rect = {};
  if (!::GetWindowRect(WindowArg(argv), &rect)) return 1;
  Print(std::to_wstring(rect.right - rect.left) + L" " + std::to_wstring(rect.bottom - rect.top));
  return 0;
}

int Items(int, wchar_t** argv) {
  const HWND list = ChildArg(argv);
  if (!list) return 1;
  const LRESULT count = ::SendMessageW(list, LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    wchar_t text[1024] = {};
    if (::SendMessageW(list, LB_GETTEXTLEN, i, 0) < 1024) {
      ::SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text));
    }
    Print(text);
  }
  return 0;
}

// Posted, so a message box that the click opens does not block us.
int Click(int, wchar_t** argv) {
  const HWND button = ChildArg(argv);
  return button && ::PostMessageW(button, BM_CLICK, 0, 0) ? 0 : 1;
}

int Close(int, wchar_t** argv) { return ::PostMessageW(WindowArg(argv), WM_CLOSE, 0, 0) ? 0 : 1; }

// Sent, not posted: the text is in place when the action ends.
int SetText(int, wchar_t** argv) {
  const HWND item = ChildArg(argv);
  const std::wstring text = Unescape(argv[4]);
  return item && ::SendMessageW(item, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str())) ? 0 : 1;
}

int Check(int, wchar_t** argv) {
  const HWND item = ChildArg(argv);
  if (item) ::SendMessageW(item, BM_SETCHECK, BST_CHECKED, 0);
  return item ? 0 : 1;
}

bool TokenIsElevated(HANDLE token) {
  TOKEN_ELEVATION elevation = {};
  DWORD size = 0;
  return ::GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size) &&
         elevation.TokenIsElevated != 0;
}

Rights RightsNamed(const std::wstring& name) {
  if (name == L"elevated") return Rights::kFull;
  if (name == L"standard-user") return Rights::kStandardUser;
  return Rights::kLimited;
}

zan::ScopedHandle LowerToken(Rights wanted) {
  if (wanted == Rights::kFull || ::GetEnvironmentVariableW(L"ZSDRIVER_LOWERED", nullptr, 0) > 0) return {};
  HANDLE opened = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY, &opened)) {
    return {};
  }
  zan::ScopedHandle own(opened), lower;
  TOKEN_LINKED_TOKEN linked = {};
  DWORD size = 0;
  if (TokenIsElevated(own.get()) &&
      ::GetTokenInformation(own.get(), TokenLinkedToken, &linked, sizeof(linked), &size)) {
    lower.reset(linked.LinkedToken);
  }
  if (wanted == Rights::kStandardUser) {
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof(admins);
    SID_AND_ATTRIBUTES disabled = {admins, 0};
    HANDLE restricted = nullptr;
    if (::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &sidSize) &&
        ::CreateRestrictedToken(lower ? lower.get() : own.get(), 0, 1, &disabled, 0, nullptr, 0, nullptr,
                                &restricted)) {
      lower.reset(restricted);
    }
  }
  return lower;
}

zan::ScopedHandle StartOn(HANDLE token, const std::wstring& line, wchar_t* environment, const wchar_t* folder,
                          STARTUPINFOW* startup) {
  std::vector<wchar_t> buffer(line.begin(), line.end());
  buffer.push_back(L'\0');
  const BOOL inherit = (startup->dwFlags & STARTF_USESTDHANDLES) != 0;
  const DWORD flags = environment ? CREATE_UNICODE_ENVIRONMENT : 0;
  PROCESS_INFORMATION process = {};
  const BOOL started = token ? ::CreateProcessAsUserW(token, nullptr, buffer.data(), nullptr, nullptr, inherit,
                                                      flags, environment, folder, startup, &process)
                             : ::CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, inherit, flags,
                                                environment, folder, startup, &process);
  if (!started) return {};
  ::CloseHandle(process.hThread);
  return zan::ScopedHandle(process.hProcess);
}

// The token that --elevated or --standard-user among the arguments asks for
// (none: ours); a driver started on it finds the marker and acts on it.
zan::ScopedHandle LowerTokenHandedOn(int argc, wchar_t** argv) {
  Rights wanted = Rights::kLimited;
  for (int i = 3; i < argc; ++i) {
    if (wcsncmp(argv[i], L"--", 2) == 0 && RightsNamed(argv[i] + 2) != Rights::kLimited) {
      wanted = RightsNamed(argv[i] + 2);
    }
  }
  zan::ScopedHandle token = LowerToken(wanted);
  if (token) ::SetEnvironmentVariableW(L"ZSDRIVER_LOWERED", L"1");
  return token;
}

int ExitCodeOf(HANDLE process) {
  ::WaitForSingleObject(process, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(process, &code);
  return static_cast<int>(code);
}

// A command-line argument as the C runtime's parser reads it back.
std::wstring Argument(const std::wstring& text) {
  if (!text.empty() && text.find_first_of(L" \t\"") == std::wstring::npos) return text;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : text) {
    if (c == L'\\') {
      ++backslashes;
    } else {
      quoted.append(c == L'"' ? backslashes + 1 : 0, L'\\');
      backslashes = 0;
    }
    quoted += c;
  }
  quoted.append(backslashes, L'\\');
  return quoted + L"\"";
}

std::wstring OpenLine(const std::wstring& link) {
  return Argument(zan::ModuleFilePath(nullptr)) + L" open " + Argument(link);
}

struct OwnedWindows {
  DWORD processId;
  std::set<HWND> seen;
};

BOOL CALLBACK CollectOwned(HWND hwnd, LPARAM param) {
  OwnedWindows* owned = reinterpret_cast<OwnedWindows*>(param);
  DWORD processId = 0;
  ::GetWindowThreadProcessId(hwnd, &processId);
  if (processId == owned->processId) owned->seen.insert(hwnd);
  return TRUE;
}

int Run(int argc, wchar_t** argv) {
  STARTUPINFOW startup = {sizeof(startup)};
  zan::ScopedHandle process = StartOn(LowerTokenHandedOn(argc, argv).get(), argv[2], nullptr, nullptr, &startup);
  if (!process) return 255;
  if (std::find(argv + 3, argv + argc, std::wstring(L"--windows")) != argv + argc) {
    OwnedWindows owned = {::GetProcessId(process.get()), {}};
    do {
      ::EnumWindows(CollectOwned, reinterpret_cast<LPARAM>(&owned));
    } while (::WaitForSingleObject(process.get(), 2) == WAIT_TIMEOUT);
    Print(L"windows " + std::to_wstring(owned.seen.size()));
  }
  return ExitCodeOf(process.get());
}

int Exec(int argc, wchar_t** argv) {
  std::wstring line;
  for (int i = 2; i < argc; ++i) {
    const std::wstring argument = argv[i];
    if (argument == L"--elevated" || argument == L"--standard-user") continue;
    line += (line.empty() ? L"" : L" ") + Argument(argument);
  }
  STARTUPINFOW startup = {sizeof(startup)};
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  for (HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
    ::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);  // does nothing on no handle
  }
  zan::ScopedHandle process = StartOn(LowerTokenHandedOn(argc, argv).get(), line, nullptr, nullptr, &startup);
  return process ? ExitCodeOf(process.get()) : 255;
}

// ShellExecuteExW takes no token: on a lower one, a driver started on it opens the link.
int Open(int argc, wchar_t** argv) {
  zan::ScopedHandle token = LowerTokenHandedOn(argc, argv);
  if (token) {
    STARTUPINFOW startup = {sizeof(startup)};
    zan::ScopedHandle opener = StartOn(token.get(), OpenLine(argv[2]), nullptr, nullptr, &startup);
    return opener ? ExitCodeOf(opener.get()) : 253;
  }
  SHELLEXECUTEINFOW info = {sizeof(info)};
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"open";
  info.lpFile = argv[2];
  info.nShow = SW_SHOWNORMAL;
  if (!::ShellExecuteExW(&info)) return 255;
  if (!info.hProcess) return 254;
  return ExitCodeOf(zan::ScopedHandle(info.hProcess).get());
}

// A file that readers see whole or not at all: written beside its place,
// then renamed into it, so no test waits for a writer to finish.
bool WriteWhole(const std::wstring& path, const std::string& bytes) {
  const std::wstring partial = path + L".partial";
  DWORD written = 0;
  {
    zan::ScopedFile file(::CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || !::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
      return false;
    }
  }
  return written == bytes.size() && ::MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

int ProbeEvent(int, wchar_t** argv) {
  zan::ScopedHandle event(::CreateEventW(nullptr, TRUE, FALSE, argv[2]));
  const char* result = ::GetLastError() == ERROR_ALREADY_EXISTS ? "held" : "free";
  return WriteWhole(argv[3], result) ? 0 : 1;
}

std::wstring Variable(const wchar_t* name) {
  wchar_t value[MAX_PATH] = {};
  ::GetEnvironmentVariableW(name, value, MAX_PATH);
  return value;
}

// Copied under another program's name, the driver stands in for that program: it records the command
// line it was started with into "<name>.cmdline" beside itself (UTF-8, whole: see WriteWhole) and ends,
// so a test can see exactly what was started. With ZSDRIVER_RECORD set, it writes to that file instead,
// one item a line: the command line, its own path, its current folder, whether its token is elevated
// ("elevated" or ""), whether a language folder with files lies beside it ("language" or ""), TEMP and TMP.
bool RecordIfStandIn() {
  const std::wstring path = zan::ModuleFilePath(nullptr), folder = zan::FolderOfPath(path);
  if (_wcsicmp(path.c_str() + folder.size(), L"zsdriver.exe") == 0) return false;
  std::string bytes = zan::WideToUtf8(::GetCommandLineW());
  std::wstring target = Variable(L"ZSDRIVER_RECORD");
  if (target.empty()) {
    target = path + L".cmdline";
  } else {
    wchar_t current[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, current);
    HANDLE token = nullptr;
    const bool elevated = ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token) && TokenIsElevated(token);
    zan::ScopedHandle owned(token);
    WIN32_FIND_DATAW data;
    const zan::ScopedFind locale(::FindFirstFileW((folder + L"language\\*.locale").c_str(), &data));
    for (const std::wstring& item : {path, std::wstring(current), std::wstring(elevated ? L"elevated" : L""),
                                     std::wstring(locale ? L"language" : L""), Variable(L"TEMP"), Variable(L"TMP")}) {
      bytes += "\n" + zan::WideToUtf8(item);
    }
  }
  WriteWhole(target, bytes);
  return true;
}

// Nothing else can open, rename or delete the file while this runs.
int Lock(int, wchar_t** argv) {
  zan::ScopedFile file(::CreateFileW(argv[2], GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return 1;
  WriteWhole(argv[4], "");
  ::Sleep(static_cast<DWORD>(_wtoi(argv[3])) * 1000);
  return 0;
}

// As a run of the setup program holds its update mutex.
int HoldMutex(int, wchar_t** argv) {
  zan::ScopedHandle mutex(::CreateMutexW(nullptr, TRUE, argv[2]));
  if (!mutex || ::GetLastError() == ERROR_ALREADY_EXISTS) return 1;
  WriteWhole(argv[4], "");
  ::Sleep(static_cast<DWORD>(_wtoi(argv[3])) * 1000);
  ::ReleaseMutex(mutex.get());
  return 0;
}

// The end of whatever holds the mutex (the setup program's update worker holds its mutex until it has done
// all it will): takes it once it is free and lets it go at once.
int MutexFree(int argc, wchar_t** argv) {
  zan::ScopedHandle mutex(::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, argv[2]));
  if (!mutex) return 0;  // nobody has it open
  const DWORD result = ::WaitForSingleObject(mutex.get(), TimeoutArg(argc, argv));
  const bool taken = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
  if (taken) ::ReleaseMutex(mutex.get());
  return taken ? 0 : 1;
}

// The harness's registry reads and writes, in the process that serves its other actions rather than in a
// reg.exe of their own; what they write the programs see at once, as what a program writes is seen here.
int Registry(int argc, wchar_t** argv) {
  const std::wstring verb = argv[2], key = argv[3], path = key.substr(std::min<size_t>(key.size(), 5));
  const HKEY root = _wcsnicmp(key.c_str(), L"HKCU\\", 5) == 0 ? HKEY_CURRENT_USER
                    : _wcsnicmp(key.c_str(), L"HKLM\\", 5) == 0 ? HKEY_LOCAL_MACHINE : nullptr;
  if (!root) return 2;
  if (verb == L"get" && argc >= 5) {
    wchar_t data[4096] = {};
    DWORD size = sizeof(data);
    if (::RegGetValueW(root, path.c_str(), argv[4], RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS) return 1;
    Print(data);
    return 0;
  }
  if (verb == L"exists") {
    HKEY opened = nullptr;
    const LSTATUS found = ::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &opened);
    zan::ScopedRegKey owned(opened);
    return found == ERROR_SUCCESS ? 0 : 1;
  }
  if (verb == L"set" && argc >= 7) {
    const std::wstring text = argv[6];
    const DWORD number = wcstoul(argv[6], nullptr, 10);
    const bool dword = std::wstring(argv[5]) == L"dword";
    const DWORD size = static_cast<DWORD>(dword ? sizeof(number) : (text.size() + 1) * sizeof(wchar_t));
    const LSTATUS set = ::RegSetKeyValueW(root, path.c_str(), argv[4], dword ? REG_DWORD : REG_SZ,
                                          dword ? static_cast<const void*>(&number) : text.c_str(), size);
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

int Version(int, wchar_t** argv) {
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(argv[2], &ignored);
  std::vector<BYTE> block(size);
  wchar_t* text = nullptr;
  UINT length = 0;
  if (size == 0 || !::GetFileVersionInfoW(argv[2], 0, size, block.data()) ||
      !::VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\FileVersion", reinterpret_cast<void**>(&text),
                        &length)) {
    return 1;
  }
  Print(text);
  return 0;
}

// The test CA is trusted in the prefix of the test run alone, never on the machine that runs it.
int TrustRoot(int, wchar_t** argv) {
  std::vector<BYTE> der(64 * 1024);
  DWORD got = 0;
  {
    zan::ScopedFile file(::CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file || !::ReadFile(file.get(), der.data(), static_cast<DWORD>(der.size()), &got, nullptr) || got == 0) {
      return 1;
    }
  }
  HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (!store) return 1;
  const BOOL added = ::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), got,
                                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  ::CertCloseStore(store, 0);
  return added ? 0 : 1;
}

int Hold(int, wchar_t**) {
  ::GetDesktopWindow();
  ::Sleep(INFINITE);
  return 0;
}

struct Action {
  const wchar_t* name;
  int minArgc;
  int (*act)(int argc, wchar_t** argv);
  // The server runs it in its own process; the others would restart the
  // driver or start what the server's "start" starts, or never end.
  bool served;
};

const Action kActions[] = {
    {L"find", 2, Find, true},          {L"findall", 2, FindAll, true},     {L"gone", 3, Gone, true},
    {L"texts", 3, Texts, true},        {L"items", 4, Items, true},         {L"size", 3, Size, true},
    {L"click", 4, Click, true},        {L"close", 3, Close, true},         {L"settext", 5, SetText, true},
    {L"check", 4, Check, true},        {L"event", 4, ProbeEvent, true},    {L"lock", 5, Lock, true},
    {L"mutex", 5, HoldMutex, true},    {L"mutexfree", 3, MutexFree, true}, {L"registry", 4, Registry, true},
    {L"version", 3, Version, true},    {L"trustroot", 3, TrustRoot, true}, {L"run", 3, Run, false},
    {L"open", 3, Open, false},         {L"exec", 3, Exec, false},          {L"hold", 2, Hold, false},
};

int Act(int argc, wchar_t** argv, bool served) {
  for (const Action& action : kActions) {
    if (argc >= 2 && std::wstring(argv[1]) == action.name) {
      return argc >= action.minArgc && (action.served || !served) ? action.act(argc, argv) : 2;
    }
  }
  return 2;
}

}  // namespace zsdriver

int wmain(int argc, wchar_t** argv) {
  if (zsdriver::RecordIfStandIn()) return 0;
  if (argc == 2 && std::wstring(argv[1]) == L"serve") return zsdriver::Serve();
  const int code = zsdriver::Act(argc, argv, false);
  zsdriver::WriteOut(zsdriver::g_output);
  return code;
}
