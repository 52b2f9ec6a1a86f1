#include "network_run.h"

#include <cstdio>
#include <ctime>
#include <random>

#include "setup/common/log.h"

namespace zan {
namespace {

// Workers that lost one connection together must not come back together:
// each thread draws from a source of its own.
double ThreadJitter() {
  thread_local std::minstd_rand source(::GetTickCount() ^ (::GetCurrentThreadId() << 16));
  return std::uniform_real_distribution<double>(-1.0, 1.0)(source);
}

std::wstring SecondsText(DWORD ms) {
  wchar_t text[32];
  swprintf(text, 32, L"%u.%u", ms / 1000, (ms % 1000) / 100);
  return text;
}

}  // namespace

bool IsSignalled(HANDLE event) { return event && ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

RetryLoop::RetryLoop(const NetworkRun* run, size_t addresses, HANDLE stop)
    : run_(run),
      stop_(stop),
      schedule_(addresses, run && run->jitter ? run->jitter : RetrySchedule::Jitter(ThreadJitter)) {}

bool RetryLoop::Cancelled() const { return (run_ && IsSignalled(run_->cancel)) || IsSignalled(stop_); }

long long RetryLoop::Now() const {
  if (run_->now) return run_->now();
  return static_cast<long long>(_time64(nullptr));
}

bool RetryLoop::Wait(DWORD ms) {
  if (run_->wait) return run_->wait(ms, stop_);
  HANDLE events[2];
  DWORD count = 0;
  for (HANDLE event : {run_->cancel, stop_}) {
    if (event) events[count++] = event;
  }
  if (count == 0) {
    ::Sleep(ms);
    return true;
  }
  return ::WaitForMultipleObjects(count, events, FALSE, ms) == WAIT_TIMEOUT;
}

bool RetryLoop::TryAgain(const TryOutcome& outcome, const std::wstring& url, size_t failed, size_t* next) {
  if (!run_ || Cancelled() || ClassifyTry(outcome) != TryVerdict::kTransient) return false;
  DWORD retryAfter = RetrySchedule::kNoRetryAfter;
  if (!outcome.retryAfter.empty() && !ParseRetryAfter(outcome.retryAfter, Now(), &retryAfter)) {
    retryAfter = RetrySchedule::kNoRetryAfter;
  }
  RetryStep step;
  if (!schedule_.Next(failed, retryAfter, &step)) {
    WriteLog(L"no more tries: %s s of waiting brought nothing, %s, url: %s",
             SecondsText(static_cast<DWORD>(schedule_.waited_ms())).c_str(), DescribeTry(outcome).c_str(),
             url.c_str());
    return false;
  }
  WriteLog(L"trying again in %s s, attempt %u, %s, url: %s", SecondsText(step.waitMs).c_str(), step.attempt,
           DescribeTry(outcome).c_str(), url.c_str());
  if (run_->announceWait) run_->announceWait(step.waitMs);
  const bool waited = Wait(step.waitMs);
  if (run_->announceWait) run_->announceWait(0);
  if (!waited) return false;
  *next = step.address;
  return true;
}

}  // namespace zan
