#include "proxy_credentials.h"

#include <wincred.h>

#include <algorithm>
#include <vector>

#include "setup/common/log.h"
#include "setup/common/string_util.h"

namespace zan {

void WipeText(std::wstring* text) {
  if (!text->empty()) ::SecureZeroMemory(&(*text)[0], text->size() * sizeof(wchar_t));
  text->clear();
}

ProxyLogon& ProxyLogon::operator=(const ProxyLogon& other) {
  if (this != &other) {
    Wipe();
    user = other.user;
    password = other.password;
  }
  return *this;
}

void ProxyLogon::Wipe() {
  WipeText(&user);
  WipeText(&password);
}

namespace {

// A password may hold any character, the list's separators and '/' too, so
// "user:password@" runs back to its entry's scheme ("http=", "http://") or
// the list's start, never to the nearest separator. The name goes into the
// log, the prompt and the credential store's target: a list whose entries
// cannot be told apart gives a wrong name rather than a password.
std::wstring WithoutUserInfo(std::wstring list) {
  for (size_t at = list.rfind(L'@'); at != std::wstring::npos; at = list.rfind(L'@')) {
    size_t start = 0;
    const size_t equals = list.rfind(L'=', at);
    if (equals != std::wstring::npos) start = equals + 1;
    const size_t scheme = list.rfind(L"://", at);
    if (scheme != std::wstring::npos && scheme + 3 > start) start = scheme + 3;
    list.erase(start, at + 1 - start);
  }
  return list;
}

bool AllOf(const std::wstring& text, size_t begin, size_t end, const wchar_t* others) {
  for (size_t i = begin; i < end; ++i) {
    const wchar_t c = text[i];
    const bool alnum = (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
    if (!alnum && !wcschr(others, c)) return false;
  }
  return true;
}

// "host", "host:port" or "[v6 address]:port" alone; anything else (a port of
// letters, control characters) is no name to write anywhere.
bool IsHostAndPort(const std::wstring& name) {
  const bool bracketed = !name.empty() && name[0] == L'[';
  size_t hostEnd = bracketed ? name.find(L']') : std::min(name.find(L':'), name.size());
  if (hostEnd == std::wstring::npos || hostEnd == 0) return false;
  if (bracketed ? !AllOf(name, 1, hostEnd++, L":.") : !AllOf(name, 0, hostEnd, L".-_")) return false;
  if (hostEnd == name.size()) return true;
  return name[hostEnd] == L':' && hostEnd + 1 < name.size() &&
         name.find_first_not_of(L"0123456789", hostEnd + 1) == std::wstring::npos;
}

// Host and port only, after the scheme and before any path.
std::wstring HostAndPort(std::wstring entry) {
  const size_t scheme = entry.find(L"://");
  if (scheme != std::wstring::npos) entry.erase(0, scheme + 3);
  entry.erase(std::min(entry.find(L'/'), entry.size()));
  return IsHostAndPort(entry) ? entry : std::wstring();
}

}  // namespace

std::wstring ProxyForUrl(const std::wstring& setting, bool secure) {
  const std::wstring proxyList = WithoutUserInfo(setting);
  std::wstring plain, http, https;
  size_t begin = 0;
  while (begin <= proxyList.size()) {
    size_t end = proxyList.find_first_of(L"; ", begin);
    if (end == std::wstring::npos) end = proxyList.size();
    std::wstring entry = proxyList.substr(begin, end - begin);
    begin = end + 1;
    if (entry.empty()) continue;
    const size_t equals = entry.find(L'=');
    if (equals == std::wstring::npos) {
      if (plain.empty()) plain = HostAndPort(entry);
      continue;
    }
    const std::wstring scheme = LowerAscii(entry.substr(0, equals));
    if (scheme == L"http" && http.empty()) http = HostAndPort(entry.substr(equals + 1));
    if (scheme == L"https" && https.empty()) https = HostAndPort(entry.substr(equals + 1));
  }
  if (secure && !https.empty()) return https;
  return !http.empty() ? http : plain;
}

bool ChallengeOffersBasic(const std::wstring& challenge) {
  const size_t begin = challenge.find_first_not_of(L" \t");
  if (begin == std::wstring::npos) return false;
  const std::wstring scheme = LowerAscii(challenge.substr(begin, 5));
  return scheme == L"basic" && (challenge.size() == begin + 5 || challenge[begin + 5] == L' ');
}

std::wstring ProxyCredentials::StoreTarget(const std::wstring& proxy) { return L"ZanSetup/proxy/" + proxy; }

unsigned ProxyCredentials::Current(ProxyLogon* logon) {
  ScopedLock hold(lock_);
  if (generation_ == 0 || refused_) return 0;
  *logon = logon_;
  return generation_;
}

bool ProxyCredentials::AskUser(const std::wstring& proxy) {
  if (asked_ >= kMostAsks) {
    WriteLog(L"the proxy %s refused the credentials %u times (407)", proxy.c_str(), asked_);
    return false;
  }
  ++asked_;
  WriteLog(L"asking for the credentials of the proxy %s", proxy.c_str());
  ProxyLogon answer;
  bool remember = false;
  if (!prompt_ || !prompt_(proxy, asked_ > 1, &answer, &remember)) {
    WriteLog(L"the proxy %s asks for credentials (407) and none were given", proxy.c_str());
    return false;
  }
  logon_ = answer;
  remember_ = remember;
  fromStore_ = false;
  return true;
}

bool ProxyCredentials::Renew(const std::wstring& proxy, unsigned generation, ProxyLogon* logon,
                             unsigned* newGeneration) {
  ScopedLock hold(lock_);
  if (refused_) return false;
  // Another request already got new ones while this one waited for its answer.
  if (generation_ != 0 && generation_ != generation) {
    *logon = logon_;
    *newGeneration = generation_;
    return true;
  }
  // Stored credentials that the proxy refuses are no use to a later run either.
  if (generation_ != 0 && fromStore_) {
    ForgetStoredLogon(StoreTarget(proxy));
    WriteLog(L"the proxy %s refused the remembered credentials (407)", proxy.c_str());
  }
  logon_.Wipe();
  bool found = false;
  if (!storeRead_) {
    storeRead_ = true;
    found = ReadStoredLogon(StoreTarget(proxy), &logon_);
    fromStore_ = found;
    remember_ = false;
  }
  if (!found && !AskUser(proxy)) {
    refused_ = true;
    logon_.Wipe();
    return false;
  }
  *logon = logon_;
  *newGeneration = ++generation_;
  return true;
}

void ProxyCredentials::Accepted(const std::wstring& proxy, unsigned generation) {
  ScopedLock hold(lock_);
  if (generation != generation_ || !remember_) return;
  remember_ = false;
  if (!StoreLogon(StoreTarget(proxy), logon_)) {
    WriteLog(L"the credentials for the proxy %s could not be remembered, error code: %d", proxy.c_str(),
             static_cast<int>(::GetLastError()));
  }
}

void ProxyCredentials::Wipe() {
  ScopedLock hold(lock_);
  logon_.Wipe();
  generation_ = 0;
}

bool ReadStoredLogon(const std::wstring& target, ProxyLogon* logon) {
  PCREDENTIALW credential = nullptr;
  if (!::CredReadW(target.c_str(), CRED_TYPE_GENERIC, 0, &credential)) return false;
  logon->user = credential->UserName ? credential->UserName : L"";
  logon->password.assign(reinterpret_cast<const wchar_t*>(credential->CredentialBlob),
                         credential->CredentialBlobSize / sizeof(wchar_t));
  if (credential->CredentialBlobSize) ::SecureZeroMemory(credential->CredentialBlob, credential->CredentialBlobSize);
  ::CredFree(credential);
  return true;
}

bool StoreLogon(const std::wstring& target, const ProxyLogon& logon) {
  std::wstring name = target;
  std::wstring user = logon.user;
  std::vector<wchar_t> secret(logon.password.begin(), logon.password.end());
  CREDENTIALW credential = {};
  credential.Type = CRED_TYPE_GENERIC;
  credential.TargetName = &name[0];
  credential.UserName = &user[0];
  credential.CredentialBlobSize = static_cast<DWORD>(secret.size() * sizeof(wchar_t));
  credential.CredentialBlob = secret.empty() ? nullptr : reinterpret_cast<LPBYTE>(secret.data());
  credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
  const BOOL stored = ::CredWriteW(&credential, 0);
  if (!secret.empty()) ::SecureZeroMemory(secret.data(), secret.size() * sizeof(wchar_t));
  return stored != FALSE;
}

void ForgetStoredLogon(const std::wstring& target) { ::CredDeleteW(target.c_str(), CRED_TYPE_GENERIC, 0); }

}  // namespace zan
