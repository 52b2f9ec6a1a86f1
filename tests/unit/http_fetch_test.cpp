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

// The fault server's body bytes (servers.py: pattern).
std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 31 + (i >> 12)) % 251);
  return bytes;
}

bool LastWriteTime(const std::wstring& path, FILETIME* time) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
  *time = data.ftLastWriteTime;
  return true;
}

unsigned long long Ticks(const FILETIME& time) {
  return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

std::vector<std::string> HeaderLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t begin = 0;
  for (size_t end; (end = text.find("\r\n", begin)) != std::string::npos; begin = end + 2) {
    lines.push_back(text.substr(begin, end - begin));
  }
  return lines;
}

// The value of the first header line named `name` (exact case), or "<absent>".
std::string HeaderValue(const std::vector<std::string>& lines, const std::string& name) {
  for (const std::string& line : lines) {
    if (line.compare(0, name.size() + 2, name + ": ") == 0) return line.substr(name.size() + 2);
  }
  return "<absent>";
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
  EXPECT_TRUE(Pattern(123457) == body);
  // Without a Content-Length the body ends where the chunks end.
  ASSERT_EQ(S_OK, fetch.FetchToString(Fault(L"/chunked/100000"), L"", nullptr, body));
  EXPECT_TRUE(Pattern(100000) == body);
}

TEST_F(HttpFetch, BodiesArriveInFilesWithTheServersDate) {
  CSimpleHttpFetch fetch;
  for (const wchar_t* name : {L"small.txt", L"multi.bin"}) {
    std::wstring target = folder_.File(name);
    ASSERT_TRUE(WriteFileBytes(target, "an older file"));
    ASSERT_EQ(S_OK, fetch.FetchToFile(Nginx(L"/") + name, L"", target, nullptr)) << name;
    EXPECT_TRUE(ServedFile(name) == ReadFileBytes(target)) << name;
    EXPECT_FALSE(FileExists(target + L".tmp"));
    FILETIME served = {}, fetched = {};
    ASSERT_TRUE(LastWriteTime(servers_.nginxRoot + name, &served));
    ASSERT_TRUE(LastWriteTime(target, &fetched));
    EXPECT_EQ(Ticks(served), Ticks(fetched)) << name;
  }

  // One missing folder level is created for the file.
  std::wstring nested = folder_.File(L"new\\dated.bin");
  ASSERT_EQ(S_OK, fetch.FetchToFile(Fault(L"/lastmod/5000?date=Wed,%2021%20Oct%202015%2007:28:09%20GMT"),
                                    L"", nested, nullptr));
  EXPECT_TRUE(Pattern(5000) == ReadFileBytes(nested));
  SYSTEMTIME date = {2015, 10, 3, 21, 7, 28, 9, 0};
  FILETIME expected = {}, fetched = {};
  ASSERT_TRUE(::SystemTimeToFileTime(&date, &expected));
  ASSERT_TRUE(LastWriteTime(nested, &fetched));
  EXPECT_EQ(Ticks(expected), Ticks(fetched));

  // Without Last-Modified the file keeps the time it was written.
  std::wstring undated = folder_.File(L"undated.bin");
  ASSERT_EQ(S_OK, fetch.FetchToFile(Fault(L"/nolastmod/3000"), L"", undated, nullptr));
  FILETIME now = {};
  ::GetSystemTimeAsFileTime(&now);
  ASSERT_TRUE(LastWriteTime(undated, &fetched));
  EXPECT_LT(Ticks(now) - Ticks(fetched), 600ull * 10000000);
}

TEST_F(HttpFetch, AnEmptyBodyIsNoFile) {
  CSimpleHttpFetch fetch;
  std::wstring target = folder_.File(L"kept.bin");
  ASSERT_TRUE(WriteFileBytes(target, "kept"));
  EXPECT_EQ(1, fetch.FetchToFile(Nginx(L"/empty.bin"), L"", target, nullptr));
  EXPECT_EQ(1, fetch.FetchToFile(Fault(L"/empty"), L"", target, nullptr));
  EXPECT_EQ(200, fetch.status());
  EXPECT_EQ("kept", ReadFileBytes(target));
  EXPECT_FALSE(FileExists(target + L".tmp"));

  std::wstring fresh = folder_.File(L"fresh.bin");
  EXPECT_EQ(1, fetch.FetchToFile(Nginx(L"/empty.bin"), L"", fresh, nullptr));
  EXPECT_FALSE(FileExists(fresh));
  EXPECT_FALSE(FileExists(fresh + L".tmp"));
}

TEST_F(HttpFetch, AnotherStatusGivesOneAndLeavesTheOutputsAlone) {
  CSimpleHttpFetch fetch;
  std::string body = "unchanged";
  EXPECT_EQ(1, fetch.FetchToString(Fault(L"/status/404"), L"", nullptr, body));
  EXPECT_EQ(404, fetch.status());
  EXPECT_EQ("unchanged", body);
  EXPECT_EQ(1, fetch.FetchToString(Fault(L"/status/500"), L"", nullptr, body));
  EXPECT_EQ(500, fetch.status());
  EXPECT_EQ("unchanged", body);

  std::wstring target = folder_.File(L"kept.bin");
  ASSERT_TRUE(WriteFileBytes(target, "kept"));
  EXPECT_EQ(1, fetch.FetchToFile(Nginx(L"/no-such-file"), L"", target, nullptr));
  EXPECT_EQ(404, fetch.status());
  EXPECT_EQ("kept", ReadFileBytes(target));
  EXPECT_FALSE(FileExists(target + L".tmp"));

  ASSERT_EQ(S_OK, fetch.FetchToString(Nginx(L"/small.txt"), L"", nullptr, body));
  EXPECT_EQ(200, fetch.status());
}

TEST_F(HttpFetch, NoConnectionFailsAndKeepsTheLastStatus) {
  // Port 1 on loopback: nothing listens there.
  CSimpleHttpFetch fresh;
  std::string body = "unchanged";
  EXPECT_EQ(E_FAIL, fresh.FetchToString(L"http://127.0.0.1:1/x", L"", nullptr, body));
  EXPECT_EQ(200, fresh.status());
  EXPECT_EQ("unchanged", body);

  CSimpleHttpFetch used;
  EXPECT_EQ(1, used.FetchToString(Fault(L"/status/403"), L"", nullptr, body));
  std::wstring target = folder_.File(L"kept.bin");
  ASSERT_TRUE(WriteFileBytes(target, "kept"));
  EXPECT_EQ(E_FAIL, used.FetchToFile(L"http://127.0.0.1:1/x", L"", target, nullptr));
  EXPECT_EQ(403, used.status());
  EXPECT_EQ("kept", ReadFileBytes(target));

  EXPECT_EQ(E_FAIL, used.FetchToString(L"", L"", nullptr, body));
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

// Documents are refused past their cap whether or not they announce their
// length, before more than one read beyond it is held or stored.
TEST_F(HttpFetch, TheSizeCapRefusesLongerBodies) {
  CSimpleHttpFetch fetch;
  fetch.set_size_cap(1000);
  std::string body;
  ASSERT_EQ(S_OK, fetch.FetchToString(Nginx(L"/small.txt"), L"", nullptr, body));
  EXPECT_EQ(1000u, body.size());
  for (const std::wstring& url : {Nginx(L"/multi.bin"), Fault(L"/chunked/300000")}) {
    zan_test::LogLinesAdded log;
    body = "unchanged";
    EXPECT_EQ(CSimpleHttpFetch::kTooLarge, fetch.FetchToString(url, L"", nullptr, body));
    EXPECT_EQ("unchanged", body);
    std::wstring target = folder_.File(L"capped.bin");
    EXPECT_EQ(CSimpleHttpFetch::kTooLarge, fetch.FetchToFile(url, L"", target, nullptr));
    EXPECT_FALSE(FileExists(target));
    EXPECT_FALSE(FileExists(target + L".tmp"));
    const std::string line = "refused an answer larger than 1000 bytes, url: " + WideToUtf8(url);
    EXPECT_EQ((std::vector<std::string>{line, line}), log.Messages());
  }
}

// The certificate is checked on every https port, a name mismatch is logged
// by name, and a redirect may raise http to https but never lower https.
TEST_F(HttpFetch, HttpsIsVerifiedOnAnyPortAndNeverFallsBackToHttp) {
  CSimpleHttpFetch fetch;
  std::string body;
  ASSERT_EQ(S_OK, fetch.FetchToString(servers_.nginxTls + L"/small.txt", L"", nullptr, body));
  EXPECT_EQ(ServedFile(L"small.txt"), body);
  body.clear();
  ASSERT_EQ(S_OK, fetch.FetchToString(Nginx(L"/to-https/small.txt"), L"", nullptr, body));
  EXPECT_EQ(ServedFile(L"small.txt"), body);
  // Posts too: nginx refuses them for a static file with 405 (and a plain
  // request to its TLS port with 400).
  EXPECT_EQ(1, fetch.PostForm(servers_.nginxTls + L"/small.txt", L"", L"a=1", nullptr, body));
  EXPECT_EQ(405, fetch.status());
  EXPECT_EQ(1, fetch.PostMultipart(servers_.nginxTls + L"/small.txt", L"", {{L"a", L"1"}}, {}, nullptr, body));
  EXPECT_EQ(405, fetch.status());

  // The certificate names "localhost", never an address.
  std::wstring byAddress = ReplaceAll(servers_.nginxTls, L"localhost", L"127.0.0.1") + L"/small.txt";
  const std::wstring downgrade = servers_.nginxTls + L"/to-http/small.txt";
  struct Row {
    std::wstring url;
    std::string line;
  } rows[] = {
      {byAddress, "the server's certificate is for another host name, error 12038, url: " + WideToUtf8(byAddress)},
      {downgrade, "refused a redirect from https to plain http, url: " + WideToUtf8(downgrade) +
                      ", to: " + WideToUtf8(Nginx(L"/small.txt"))},
  };
  for (const Row& row : rows) {
    zan_test::LogLinesAdded log;
    body = "unchanged";
    EXPECT_EQ(E_FAIL, fetch.FetchToString(row.url, L"", nullptr, body));
    EXPECT_EQ("unchanged", body);
    std::wstring target = folder_.File(L"refused.bin");
    EXPECT_EQ(E_FAIL, fetch.FetchToFile(row.url, L"", target, nullptr));
    EXPECT_FALSE(FileExists(target));
    EXPECT_EQ((std::vector<std::string>{row.line, row.line}), log.Messages());
  }
}

// (A chunked body cut short is not among these: Wine's WinINet reports its
// end as a clean one, so no caller of it can tell.)
TEST_F(HttpFetch, ABodyCutShortIsNeverDeliveredAsWhole) {
  CSimpleHttpFetch fetch;
  for (const wchar_t* path : {L"/short/10000", L"/drop/200000", L"/short/300000"}) {
    std::string body = "unchanged";
    EXPECT_EQ(E_FAIL, fetch.FetchToString(Fault(path), L"", nullptr, body)) << path;
    EXPECT_TRUE(body == "unchanged") << path << ": " << body.size() << " bytes";

    std::wstring kept = folder_.File(L"kept.bin");
    ASSERT_TRUE(WriteFileBytes(kept, "kept"));
    HRESULT result = fetch.FetchToFile(Fault(path), L"", kept, nullptr);
    EXPECT_TRUE(FAILED(result)) << path << " gave " << result;
    EXPECT_TRUE(ReadFileBytes(kept) == "kept") << path;
    EXPECT_FALSE(FileExists(kept + L".tmp")) << path;

    std::wstring fresh = folder_.File(L"fresh.bin");
    EXPECT_TRUE(FAILED(fetch.FetchToFile(Fault(path), L"", fresh, nullptr))) << path;
    EXPECT_FALSE(FileExists(fresh)) << path;
  }
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

TEST_F(HttpFetch, RequestsCarryTheDefaultHeadersAndTheExtraLines) {
  CSimpleHttpFetch fetch;
  std::string echoed;
  ASSERT_EQ(S_OK, fetch.FetchToString(Fault(L"/echo-headers"), L"X-Extra: one\r\nX-More: two\r\n",
                                      nullptr, echoed));
  std::vector<std::string> lines = HeaderLines(echoed);
  EXPECT_EQ("image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/x-shockwave-flash, "
            "application/vnd.ms-excel, application/vnd.ms-powerpoint, application/msword, */*",
            HeaderValue(lines, "Accept"));
  EXPECT_EQ("zh-cn", HeaderValue(lines, "Accept-Language"));
  EXPECT_EQ("application/x-www-form-urlencoded", HeaderValue(lines, "Content-Type"));
  EXPECT_EQ("SimpleHttpFetch", HeaderValue(lines, "User-Agent"));
  EXPECT_EQ("one", HeaderValue(lines, "X-Extra"));
  EXPECT_EQ("two", HeaderValue(lines, "X-More"));
  EXPECT_EQ("<absent>", HeaderValue(lines, "Range"));
}

TEST_F(HttpFetch, TheObjectsHeaderBlockReplacesDefaultAndExtraLines) {
  CSimpleHttpFetch fetch;
  fetch.set_header_block(L"X-Block: yes\r\nAccept-Language: en-us\r\n");
  std::string echoed;
  ASSERT_EQ(S_OK, fetch.FetchToString(Fault(L"/echo-headers"), L"X-Extra: one\r\n", nullptr, echoed));
  std::vector<std::string> lines = HeaderLines(echoed);
  EXPECT_EQ("yes", HeaderValue(lines, "X-Block"));
  EXPECT_EQ("en-us", HeaderValue(lines, "Accept-Language"));
  EXPECT_EQ("<absent>", HeaderValue(lines, "X-Extra"));
  EXPECT_EQ(std::string::npos, echoed.find("image/gif"));
  EXPECT_EQ("application/x-www-form-urlencoded", HeaderValue(lines, "Content-Type"));
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
  EXPECT_EQ("no-such-host.invalid", HeaderValue(HeaderLines(echoed), "Host"));

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
