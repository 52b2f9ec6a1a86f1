// npZanSetupOneClick: the DLL's attach and its COM entry points. The NPAPI
// entry points are in np_plugin.cpp.
#include <windows.h>
#include <objbase.h>

#include <new>

#include "class_factory.h"
#include "module.h"
#include "npZanSetupOneClick_h.h"
#include "registration.h"
#include "setup/common/log.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    ::DisableThreadLibraryCalls(instance);
    zan::SetPluginInstance(instance);
    // The log goes beside the DLL.
    zan::SetLogModule(instance);
  }
  return TRUE;
}

extern "C" HRESULT WINAPI DllCanUnloadNow() { return zan::ModuleLockCount() == 0 ? S_OK : S_FALSE; }

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (!IsEqualCLSID(clsid, CLSID_ZanSetupOneClick)) return CLASS_E_CLASSNOTAVAILABLE;
  zan::CClassFactory* factory = new (std::nothrow) zan::CClassFactory();
  if (!factory) return E_OUTOFMEMORY;
  HRESULT result = factory->QueryInterface(iid, object);
  factory->Release();
  return result;
}

extern "C" HRESULT WINAPI DllRegisterServer() { return zan::RegisterPlugin(); }
extern "C" HRESULT WINAPI DllUnregisterServer() { return zan::UnregisterPlugin(); }
