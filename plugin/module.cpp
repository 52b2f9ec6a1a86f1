#include "module.h"

namespace zan {
namespace {

HINSTANCE g_instance = nullptr;
LONG g_locks = 0;

}  // namespace

void SetPluginInstance(HINSTANCE instance) { g_instance = instance; }
HINSTANCE PluginInstanceHandle() { return g_instance; }

std::wstring PluginPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = ::GetModuleFileNameW(g_instance, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0) return std::wstring();
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

void LockModule() { ::InterlockedIncrement(&g_locks); }
void UnlockModule() { ::InterlockedDecrement(&g_locks); }
LONG ModuleLockCount() { return ::InterlockedCompareExchange(&g_locks, 0, 0); }

}  // namespace zan
