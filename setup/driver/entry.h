// The setup program's start: command line, single-instance guard, main dialog.
#pragma once

#include <windows.h>

#include <string>

namespace zan {

// Runs one setup and returns the process exit code (0, 1 or 2).
// `protectedCopy`: this program is the protected copy, which alone may
// run with administrator rights.
int RunSetup(HINSTANCE instance, const wchar_t* commandLine, bool protectedCopy);

}  // namespace zan
