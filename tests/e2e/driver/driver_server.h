// What zsdriver's actions and its server mode share.
#pragma once

#include <windows.h>

#include <string>

namespace zsdriver {

// The token a program is started with: the driver's own (Wine's full
// administrator token), its limited twin, or that twin without the
// Administrators group (a standard user's).
enum class Rights { kFull, kLimited, kStandardUser };

// The token to start with for `wanted`, or nullptr for the driver's own.
HANDLE LowerToken(Rights wanted);

// One action as given on the command line; its output goes to standard
// output, or into `sink` while CaptureOutput has named one.
int Act(int argc, wchar_t** argv);
void CaptureOutput(std::string* sink);

// Undoes the \uXXXX escapes of the harness.
std::wstring Unescape(const std::wstring& text);

// Takes actions from standard input until it closes.
int Serve();

}  // namespace zsdriver
