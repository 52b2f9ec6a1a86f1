// What DllRegisterServer writes under HKEY_CURRENT_USER, so registering
// needs no administrator: the application id, the class with its ProgIDs,
// the type library and interface, the browser's approval and the plug-in
// entry that NPAPI browsers read.
#pragma once

#include <windows.h>

namespace zan {

HRESULT RegisterPlugin();
HRESULT UnregisterPlugin();

}  // namespace zan
