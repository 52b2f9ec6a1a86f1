// The browser plug-in face of the DLL: the three exported entry points and
// the instance functions the browser calls through the table they fill.
// Failures are reported only through the codes returned; nothing is logged.
#include <windows.h>

#include <cstring>
#include <new>

#include "browser_plugin_api.h"
#include "plugin_instance.h"
#include "scriptable_object.h"

namespace zan {
namespace {

NPNetscapeFuncs g_browser = {};

const char kPluginName[] = "x-zanclound.oneclick";
const char kPluginDescription[] = "zansetup Installed Check Plugin for Mozilla.";

PluginInstance* InstanceOf(NPP instance) { return static_cast<PluginInstance*>(instance->pdata); }

NPError NPP_New(NPMIMEType, NPP instance, uint16_t, int16_t, char*[], char*[], NPSavedData*) {
  if (!instance) return NPERR_INVALID_INSTANCE_ERROR;
  PluginInstance* plugin = new (std::nothrow) PluginInstance(instance);
  if (!plugin) return NPERR_OUT_OF_MEMORY_ERROR;
  instance->pdata = plugin;
  ScriptablePluginObject::LookUpIdentifiers();
  return NPERR_NO_ERROR;
}

NPError NPP_Destroy(NPP instance, NPSavedData**) {
  if (!instance) return NPERR_INVALID_INSTANCE_ERROR;
  delete InstanceOf(instance);
  instance->pdata = nullptr;
  return NPERR_NO_ERROR;
}

NPError NPP_SetWindow(NPP instance, NPWindow* window) {
  if (!instance) return NPERR_INVALID_INSTANCE_ERROR;
  PluginInstance* plugin = InstanceOf(instance);
  if (!window || !plugin) return NPERR_GENERIC_ERROR;
  // Only the first window is taken over; resizes and the window going away
  // change nothing.
  if (!plugin->ready() && window->window && !plugin->Init(window)) {
    delete plugin;
    instance->pdata = nullptr;
    return NPERR_MODULE_LOAD_FAILED_ERROR;
  }
  return NPERR_NO_ERROR;
}

NPError NPP_NewStream(NPP instance, NPMIMEType, NPStream*, NPBool, uint16_t*) {
  return instance ? NPERR_NO_ERROR : NPERR_INVALID_INSTANCE_ERROR;
}

NPError NPP_DestroyStream(NPP instance, NPStream*, NPReason) {
  return instance ? NPERR_NO_ERROR : NPERR_INVALID_INSTANCE_ERROR;
}

void NPP_StreamAsFile(NPP, NPStream*, const char*) {}

// Streams are accepted in any amount and dropped.
int32_t NPP_WriteReady(NPP instance, NPStream*) {
  return instance ? 0x0FFFFFFF : NPERR_INVALID_INSTANCE_ERROR;
}

int32_t NPP_Write(NPP instance, NPStream*, int32_t, int32_t len, void*) {
  return instance ? len : NPERR_INVALID_INSTANCE_ERROR;
}

void NPP_Print(NPP, NPPrint*) {}

int16_t NPP_HandleEvent(NPP, void*) { return 0; }

void NPP_URLNotify(NPP, const char*, NPReason, void*) {}

NPError NPP_GetValue(NPP instance, NPPVariable variable, void* value) {
  if (!instance) return NPERR_INVALID_INSTANCE_ERROR;
  PluginInstance* plugin = InstanceOf(instance);
  // No place for the answer is a caller's error like an unknown variable.
  if (!plugin || !value) return NPERR_GENERIC_ERROR;
  switch (variable) {
    case NPPVpluginNameString:
      *static_cast<const char**>(value) = kPluginName;
      return NPERR_NO_ERROR;
    case NPPVpluginDescriptionString:
      *static_cast<const char**>(value) = kPluginDescription;
      return NPERR_NO_ERROR;
    case NPPVpluginScriptableNPObject:
      *static_cast<NPObject**>(value) = plugin->GetScriptableObject();
      return NPERR_NO_ERROR;
    default:
      return NPERR_GENERIC_ERROR;
  }
}

NPError NPP_SetValue(NPP instance, NPNVariable, void*) {
  return instance ? NPERR_NO_ERROR : NPERR_INVALID_INSTANCE_ERROR;
}

}  // namespace

const NPNetscapeFuncs& Browser() { return g_browser; }

}  // namespace zan

extern "C" NPError WINAPI NP_GetEntryPoints(NPPluginFuncs* pFuncs) {
  if (!pFuncs || pFuncs->size < sizeof(NPPluginFuncs)) return NPERR_INVALID_FUNCTABLE_ERROR;
  pFuncs->version = (kNPVersionMajor << 8) | kNPVersionMinor;
  pFuncs->newp = &zan::NPP_New;
  pFuncs->destroy = &zan::NPP_Destroy;
  pFuncs->setwindow = &zan::NPP_SetWindow;
  pFuncs->newstream = &zan::NPP_NewStream;
  pFuncs->destroystream = &zan::NPP_DestroyStream;
  pFuncs->asfile = &zan::NPP_StreamAsFile;
  pFuncs->writeready = &zan::NPP_WriteReady;
  pFuncs->write = &zan::NPP_Write;
  pFuncs->print = &zan::NPP_Print;
  pFuncs->event = &zan::NPP_HandleEvent;
  pFuncs->urlnotify = &zan::NPP_URLNotify;
  pFuncs->javaClass = nullptr;
  pFuncs->getvalue = &zan::NPP_GetValue;
  pFuncs->setvalue = &zan::NPP_SetValue;
  return NPERR_NO_ERROR;
}

extern "C" NPError WINAPI NP_Initialize(NPNetscapeFuncs* pFuncs) {
  if (!pFuncs) return NPERR_INVALID_FUNCTABLE_ERROR;
  if ((pFuncs->version >> 8) > kNPVersionMajor) return NPERR_INCOMPATIBLE_VERSION_ERROR;
  if (pFuncs->size < sizeof(NPNetscapeFuncs)) return NPERR_INVALID_FUNCTABLE_ERROR;
  // A newer browser's table is longer; we keep the part we know.
  std::memcpy(&zan::g_browser, pFuncs, sizeof(NPNetscapeFuncs));
  return NPERR_NO_ERROR;
}

extern "C" NPError WINAPI NP_Shutdown() { return NPERR_NO_ERROR; }
