// What a program of ours does first, before it loads anything: where
// Windows may look for DLLs.
#pragma once

#include <windows.h>

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

namespace zan {

// DLLs loaded at run time come from the system folder only, never from the
// program's own folder or the current one: a standard user may write to
// those, and an elevated run would load what was planted there. Systems
// without SetDefaultDllDirectories still lose the current folder.
inline void SearchSystemFolderOnlyForDlls() {
  using SetDirectories = BOOL(WINAPI*)(DWORD);
  HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  auto set = kernel ? reinterpret_cast<SetDirectories>(
                          reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDefaultDllDirectories")))
                    : nullptr;
  if (set) set(LOAD_LIBRARY_SEARCH_SYSTEM32);
  ::SetDllDirectoryW(L"");
}

}  // namespace zan
