// What the requests of one run share: the run's cancel event, the way a wait
// is told to the user, the proxy's credentials; and the loop that tries a
// failed request again as the retry policy says, waiting on that event.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "retry_policy.h"

namespace zan {

class ProxyCredentials;

struct NetworkRun {
  // Signalled when the run ends; not owned, and must outlive every request
  // that is handed this run. Null: nothing cancels.
  HANDLE cancel = nullptr;
  // Told on the waiting thread before each wait (its length) and after it
  // (0). Empty: nobody is told.
  std::function<void(DWORD waitMs)> announceWait;
  // Null: a proxy that asks for credentials gets none.
  std::shared_ptr<ProxyCredentials> proxy;
  // Empty: a pseudo-random value in [-1, 1].
  RetrySchedule::Jitter jitter;
  // Seconds since 1970 (UTC), for Retry-After dates. Empty: the system clock.
  std::function<long long()> now;
  // Waits `ms` unless the run is cancelled (or `stop` is signalled) first;
  // false then. Empty: a real wait on those events. Tests give their own.
  std::function<bool(DWORD ms, HANDLE stop)> wait;
};

// True when the event is signalled. A null event never is.
bool IsSignalled(HANDLE event);

// The tries of one request over its addresses. Without a run there is one
// try and no other, as before retries existed.
class RetryLoop {
 public:
  // `stop`, when not null, ends a wait as the run's cancel event does.
  RetryLoop(const NetworkRun* run, size_t addresses, HANDLE stop = nullptr);

  // After the try at `failed` (the address `url`) came to `outcome`: true
  // when the request is to be tried again, at `*next`, once the wait has
  // passed (this call waits). False for a permanent failure, a spent
  // budget, or a cancelled run. Each try again writes one log line.
  bool TryAgain(const TryOutcome& outcome, const std::wstring& url, size_t failed, size_t* next);
  // Something arrived: the waits and the budget start anew.
  void Progress() { schedule_.Progress(); }
  bool Cancelled() const;

 private:
  bool Wait(DWORD ms);
  long long Now() const;

  const NetworkRun* run_;
  HANDLE stop_;
  RetrySchedule schedule_;
};

}  // namespace zan
