/* Every DLL a program of ours delay-loads (wininet, comctl32, bcrypt, crypt32,
   wintrust) comes from the system folder by its full path: the delay-load
   helper's own LoadLibrary would search the program's folder first wherever
   the process search is not restricted, and a user may write there.
   Linked into every module that links a delay-import library
   (cmake/DelayLoad.cmake), beside the mark of its delay-import table. */
#include "system_library.h"

#include <delayimp.h>

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

/* The LOAD_LIBRARY_SEARCH_* flags exist where SetDefaultDllDirectories does. */
static BOOL SearchFlagsSupported(void) {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  return kernel && GetProcAddress(kernel, "SetDefaultDllDirectories") != NULL;
}

HMODULE ZanLoadSystemLibrary(const char* name) {
  wchar_t path[MAX_PATH];
  UINT length = GetSystemDirectoryW(path, MAX_PATH);
  size_t i;
  if (length == 0 || length >= MAX_PATH - 1 || !name || !name[0]) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return NULL;
  }
  path[length++] = L'\\';
  for (i = 0; name[i]; ++i) {
    unsigned char c = (unsigned char)name[i];
    /* A bare ASCII file name: nothing that names another folder. */
    if (c >= 0x80 || c < 0x20 || c == '\\' || c == '/' || c == ':' || (c == '.' && name[i + 1] == '.') ||
        length + 1 >= MAX_PATH) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return NULL;
    }
    path[length++] = (wchar_t)c;
  }
  path[length] = L'\0';
  /* Without the search flags, the altered search path takes the DLL's own
     dependencies from its folder, the system folder, before any other. */
  return LoadLibraryExW(path, NULL,
                        SearchFlagsSupported() ? LOAD_LIBRARY_SEARCH_SYSTEM32 : LOAD_WITH_ALTERED_SEARCH_PATH);
}

/* Before the helper loads a DLL: load it ourselves. A NULL answer would send
   the helper to its own LoadLibrary, so a system DLL that cannot be had from
   the system folder ends the call as the helper's own failure does. */
static FARPROC WINAPI LoadFromSystemFolder(unsigned notification, PDelayLoadInfo info) {
  HMODULE module;
  PDelayLoadInfo infos[1];
  if (notification != dliNotePreLoadLibrary) return NULL;
  module = ZanLoadSystemLibrary(info->szDll);
  if (module) return (FARPROC)(void*)module;
  info->dwLastError = GetLastError();
  infos[0] = info;
  RaiseException(VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND), 0, 1, (ULONG_PTR*)infos);
  /* Never back to the helper's search, even when a handler carries on. */
  TerminateProcess(GetCurrentProcess(), ERROR_MOD_NOT_FOUND);
  return NULL;
}

PfnDliHook __pfnDliNotifyHook2 = LoadFromSystemFolder;
