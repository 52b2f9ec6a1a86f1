#include <gtest/gtest.h>

#include <string>

#include "setup/http/code_page.h"

namespace zan {
namespace {

// The charset of a Content-Type, upper-cased, and its code page: known
// names map to theirs, unknown ones give UTF-8 but are still recorded. The
// lower-case key must be followed by a token, which ends at the first
// character that is none; without one the charset seen before stays.
TEST(DetectCodePage, KnownCharsetsMapUnknownOnesGiveUtf8AndOnlyATokenIsRead) {
  const struct {
    std::wstring contentType;
    const wchar_t* charset;  // afterwards, from "BEFORE"
    int codePage;
  } cases[] = {
      {L"text/html; charset=gb2312", L"GB2312", 936},
      {L"text/html;charset=GBK", L"GBK", 936},
      {L"text/plain; charset=euc-kr", L"EUC-KR", 949},
      {L"text/plain; charset=EUC-TW", L"EUC-TW", 950},
      {L"text/plain; charset=euc-jp; format=flowed", L"EUC-JP", 932},
      {L"text/plain; charset=johab", L"JOHAB", 1361},
      {L"text/html; charset=ISO-8859-15", L"ISO-8859-15", 28605},
      {L"text/html; charset=gb2312;q=1", L"GB2312", 936},
      // A long value before the key, as a server may send, does not hide it.
      {L"text/html; x=" + std::wstring(5000, L'a') + L"; charset=gbk", L"GBK", 936},
      {L"text/html; charset=utf-8", L"UTF-8", 65001},
      {L"text/html; charset=ISO-8859-10", L"ISO-8859-10", 65001},
      {L"text/html; charset=ISO-8859-1X", L"ISO-8859-1X", 65001},  // no prefix match
      {L"text/html; charset=big5_hkscs;x", L"BIG5_HKSCS", 65001},
      {L"text/html; charset=gb2312x", L"GB2312X", 65001},
      {L"text/html; Charset=gb2312", L"BEFORE", 65001},  // the key is matched case-sensitively
      {L"text/html; CHARSET=GBK", L"BEFORE", 65001},
      {L"text/html; charset=\"gbk\"", L"BEFORE", 65001},  // a quote is not a token character
      {L"text/html; charset= gbk", L"BEFORE", 65001},
      {L"text/html; charset=", L"BEFORE", 65001},
      {L"text/html", L"BEFORE", 65001},
      {L"", L"BEFORE", 65001},
  };
  for (const auto& c : cases) {
    std::wstring charset = L"BEFORE";
    EXPECT_EQ(c.codePage, DetectCodePage(c.contentType, &charset)) << c.contentType.substr(0, 40);
    EXPECT_EQ(c.charset, charset) << c.contentType.substr(0, 40);
  }
  for (int part = 1; part <= 9; ++part) {
    std::wstring charset;
    EXPECT_EQ(28590 + part, DetectCodePage(L"text/html; charset=iso-8859-" + std::to_wstring(part), &charset));
    EXPECT_EQ(L"ISO-8859-" + std::to_wstring(part), charset);
  }
}

}  // namespace
}  // namespace zan
