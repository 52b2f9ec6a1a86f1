// System DLLs loaded at run time: always by their full path in the system
// folder, never found by a search that could take a planted copy.
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

// `name` ("shell32.dll", a file name alone) from the system folder, with
// its own dependencies taken from there too; NULL (with the last error)
// when it cannot be loaded, or when `name` is not a bare file name.
// Works where SetDefaultDllDirectories is missing (Windows 7 without its
// loader update), which is looked up, never imported.
HMODULE ZanLoadSystemLibrary(const char* name);

#ifdef __cplusplus
}
#endif
