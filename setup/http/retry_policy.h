// When a failed request is tried again, and after how long: plain functions
// and a schedule over plain values, with the clock and the jitter given, so
// that no decision here needs a network or a real wait.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace zan {

// What one try of a request came to.
struct TryOutcome {
  HRESULT result = S_OK;
  // The answer's status; 0 when no answer arrived.
  int status = 0;
  // The platform's error of a connect, send or read that failed; 0 when none did.
  DWORD error = 0;
  // An answer that ended before all its announced bytes had come.
  bool cutShort = false;
  // The answer's Retry-After header as sent; empty when it had none.
  std::wstring retryAfter;
};

enum class TryVerdict { kDone, kTransient, kPermanent };

// Transient: a connection refused, reset or aborted, a time-out, a name that
// does not resolve, an answer cut short, and 408, 429, 500, 502, 503, 504.
// Everything else that failed is permanent: another status, a certificate
// or TLS failure, a refused redirect, a body over its cap.
TryVerdict ClassifyTry(const TryOutcome& outcome);
bool IsTransientStatus(int status);
bool IsTransientError(DWORD error);

// A few words for the log: "connection refused", "status 503", ...
std::wstring DescribeTry(const TryOutcome& outcome);

// Retry-After as delta seconds or as an HTTP date (IMF-fixdate), against
// `nowUnix` (seconds since 1970, UTC), in milliseconds and at most
// kRetryAfterCapMs; a date already past gives 0. False when it is neither.
constexpr DWORD kRetryAfterCapMs = 5 * 60 * 1000;
bool ParseRetryAfter(const std::wstring& text, long long nowUnix, DWORD* waitMs);

// A date as Unix seconds: "Sun, 06 Nov 1994 08:49:37 GMT". False when it is
// not one.
bool ParseHttpDate(const std::wstring& text, long long* unixSeconds);

struct RetryStep {
  // The address to try next, as an index into the request's list.
  size_t address = 0;
  DWORD waitMs = 0;
  // The number of the coming try since the last progress: 2 for the first
  // try again.
  unsigned attempt = 0;
};

// The waits between the tries of one request over its addresses (its
// mirrors): each failure moves on to the next address in turn, and the wait
// grows (1, 2, 4, 8, 16, then 30 s, each ±20%) only once a whole round of
// addresses has failed, so a dead first address costs one short wait. A
// Retry-After replaces the computed wait. The request gives up once it has
// waited kBudgetMs in all since its last progress.
class RetrySchedule {
 public:
  static constexpr DWORD kBudgetMs = 5 * 60 * 1000;
  static constexpr size_t kWaitSteps = 6;
  static const DWORD kWaitsMs[kWaitSteps];
  static constexpr double kJitterShare = 0.2;
  static constexpr DWORD kNoRetryAfter = 0xFFFFFFFF;
  // A value in [-1, 1] for every wait: -1 shortens it by a fifth, 1 lengthens it so.
  using Jitter = std::function<double()>;

  RetrySchedule(size_t addresses, Jitter jitter);

  // After a transient failure of the try at `failedAddress`: where and after
  // how long to try next. False when the budget is spent.
  bool Next(size_t failedAddress, DWORD retryAfterMs, RetryStep* step);
  // Something arrived (a block, a body): the waits and the budget start anew.
  void Progress();

  unsigned long long waited_ms() const { return waitedMs_; }

 private:
  size_t addresses_;
  Jitter jitter_;
  unsigned failures_ = 0;
  unsigned long long waitedMs_ = 0;
};

}  // namespace zan
