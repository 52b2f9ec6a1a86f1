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

using zan::FileExists;
using zan_test::ReadFileBytes;
using zan_test::TempFolder;
using zan_test::WriteFileBytes;

using zan_test::FaultPattern;
using zan_test::HeaderValue;

// A file's last-write time in FILETIME ticks, 0 when it has none.
unsigned long long WriteTicks(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<unsigned long long>(data.ftLastWriteTime.dwHighDateTime) << 32) |
         data.ftLastWriteTime.dwLowDateTime;
}

class HttpFetch : public zan_test::ServerTest {
 protected:
  std::string ServedFile(const std::wstring& name) const { return ReadFileBytes(servers_.nginxRoot + name); }

  TempFolder folder_;
};

TEST_F(HttpFetch, BodiesArriveInMemoryByteForByte) {
  CSimpleHttpFetch fetch;
  for (const wchar_t* name : {L"small.txt", L"empty.bin", L"multi.bin", L"sub/page.html"}) {
    std::string expected = ServedFile(name);
    std::string body = "stale";
    ASSERT_EQ(S_OK, fetch.FetchToString(Nginx(L"/") + name, L"", nullptr, body)) << name;
    EXPECT_EQ(200, fetch.status());
    EXPECT_EQ(expected.size(), body.size()) << name;
    EXPECT_TRUE(expected == body) << name;
  }
  EXPECT_GT(ServedFile(L"multi.bin").size(), 3u * 1024 * 1024);

  std::string body;
  ASSERT_EQ(S_OK, fetch.FetchToString(Fault(L"/big/123457"), L"", nullptr, body));
  EXPECT_TRUE(FaultPattern(123457) == body);
  // Without a Content-Length the body ends where the chunks end.
  ASSERT_EQ(S_OK, fetch.FetchToString(Fault(L"/chunked/100000"), L"", nullptr, body));
  EXPECT_TRUE(FaultPattern(100000) == body);
}

TEST_F(HttpFetch, BodiesArriveInFilesWithTheServersDate) {
  CSimpleHttpFetch fetch;
  for (const wchar_t* name : {L"small.txt", L"multi.bin"}) {
    std::wstring target = folder_.File(name);
    ASSERT_TRUE(WriteFileBytes(target, "an older file"));
    ASSERT_EQ(S_OK, fetch.FetchToFile(Nginx(L"/") + name, L"", target, nullptr)) << name;
    EXPECT_TRUE(ServedFile(name) == ReadFileBytes(target)) << name;
    EXPECT_FALSE(FileExists(target + L".tmp"));
    EXPECT_EQ(WriteTicks(servers_.nginxRoot + name), WriteTicks(target)) << name;
  }

  // One missing folder level is created for the file.
  std::wstring nested = folder_.File(L"new\\dated.bin");
  ASSERT_EQ(S_OK, fetch.FetchToFile(Fault(L"/lastmod/5000?date=Wed,%2021%20Oct%202015%2007:28:09%20GMT"),
                                    L"", nested, nullptr));
  EXPECT_TRUE(FaultPattern(5000) == ReadFileBytes(nested));
  SYSTEMTIME date = {2015, 10, 3, 21, 7, 28, 9, 0};
  FILETIME expected = {};
  ASSERT_TRUE(::SystemTimeToFileTime(&date, &expected));
  EXPECT_EQ((static_cast<unsigned long long>(expected.dwHighDateTime) << 32) | expected.dwLowDateTime,
            WriteTicks(nested));

  // Without Last-Modified the file keeps the time it was written.
  std::wstring undated = folder_.File(L"undated.bin");
  ASSERT_EQ(S_OK, fetch.FetchToFile(Fault(L"/nolastmod/3000"), L"", undated, nullptr));
  FILETIME now = {};
  ::GetSystemTimeAsFileTime(&now);
  EXPECT_LT(((static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime) - WriteTicks(undated),
            600ull * 10000000);
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

// A body at the cap is read; https works on any port, also when a redirect
// raises http to it, and a post to it gets the server's answer.
TEST_F(HttpFetch, AtTheCapAndOverVerifiedHttpsAnAnswerIsRead) {
  CSimpleHttpFetch fetch;
  fetch.set_size_cap(1000);
  std::string body;
  ASSERT_EQ(S_OK, fetch.FetchToString(Nginx(L"/small.txt"), L"", nullptr, body));
  EXPECT_EQ(1000u, body.size());
  fetch.set_size_cap(CSimpleHttpFetch::kNoSizeCap);
  for (const std::wstring& url : {servers_.nginxTls + L"/small.txt", Nginx(L"/to-https/small.txt")}) {
    body.clear();
    ASSERT_EQ(S_OK, fetch.FetchToString(url, L"", nullptr, body));
    EXPECT_EQ(ServedFile(L"small.txt"), body);
  }
  // nginx refuses a post to a static file with 405 (and a plain request to
  // its TLS port with 400).
  EXPECT_EQ(1, fetch.PostForm(servers_.nginxTls + L"/small.txt", L"", L"a=1", nullptr, body));
  EXPECT_EQ(405, fetch.status());
  EXPECT_EQ(1, fetch.PostMultipart(servers_.nginxTls + L"/small.txt", L"", {{L"a", L"1"}}, {}, nullptr, body));
  EXPECT_EQ(405, fetch.status());
}

// What an answer that is no file leaves: the string as it was (an empty
// body: empty), a file already there as it was, no fresh or partial file;
// each refusal logged by what it was. Another status gives 1; no
// connection, no address, a refused certificate or redirect, a body cut
// short, E_FAIL, keeping the last status; a body past the cap, kTooLarge,
// whether or not it announced its length. (A chunked body cut short is not
// among these: Wine's WinINet reports its end as a clean one.)
TEST_F(HttpFetch, AnAnswerThatIsNoFileLeavesTheOutputsAlone) {
  const HRESULT kAnyFailure = E_UNEXPECTED;
  const std::wstring byAddress = ReplaceAll(servers_.nginxTls, L"localhost", L"127.0.0.1") + L"/small.txt";
  const std::wstring downgrade = servers_.nginxTls + L"/to-http/small.txt";
  const std::string tooLarge = "refused an answer larger than 1000 bytes, url: ";
  const struct {
    std::wstring url;
    HRESULT inMemory, inFile;
    int status;        // after the row; 0: not checked
    std::string line;  // logged by each fetch; empty: not checked
  } rows[] = {
      {Nginx(L"/empty.bin"), S_OK, 1, 200, ""},
      {Fault(L"/empty"), S_OK, 1, 200, ""},
      {Fault(L"/status/403"), 1, 1, 403, ""},
      {Fault(L"/status/500"), 1, 1, 500, ""},
      {Nginx(L"/no-such-file"), 1, 1, 404, ""},
      {L"http://127.0.0.1:1/x", E_FAIL, E_FAIL, 404, ""},  // nothing listens there
      {L"", E_FAIL, E_FAIL, 404, ""},
      // The certificate names "localhost", never an address.
      {byAddress, E_FAIL, E_FAIL, 0,
       "the server's certificate is for another host name, error 12038, url: " + WideToUtf8(byAddress)},
      {downgrade, E_FAIL, E_FAIL, 0,
       "refused a redirect from https to plain http, url: " + WideToUtf8(downgrade) + ", to: " +
           WideToUtf8(Nginx(L"/small.txt"))},
      {Fault(L"/short/10000"), E_FAIL, kAnyFailure, 0, ""},
      {Fault(L"/drop/200000"), E_FAIL, kAnyFailure, 0, ""},
      {Fault(L"/short/300000"), E_FAIL, kAnyFailure, 0, ""},
      {Nginx(L"/multi.bin"), CSimpleHttpFetch::kTooLarge, CSimpleHttpFetch::kTooLarge, 0,
       tooLarge + WideToUtf8(Nginx(L"/multi.bin"))},
      {Fault(L"/chunked/300000"), CSimpleHttpFetch::kTooLarge, CSimpleHttpFetch::kTooLarge, 0,
       tooLarge + WideToUtf8(Fault(L"/chunked/300000"))},
  };
  CSimpleHttpFetch fetch;
  const std::wstring kept = folder_.File(L"kept.bin"), fresh = folder_.File(L"fresh.bin");
  for (const auto& row : rows) {
    SCOPED_TRACE(WideToUtf8(row.url));
    fetch.set_size_cap(row.inMemory == CSimpleHttpFetch::kTooLarge ? 1000 : CSimpleHttpFetch::kNoSizeCap);
    zan_test::LogLinesAdded log;
    std::string body = "unchanged";
    EXPECT_EQ(row.inMemory, fetch.FetchToString(row.url, L"", nullptr, body));
    EXPECT_EQ(row.inMemory == S_OK ? "" : "unchanged", body);
    ASSERT_TRUE(WriteFileBytes(kept, "kept"));
    for (const std::wstring& target : {kept, fresh}) {
      const HRESULT result = fetch.FetchToFile(row.url, L"", target, nullptr);
      EXPECT_TRUE(row.inFile == kAnyFailure ? FAILED(result) : result == row.inFile) << result;
    }
    EXPECT_EQ(row.status ? row.status : fetch.status(), fetch.status());
    EXPECT_EQ("kept", ReadFileBytes(kept));
    for (const std::wstring& gone : {fresh, fresh + L".tmp", kept + L".tmp"}) EXPECT_FALSE(FileExists(gone));
    const std::vector<std::string> lines = log.Messages();
    EXPECT_EQ(row.line.empty() ? lines : std::vector<std::string>(3, row.line), lines);
  }
  // An object that never had an answer reports 200.
  CSimpleHttpFetch unused;
  std::string body;
  EXPECT_EQ(E_FAIL, unused.FetchToString(L"http://127.0.0.1:1/x", L"", nullptr, body));
  EXPECT_EQ(200, unused.status());
}

TEST_F(HttpFetch, TheByteLimitCutsTheBodyWithinOneRead) {
  CSimpleHttpFetch fetch;
  fetch.set_byte_limit(10000);
  std::string whole = ServedFile(L"multi.bin");
  std::string body;
  ASSERT_EQ(S_OK, fetch.FetchToString(Nginx(L"/multi.bin"), L"", nullptr, body));
  EXPECT_GE(body.size(), 10000u);
  EXPECT_LT(body.size(), 10000u + CSimpleHttpFetch::kReadSize);
  EXPECT_TRUE(whole.compare(0, body.size(), body) == 0);

  std::wstring target = folder_.File(L"limited.bin");
  ASSERT_EQ(S_OK, fetch.FetchToFile(Nginx(L"/multi.bin"), L"", target, nullptr));
  std::string file = ReadFileBytes(target);
  EXPECT_GE(file.size(), 10000u);
  EXPECT_LT(file.size(), 10000u + CSimpleHttpFetch::kReadSize);
  EXPECT_TRUE(whole.compare(0, file.size(), file) == 0);
}

// The default header lines and the caller's extra ones; an object's own
// header block replaces both, Content-Type aside.
TEST_F(HttpFetch, RequestsCarryTheDefaultOrTheObjectsHeaderLines) {
  CSimpleHttpFetch fetch;
  std::string echoed;
  ASSERT_EQ(S_OK, fetch.FetchToString(Fault(L"/echo-headers"), L"X-Extra: one\r\nX-More: two\r\n",
                                      nullptr, echoed));
  EXPECT_EQ("image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/x-shockwave-flash, "
            "application/vnd.ms-excel, application/vnd.ms-powerpoint, application/msword, */*",
            HeaderValue(echoed, "Accept"));
  const std::pair<const char*, const char*> kSent[] = {
      {"Accept-Language", "zh-cn"}, {"Content-Type", "application/x-www-form-urlencoded"},
      {"User-Agent", "SimpleHttpFetch"}, {"X-Extra", "one"}, {"X-More", "two"}, {"Range", "<absent>"}};
  for (const auto& header : kSent) EXPECT_EQ(header.second, HeaderValue(echoed, header.first)) << header.first;

  fetch.set_header_block(L"X-Block: yes\r\nAccept-Language: en-us\r\n");
  ASSERT_EQ(S_OK, fetch.FetchToString(Fault(L"/echo-headers"), L"X-Extra: one\r\n", nullptr, echoed));
  const std::pair<const char*, const char*> kBlock[] = {
      {"X-Block", "yes"}, {"Accept-Language", "en-us"}, {"X-Extra", "<absent>"},
      {"Content-Type", "application/x-www-form-urlencoded"}};
  for (const auto& header : kBlock) EXPECT_EQ(header.second, HeaderValue(echoed, header.first)) << header.first;
  EXPECT_EQ(std::string::npos, echoed.find("image/gif"));
}

TEST_F(HttpFetch, AnAddressWithoutSchemeIsFetchedOverHttp) {
  ASSERT_EQ(0u, servers_.nginx.find(L"http://"));
  std::wstring bare = servers_.nginx.substr(7) + L"/small.txt";
  CSimpleHttpFetch fetch;
  std::string body;
  ASSERT_EQ(S_OK, fetch.FetchToString(bare, L"", nullptr, body));
  EXPECT_TRUE(ServedFile(L"small.txt") == body);
  std::wstring target = folder_.File(L"bare.txt");
  ASSERT_EQ(S_OK, fetch.FetchToFile(bare, L"", target, nullptr));
  EXPECT_TRUE(ServedFile(L"small.txt") == ReadFileBytes(target));
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

TEST_F(HttpFetch, TheCharsetComesFromTheLastContentType) {
  CSimpleHttpFetch fetch;
  std::string body;
  ASSERT_EQ(S_OK, fetch.FetchToString(Fault(L"/charset/gb2312"), L"", nullptr, body));
  EXPECT_EQ(L"GB2312", fetch.charset());
  EXPECT_EQ(936, fetch.code_page());
  ASSERT_EQ(S_OK, fetch.FetchToString(Fault(L"/charset/ISO-8859-15"), L"", nullptr, body));
  EXPECT_EQ(L"ISO-8859-15", fetch.charset());
  EXPECT_EQ(28605, fetch.code_page());

  // No usable charset: UTF-8, and the charset of the previous answer stays.
  for (const wchar_t* path : {L"/charset-capital/gbk", L"/charset-quoted/gbk", L"/no-content-type"}) {
    ASSERT_EQ(S_OK, fetch.FetchToString(Fault(path), L"", nullptr, body)) << path;
    EXPECT_EQ(65001, fetch.code_page()) << path;
    EXPECT_EQ(L"ISO-8859-15", fetch.charset()) << path;
  }

  // Header values far longer than any fixed buffer. (Wine's WinINet cuts a
  // header line at about 4 KiB, so the charset is looked for below that.)
  ASSERT_EQ(S_OK, fetch.FetchToString(Fault(L"/long-headers/3000"), L"", nullptr, body));
  EXPECT_EQ("long\n", body);
  EXPECT_EQ(L"GBK", fetch.charset());
  EXPECT_EQ(936, fetch.code_page());
  for (const wchar_t* path : {L"/long-headers/3000", L"/long-headers/20000"}) {
    ASSERT_EQ(S_OK, fetch.FetchToString(Fault(path), L"", nullptr, body)) << path;
    EXPECT_EQ("long\n", body);
    std::wstring target = folder_.File(L"long.txt");
    ASSERT_EQ(S_OK, fetch.FetchToFile(Fault(path), L"", target, nullptr)) << path;
    EXPECT_EQ("long\n", ReadFileBytes(target));
  }
}

// Content-Length and the numbers of Content-Range: digits, nothing else,
// and nothing that wraps around.
TEST(HeaderNumber, DigitsOnlyAndNoOverflow) {
  struct Row {
    const wchar_t* text;
    bool valid;
    unsigned long long value;
  } rows[] = {
      {L"0", true, 0},
      {L" 2048001\t", true, 2048001},
      {L"18446744073709551615", true, 18446744073709551615ull},
      {L"18446744073709551616", false, 0},
      {L"99999999999999999999", false, 0},
      {L"", false, 0},
      {L" ", false, 0},
      {L"*", false, 0},
      {L"+1", false, 0},
      {L"-1", false, 0},
      {L"12x", false, 0},
      {L"1 2", false, 0},
      {L"0x10", false, 0},
  };
  for (const Row& row : rows) {
    unsigned long long value = 7;
    EXPECT_EQ(row.valid, ParseDecimal(row.text, &value)) << row.text;
    EXPECT_EQ(row.valid ? row.value : 7, value) << row.text;
  }
}

TEST(HttpUrl, PartsAndFlagsFollowTheAddress) {
  HttpUrlParts parts;
  ASSERT_TRUE(CrackHttpUrl(L"http://example.test:8080/a/b.xml?x=1&y=2", &parts));
  EXPECT_EQ(L"http", parts.scheme);
  EXPECT_EQ(L"example.test", parts.host);
  EXPECT_EQ(8080, parts.port);
  EXPECT_EQ(L"/a/b.xml?x=1&y=2", parts.objectName);

  // No flag that relaxes a certificate check or lets https fall back to http.
  const DWORD kPlain = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION |
                       INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS;
  // TLS by scheme, in any letter case and on any port, or by port 443.
  const struct {
    const wchar_t* url;
    DWORD flags;
  } rows[] = {{L"http://example.test:8080/", kPlain},
              {L"https://example.test/s", kPlain | INTERNET_FLAG_SECURE},
              {L"https://example.test:8443/", kPlain | INTERNET_FLAG_SECURE},
              {L"HTTPS://example.test:8443/", kPlain | INTERNET_FLAG_SECURE},
              {L"http://example.test:443/", kPlain | INTERNET_FLAG_SECURE}};
  for (const auto& row : rows) {
    ASSERT_TRUE(CrackHttpUrl(row.url, &parts)) << row.url;
    EXPECT_EQ(row.flags, RequestFlagsFor(parts)) << row.url;
  }

  ASSERT_TRUE(CrackHttpUrl(L"example.test/zansetup/new.xml", &parts));
  EXPECT_EQ(L"http", parts.scheme);
  EXPECT_EQ(L"example.test", parts.host);
  EXPECT_EQ(80, parts.port);
  EXPECT_EQ(L"/zansetup/new.xml", parts.objectName);

  ASSERT_TRUE(CrackHttpUrl(L"127.0.0.1:8780/x", &parts));
  EXPECT_EQ(L"127.0.0.1", parts.host);
  EXPECT_EQ(8780, parts.port);
  EXPECT_EQ(L"/x", parts.objectName);

  EXPECT_FALSE(CrackHttpUrl(L"", &parts));
}

}  // namespace
}  // namespace zan
