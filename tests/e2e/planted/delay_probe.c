// zsdelayprobe.exe: calls crypt32 through a delay-import library, with the
// hook our programs carry, and touches no DLL search setting: the process
// searches as Windows does by default, the program's own folder first.
// "--no-hook" clears the hook, to show that the helper's own load would
// take a copy planted there; that copy has no CertOpenStore, and the
// failure hook then answers for it, so the probe ends rather than crashes.
#include <windows.h>
#include <wincrypt.h>
#include <delayimp.h>

static HCERTSTORE WINAPI NoStore(LPCSTR provider, DWORD encoding, HCRYPTPROV_LEGACY crypt, DWORD flags,
                                 const void* parameter) {
  (void)provider, (void)encoding, (void)crypt, (void)flags, (void)parameter;
  return NULL;
}

static FARPROC WINAPI AnswerMissing(unsigned notification, PDelayLoadInfo info) {
  (void)info;
  return notification == dliFailGetProc ? (FARPROC)(void*)NoStore : NULL;
}

int wmain(int argc, wchar_t** argv) {
  if (argc > 1 && lstrcmpW(argv[1], L"--no-hook") == 0) {
    __pfnDliNotifyHook2 = NULL;
    __pfnDliFailureHook2 = AnswerMissing;
  }
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, NULL);
  if (!store) return 1;
  CertCloseStore(store, 0);
  return 0;
}
