// The credentials a proxy asks for (407), one set for every request of a
// run, its workers' too: asked of the user once, kept in memory only and
// wiped at the end, or read from the user's credential store when the user
// once asked us to remember them.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "setup/common/handles.h"

namespace zan {

// A user name and password that wipe themselves.
struct ProxyLogon {
  ProxyLogon() = default;
  ProxyLogon(const ProxyLogon& other) = default;
  ProxyLogon& operator=(const ProxyLogon& other);
  ~ProxyLogon() { Wipe(); }
  void Wipe();

  std::wstring user;
  std::wstring password;
};

// Overwrites the characters before the string lets them go.
void WipeText(std::wstring* text);

class ProxyCredentials {
 public:
  static constexpr unsigned kMostAsks = 3;

  // Asks the user for `proxy` (`again`: the last answer was refused). False
  // when the user declined or the run ended. Runs on the thread that needs
  // the answer and may take as long as the user does.
  using Prompt = std::function<bool(const std::wstring& proxy, bool again, ProxyLogon* logon, bool* remember)>;

  explicit ProxyCredentials(Prompt prompt) : prompt_(std::move(prompt)) {}
  ~ProxyCredentials() { Wipe(); }
  ProxyCredentials(const ProxyCredentials&) = delete;
  ProxyCredentials& operator=(const ProxyCredentials&) = delete;

  // The credentials to send before any challenge: their generation, 0 when
  // there are none yet.
  unsigned Current(ProxyLogon* logon);

  // `proxy` answered 407 (offering Basic) to the credentials of
  // `generation` (0: none were sent). New ones: those another request got
  // meanwhile, the stored ones, or the user's. False, with a log line
  // naming the proxy and 407, when there are none to give: the user
  // declined, or was asked kMostAsks times.
  bool Renew(const std::wstring& proxy, unsigned generation, ProxyLogon* logon, unsigned* newGeneration);

  // `proxy` let the credentials of `generation` pass: stored now, when the
  // user asked us to remember them.
  void Accepted(const std::wstring& proxy, unsigned generation);

  // Forgets the credentials in memory (not the stored ones).
  void Wipe();

  // The credential store's target for a proxy.
  static std::wstring StoreTarget(const std::wstring& proxy);

 private:
  bool AskUser(const std::wstring& proxy);

  Prompt prompt_;
  CriticalSection lock_;
  ProxyLogon logon_;
  unsigned generation_ = 0;
  unsigned asked_ = 0;
  bool fromStore_ = false;
  bool storeRead_ = false;
  bool remember_ = false;
  bool refused_ = false;
};

// The proxy of a session's proxy list ("host:port", "http=host:port;https=
// host:port", "HTTP=HTTP://host:port") that a request goes through, as
// "host:port", without any "user:password@" the setting carries: the https
// entry for a secure request where there is one, the http entry or the
// first plain one otherwise. Empty when that entry is no host and port.
std::wstring ProxyForUrl(const std::wstring& setting, bool secure);

// Whether a Proxy-Authenticate value offers the Basic scheme.
bool ChallengeOffersBasic(const std::wstring& challenge);

// The user's generic credential for `target`; false when there is none.
bool ReadStoredLogon(const std::wstring& target, ProxyLogon* logon);
// Per user, kept across logons on this machine.
bool StoreLogon(const std::wstring& target, const ProxyLogon& logon);
void ForgetStoredLogon(const std::wstring& target);

}  // namespace zan
