// CSimpleHttpFetch against real servers on loopback: nginx for ordinary
// files, the fault server (tests/e2e/servers.py) for broken answers.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "setup/common/files.h"
#include "setup/common/string_util.h"
#include "setup/http/http_url.h"
#include "setup/http/simple_http_fetch.h"
#include "test_util.h"

namespace zan {
namespace {

using zan_test::FaultPattern;
using zan_test::HeaderValue;
using zan_test::ReadFileBytes;
using zan_test::WriteFileBytes;

unsigned long long FileTimeTicks(const FILETIME& time) {
  return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// A file's last-write time in FILETIME ticks, 0 when it has none.
unsigned long long WriteTicks(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  const bool found = ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
  return found ? FileTimeTicks(data.ftLastWriteTime) : 0;
}

class HttpFetch : public zan_test::ServerTest {};

// What each answer leaves in memory and in a file (one already there, or one
// in a folder made for it). A body arrives whole under a size cap of exactly
// its length, its file dated by its Last-Modified or, without one, when it
// was written. An answer that is no file leaves the string (an empty body:
// empty) and a file already there as they were, no fresh or partial file,
// and the last status (200 before any); each refusal is logged. (Wine's
// WinINet reports a chunked body cut short as ended cleanly: no row for it.)
TEST_F(HttpFetch, EachAnswerLeavesItsBodyOrTheOutputsAsTheyWere) {
  ASSERT_EQ(0u, servers_.nginx.find(L"http://"));
  ASSERT_GT(ServedFile(L"multi.bin").size(), 3u * 1024 * 1024);
  const HRESULT kAnyFailure = E_UNEXPECTED, kTooLarge = CSimpleHttpFetch::kTooLarge;
  // nginx's files and the fault server's answers carry one date.
  const unsigned long long kFixed = WriteTicks(servers_.nginxRoot + L"small.txt"), kWhenWritten = 1;
  const std::wstring byAddress = ReplaceAll(servers_.nginxTls, L"localhost", L"127.0.0.1") + L"/small.txt";
  const std::wstring downgrade = servers_.nginxTls + L"/to-http/small.txt";
  const std::string small = ServedFile(L"small.txt");
  const std::string tooLarge = "refused an answer larger than 1000 bytes, url: ";
  const struct {
    std::wstring url;
    HRESULT inMemory, inFile;
    int status;               // after the row; 0: not checked
    std::string line;         // logged by each fetch; empty: not checked
    std::string body;         // when it arrives
    unsigned long long date;  // of its file
  } rows[] = {
      {L"http://127.0.0.1:1/x", E_FAIL, E_FAIL, 200},  // nothing listens there
      {Nginx(L"/small.txt"), S_OK, S_OK, 200, "", small, kFixed},
      {Nginx(L"/multi.bin"), S_OK, S_OK, 200, "", ServedFile(L"multi.bin"), kFixed},
      {Nginx(L"/sub/page.html"), S_OK, S_OK, 200, "", ServedFile(L"sub/page.html"), kFixed},
      {servers_.nginx.substr(7) + L"/small.txt", S_OK, S_OK, 200, "", small, kFixed},
      {servers_.nginxTls + L"/small.txt", S_OK, S_OK, 200, "", small, kFixed},
      {Nginx(L"/to-https/small.txt"), S_OK, S_OK, 200, "", small, kFixed},
      {Fault(L"/big/123457"), S_OK, S_OK, 200, "", FaultPattern(123457), kFixed},
      // Without a Content-Length the body ends where the chunks end.
      {Fault(L"/chunked/100000"), S_OK, S_OK, 200, "", FaultPattern(100000), kWhenWritten},
      {Fault(L"/nolastmod/3000"), S_OK, S_OK, 200, "", FaultPattern(3000), kWhenWritten},
      // 21 October 2015 07:28:09 UTC, in FILETIME ticks.
      {Fault(L"/lastmod/5000?date=Wed,%2021%20Oct%202015%2007:28:09%20GMT"), S_OK, S_OK, 200, "",
       FaultPattern(5000), 130898860890000000ull},
      // Header values far longer than any fixed buffer.
      {Fault(L"/long-headers/3000"), S_OK, S_OK, 200, "", "long\n", kFixed},
      {Fault(L"/long-headers/20000"), S_OK, S_OK, 200, "", "long\n", kFixed},
      {Nginx(L"/empty.bin"), S_OK, 1, 200},
      {Fault(L"/empty"), S_OK, 1, 200},
      {Fault(L"/status/403"), 1, 1, 403},
      {Fault(L"/status/500"), 1, 1, 500},
      {Nginx(L"/no-such-file"), 1, 1, 404},
      {L"http://127.0.0.1:1/x", E_FAIL, E_FAIL, 404},
      {L"", E_FAIL, E_FAIL, 404},
      // The certificate names "localhost", never an address.
      {byAddress, E_FAIL, E_FAIL, 0,
       "the server's certificate is for another host name, error 12038, url: " + WideToUtf8(byAddress)},
      {downgrade, E_FAIL, E_FAIL, 0,
       "refused a redirect from https to plain http, url: " + WideToUtf8(downgrade) + ", to: " +
           WideToUtf8(Nginx(L"/small.txt"))},
      {Fault(L"/short/10000"), E_FAIL, kAnyFailure, 0},
      {Fault(L"/drop/200000"), E_FAIL, kAnyFailure, 0},
      {Fault(L"/short/300000"), E_FAIL, kAnyFailure, 0},
      {Nginx(L"/multi.bin"), kTooLarge, kTooLarge, 0, tooLarge + WideToUtf8(Nginx(L"/multi.bin"))},
      {Fault(L"/chunked/300000"), kTooLarge, kTooLarge, 0, tooLarge + WideToUtf8(Fault(L"/chunked/300000"))},
  };
  CSimpleHttpFetch fetch;
  const std::wstring kept = folder_.File(L"kept.bin");
  for (const auto& row : rows) {
    SCOPED_TRACE(WideToUtf8(row.url));
    const bool arrives = row.inFile == S_OK;
    const unsigned long long cap = arrives ? row.body.size() : CSimpleHttpFetch::kNoSizeCap;
    fetch.set_size_cap(row.inMemory == kTooLarge ? 1000 : cap);
    zan_test::LogLinesAdded log;
    std::string body = "unchanged";
    EXPECT_EQ(row.inMemory, fetch.FetchToString(row.url, L"", nullptr, body));
    EXPECT_TRUE((row.inMemory == S_OK ? row.body : "unchanged") == body) << body.size() << " bytes";
    ASSERT_TRUE(WriteFileBytes(kept, "kept"));
    const std::wstring fresh = folder_.File(zan_test::UniqueToken(L"new") + L"\\fresh.bin");
    for (const std::wstring& target : {kept, fresh}) {
      const HRESULT result = fetch.FetchToFile(row.url, L"", target, nullptr);
      EXPECT_TRUE(row.inFile == kAnyFailure ? FAILED(result) : result == row.inFile) << result;
      EXPECT_TRUE((arrives ? row.body : target == kept ? "kept" : "") == ReadFileBytes(target));
      EXPECT_EQ(arrives || target == kept, FileExists(target));
      EXPECT_FALSE(FileExists(target + L".tmp"));
      if (!arrives) continue;
      FILETIME now = {};
      ::GetSystemTimeAsFileTime(&now);
      if (row.date == kWhenWritten) {
        EXPECT_LT(FileTimeTicks(now) - WriteTicks(target), 600ull * 10000000);
      } else {
        EXPECT_EQ(row.date, WriteTicks(target));
      }
    }
    EXPECT_EQ(row.status ? row.status : fetch.status(), fetch.status());
    const std::vector<std::string> lines = log.Messages();
    EXPECT_EQ(row.line.empty() ? lines : std::vector<std::string>(3, row.line), lines);
  }
}

// Each wait ends before the server would have answered in full: had it
// waited, the answer would have come whole (S_OK).
TEST_F(HttpFetch, AStalledServerRunsIntoTheDeadline) {
  CSimpleHttpFetch fetch;
  fetch.set_timeout(1500);
  std::string body = "unchanged";
  EXPECT_EQ(E_ABORT, fetch.FetchToString(Fault(L"/stall/4"), L"", nullptr, body));
  EXPECT_EQ("unchanged", body);

  // A body that stops flowing: the file operation checks after each piece.
  std::wstring target = folder_.File(L"kept.bin");
  ASSERT_TRUE(WriteFileBytes(target, "kept"));
  EXPECT_EQ(E_ABORT, fetch.FetchToFile(Fault(L"/stall-body/3"), L"", target, nullptr));
  EXPECT_EQ("kept", ReadFileBytes(target));

  // Reading into memory has no deadline: the receive time-out ends the wait.
  EXPECT_EQ(E_FAIL, fetch.FetchToString(Fault(L"/stall-body/60"), L"", nullptr, body));
  EXPECT_EQ("unchanged", body);
}

TEST_F(HttpFetch, TheByteLimitCutsTheBodyWithinOneRead) {
  CSimpleHttpFetch fetch;
  fetch.set_byte_limit(10000);
  std::string body;
  ASSERT_EQ(S_OK, fetch.FetchToString(Nginx(L"/multi.bin"), L"", nullptr, body));
  const std::wstring target = folder_.File(L"limited.bin");
  ASSERT_EQ(S_OK, fetch.FetchToFile(Nginx(L"/multi.bin"), L"", target, nullptr));
  const std::string whole = ServedFile(L"multi.bin");
  for (const std::string& cut : {body, ReadFileBytes(target)}) {
    EXPECT_GE(cut.size(), 10000u);
    EXPECT_LT(cut.size(), 10000u + CSimpleHttpFetch::kReadSize);
    EXPECT_TRUE(whole.compare(0, cut.size(), cut) == 0);
  }
}

TEST_F(HttpFetch, AProxyIsUsedOnlyWhenItIsOneAndHasAHost) {
  // The fault server answers a proxy's absolute-form request line by its
  // path, so a host that does not exist reaches it only through the proxy.
  HttpUrlParts fault;
  ASSERT_TRUE(CrackHttpUrl(servers_.fault, &fault));
  ProxySetting proxy = {4, fault.host, fault.port, L"", L""};
  CSimpleHttpFetch fetch;
  std::string echoed;
  ASSERT_EQ(S_OK, fetch.FetchToString(L"http://no-such-host.invalid/echo-headers", L"", &proxy, echoed));
  EXPECT_EQ("no-such-host.invalid", HeaderValue(echoed, "Host"));

  // A direct connection, or no host, means no proxy.
  for (ProxySetting unused : {ProxySetting{5, fault.host, fault.port, L"", L""},
                              ProxySetting{4, L"", fault.port, L"", L""}}) {
    std::string body;
    ASSERT_EQ(S_OK, fetch.FetchToString(Nginx(L"/small.txt"), L"", &unused, body));
    EXPECT_TRUE(ServedFile(L"small.txt") == body);
    EXPECT_EQ(E_FAIL, fetch.FetchToString(L"http://no-such-host.invalid/echo-headers", L"", &unused, body));
  }
}

// The charset of the last answer that names a usable one; none usable:
// UTF-8, and the charset named before stays.
TEST_F(HttpFetch, TheCharsetComesFromTheLastContentType) {
  const struct {
    const wchar_t *path, *charset;
    int codePage;
  } rows[] = {
      {L"/charset/gb2312", L"GB2312", 936},
      {L"/charset/ISO-8859-15", L"ISO-8859-15", 28605},
      {L"/charset-capital/gbk", L"ISO-8859-15", 65001},
      {L"/charset-quoted/gbk", L"ISO-8859-15", 65001},
      {L"/no-content-type", L"ISO-8859-15", 65001},
      // Far past any fixed buffer. (Wine's WinINet cuts a header line at
      // about 4 KiB, so the charset is looked for below that.)
      {L"/long-headers/3000", L"GBK", 936},
  };
  CSimpleHttpFetch fetch;
  std::string body;
  for (const auto& row : rows) {
    ASSERT_EQ(S_OK, fetch.FetchToString(Fault(row.path), L"", nullptr, body)) << row.path;
    EXPECT_EQ(row.charset, fetch.charset()) << row.path;
    EXPECT_EQ(row.codePage, fetch.code_page()) << row.path;
  }
}

// Content-Length and the numbers of Content-Range: digits, nothing else,
// and nothing that wraps around.
TEST(HeaderNumber, DigitsOnlyAndNoOverflow) {
  const std::pair<const wchar_t*, unsigned long long> valid[] = {
      {L"0", 0}, {L" 2048001\t", 2048001}, {L"18446744073709551615", 18446744073709551615ull}};
  for (const auto& row : valid) {
    unsigned long long value = 7;
    EXPECT_TRUE(ParseDecimal(row.first, &value)) << row.first;
    EXPECT_EQ(row.second, value) << row.first;
  }
  for (const wchar_t* text : {L"18446744073709551616", L"99999999999999999999", L"", L" ", L"*", L"+1", L"-1",
                              L"12x", L"1 2", L"0x10"}) {
    unsigned long long value = 7;
    EXPECT_FALSE(ParseDecimal(text, &value)) << text;
    EXPECT_EQ(7u, value) << text;
  }
}

// Without a scheme: http, on port 80 unless given. TLS by scheme in any case
// and on any port, or by port 443; no flag relaxes a certificate check or
// lets https fall back to http.
TEST(HttpUrl, PartsAndFlagsFollowTheAddress) {
  const struct {
    const wchar_t *url, *scheme, *host, *object;
    int port;
    bool tls;
  } rows[] = {
      {L"http://example.test:8080/a/b.xml?x=1&y=2", L"http", L"example.test", L"/a/b.xml?x=1&y=2", 8080, false},
      {L"example.test/zansetup/new.xml", L"http", L"example.test", L"/zansetup/new.xml", 80, false},
      {L"127.0.0.1:8780/x", L"http", L"127.0.0.1", L"/x", 8780, false},
      {L"https://example.test/s", L"https", L"example.test", L"/s", 443, true},
      {L"https://example.test:8443/", L"https", L"example.test", L"/", 8443, true},
      {L"HTTPS://example.test:8443/", L"HTTPS", L"example.test", L"/", 8443, true},
      {L"http://example.test:443/", L"http", L"example.test", L"/", 443, true},
  };
  const DWORD kPlain = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION |
                       INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS;
  HttpUrlParts parts;
  for (const auto& row : rows) {
    ASSERT_TRUE(CrackHttpUrl(row.url, &parts)) << row.url;
    EXPECT_EQ(row.scheme, parts.scheme) << row.url;
    EXPECT_EQ(row.host, parts.host) << row.url;
    EXPECT_EQ(row.port, parts.port) << row.url;
    EXPECT_EQ(row.object, parts.objectName) << row.url;
    EXPECT_EQ(row.tls ? kPlain | INTERNET_FLAG_SECURE : kPlain, RequestFlagsFor(parts)) << row.url;
  }
  EXPECT_FALSE(CrackHttpUrl(L"", &parts));
}

}  // namespace
}  // namespace zan
