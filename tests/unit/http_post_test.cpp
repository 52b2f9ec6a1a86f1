// Form posts, multipart uploads and cookies of CSimpleHttpFetch against the
// fault server's receiving routes (tests/e2e/servers.py).
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "setup/common/string_util.h"
#include "setup/http/simple_http_fetch.h"
#include "test_util.h"

namespace zan {
namespace {

using zan_test::ReadFileBytes;
using zan_test::TempFolder;
using zan_test::WriteFileBytes;

const char kBoundaryPrefix[] = "----------------------------1147826962";

// Bytes whose period does not divide the 1 MiB piece, so a lost or doubled
// piece shows in the digest.
std::string Bytes(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + seed + (i >> 20)) % 253);
  return bytes;
}

std::vector<std::string> Split(const std::string& text, const std::string& separator) {
  std::vector<std::string> pieces;
  size_t begin = 0;
  for (size_t end; (end = text.find(separator, begin)) != std::string::npos; begin = end + separator.size()) {
    pieces.push_back(text.substr(begin, end - begin));
  }
  if (begin < text.size()) pieces.push_back(text.substr(begin));
  return pieces;
}

using zan_test::HeaderValue;
using zan_test::UniqueToken;

// An echo-request answer is the request line, the header lines, a blank
// line and the body.
std::string RequestLine(const std::string& echo) { return echo.substr(0, echo.find("\r\n")); }
std::string RequestBody(const std::string& echo) {
  const size_t end = echo.find("\r\n\r\n");
  return end == std::string::npos ? "<no body>" : echo.substr(end + 4);
}

class HttpPost : public zan_test::ServerTest {
 protected:
  // A plain GET of a fault-server route, as text.
  std::string Ask(const std::wstring& path) const {
    CSimpleHttpFetch fetch;
    std::string body = "<no answer>";
    fetch.FetchToString(Fault(path), L"", nullptr, body);
    return body;
  }

  // Waits up to 20 s for the upload-hold state of `token` to start with `prefix`.
  std::string WaitForUploadState(const std::wstring& token, const std::string& prefix) const {
    std::string state;
    for (int i = 0; i < 200; ++i) {
      state = Ask(L"/upload-state/" + token);
      if (state.compare(0, prefix.size(), prefix) == 0) break;
      ::Sleep(100);
    }
    return state;
  }

  TempFolder folder_;
};

TEST_F(HttpPost, AFormPostCarriesTheQueryThenTheFormWithNothingBetween) {
  struct Row {
    const wchar_t* query;  // after the route's path
    const wchar_t* form;
    const char* body;
  } rows[] = {
      {L"?a=1", L"b=2", "a=1b=2"},
      {L"?", L"b=2", "b=2"},
      {L"", L"b=2", "b=2"},
      {L"?a=1&c=3", L"", "a=1&c=3"},
      {L"", L"name=\u5f20\u4e09&x=1", "name=\xe5\xbc\xa0\xe4\xb8\x89&x=1"},
  };
  CSimpleHttpFetch fetch;
  for (const Row& row : rows) {
    const std::wstring path = L"/echo-request/" + UniqueToken(L"form");
    std::string echo;
    ASSERT_EQ(S_OK, fetch.PostForm(Fault(path) + row.query, L"", row.form, nullptr, echo)) << row.query;
    EXPECT_EQ(200, fetch.status());
    EXPECT_EQ("POST " + WideToUtf8(path), RequestLine(echo)) << row.query;
    EXPECT_EQ(row.body, RequestBody(echo)) << row.query;
    EXPECT_EQ(std::to_string(strlen(row.body)), HeaderValue(echo, "Content-Length")) << row.query;
    EXPECT_EQ("application/x-www-form-urlencoded", HeaderValue(echo, "Content-Type"));
    EXPECT_EQ("zh-cn", HeaderValue(echo, "Accept-Language"));
  }
}

TEST_F(HttpPost, AFormPostToAnAddressThatDoesNotParseSendsNothing) {
  CSimpleHttpFetch fetch;
  std::string body = "unchanged";
  EXPECT_EQ(1, fetch.PostForm(Fault(L"/status/404"), L"", L"b=2", nullptr, body));
  EXPECT_EQ(404, fetch.status());
  EXPECT_EQ("unchanged", body);

  // Without its scheme the address does not parse; the fetches would retry
  // it with "http://" in front, the post must not.
  ASSERT_EQ(0u, servers_.fault.find(L"http://"));
  const std::wstring token = UniqueToken(L"bare");
  const std::wstring bare = servers_.fault.substr(7) + L"/echo-request/" + token;
  EXPECT_EQ(E_INVALIDARG, fetch.PostForm(bare + L"?a=1", L"", L"b=2", nullptr, body));
  EXPECT_EQ(E_INVALIDARG, fetch.PostForm(L"", L"", L"b=2", nullptr, body));
  EXPECT_EQ(404, fetch.status());
  EXPECT_EQ("unchanged", body);
  EXPECT_EQ("0\n", Ask(L"/recorded/" + token));

  // The same address reaches the server through a fetch, which the count sees.
  ASSERT_EQ(S_OK, fetch.FetchToString(bare, L"", nullptr, body));
  EXPECT_EQ("1\n", Ask(L"/recorded/" + token));
}

TEST(Multipart, BoundaryAndFileNames) {
  EXPECT_EQ(L"----------------------------11478269621700000000", MultipartBoundary(1700000000));
  // Only the low 32 bits, as a signed number.
  EXPECT_EQ(L"----------------------------1147826962-2147483643", MultipartBoundary(0x80000005ll));
  EXPECT_EQ(L"----------------------------11478269627", MultipartBoundary(0x100000007ll));

  EXPECT_EQ(L"b.txt", UploadFileName(L"C:\\a\\b.txt"));
  EXPECT_EQ(L"d e.bin", UploadFileName(L"C:\\a/b\\c/d e.bin"));
  EXPECT_EQ(L"d", UploadFileName(L"a/b/c\\d"));
  EXPECT_EQ(L"plain", UploadFileName(L"plain"));
  EXPECT_EQ(L"", UploadFileName(L"folder\\"));
}

TEST_F(HttpPost, AMultipartUploadArrivesWholeAndParses) {
  // One file over a piece and not a multiple of it; one with a non-ASCII
  // name, reached through a forward slash.
  const std::string big = Bytes(CSimpleHttpFetch::kUploadPieceSize * 3 / 2 + 17, 1);
  const std::string note = Bytes(5000, 2);
  const std::wstring bigPath = folder_.File(L"upload.bin");
  ASSERT_TRUE(::CreateDirectoryW(folder_.File(L"sub").c_str(), nullptr));
  const std::wstring notePath = folder_.File(L"sub/\u8bf4\u660e \u00fc.txt");
  ASSERT_TRUE(WriteFileBytes(bigPath, big));
  ASSERT_TRUE(WriteFileBytes(notePath, note));
  FormFields fields = {{L"zeta", L"last"}, {L"alpha", L"first \u4f60\u597d"}};
  FormFields files = {{L"upload", bigPath}, {L"note", notePath}};

  CSimpleHttpFetch fetch;
  std::string report;
  const __time64_t before = _time64(nullptr);
  ASSERT_EQ(S_OK, fetch.PostMultipart(Fault(L"/multipart/" + UniqueToken(L"mp")), L"", fields, files, nullptr,
                                      report));
  EXPECT_EQ(200, fetch.status());
  std::vector<std::vector<std::string>> lines;
  for (const std::string& line : Split(report, "\n")) lines.push_back(Split(line, "\t"));
  ASSERT_EQ(8u, lines.size()) << report;

  // The boundary carries the time of the upload.
  ASSERT_EQ("boundary", lines[3][0]);
  const std::string boundary = lines[3][1];
  ASSERT_EQ(0u, boundary.find(kBoundaryPrefix)) << boundary;
  const long long stamp = atoll(boundary.c_str() + strlen(kBoundaryPrefix));
  EXPECT_LE(static_cast<long long>(before) - 5, stamp);
  EXPECT_GE(static_cast<long long>(_time64(nullptr)) + 5, stamp);

  // The exact bytes: text parts by name, then file parts by name, each file
  // followed by CR LF, then the closing delimiter.
  const std::string expected =
      "--" + boundary + "\r\nContent-Disposition: form-data; name=\"alpha\"\r\n\r\n" +
      "first \xe4\xbd\xa0\xe5\xa5\xbd\r\n" + "--" + boundary +
      "\r\nContent-Disposition: form-data; name=\"zeta\"\r\n\r\nlast\r\n" + "--" + boundary +
      "\r\nContent-Disposition: form-data; name=\"note\"; "
      "filename=\"\xe8\xaf\xb4\xe6\x98\x8e \xc3\xbc.txt\"\r\nContent-Type: application/octet-stream\r\n\r\n" +
      note + "\r\n--" + boundary +
      "\r\nContent-Disposition: form-data; name=\"upload\"; filename=\"upload.bin\"\r\n"
      "Content-Type: application/octet-stream\r\n\r\n" +
      big + "\r\n--" + boundary + "--\r\n";
  EXPECT_EQ((std::vector<std::string>{"content-length", std::to_string(expected.size())}), lines[0]);
  EXPECT_EQ((std::vector<std::string>{"received", std::to_string(expected.size())}), lines[1]);
  EXPECT_EQ((std::vector<std::string>{"body-md5", zan_test::Md5Text(expected)}), lines[2]);

  // What the server's standard parser made of it.
  EXPECT_EQ((std::vector<std::string>{"text", "alpha", "first \xe4\xbd\xa0\xe5\xa5\xbd"}), lines[4]);
  EXPECT_EQ((std::vector<std::string>{"text", "zeta", "last"}), lines[5]);
  EXPECT_EQ((std::vector<std::string>{"file", "note", "\xe8\xaf\xb4\xe6\x98\x8e \xc3\xbc.txt",
                                      std::to_string(note.size()), zan_test::Md5Text(note)}),
            lines[6]);
  EXPECT_EQ((std::vector<std::string>{"file", "upload", "upload.bin", std::to_string(big.size()),
                                      zan_test::Md5Text(big)}),
            lines[7]);
}

TEST_F(HttpPost, MultipartHeadersFollowTheObjectsHeaderBlock) {
  CSimpleHttpFetch fetch;
  std::string echo;
  ASSERT_EQ(S_OK, fetch.PostMultipart(Fault(L"/echo-request/" + UniqueToken(L"mph")), L"X-Extra: one\r\n",
                                      {{L"k", L"v"}}, {}, nullptr, echo));
  EXPECT_EQ("text/html,application/xhtml+xml,application/xml, image/gif, image/x-xbitmap, image/jpeg, "
            "image/pjpeg, application/x-shockwave-flash, application/vnd.ms-excel, "
            "application/vnd.ms-powerpoint, application/msword, */*",
            HeaderValue(echo, "Accept"));
  EXPECT_EQ("zh-cn", HeaderValue(echo, "Accept-Language"));
  // The blank line in the default block does not cut off what follows it.
  EXPECT_EQ("one", HeaderValue(echo, "X-Extra"));
  const std::string type = HeaderValue(echo, "Content-Type");
  const std::string typePrefix =
      std::string("multipart/form-data; charset=UTF-8; boundary=") + kBoundaryPrefix;
  ASSERT_EQ(0u, type.find(typePrefix)) << type;
  const std::string boundary = type.substr(type.find("boundary=") + 9);
  const std::string body =
      "--" + boundary + "\r\nContent-Disposition: form-data; name=\"k\"\r\n\r\nv\r\n--" + boundary + "--\r\n";
  EXPECT_EQ(body, RequestBody(echo));
  EXPECT_EQ(std::to_string(body.size()), HeaderValue(echo, "Content-Length"));

  fetch.set_header_block(L"X-Block: yes\r\n");
  ASSERT_EQ(S_OK, fetch.PostMultipart(Fault(L"/echo-request/" + UniqueToken(L"mph")), L"X-Extra: one\r\n",
                                      {{L"k", L"v"}}, {}, nullptr, echo));
  EXPECT_EQ("yes", HeaderValue(echo, "X-Block"));
  EXPECT_EQ("<absent>", HeaderValue(echo, "X-Extra"));
  EXPECT_EQ(std::string::npos, echo.find("image/gif"));
  EXPECT_EQ(0u, HeaderValue(echo, "Content-Type").find(typePrefix));

  // Another status gives 1, and the answer is delivered all the same.
  EXPECT_EQ(1, fetch.PostMultipart(Fault(L"/status/404"), L"", {{L"k", L"v"}}, {}, nullptr, echo));
  EXPECT_EQ(404, fetch.status());
  EXPECT_EQ("status 404\n", echo);
}

TEST_F(HttpPost, AnUploadOfAFileThatCannotBeOpenedSendsNothing) {
  const std::wstring present = folder_.File(L"present.txt");
  ASSERT_TRUE(WriteFileBytes(present, "here"));
  // The readable file sorts first: nothing may go out before every file was checked.
  const std::vector<FormFields> cases = {
      {{L"a", present}, {L"b", folder_.File(L"missing.txt")}},
      {{L"a", present}, {L"b", folder_.File(L"")}},  // a folder, not a file
  };
  CSimpleHttpFetch fetch;
  for (const FormFields& files : cases) {
    const std::wstring token = UniqueToken(L"missing");
    std::string body = "unchanged";
    EXPECT_EQ(E_UNEXPECTED, fetch.PostMultipart(Fault(L"/multipart/" + token), L"", {{L"k", L"v"}}, files,
                                                nullptr, body));
    EXPECT_EQ("unchanged", body);
    EXPECT_EQ("0\n", Ask(L"/recorded/" + token));
  }
}

TEST_F(HttpPost, AnUploadWhoseFileChangesSizeIsAbandoned) {
  // Larger than what loopback buffers hold while the server stops reading,
  // so the change lands while the file is still being sent.
  const size_t size = 6 * CSimpleHttpFetch::kUploadPieceSize;
  for (bool grow : {false, true}) {
    const std::wstring path = folder_.File(grow ? L"growing.bin" : L"shrinking.bin");
    ASSERT_TRUE(WriteFileBytes(path, Bytes(size, 3)));
    const std::wstring token = UniqueToken(L"change");
    CSimpleHttpFetch fetch;
    fetch.set_timeout(60000);
    HRESULT result = S_OK;
    std::string body = "unchanged";
    std::thread upload([&] {
      result = fetch.PostMultipart(Fault(L"/upload-hold/" + token + L"/30"), L"", {}, {{L"f", path}}, nullptr,
                                   body);
    });
    const std::string held = WaitForUploadState(token, "holding");
    {
      HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
      EXPECT_NE(INVALID_HANDLE_VALUE, file);
      LARGE_INTEGER end;
      end.QuadPart = grow ? size + 4096 : 100000;
      EXPECT_TRUE(::SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && ::SetEndOfFile(file));
      ::CloseHandle(file);
    }
    Ask(L"/upload-release/" + token);
    upload.join();
    EXPECT_EQ("holding", held) << (grow ? "grow" : "shrink");
    EXPECT_EQ(E_UNEXPECTED, result) << (grow ? "grow" : "shrink");
    EXPECT_EQ("unchanged", body);

    // The server never got the announced body whole.
    const std::string state = WaitForUploadState(token, "received");
    unsigned long got = 0, announced = 0;
    ASSERT_EQ(2, sscanf(state.c_str(), "received %lu of %lu", &got, &announced)) << state;
    EXPECT_GT(announced, size);
    EXPECT_LT(got, announced) << (grow ? "grow" : "shrink");
  }
}

TEST_F(HttpPost, AStalledUploadRunsIntoTheDeadline) {
  const std::wstring path = folder_.File(L"stalled.bin");
  ASSERT_TRUE(WriteFileBytes(path, Bytes(4 * CSimpleHttpFetch::kUploadPieceSize, 4)));
  CSimpleHttpFetch fetch;
  fetch.set_timeout(1500);
  std::string body = "unchanged";
  const std::wstring token = UniqueToken(L"stall");
  EXPECT_EQ(E_ABORT, fetch.PostMultipart(Fault(L"/upload-hold/" + token + L"/60"), L"", {}, {{L"f", path}},
                                         nullptr, body));
  // Ended by our deadline, in the middle of the upload: the server still
  // holds it (bench/run_upload_bench.py measures how long that took).
  EXPECT_EQ("holding", Ask(L"/upload-state/" + token));
  Ask(L"/upload-release/" + token);
  EXPECT_EQ("unchanged", body);
}

class HttpCookie : public HttpPost {};

TEST_F(HttpCookie, CookiesTravelBothWays) {
  const std::wstring pid = std::to_wstring(::GetCurrentProcessId());
  // Set by the server, read back from the platform's store.
  const std::wstring served = L"zsServed" + pid;
  std::string answer;
  CSimpleHttpFetch fetch;
  ASSERT_EQ(S_OK, fetch.FetchToString(Fault(L"/set-cookie/" + served + L"/v1"), L"", nullptr, answer));
  std::wstring text = L"stale";
  EXPECT_EQ(S_OK, CSimpleHttpFetch::GetCookie(Fault(L"/"), served, text));
  EXPECT_NE(std::wstring::npos, text.find(served + L"=v1")) << text;
  EXPECT_EQ(wcslen(text.c_str()), text.size()) << "no terminator inside the text";

  // Set by us, sent with the next request.
  const std::wstring ours = L"zsOurs" + pid;
  EXPECT_EQ(S_OK, CSimpleHttpFetch::SetCookie(Fault(L"/"), ours, L"v2"));
  ASSERT_EQ(S_OK, fetch.PostForm(Fault(L"/echo-request/" + UniqueToken(L"cookie")), L"", L"x=1", nullptr, answer));
  const std::string cookies = HeaderValue(answer, "Cookie");
  EXPECT_NE(std::string::npos, cookies.find(WideToUtf8(ours) + "=v2")) << cookies;
  EXPECT_NE(std::string::npos, cookies.find(WideToUtf8(served) + "=v1")) << cookies;

  // A URL without cookies: empty text, still 0.
  text = L"stale";
  EXPECT_EQ(S_OK, CSimpleHttpFetch::GetCookie(L"http://no-cookies.invalid/x", L"none", text));
  EXPECT_EQ(L"", text);
}

}  // namespace
}  // namespace zan
