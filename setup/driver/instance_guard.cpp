#include "instance_guard.h"

#include <windows.h>

#include "setup/common/handles.h"

namespace zan {
namespace {

// Main thread only.
ScopedHandle& Guard() {
  static ScopedHandle guard;
  return guard;
}

}  // namespace

GuardResult AcquireInstanceGuard(const std::wstring& name) {
  Guard().reset(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    Guard().reset();
    return GuardResult::kAlreadyRunning;
  }
  return Guard() ? GuardResult::kTaken : GuardResult::kUnavailable;
}

void ReleaseInstanceGuard() { Guard().reset(); }

}  // namespace zan
