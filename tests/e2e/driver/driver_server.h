// What zsdriver's actions and its server mode share.
#pragma once

#include <windows.h>

#include <string>

#include "setup/common/handles.h"

namespace zsdriver {

// The token a program is started with: the driver's own (Wine's full administrator token), its
// limited twin, or that twin without the Administrators group (a standard user's).
enum class Rights { kFull, kLimited, kStandardUser };

// "elevated" and "standard-user" name theirs; anything else is limited.
Rights RightsNamed(const std::wstring& name);

// The token to start with for `wanted`; none for the driver's own, or when the driver already runs
// on the token it was started on for that.
zan::ScopedHandle LowerToken(Rights wanted);

// Starts the command line `line` on `token` (none: ours), with `environment` and in `folder`
// (nullptr: ours); the standard handles of `startup`, if it names any, are inherited. The process, or none.
zan::ScopedHandle StartOn(HANDLE token, const std::wstring& line, wchar_t* environment, const wchar_t* folder,
                          STARTUPINFOW* startup);

// Waits for the process to end.
int ExitCodeOf(HANDLE process);

// The command line of a driver that opens `link`.
std::wstring OpenLine(const std::wstring& link);

// One action as given on the command line; `served` refuses those the server must not run itself.
// What it prints collects in g_output.
int Act(int argc, wchar_t** argv, bool served);
extern std::string g_output;
void WriteOut(const std::string& bytes);

// Undoes the \uXXXX escapes of the harness.
std::wstring Unescape(const std::wstring& text);

int Serve();

}  // namespace zsdriver
