// npZanSetupOneClick: the one-click browser plug-in. Its COM and NPAPI faces
// come with the plug-in work; for now the DLL only loads.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) ::DisableThreadLibraryCalls(instance);
  return TRUE;
}
