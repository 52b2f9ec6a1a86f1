// Module-wide state of the DLL: its instance handle and the lock count that
// DllCanUnloadNow reads (one for each live object and each LockServer).
#pragma once

#include <windows.h>

#include <string>

namespace zan {

void SetPluginInstance(HINSTANCE instance);
HINSTANCE PluginInstanceHandle();
// The DLL's full path.
std::wstring PluginPath();

void LockModule();
void UnlockModule();
LONG ModuleLockCount();

}  // namespace zan
