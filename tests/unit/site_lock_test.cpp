// Which pages may use the control: the host read from the page's address
// the way a browser reads it, matched against the allowed sites.
#include <gtest/gtest.h>

#include "setup/common/site_lock.h"

namespace zan {
namespace {

TEST(SiteLock, TheHostIsReadAsBrowsersReadIt) {
  const struct {
    const wchar_t* url;
    const wchar_t* host;
  } kCases[] = {
      {L"https://www.Corvela.com/install.html", L"www.corvela.com"}, {L"HTTP://corvela.com:8080/a?b#c", L"corvela.com"},
      {L"https://corvela.com.", L"corvela.com"}, {L"https://user:pw@corvela.com/", L"corvela.com"},
      {L"https://corvela.com@evil.com/", L"evil.com"}, {L"https://evil.com\\@corvela.com/", L"evil.com"},
      {L"https://evil.com#@corvela.com", L"evil.com"}, {L"https://[::1]:8780/", L"[::1]"},
      {L"file:///C:/page.html", L""}, {L"javascript:alert(1)", L""}, {L"", L""},
  };
  for (const auto& c : kCases) EXPECT_EQ(c.host, UrlHost(c.url)) << c.url;
}

TEST(SiteLock, OnlyListedHostsAndHostsBelowThemAreAllowed) {
  const wchar_t kAllowed[] = L" corvela.com ;.Downloads.example,localhost";
  for (const wchar_t* host : {L"corvela.com", L"www.corvela.com", L"a.b.corvela.com", L"downloads.example",
                              L"localhost"}) {
    EXPECT_TRUE(IsAllowedHost(host, kAllowed)) << host;
    EXPECT_FALSE(IsAllowedHost(host, L" ; ,")) << host;
  }
  for (const wchar_t* host : {L"evilcorvela.com", L"corvela.com.evil.com", L"example", L"com", L"", L"localhost2"}) {
    EXPECT_FALSE(IsAllowedHost(host, kAllowed)) << host;
  }
  EXPECT_FALSE(IsAllowedHost(L"corvela.com", L""));
}

TEST(SiteLock, HttpsPagesOfAllowedSitesAndADevelopmentBuildsOwnServerOverHttp) {
  const PagePolicy pinned{L"corvela.com", L"downloads.corvela.com", false};
  const PagePolicy development{L"corvela.com", L"downloads.corvela.com", true};
  const std::wstring https = L"it is not served over https";
  const struct {
    const wchar_t* url;
    std::wstring pinned;       // the reason a pinned build refuses it; empty: it passes
    std::wstring development;  // the same for a development build
  } kCases[] = {
      {L"https://www.corvela.com/install.html", L"", L""},
      {L"https://corvela.com:8443", L"", L""},  // an origin, as a plug-in's browser gives it
      {L"http://www.corvela.com/install.html", https, https},
      {L"HTTP://Downloads.Corvela.com:8780/install.html", https, L""},
      {L"http://evil.example/", https, https},
      {L"https://evil.example/", L"its host \"evil.example\" is not an allowed site",
       L"its host \"evil.example\" is not an allowed site"},
      {L"file:///C:/page.html", https, https},
      {L"null", https, https},  // an opaque origin: a sandboxed frame, a data: page
      {L"", https, https},
  };
  for (const auto& c : kCases) {
    const std::wstring refused = std::wstring(L"the page \"") + c.url + L"\" is not allowed: ";
    EXPECT_EQ(c.pinned.empty() ? L"" : refused + c.pinned, PageAddressRefusal(c.url, pinned)) << c.url;
    EXPECT_EQ(c.development.empty() ? L"" : refused + c.development, PageAddressRefusal(c.url, development))
        << c.url;
  }
}

TEST(SiteLock, ARefusedAddressIsLoggedOnOneLineAndCut) {
  EXPECT_EQ(L"https://a/?x??forged line", LoggableAddress(L"https://a/?x\r\nforged line"));
  const std::wstring longest(300, L'a'), longer(301, L'a');
  EXPECT_EQ(longest, LoggableAddress(longest));
  EXPECT_EQ(longest + L"...", LoggableAddress(longer));
}

}  // namespace
}  // namespace zan
