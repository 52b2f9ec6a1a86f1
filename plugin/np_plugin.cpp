// Placeholder until the NPAPI face lands: refuses every browser.
#include <windows.h>

extern "C" short WINAPI NP_GetEntryPoints(void*) { return 3; }
extern "C" short WINAPI NP_Initialize(void*) { return 3; }
extern "C" short WINAPI NP_Shutdown() { return 0; }
