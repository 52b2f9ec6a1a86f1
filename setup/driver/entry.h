// The setup program's start: command line, single-instance guard, main dialog.
#pragma once

#include <windows.h>

#include <string>

namespace zan {

// Runs one setup and returns the process exit code (0, 1 or 2).
int RunSetup(HINSTANCE instance, const wchar_t* commandLine);

}  // namespace zan
