#include "module.h"

#include "setup/common/files.h"

namespace zan {
namespace {

HINSTANCE g_instance = nullptr;
LONG g_locks = 0;

}  // namespace

void SetPluginInstance(HINSTANCE instance) { g_instance = instance; }
HINSTANCE PluginInstanceHandle() { return g_instance; }

std::wstring PluginPath() { return ModuleFilePath(g_instance); }

void LockModule() { ::InterlockedIncrement(&g_locks); }
void UnlockModule() { ::InterlockedDecrement(&g_locks); }
LONG ModuleLockCount() { return ::InterlockedCompareExchange(&g_locks, 0, 0); }

}  // namespace zan
