// The one named mutex of ZanSetup's own update. A run holds it while it
// decides on a check and writes the stamp, its worker while it checks,
// downloads and starts an update, the updater while it swaps files, and a
// run while it removes what an update set aside. A run that finds it held
// leaves that work to the holder; only the worker, which nobody waits for,
// waits a little for it.
#pragma once

#include "setup/common/handles.h"

namespace zan {

// Per session, as the per-user install it guards. The updater (the
// installer in update mode) names it the same.
extern const wchar_t kUpdateMutexName[];

class UpdateLock {
 public:
  // Waits at most `waitMs` (0: tries once). A mutex left behind by a
  // process that ended without releasing it counts as taken.
  explicit UpdateLock(DWORD waitMs);
  ~UpdateLock();
  UpdateLock(const UpdateLock&) = delete;
  UpdateLock& operator=(const UpdateLock&) = delete;

  bool held() const { return held_; }

 private:
  ScopedHandle mutex_;
  bool held_ = false;
};

}  // namespace zan
