#include "site_lock.h"

#include "string_util.h"

namespace zan {
namespace {

bool StartsWithIgnoringCase(const std::wstring& text, const std::wstring& prefix) {
  return text.size() >= prefix.size() && LowerAscii(text.substr(0, prefix.size())) == prefix;
}

const size_t kLoggedAddressLength = 300;

}  // namespace

std::wstring UrlHost(const std::wstring& url) {
  size_t start;
  if (StartsWithIgnoringCase(url, L"https://")) {
    start = 8;
  } else if (StartsWithIgnoringCase(url, L"http://")) {
    start = 7;
  } else {
    return std::wstring();
  }
  const size_t end = url.find_first_of(L"/\\?#", start);
  std::wstring authority = url.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
  const size_t at = authority.rfind(L'@');
  if (at != std::wstring::npos) authority.erase(0, at + 1);
  size_t colon = authority.rfind(L':');
  if (colon != std::wstring::npos && authority.find(L']', colon) == std::wstring::npos) authority.erase(colon);
  while (!authority.empty() && authority.back() == L'.') authority.pop_back();
  return LowerAscii(authority);
}

std::vector<std::wstring> AllowedHostList(const std::wstring& allowed) {
  std::vector<std::wstring> hosts;
  for (std::wstring entry : SplitSettingList(allowed)) {
    while (!entry.empty() && entry.front() == L'.') entry.erase(0, 1);
    if (!entry.empty()) hosts.push_back(entry);
  }
  return hosts;
}

bool IsAllowedHost(const std::wstring& host, const std::wstring& allowed) {
  if (host.empty()) return false;
  for (const std::wstring& entry : AllowedHostList(allowed)) {
    if (host == entry) return true;
    const size_t cut = host.size() - entry.size();
    if (host.size() > entry.size() && host.compare(cut, entry.size(), entry) == 0 && host[cut - 1] == L'.') {
      return true;
    }
  }
  return false;
}

std::wstring PageAddressRefusal(const std::wstring& url, const PagePolicy& policy) {
  const std::wstring host = UrlHost(url);
  const std::wstring page = L"the page \"" + LoggableAddress(url) + L"\" is not allowed: ";
  const bool https = StartsWithIgnoringCase(url, L"https://");
  if (!https) {
    const bool ownTestServer = policy.development && StartsWithIgnoringCase(url, L"http://") && !host.empty() &&
                               host == LowerAscii(policy.serverHost);
    return ownTestServer ? std::wstring() : page + L"it is not served over https";
  }
  if (!IsAllowedHost(host, policy.allowedSites)) {
    return page + L"its host \"" + LoggableAddress(host) + L"\" is not an allowed site";
  }
  return std::wstring();
}

std::wstring LoggableAddress(const std::wstring& url) {
  std::wstring text = url.substr(0, kLoggedAddressLength);
  for (wchar_t& c : text) {
    if (c < 0x20 || c == 0x7F) c = L'?';
  }
  if (url.size() > kLoggedAddressLength) text += L"...";
  return text;
}

}  // namespace zan
