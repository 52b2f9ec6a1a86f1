// zsdriver serve: one driver process for a whole test module. Every action run as its own Wine process costs
// a process start, and the harness makes hundreds of them (each find, click and texts call, and polls); the
// server takes them over a pipe instead, and starts programs on the limited token itself.
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

#include <cwchar>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "setup/common/string_util.h"

namespace zsdriver {
namespace {

// Answers and exit notices come from different threads; each goes out whole.
zan::CriticalSection g_writeLock;
zan::CriticalSection g_runsLock;
std::map<std::wstring, HANDLE> g_runs;  // started programs still running, by ID

void Answer(const std::string& bytes) {
  zan::ScopedLock lock(g_writeLock);
  WriteOut(bytes);
}

std::vector<std::wstring> Fields(const std::wstring& line) {
  std::vector<std::wstring> fields;
  for (size_t start = 0, tab = 0; tab != std::wstring::npos; start = tab + 1) {
    tab = line.find(L'\t', start);
    fields.push_back(Unescape(line.substr(start, tab == std::wstring::npos ? tab : tab - start)));
  }
  return fields;
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

// The waiter owns the process handle; it leaves g_runs before it closes it,
// so "kill" never ends a handle that is closed.
struct Waiter {
  std::wstring id;
  HANDLE process;
};

DWORD WINAPI WaitForEnd(void* parameter) {
  Waiter* waiter = static_cast<Waiter*>(parameter);
  const int code = ExitCodeOf(waiter->process);
  {
    zan::ScopedLock lock(g_runsLock);
    g_runs.erase(waiter->id);
  }
  ::CloseHandle(waiter->process);
  Answer("! " + zan::WideToUtf8(waiter->id) + " " + std::to_string(static_cast<DWORD>(code)) + "\n");
  delete waiter;
  return 0;
}

// As "zsdriver run", "exec" and "open" start it, with the same token: the limited twin of ours unless asked
// otherwise. Its standard handles are NUL or the output file, so it never holds the harness's pipe.
int Start(const std::vector<std::wstring>& fields) {
  if (fields.size() < 8) return 2;
  zan::ScopedHandle token = LowerToken(RightsNamed(fields[4]));
  std::vector<std::wstring> changes(fields.begin() + 8, fields.end());
  // The same marker "run", "exec" and "open" hand on: a driver started by this one acts on the token it got.
  if (token) changes.push_back(L"ZSDRIVER_LOWERED=1");
  std::vector<wchar_t> environment = Environment(changes);
  SECURITY_ATTRIBUTES inherited = {sizeof(inherited), nullptr, TRUE};
  zan::ScopedFile nul(::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inherited, OPEN_EXISTING, 0, nullptr));
  zan::ScopedFile output(fields[6].empty() ? INVALID_HANDLE_VALUE
                                           : ::CreateFileW(fields[6].c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                                           &inherited, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  STARTUPINFOW startup = {sizeof(startup)};
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nul.get();
  startup.hStdOutput = startup.hStdError = output ? output.get() : nul.get();
  zan::ScopedHandle process = StartOn(token.get(), fields[3] == L"open" ? OpenLine(fields[7]) : fields[7],
                                      environment.data(), fields[5].empty() ? nullptr : fields[5].c_str(), &startup);
  if (!process) return 255;
  zan::ScopedLock lock(g_runsLock);
  const std::wstring& id = fields[2];
  g_runs[id] = process.get();
  HANDLE thread = ::CreateThread(nullptr, 0, WaitForEnd, new Waiter{id, process.get()}, 0, nullptr);
  if (!thread) {
    g_runs.erase(id);
    return 255;
  }
  ::CloseHandle(thread);
  (void)process.release();
  return 0;
}

int Kill(const std::wstring& id) {
  zan::ScopedLock lock(g_runsLock);
  auto run = g_runs.find(id);
  return run != g_runs.end() && ::TerminateProcess(run->second, 1) ? 0 : 1;
}

}  // namespace

int Serve() {
  for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    ::SetHandleInformation(::GetStdHandle(which), HANDLE_FLAG_INHERIT, 0);
  }
  // Requests are ASCII (their fields escaped), so the runtime's text mode changes nothing in them.
  for (std::string request; std::getline(std::cin, request);) {
    if (!request.empty() && request.back() == '\r') request.pop_back();
    std::vector<std::wstring> fields = Fields(zan::Utf8ToWide(request));
    if (fields.size() < 2) continue;
    g_output.clear();
    int code = 2;
    if (fields[1] == L"start") {
      code = Start(fields);
    } else if (fields[1] == L"kill" && fields.size() >= 3) {
      code = Kill(fields[2]);
    } else {
      static wchar_t name[] = L"zsdriver";
      std::vector<wchar_t*> argv = {name};
      for (size_t i = 1; i < fields.size(); ++i) argv.push_back(&fields[i][0]);
      argv.push_back(nullptr);
      code = Act(static_cast<int>(fields.size()), argv.data(), true);
    }
    Answer("= " + zan::WideToUtf8(fields[0]) + " " + std::to_string(code) + " " + std::to_string(g_output.size()) +
           "\n" + g_output);
  }
  // The harness is gone; what it started runs on, as programs a user started do.
  return 0;
}

}  // namespace zsdriver
