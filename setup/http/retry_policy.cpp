#include "retry_policy.h"

#include <wininet.h>

#include <algorithm>
#include <cmath>
#include <cwchar>

#include "setup/common/string_util.h"

namespace zan {
namespace {

std::wstring TrimBlanks(const std::wstring& text) {
  const size_t begin = text.find_first_not_of(L" \t");
  if (begin == std::wstring::npos) return std::wstring();
  return text.substr(begin, text.find_last_not_of(L" \t") - begin + 1);
}

// A body longer than its cap (HRESULT_FROM_WIN32 of ERROR_FILE_TOO_LARGE):
// the same answer would come again.
constexpr HRESULT kOverCap = static_cast<HRESULT>(0x800700DF);

bool IsFailingStatus(int status) { return status != 0 && status != 200 && status != 203 && status != 206; }

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
long long DaysFromCivil(long long year, unsigned month, unsigned day) {
  year -= month <= 2;
  const long long era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<long long>(dayOfEra) - 719468;
}

bool ReadNumber(const std::wstring& text, size_t at, size_t digits, unsigned* value) {
  if (at + digits > text.size()) return false;
  unsigned result = 0;
  for (size_t i = at; i < at + digits; ++i) {
    if (text[i] < L'0' || text[i] > L'9') return false;
    result = result * 10 + (text[i] - L'0');
  }
  *value = result;
  return true;
}

}  // namespace

const DWORD RetrySchedule::kWaitsMs[RetrySchedule::kWaitSteps] = {1000, 2000, 4000, 8000, 16000, 30000};

bool IsTransientStatus(int status) {
  switch (status) {
    case 408: case 429: case 500: case 502: case 503: case 504:
      return true;
    default:
      return false;
  }
}

bool IsTransientError(DWORD error) {
  switch (error) {
    case ERROR_INTERNET_CANNOT_CONNECT:
    case ERROR_INTERNET_CONNECTION_ABORTED:
    case ERROR_INTERNET_CONNECTION_RESET:
    case ERROR_INTERNET_TIMEOUT:
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
    case ERROR_INTERNET_SERVER_UNREACHABLE:
    case ERROR_INTERNET_DISCONNECTED:
    case ERROR_INTERNET_FORCE_RETRY:
    // A connection that ended before the status line came.
    case ERROR_HTTP_INVALID_SERVER_RESPONSE:
    case ERROR_HANDLE_EOF:
      return true;
    default:
      return false;
  }
}

TryVerdict ClassifyTry(const TryOutcome& outcome) {
  if (outcome.result == S_OK) return TryVerdict::kDone;
  if (outcome.result == kOverCap) return TryVerdict::kPermanent;
  if (IsFailingStatus(outcome.status)) {
    return IsTransientStatus(outcome.status) ? TryVerdict::kTransient : TryVerdict::kPermanent;
  }
  // The operation's own deadline is a time-out as much as the platform's.
  if (outcome.cutShort || outcome.result == E_ABORT || IsTransientError(outcome.error)) {
    return TryVerdict::kTransient;
  }
  return TryVerdict::kPermanent;
}

std::wstring DescribeTry(const TryOutcome& outcome) {
  if (IsFailingStatus(outcome.status)) return L"status " + std::to_wstring(outcome.status);
  switch (outcome.error) {
    case ERROR_INTERNET_CANNOT_CONNECT: return L"connection refused";
    case ERROR_INTERNET_CONNECTION_ABORTED: return L"connection aborted";
    case ERROR_INTERNET_CONNECTION_RESET: return L"connection reset";
    case ERROR_INTERNET_TIMEOUT: return L"timed out";
    case ERROR_INTERNET_NAME_NOT_RESOLVED: return L"name not resolved";
    case ERROR_INTERNET_SERVER_UNREACHABLE: return L"server unreachable";
    case ERROR_INTERNET_DISCONNECTED: return L"disconnected";
    case ERROR_HTTP_INVALID_SERVER_RESPONSE: return L"connection closed before an answer";
    default: break;
  }
  if (outcome.cutShort) return L"answer cut short";
  if (outcome.result == E_ABORT) return L"timed out";
  if (outcome.error != 0) return L"error " + std::to_wstring(outcome.error);
  wchar_t text[32];
  swprintf(text, 32, L"error 0x%08X", static_cast<unsigned>(outcome.result));
  return text;
}

bool ParseHttpDate(const std::wstring& text, long long* unixSeconds) {
  static const wchar_t* const kMonths[] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                           L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
  // "Sun, 06 Nov 1994 08:49:37 GMT": every field at a fixed place.
  if (text.size() != 29 || text[3] != L',' || text[4] != L' ' || text[7] != L' ' || text[11] != L' ' ||
      text[16] != L' ' || text[19] != L':' || text[22] != L':' || text.compare(25, 4, L" GMT") != 0) {
    return false;
  }
  unsigned day = 0, year = 0, hour = 0, minute = 0, second = 0, month = 0;
  for (unsigned i = 0; i < 12; ++i) {
    if (text.compare(8, 3, kMonths[i]) == 0) month = i + 1;
  }
  if (!month || !ReadNumber(text, 5, 2, &day) || !ReadNumber(text, 12, 4, &year) ||
      !ReadNumber(text, 17, 2, &hour) || !ReadNumber(text, 20, 2, &minute) || !ReadNumber(text, 23, 2, &second) ||
      day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
    return false;
  }
  *unixSeconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  return true;
}

bool ParseRetryAfter(const std::wstring& text, long long nowUnix, DWORD* waitMs) {
  const std::wstring value = TrimBlanks(text);
  unsigned long long seconds = 0;
  long long when = 0;
  if (ParseDecimal(value, &seconds)) {
    *waitMs = seconds >= kRetryAfterCapMs / 1000 ? kRetryAfterCapMs : static_cast<DWORD>(seconds * 1000);
    return true;
  }
  if (!ParseHttpDate(value, &when)) return false;
  const long long ahead = when - nowUnix;
  *waitMs = ahead <= 0 ? 0 : (ahead >= kRetryAfterCapMs / 1000 ? kRetryAfterCapMs : static_cast<DWORD>(ahead * 1000));
  return true;
}

RetrySchedule::RetrySchedule(size_t addresses, Jitter jitter)
    : addresses_(addresses ? addresses : 1), jitter_(std::move(jitter)) {}

bool RetrySchedule::Next(size_t failedAddress, DWORD retryAfterMs, RetryStep* step) {
  if (waitedMs_ >= kBudgetMs) return false;
  const size_t round = failures_ / addresses_;
  ++failures_;
  unsigned long long wait = retryAfterMs;
  if (retryAfterMs == kNoRetryAfter) {
    double share = jitter_ ? std::max(-1.0, std::min(1.0, jitter_())) : 0.0;
    wait = static_cast<unsigned long long>(
        std::llround(kWaitsMs[std::min(round, kWaitSteps - 1)] * (1.0 + kJitterShare * share)));
  }
  wait = std::min<unsigned long long>(wait, kBudgetMs - waitedMs_);
  waitedMs_ += wait;
  step->address = (failedAddress + 1) % addresses_;
  step->waitMs = static_cast<DWORD>(wait);
  step->attempt = failures_ + 1;
  return true;
}

void RetrySchedule::Progress() {
  failures_ = 0;
  waitedMs_ = 0;
}

}  // namespace zan
