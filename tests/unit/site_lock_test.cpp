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
      {L"https://www.Corvela.com/install.html", L"www.corvela.com"},
      {L"HTTP://corvela.com:8080/a?b#c", L"corvela.com"},
      {L"https://corvela.com.", L"corvela.com"},
      {L"https://user:pw@corvela.com/", L"corvela.com"},
      {L"https://corvela.com@evil.com/", L"evil.com"},
      {L"https://evil.com\\@corvela.com/", L"evil.com"},
      {L"https://evil.com#@corvela.com", L"evil.com"},
      {L"https://[::1]:8780/", L"[::1]"},
      {L"file:///C:/page.html", L""},
      {L"javascript:alert(1)", L""},
      {L"", L""},
  };
  for (const auto& c : kCases) EXPECT_EQ(c.host, UrlHost(c.url)) << c.url;
}

TEST(SiteLock, OnlyListedHostsAndHostsBelowThemAreAllowed) {
  const wchar_t kAllowed[] = L" corvela.com ;.Downloads.example,localhost";
  for (const wchar_t* host : {L"corvela.com", L"www.corvela.com", L"a.b.corvela.com", L"downloads.example",
                              L"localhost"}) {
    EXPECT_TRUE(IsAllowedHost(host, kAllowed)) << host;
  }
  for (const wchar_t* host : {L"evilcorvela.com", L"corvela.com.evil.com", L"example", L"com", L"", L"localhost2"}) {
    EXPECT_FALSE(IsAllowedHost(host, kAllowed)) << host;
  }
  EXPECT_FALSE(IsAllowedHost(L"corvela.com", L""));
  EXPECT_FALSE(IsAllowedHost(L"corvela.com", L" ; ,"));
}

}  // namespace
}  // namespace zan
