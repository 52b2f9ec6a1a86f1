// Module-wide state of the DLL: its instance handle and the lock count that
// DllCanUnloadNow reads (one for each live object and each LockServer).
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

namespace zan {

void SetPluginInstance(HINSTANCE instance);
HINSTANCE PluginInstanceHandle();
// The DLL's full path.
std::wstring PluginPath();

// A BSTR's text, embedded NULs and all; empty for null.
inline std::wstring BstrText(BSTR text) {
  return text ? std::wstring(text, ::SysStringLen(text)) : std::wstring();
}

void LockModule();
void UnlockModule();
LONG ModuleLockCount();

}  // namespace zan
