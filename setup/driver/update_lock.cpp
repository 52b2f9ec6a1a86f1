#include "update_lock.h"

#include "setup/common/log.h"

namespace zan {

const wchar_t kUpdateMutexName[] = L"Local\\ZanSetupUpdate";

UpdateLock::UpdateLock(DWORD waitMs) : mutex_(::CreateMutexW(nullptr, FALSE, kUpdateMutexName)) {
  if (!mutex_) {
    WriteLog(L"the update mutex could not be made, error code: %d", static_cast<int>(::GetLastError()));
    return;
  }
  DWORD waited = ::WaitForSingleObject(mutex_.get(), waitMs);
  held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

UpdateLock::~UpdateLock() {
  if (held_) ::ReleaseMutex(mutex_.get());
}

}  // namespace zan
