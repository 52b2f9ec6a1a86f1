// zsdriver serve: one driver process for a whole test module. Every action
// run as its own Wine process costs a process start, and the harness makes
// hundreds of them (each find, click and texts call, and polls); the server
// takes them over a pipe instead, and starts programs on the limited token
// itself rather than through a restarted copy of the driver.
//
// Requests, one a line of UTF-8, fields separated by tabs, each field with
// backslash, tab, line ends and non-ASCII characters as \uXXXX:
//   TAG ACTION ARG...            any action of the command line but run, open,
//                                exec, hold and serve
//   TAG start ID KIND RIGHTS FOLDER OUTPUT TEXT [NAME=VALUE...]
//                                KIND run: TEXT is a command line, started exactly;
//                                KIND open: TEXT is a link, opened by a driver of ours;
//                                RIGHTS limited, elevated or standard-user; FOLDER the
//                                current folder ("": ours); OUTPUT a file for its
//                                standard output and error ("": none); NAME=VALUE
//                                changes its environment, NAME= takes a variable away
//   TAG kill ID                  ends a started program (exit code 1)
// Answers: "= TAG CODE LENGTH\n" and LENGTH bytes of the action's output.
// Whenever a started program ends: "! ID CODE\n".
#include "driver_server.h"

#include <cstdio>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

namespace zsdriver {
namespace {

// Answers and exit notices come from different threads; each goes out whole.
CRITICAL_SECTION g_writeLock;
CRITICAL_SECTION g_runsLock;
std::map<std::wstring, HANDLE> g_runs;  // started programs still running, by ID

void WriteOut(const std::string& bytes) {
  ::EnterCriticalSection(&g_writeLock);
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD written = 0;
    if (!::WriteFile(out, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written, nullptr) ||
        written == 0) {
      break;
    }
    done += written;
  }
  ::LeaveCriticalSection(&g_writeLock);
}

std::string Utf8Of(const std::wstring& text) {
  int n = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                nullptr);
  std::string bytes(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], n, nullptr,
                          nullptr);
  }
  return bytes;
}

std::wstring WideOf(const std::string& bytes) {
  int n = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring text(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], n);
  return text;
}

std::vector<std::wstring> Fields(const std::wstring& line) {
  std::vector<std::wstring> fields;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find(L'\t', start);
    fields.push_back(Unescape(line.substr(start, tab == std::wstring::npos ? std::wstring::npos : tab - start)));
    if (tab == std::wstring::npos) return fields;
    start = tab + 1;
  }
}

// Lines of standard input; false once it is closed.
class LineReader {
 public:
  bool Next(std::string* line) {
    for (;;) {
      size_t end = buffer_.find('\n');
      if (end != std::string::npos) {
        *line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        if (!line->empty() && line->back() == '\r') line->pop_back();
        return true;
      }
      char chunk[4096];
      DWORD got = 0;
      if (!::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), chunk, sizeof(chunk), &got, nullptr) || got == 0) {
        return false;
      }
      buffer_.append(chunk, got);
    }
  }

 private:
  std::string buffer_;
};

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

// This process's environment with `changes` (NAME=VALUE) applied, as a block.
std::vector<wchar_t> Environment(const std::vector<std::wstring>& changes) {
  std::vector<std::wstring> entries;
  wchar_t* block = ::GetEnvironmentStringsW();
  for (const wchar_t* p = block; p && *p; p += wcslen(p) + 1) entries.push_back(p);
  if (block) ::FreeEnvironmentStringsW(block);
  for (const std::wstring& change : changes) {
    const size_t equals = change.find(L'=', 1);
    if (equals == std::wstring::npos) continue;
    const std::wstring name = change.substr(0, equals + 1);
    for (size_t i = entries.size(); i-- > 0;) {
      if (_wcsnicmp(entries[i].c_str(), name.c_str(), name.size()) == 0) entries.erase(entries.begin() + i);
    }
    if (equals + 1 < change.size()) entries.push_back(change);
  }
  std::vector<wchar_t> result;
  for (const std::wstring& entry : entries) {
    result.insert(result.end(), entry.begin(), entry.end());
    result.push_back(L'\0');
  }
  result.push_back(L'\0');
  return result;
}

struct Waiter {
  std::wstring id;
  HANDLE process;
};

DWORD WINAPI WaitForEnd(void* parameter) {
  Waiter* waiter = static_cast<Waiter*>(parameter);
  ::WaitForSingleObject(waiter->process, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(waiter->process, &code);
  ::EnterCriticalSection(&g_runsLock);
  g_runs.erase(waiter->id);
  ::LeaveCriticalSection(&g_runsLock);
  ::CloseHandle(waiter->process);
  char line[64];
  snprintf(line, sizeof(line), " %lu\n", static_cast<unsigned long>(code));
  WriteOut("! " + Utf8Of(waiter->id) + line);
  delete waiter;
  return 0;
}

Rights RightsNamed(const std::wstring& name) {
  if (name == L"elevated") return Rights::kFull;
  if (name == L"standard-user") return Rights::kStandardUser;
  return Rights::kLimited;
}

// As "zsdriver run", "open" and "exec" start it, with the same token: the
// limited twin of ours unless asked otherwise. Its standard handles are NUL
// or the output file, so it never holds the harness's pipe.
int Start(const std::vector<std::wstring>& fields) {
  if (fields.size() < 8) return 2;
  const std::wstring& id = fields[2];
  const bool open = fields[3] == L"open";
  HANDLE token = LowerToken(RightsNamed(fields[4]));
  std::vector<std::wstring> changes(fields.begin() + 8, fields.end());
  // The same marker a restarted driver hands on: a driver started by this
  // one acts on the token it got.
  if (token) changes.push_back(L"ZSDRIVER_LOWERED=1");
  std::wstring line = fields[7];
  if (open) {
    // ShellExecuteExW takes no token: a driver on that token opens the link.
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    line = Argument(self) + L" open " + Argument(fields[7]);
  }
  std::vector<wchar_t> commandLine(line.begin(), line.end());
  commandLine.push_back(L'\0');
  std::vector<wchar_t> environment = Environment(changes);

  SECURITY_ATTRIBUTES inherited = {sizeof(inherited), nullptr, TRUE};
  HANDLE nul = ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                             OPEN_EXISTING, 0, nullptr);
  HANDLE output = fields[6].empty() ? INVALID_HANDLE_VALUE
                                    : ::CreateFileW(fields[6].c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited,
                                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOW startup = {sizeof(startup)};
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nul;
  startup.hStdOutput = startup.hStdError = output != INVALID_HANDLE_VALUE ? output : nul;
  PROCESS_INFORMATION process = {};
  const wchar_t* folder = fields[5].empty() ? nullptr : fields[5].c_str();
  const DWORD flags = CREATE_UNICODE_ENVIRONMENT;
  BOOL started = token ? ::CreateProcessAsUserW(token, nullptr, commandLine.data(), nullptr, nullptr, TRUE, flags,
                                                environment.data(), folder, &startup, &process)
                       : ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, flags,
                                          environment.data(), folder, &startup, &process);
  if (token) ::CloseHandle(token);
  if (nul != INVALID_HANDLE_VALUE) ::CloseHandle(nul);
  if (output != INVALID_HANDLE_VALUE) ::CloseHandle(output);
  if (!started) return 255;
  ::CloseHandle(process.hThread);
  HANDLE mine = nullptr;
  ::DuplicateHandle(::GetCurrentProcess(), process.hProcess, ::GetCurrentProcess(), &mine, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
  ::EnterCriticalSection(&g_runsLock);
  g_runs[id] = mine;
  ::LeaveCriticalSection(&g_runsLock);
  HANDLE thread = ::CreateThread(nullptr, 0, WaitForEnd, new Waiter{id, process.hProcess}, 0, nullptr);
  if (thread) ::CloseHandle(thread);
  return 0;
}

int Kill(const std::wstring& id) {
  ::EnterCriticalSection(&g_runsLock);
  auto run = g_runs.find(id);
  BOOL ended = run != g_runs.end() && ::TerminateProcess(run->second, 1);
  ::LeaveCriticalSection(&g_runsLock);
  return ended ? 0 : 1;
}

// Actions that would restart the driver, never end, or start what must be
// started with "start".
bool ServedAction(const std::wstring& action) {
  for (const wchar_t* refused : {L"run", L"open", L"exec", L"hold", L"serve"}) {
    if (action == refused) return false;
  }
  return true;
}

}  // namespace

int Serve() {
  ::InitializeCriticalSection(&g_writeLock);
  ::InitializeCriticalSection(&g_runsLock);
  for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    ::SetHandleInformation(::GetStdHandle(which), HANDLE_FLAG_INHERIT, 0);
  }
  LineReader reader;
  std::string request;
  while (reader.Next(&request)) {
    std::vector<std::wstring> fields = Fields(WideOf(request));
    if (fields.size() < 2) continue;
    std::string output;
    int code = 2;
    if (fields[1] == L"start") {
      code = Start(fields);
    } else if (fields[1] == L"kill" && fields.size() >= 3) {
      code = Kill(fields[2]);
    } else if (ServedAction(fields[1])) {
      std::vector<wchar_t*> argv;
      static wchar_t name[] = L"zsdriver";
      argv.push_back(name);
      for (size_t i = 1; i < fields.size(); ++i) argv.push_back(&fields[i][0]);
      argv.push_back(nullptr);
      CaptureOutput(&output);
      code = Act(static_cast<int>(fields.size()), argv.data());
      CaptureOutput(nullptr);
    }
    char head[96];
    snprintf(head, sizeof(head), " %d %lu\n", code, static_cast<unsigned long>(output.size()));
    WriteOut("= " + Utf8Of(fields[0]) + head + output);
  }
  // The harness is gone; what it started runs on, as programs a user
  // started do.
  return 0;
}

}  // namespace zsdriver
