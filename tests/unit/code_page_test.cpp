#include <gtest/gtest.h>

#include <string>

#include "setup/http/code_page.h"

namespace zan {
namespace {

struct Case {
  const wchar_t* contentType;
  const wchar_t* charset;
  int codePage;
};

TEST(DetectCodePage, KnownCharsetsMapToTheirCodePages) {
  const Case cases[] = {
      {L"text/html; charset=gb2312", L"GB2312", 936},
      {L"text/html;charset=GBK", L"GBK", 936},
      {L"text/plain; charset=euc-kr", L"EUC-KR", 949},
      {L"text/plain; charset=EUC-TW", L"EUC-TW", 950},
      {L"text/plain; charset=euc-jp; format=flowed", L"EUC-JP", 932},
      {L"text/plain; charset=johab", L"JOHAB", 1361},
      {L"text/html; charset=ISO-8859-15", L"ISO-8859-15", 28605},
  };
  for (const Case& c : cases) {
    std::wstring charset = L"before";
    EXPECT_EQ(c.codePage, DetectCodePage(c.contentType, &charset)) << c.contentType;
    EXPECT_EQ(c.charset, charset) << c.contentType;
  }
  for (int part = 1; part <= 9; ++part) {
    std::wstring name = L"iso-8859-" + std::to_wstring(part);
    std::wstring charset;
    EXPECT_EQ(28590 + part, DetectCodePage(L"text/html; charset=" + name, &charset)) << name;
    EXPECT_EQ(L"ISO-8859-" + std::to_wstring(part), charset);
  }
}

TEST(DetectCodePage, UnknownNamesGiveUtf8ButAreStillRecorded) {
  const Case cases[] = {
      {L"text/html; charset=utf-8", L"UTF-8", 65001},
      {L"text/html; charset=ISO-8859-10", L"ISO-8859-10", 65001},
      {L"text/html; charset=ISO-8859-1X", L"ISO-8859-1X", 65001},  // no prefix match
      {L"text/html; charset=big5_hkscs;x", L"BIG5_HKSCS", 65001},
  };
  for (const Case& c : cases) {
    std::wstring charset = L"before";
    EXPECT_EQ(c.codePage, DetectCodePage(c.contentType, &charset)) << c.contentType;
    EXPECT_EQ(c.charset, charset) << c.contentType;
  }
}

TEST(DetectCodePage, NoLowerCaseKeyWithATokenLeavesTheCharsetAlone) {
  const wchar_t* noMatch[] = {
      L"text/html; Charset=gb2312",   // the key is matched case-sensitively
      L"text/html; CHARSET=GBK",
      L"text/html; charset=\"gbk\"",  // a quote is not a token character
      L"text/html; charset= gbk",
      L"text/html; charset=",
      L"text/html",
      L"",
  };
  for (const wchar_t* contentType : noMatch) {
    std::wstring charset = L"GB2312";
    EXPECT_EQ(65001, DetectCodePage(contentType, &charset)) << contentType;
    EXPECT_EQ(L"GB2312", charset) << contentType;
  }
}

TEST(DetectCodePage, TheTokenEndsAtTheFirstOtherCharacter) {
  std::wstring charset;
  EXPECT_EQ(936, DetectCodePage(L"text/html; charset=gb2312;q=1", &charset));
  EXPECT_EQ(L"GB2312", charset);
  EXPECT_EQ(65001, DetectCodePage(L"text/html; charset=gb2312x", &charset));
  EXPECT_EQ(L"GB2312X", charset);
  // A long value before the key, as a server may send, does not hide it.
  EXPECT_EQ(936, DetectCodePage(L"text/html; x=" + std::wstring(5000, L'a') + L"; charset=gbk", &charset));
  EXPECT_EQ(L"GBK", charset);
}

}  // namespace
}  // namespace zan
