// What a command line, a zansetup: link or a page asks for: the arguments,
// the names safe in a path or an address, the links refused with a reason,
// and the pages that may use the control (the host read from the page's
// address the way a browser reads it, matched against the allowed sites).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "setup/common/product_values.h"
#include "setup/common/site_lock.h"
#include "setup/driver/command_line.h"
#include "setup/driver/entry.h"
#include "setup/driver/install_link.h"
#include "test_util.h"

namespace zan {
namespace {

// The whole table each line gives: blanks around and between arguments go,
// only the space separates (quotes and TABs are ordinary), only the first
// "=" splits, keys keep their case, a later value wins, a bare key keeps a
// value already there and "=x" is a key of its own.
TEST(CommandLine, TheArgumentsEachLineGives) {
  const struct {
    const wchar_t* line;
    ArgumentTable arguments;
  } rows[] = {
      {L" \t App=Foo    Ver=1.0 \r\n", {{L"App", L"Foo"}, {L"Ver", L"1.0"}}}, {L"app=Foo", {{L"app", L"Foo"}}},
      {L"App=Foo App=Bar", {{L"App", L"Bar"}}}, {L"App=a=b", {{L"App", L"a=b"}}}, {L"App=", {{L"App", L""}}},
      {L"App", {{L"App", L""}}}, {L"App=Foo App =x", {{L"App", L"Foo"}, {L"=x", L""}}},
      {L"App=\"My Product\"", {{L"App", L"\"My"}, {L"Product\"", L""}}}, {L"App=a\tVer=2", {{L"App", L"a\tVer=2"}}},
      {L"   ", {}},
  };
  for (const auto& row : rows) EXPECT_EQ(row.arguments, ParseArguments(TrimCommandLine(row.line))) << row.line;
  EXPECT_EQ(L"", TrimCommandLine(L" \t\r\n"));
  EXPECT_EQ(L"", ArgumentValue({{L"app", L"Foo"}}, L"App"));
  EXPECT_EQ(L"Foo", ArgumentValue({{L"App", L"Foo"}}, L"App"));
}

// Ordinary names and versions pass; what escapes the folder or the address
// does not.
TEST(SafePathSegment, OrdinaryNamesAndVersionsOnly) {
  for (const wchar_t* name : {L"Foo", L"Demo", L"a=b", L"My-App_2", L"2.0", L"1.0.3", L"\u4E2D\u6587",
                              L"CONSOLE", L"COM0", L"LPT"}) {
    EXPECT_TRUE(IsSafePathSegment(name)) << name;
  }
  for (const wchar_t* name : {L"", L"..", L"a..b", L"..\\Windows", L"a\\b", L"a/b", L"C:", L"a*", L"a?", L"a\"",
                              L"a<", L"a>", L"a|", L"a%20", L"a#b", L"a\x01", L"name.", L"name ", L"CON", L"con",
                              L"NUL.txt", L"COM1", L"lpt9", L"AUX"}) {
    EXPECT_FALSE(IsSafePathSegment(name)) << name;
  }
}

// One test, in this order: the flag is process-wide and never cleared.
TEST(ElevationFlag, OnlyANonEmptyUacValueSetsIt) {
  const std::pair<const wchar_t*, bool> kRuns[] = {
      {L"Uac=", false}, {L"Uac", false}, {L"uac=yes", false}, {L"Uac=yes", true}, {L"Uac=", true}};
  for (const auto& run : kRuns) {
    EXPECT_EQ(0, RunSetup(nullptr, run.first, true)) << run.first;
    EXPECT_EQ(run.second, ElevationAttempted()) << run.first;
  }
}

TEST(InstallLink, GoodLinksGiveTheProductAndVersion) {
  const struct {
    const wchar_t* line;
    const wchar_t* product;
    const wchar_t* version;
  } cases[] = {
      {L"zansetup://install?app=Demo&ver=1.0", L"Demo", L"1.0"},
      {L"\"zansetup://install?app=Demo&ver=1.0\"", L"Demo", L"1.0"},
      {L"zansetup://install?ver=2.0&app=Demo", L"Demo", L"2.0"},
      {L"zansetup://install?app=Demo", L"Demo", L""},
      {L"zansetup://install/?app=Demo", L"Demo", L""},
      // UTF-8 escapes in either case of hex digit; a four-byte character.
      {L"zansetup://install?app=%E4%B8%AD%e6%96%87", L"\x4E2D\x6587", L""},
      {L"zansetup://install?app=A%F0%9F%98%80", L"A\xD83D\xDE00", L""},
      {L"zansetup://install?app=Foo(x86)_v-1.~!", L"Foo(x86)_v-1.~!", L""},
  };
  for (const auto& c : cases) {
    InstallLink link;
    std::wstring reason;
    EXPECT_TRUE(ParseInstallLink(c.line, &link, &reason)) << c.line << ": " << reason;
    EXPECT_EQ(c.product, link.product) << c.line;
    EXPECT_EQ(c.version, link.version) << c.line;
  }
}

// Each reason with the links it refuses: blanks, quotes, separators and
// reserved names, encoded or not; broken escapes and bad UTF-8; the
// scheme and action, exactly; quotes that do not enclose exactly one link.
TEST(InstallLink, HostileLinksAreRefusedWithTheirReason) {
  const struct {
    const wchar_t* reason;
    std::vector<const wchar_t*> lines;
  } cases[] = {
      {L"the key \"dir\" is not allowed", {L"zansetup://install?app=Demo&ver=1.0&dir=C"}},
      {L"the key \"uac\" is not allowed", {L"zansetup://install?app=Demo&uac=yes"}},
      {L"the key \"Uac\" is not allowed", {L"zansetup://install?app=Demo&Uac=yes"}},
      {L"the key \"App\" is not allowed", {L"zansetup://install?App=Demo"}},
      {L"the key \"app\" appears twice", {L"zansetup://install?app=Demo&app=Other"}},
      {L"the key \"ver\" appears twice", {L"zansetup://install?app=Demo&ver=1&ver=2"}},
      {L"it names no product", {L"zansetup://install?ver=1.0", L"zansetup://install"}},
      {L"a part of the query is not key=value", {L"zansetup://install?app=Demo&",
        L"zansetup://install?app=Demo&&ver=1", L"zansetup://install?app"}},
      {L"the product name is not usable", {L"zansetup://install?app=Demo%20Ver%3D9",
        L"zansetup://install?app=Demo%09", L"zansetup://install?app=%E3%80%80Demo",
        L"zansetup://install?app=Demo%22", L"zansetup://install?app=Demo%27", L"zansetup://install?app=Demo%26x",
        L"zansetup://install?app=..%5C..%5CWindows", L"zansetup://install?app=a%5Cb",
        L"zansetup://install?app=a%2Fb", L"zansetup://install?app=..", L"zansetup://install?app=",
        L"zansetup://install?app=Demo%00.exe", L"zansetup://install?app=Demo%25",
        L"zansetup://install?app=Demo%E2%80%AEexe", L"zansetup://install?app=CON",
        L"zansetup://install?app=%6Cpt1.txt"}},
      {L"it has a character that is not allowed", {L"zansetup://install?app=Demo Ver=9",
        L"zansetup://install?app=Demo#x", L"zansetup://install?app=Demo+x", L"zansetup://install?app=D\x00e9mo"}},
      {L"the product version is not usable", {L"zansetup://install?app=Demo&ver=..",
        L"zansetup://install?app=Demo&ver="}},
      {L"a percent escape is broken", {L"zansetup://install?app=Demo%2", L"zansetup://install?app=Demo%",
        L"zansetup://install?app=Demo%zz"}},
      {L"a value is not valid UTF-8", {L"zansetup://install?app=%C3", L"zansetup://install?app=%C0%AE%C0%AE",
        L"zansetup://install?app=%ED%A0%80", L"zansetup://install?app=%F4%90%80%80", L"zansetup://install?app=%FF",
        L"zansetup://install?app=%80"}},
      {L"the scheme is not \"zansetup\"", {L"ZANSETUP://install?app=Demo", L"ZanSetup://install?app=Demo"}},
      {L"the action is not \"install\"", {L"zansetup://?app=Demo", L"zansetup:?app=Demo",
        L"zansetup://uninstall?app=Demo", L"zansetup://installer?app=Demo", L"zansetup://INSTALL?app=Demo",
        L"zansetup://install//?app=Demo"}},
      {L"its quotes do not pair up", {L"\"zansetup://install?app=Demo",
        L"\"zansetup://install?app=Demo\" App=Other", L"zansetup://install?app=Demo\"x\""}},
  };
  for (const auto& c : cases) {
    for (const wchar_t* line : c.lines) {
      InstallLink link;
      std::wstring reason;
      EXPECT_FALSE(ParseInstallLink(line, &link, &reason)) << line;
      EXPECT_EQ(c.reason, reason) << line;
      EXPECT_EQ(L"", link.product) << line;
    }
  }
}

TEST(InstallLink, ALinkOfMoreThan2048CharactersIsRefused) {
  // As long as a link can be with names of 200 characters: percent escapes.
  std::wstring fits = L"zansetup://install?app=";
  for (int i = 0; i < 200; ++i) fits += L"%E4%BA%A7";
  fits += L"&ver=" + std::wstring(190, L'1');
  for (int i = 0; i < 10; ++i) fits += L"%31";
  ASSERT_EQ(kMaxInstallLinkLength, fits.size());
  InstallLink link;
  std::wstring reason;
  EXPECT_TRUE(ParseInstallLink(fits, &link, &reason)) << reason;
  EXPECT_TRUE(ParseInstallLink(L"\"" + fits + L"\"", &link, &reason)) << "the quotes do not count";
  EXPECT_FALSE(ParseInstallLink(fits + L"a", &link, &reason));
  EXPECT_EQ(L"it is longer than 2048 characters", reason);
  std::wstring long3000 = L"zansetup://install?app=" + std::wstring(3000, L'a');
  EXPECT_FALSE(ParseInstallLink(long3000, &link, &reason));
  EXPECT_EQ(L"it is longer than 2048 characters", reason);
}

TEST(InstallLink, OnlyALineThatBeginsWithTheSchemeIsALink) {
  const std::pair<const wchar_t*, bool> kLines[] = {
      {L"zansetup://install?app=Demo", true}, {L"\"zansetup://install?app=Demo\"", true}, {L"ZANSETUP:x", true},
      {L"App=Demo Ver=1.0", false}, {L"App=Demo zansetup://install?app=Other", false}, {L"zansetup", false},
      {L"", false}};
  for (const auto& line : kLines) EXPECT_EQ(line.second, IsInstallLinkLine(line.first)) << line.first;
}

// The arguments name only the product and the version.
TEST(InstallLink, TheCommandLineBecomesTheArgumentsOrTheRunEndsWithItsLine) {
  InstallLink link;
  link.product = L"Demo";
  EXPECT_EQ(L"App=Demo", InstallLinkArguments(link));
  zan_test::LogLinesAdded log;
  std::wstring line = L"\"zansetup://install?app=Demo&ver=1.0\"";
  EXPECT_TRUE(TakeInstallLink(&line));
  EXPECT_EQ(L"App=Demo Ver=1.0", line);
  // A plain command line, "Uac" and all, is not touched.
  line = L"App=Demo Uac=yes";
  EXPECT_TRUE(TakeInstallLink(&line));
  EXPECT_EQ(L"App=Demo Uac=yes", line);
  line = L"zansetup://install?app=Demo&uac=yes";
  EXPECT_FALSE(TakeInstallLink(&line));
  EXPECT_EQ(std::vector<std::string>{"the link is not usable, setup ends: the key \"uac\" is not allowed"},
            log.Messages());
}


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
