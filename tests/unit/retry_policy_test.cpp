// The retry policy as tables: what counts as transient, the waits over a
// request's addresses with a fake jitter, Retry-After, the no-progress
// budget, and the loop that waits on the run's cancel event (with a fake
// wait: nothing here sleeps through a real one).
#include <gtest/gtest.h>

#include <windows.h>
#include <wininet.h>

#include <vector>

#include "setup/driver/network_session.h"
#include "setup/http/network_run.h"
#include "setup/http/proxy_credentials.h"
#include "setup/common/string_util.h"
#include "setup/http/retry_policy.h"
#include "test_util.h"

namespace zan {
namespace {

TryOutcome Status(int status) {
  TryOutcome outcome;
  outcome.result = 1;
  outcome.status = status;
  return outcome;
}

TryOutcome Error(DWORD error, HRESULT result = E_FAIL) {
  TryOutcome outcome;
  outcome.result = result;
  outcome.error = error;
  return outcome;
}

// Each verdict with the outcomes it covers; what the log says of a try.
TEST(RetryPolicy, TransientAndPermanentOutcomesAndTheirReasons) {
  TryOutcome cut = Error(0);
  cut.status = 200;
  cut.cutShort = true;
  TryOutcome overCap = Error(0, static_cast<HRESULT>(0x800700DF));
  overCap.status = 200;
  TryOutcome rangeRefused = Error(0);
  rangeRefused.status = 206;  // a Content-Range that does not fit, say
  const struct {
    TryVerdict verdict;
    std::vector<TryOutcome> outcomes;
  } rows[] = {
      {TryVerdict::kDone, {Error(0, S_OK)}},
      {TryVerdict::kTransient,
       {Error(ERROR_INTERNET_CANNOT_CONNECT), Error(ERROR_INTERNET_CONNECTION_RESET),
        Error(ERROR_INTERNET_CONNECTION_ABORTED), Error(ERROR_INTERNET_TIMEOUT),
        Error(0, E_ABORT),  // the operation's own deadline
        Error(ERROR_INTERNET_NAME_NOT_RESOLVED),
        Error(ERROR_HTTP_INVALID_SERVER_RESPONSE),  // closed before the status line
        cut, Status(408), Status(429), Status(500), Status(502), Status(503), Status(504)}},
      {TryVerdict::kPermanent,
       {Status(404), Status(403), Status(407) /* nobody answered */, Status(501), Error(ERROR_INTERNET_INVALID_CA),
        Error(ERROR_INTERNET_SEC_CERT_CN_INVALID), Error(0) /* a refused redirect: sent, no error */, overCap,
        rangeRefused}},
  };
  for (const auto& row : rows) {
    for (const TryOutcome& outcome : row.outcomes) {
      EXPECT_EQ(row.verdict, ClassifyTry(outcome))
          << WideToUtf8(DescribeTry(outcome)) << ", error " << outcome.error << ", result " << std::hex
          << outcome.result;
    }
  }
  EXPECT_EQ(L"connection refused", DescribeTry(Error(ERROR_INTERNET_CANNOT_CONNECT)));
  EXPECT_EQ(L"status 503", DescribeTry(Status(503)));
  EXPECT_EQ(L"answer cut short", DescribeTry(cut));
  EXPECT_EQ(L"connection reset", DescribeTry(Error(ERROR_INTERNET_CONNECTION_RESET)));
}

TEST(RetryPolicy, RetryAfterInSecondsOrAsADateCapped) {
  long long now = 0;
  ASSERT_TRUE(ParseHttpDate(L"Sun, 06 Nov 1994 08:49:37 GMT", &now));
  EXPECT_EQ(784111777, now);
  struct Row {
    const wchar_t* text;
    bool parses;
    DWORD waitMs;
  } rows[] = {
      {L"3", true, 3000}, {L" 120 ", true, 120000}, {L"0", true, 0}, {L"301", true, kRetryAfterCapMs},
      {L"Sun, 06 Nov 1994 08:49:45 GMT", true, 8000}, {L"Sun, 06 Nov 1994 09:49:37 GMT", true, kRetryAfterCapMs},
      {L"Sun, 06 Nov 1994 08:49:00 GMT", true, 0}, {L"99999999999999999999999", false, 0}, {L"-3", false, 0},
      {L"3 s", false, 0}, {L"Sunday, 06-Nov-94 08:49:37 GMT", false, 0}, {L"Sun, 06 Nov 1994 25:49:37 GMT", false, 0},
      {L"", false, 0},
  };
  for (const Row& row : rows) {
    DWORD wait = 12345;
    EXPECT_EQ(row.parses, ParseRetryAfter(row.text, now, &wait)) << row.text;
    if (row.parses) {
      EXPECT_EQ(row.waitMs, wait) << row.text;
    }
  }
}

// The schedule over three addresses with no jitter: each failure moves to
// the next address, and the wait grows only after a whole round.
TEST(RetrySchedule, WaitsGrowPerRoundOfAddressesAndCapAtThirtySeconds) {
  RetrySchedule schedule(3, [] { return 0.0; });
  struct Step {
    size_t failed;
    size_t next;
    DWORD waitMs;
  } steps[] = {{0, 1, 1000}, {1, 2, 1000}, {2, 0, 1000}, {0, 1, 2000}, {1, 2, 2000}, {2, 0, 2000},
               {0, 1, 4000}, {1, 2, 4000}, {2, 0, 4000}, {0, 1, 8000}, {1, 2, 8000}, {2, 0, 8000},
               {0, 1, 16000}, {1, 2, 16000}, {2, 0, 16000}, {0, 1, 30000}, {1, 2, 30000}};
  unsigned attempt = 2;
  for (const Step& step : steps) {
    RetryStep next;
    ASSERT_TRUE(schedule.Next(step.failed, RetrySchedule::kNoRetryAfter, &next));
    EXPECT_EQ(step.next, next.address);
    EXPECT_EQ(step.waitMs, next.waitMs) << "attempt " << attempt;
    EXPECT_EQ(attempt++, next.attempt);
  }
}

TEST(RetrySchedule, JitterIsAFifthEitherWayAndRetryAfterReplacesTheWait) {
  const DWORD kNone = RetrySchedule::kNoRetryAfter;
  const struct {
    double jitter;
    DWORD retryAfterMs, waitMs;
  } rows[] = {{-1.0, kNone, 800}, {1.0, kNone, 1200}, {0.5, kNone, 1100}, {-7.0, kNone, 800}, {7.0, kNone, 1200},
              {1.0, 3000, 3000}};  // Retry-After takes no jitter
  for (const auto& row : rows) {
    RetrySchedule schedule(1, [&] { return row.jitter; });
    RetryStep step;
    ASSERT_TRUE(schedule.Next(0, row.retryAfterMs, &step));
    EXPECT_EQ(row.waitMs, step.waitMs) << row.jitter << ", Retry-After " << row.retryAfterMs;
  }
}

// Five minutes of waiting without progress ends the request; a block that
// arrives gives it five more, and the waits start small again.
TEST(RetrySchedule, TheBudgetIsFiveMinutesWithoutProgress) {
  RetrySchedule schedule(1, [] { return 0.0; });
  RetryStep step;
  unsigned long long waited = 0;
  unsigned tries = 0;
  while (schedule.Next(0, RetrySchedule::kNoRetryAfter, &step)) {
    waited += step.waitMs;
    ++tries;
    ASSERT_LT(tries, 100u);
  }
  EXPECT_EQ(RetrySchedule::kBudgetMs, waited);
  // 1+2+4+8+16 = 31 s, eight waits of 30 s, and a ninth cut to 29 s.
  EXPECT_EQ(14u, tries);
  schedule.Progress();
  ASSERT_TRUE(schedule.Next(0, RetrySchedule::kNoRetryAfter, &step));
  EXPECT_EQ(1000u, step.waitMs);
  // A Retry-After of five minutes spends the whole budget at once.
  RetrySchedule patient(1, [] { return 0.0; });
  ASSERT_TRUE(patient.Next(0, kRetryAfterCapMs, &step));
  EXPECT_FALSE(patient.Next(0, RetrySchedule::kNoRetryAfter, &step));
}

// The loop over a fake wait: it logs each try again, tells of the wait,
// and stops at once on a permanent failure or a cancelled run.
TEST(RetryLoop, WaitsOnTheRunAndEndsOnCancelEvenDuringARealWait) {
  zan_test::LogLinesAdded lines;
  ScopedHandle cancel(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::vector<DWORD> waits, announced;
  NetworkRun run;
  run.cancel = cancel.get();
  run.jitter = [] { return 0.0; };
  run.announceWait = [&](DWORD ms) { announced.push_back(ms); };
  run.wait = [&](DWORD ms, HANDLE) {
    waits.push_back(ms);
    return !IsSignalled(cancel.get());
  };
  RetryLoop loop(&run, 2);
  size_t next = 9;
  EXPECT_TRUE(loop.TryAgain(Error(ERROR_INTERNET_CANNOT_CONNECT), L"http://a/x", 0, &next));
  EXPECT_EQ(1u, next);
  EXPECT_FALSE(loop.TryAgain(Status(404), L"http://b/x", 1, &next));
  TryOutcome busy = Status(503);
  busy.retryAfter = L"3";
  EXPECT_TRUE(loop.TryAgain(busy, L"http://b/x", 1, &next));
  EXPECT_EQ(0u, next);
  EXPECT_EQ((std::vector<DWORD>{1000, 3000}), waits);
  EXPECT_EQ((std::vector<DWORD>{1000, 0, 3000, 0}), announced);
  ::SetEvent(cancel.get());
  EXPECT_TRUE(loop.Cancelled());
  EXPECT_FALSE(loop.TryAgain(Error(ERROR_INTERNET_CANNOT_CONNECT), L"http://a/x", 0, &next));
  EXPECT_EQ(2u, waits.size()) << "a cancelled run waits no more";
  EXPECT_EQ((std::vector<std::string>{"trying again in 1.0 s, attempt 2, connection refused, url: http://a/x",
                                      "trying again in 3.0 s, attempt 3, status 503, url: http://b/x"}),
            lines.Messages());
  // Without a run there is one try and no other.
  RetryLoop once(nullptr, 2);
  EXPECT_FALSE(once.TryAgain(Error(ERROR_INTERNET_CANNOT_CONNECT), L"http://a/x", 0, &next));

  // The real wait ends when the run is cancelled during it: cancelled as the
  // wait of five minutes is announced, the call returns (or the test times out).
  ::ResetEvent(cancel.get());
  NetworkRun real;
  real.cancel = cancel.get();
  real.announceWait = [&](DWORD ms) {
    if (ms) ::SetEvent(cancel.get());
  };
  busy.retryAfter = L"300";
  EXPECT_FALSE(RetryLoop(&real, 1).TryAgain(busy, L"http://a/x", 0, &next));
}

TEST(ServerBases, ListsAndAddressesOnEachBaseInTurn) {
  EXPECT_EQ((std::vector<std::wstring>{L"https://a:1", L"http://b"}), SplitServerBases(L" https://a:1/ ; ;http://b"));
  EXPECT_EQ((std::vector<std::wstring>{L"https://a"}), SplitServerBases(L"https://a"));
  const std::vector<std::wstring> bases{L"https://a", L"https://b", L"https://c"};
  EXPECT_EQ((std::vector<std::wstring>{L"https://b/x/y", L"https://c/x/y", L"https://a/x/y"}),
            AddressesOnBases(L"https://b/x/y", bases));
  EXPECT_EQ((std::vector<std::wstring>{L"https://elsewhere/x"}), AddressesOnBases(L"https://elsewhere/x", bases));
  EXPECT_EQ((std::vector<std::wstring>{L"https://ab/x"}), AddressesOnBases(L"https://ab/x", bases))
      << "a base is a whole host, not a prefix of one";
}

TEST(ProxyNames, TheEntryForTheRequestAndBasicChallenges) {
  struct Row {
    const wchar_t* list;
    bool secure;
    const wchar_t* name;
  } rows[] = {
      {L"proxy:3128", false, L"proxy:3128"}, {L"http=p1:80;https=p2:443", false, L"p1:80"},
      {L"http=p1:80;https=p2:443", true, L"p2:443"}, {L"http=p1:80", true, L"p1:80"},
      {L"HTTP=HTTP://p3:8080", false, L"p3:8080"}, {L"ftp=f:21", false, L""},
      // Credentials written into the setting never reach the log or the store's target.
      {L"http://alice:s3cret@p4:3128/", false, L"p4:3128"}, {L"https=bob:pa@ss@p5:443", true, L"p5:443"},
      // ... even where the password holds a path's '/' or the list's separators.
      {L"http://alice:pa/ss@p6:8080", false, L"p6:8080"}, {L"alice:pa ss;word@p7:3128", false, L"p7:3128"},
      {L"http=carol:x;y@p8:80;https=p9:443", false, L"p8:80"}, {L"http=carol:x;y@p8:80;https=p9:443", true, L"p9:443"},
      // No host and port, no name: a port of letters, a line break into the log.
      {L"alice:secret", false, L""}, {L"p:80\r\nforged", false, L""}, {L"[::1]:3128", false, L"[::1]:3128"},
  };
  for (const Row& row : rows) EXPECT_EQ(row.name, ProxyForUrl(row.list, row.secure)) << row.list;
  for (const wchar_t* challenge : {L"Basic realm=\"x\"", L"basic"}) EXPECT_TRUE(ChallengeOffersBasic(challenge));
  for (const wchar_t* challenge : {L"NTLM", L"Basically"}) EXPECT_FALSE(ChallengeOffersBasic(challenge));
}

// Credentials are asked once for all requests, at most three times, kept
// out of the store unless asked, and a refusal ends every request.
TEST(ProxyCredentialsTest, AskedOnceSharedAndAtMostThreeTimes) {
  zan_test::ScopedUserHive hive;
  const std::wstring proxy = L"unit-test-proxy-" + std::to_wstring(::GetCurrentProcessId()) + L":1";
  ForgetStoredLogon(ProxyCredentials::StoreTarget(proxy));
  std::vector<bool> asks;
  ProxyCredentials credentials([&](const std::wstring&, bool again, ProxyLogon* logon, bool* remember) {
    asks.push_back(again);
    logon->user = L"alice";
    logon->password = L"pw" + std::to_wstring(asks.size());
    *remember = asks.size() == 2;
    return asks.size() < 4;
  });
  ProxyLogon logon;
  EXPECT_EQ(0u, credentials.Current(&logon));
  unsigned first = 0, second = 0;
  ASSERT_TRUE(credentials.Renew(proxy, 0, &logon, &first));
  EXPECT_EQ(L"pw1", logon.password);
  // Another request that had sent nothing gets the same answer, unasked.
  ASSERT_TRUE(credentials.Renew(proxy, 0, &logon, &second));
  EXPECT_EQ(first, second);
  EXPECT_EQ(1u, asks.size());
  // Refused: asked again, and "Remember" stores the one that passes.
  ASSERT_TRUE(credentials.Renew(proxy, first, &logon, &second));
  EXPECT_EQ(L"pw2", logon.password);
  credentials.Accepted(proxy, second);
  ProxyLogon stored;
  ASSERT_TRUE(ReadStoredLogon(ProxyCredentials::StoreTarget(proxy), &stored));
  EXPECT_EQ(L"pw2", stored.password);
  unsigned third = 0;
  ASSERT_TRUE(credentials.Renew(proxy, second, &logon, &third));
  EXPECT_FALSE(credentials.Renew(proxy, third, &logon, &third)) << "a fourth ask";
  EXPECT_EQ((std::vector<bool>{false, true, true}), asks);
  EXPECT_EQ(0u, credentials.Current(&logon));

  // A later run takes the stored ones without asking.
  ProxyCredentials later([](const std::wstring&, bool, ProxyLogon*, bool*) { return false; });
  ASSERT_TRUE(later.Renew(proxy, 0, &logon, &first));
  EXPECT_EQ(L"pw2", logon.password);
  ForgetStoredLogon(ProxyCredentials::StoreTarget(proxy));
}

}  // namespace
}  // namespace zan
