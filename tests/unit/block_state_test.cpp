// The bookkeeping of a resumable download: blocks handed out and completed,
// the bitmap layout and the block state file; and the headers read from an
// answer: Content-Range and Content-Type's charset.
#include <gtest/gtest.h>

#include <string>

#include "setup/common/string_util.h"
#include "setup/http/code_page.h"
#include "setup/http/file_block_info.h"
#include "setup/http/http_fetch_file.h"
#include "test_util.h"

namespace zan {
namespace {

// Done blocks and those in flight are never handed out again.
TEST(BlockState, BitmapMostSignificantBitFirstAndEachBlockHandedOutOnce) {
  EXPECT_EQ(20u, CFileBlockInfo::BlockCount(2048000, 102400));
  EXPECT_EQ(21u, CFileBlockInfo::BlockCount(2048001, 102400));
  EXPECT_EQ(1u, CFileBlockInfo::BlockCount(1, 102400));
  CFileBlockInfo state;
  state.ResetForSize(21ull * 102400);
  EXPECT_EQ(21u, state.blockCount);
  EXPECT_EQ("AAAA", EncodeBase64(state.bitmap));
  state.MarkBlockDone(0);
  state.MarkBlockDone(9);
  EXPECT_EQ((std::vector<unsigned char>{0x80, 0x40, 0}), state.bitmap);
  std::vector<unsigned> handed;
  for (unsigned i = state.NextBlock(); i != CFileBlockInfo::kNoBlock; i = state.NextBlock()) handed.push_back(i);
  EXPECT_EQ((std::vector<unsigned>{1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20}), handed);
  EXPECT_FALSE(state.IsComplete()) << "blocks still in flight";
  for (unsigned i : handed) state.MarkBlockDone(i);
  EXPECT_TRUE(state.IsComplete());
  EXPECT_EQ(CFileBlockInfo::kNoBlock, state.NextBlock());
}

TEST(BlockState, StateFileRoundTripsAndResumesOnlyMissingBlocks) {
  zan_test::TempFolder folder;
  CFileBlockInfo saved;
  saved.url = L"http://127.0.0.1/soft/\u4E2D.exe";
  saved.date = L"Mon, 07 Dec 2026 10:00:00 GMT";
  saved.ResetForSize(25ull * 102400);
  for (unsigned i = 0; i < 7; ++i) saved.MarkBlockDone(i);
  ASSERT_TRUE(saved.SaveState(folder.File(L"install.exe.size")));
  std::string text = zan_test::ReadFileBytes(folder.File(L"install.exe.size"));
  EXPECT_NE(std::string::npos, text.find("<size>2560000</size>"));
  EXPECT_NE(std::string::npos, text.find("<blocks>/gAAAA==</blocks>"));
  EXPECT_EQ(0u, text.find("<?xml version=\"1.0\" encoding=\"utf-8\" ?>"));

  CFileBlockInfo loaded;
  loaded.LoadState(folder.File(L"install.exe.size"));
  EXPECT_EQ(saved.url, loaded.url);
  EXPECT_EQ(saved.date, loaded.date);
  EXPECT_EQ(saved.size, loaded.size);
  EXPECT_TRUE(loaded.BitmapCoversBlocks());
  loaded.blockCount = 25;
  int fetched = 0;
  for (unsigned i = loaded.NextBlock(); i != CFileBlockInfo::kNoBlock; i = loaded.NextBlock()) {
    EXPECT_GE(i, 7u);
    ++fetched;
  }
  EXPECT_EQ(18, fetched);
}

// A state file that cannot be trusted is never taken for a complete one: an
// undecodable bitmap drops the url so the download starts over, a short one
// does not cover the blocks. Its date goes back in an If-Range header, so
// one with a line break (which would add header lines of its own) is no
// date; a raw line break is folded into a blank by the parser already.
TEST(BlockState, ABrokenStateFileIsNeverTakenForAComplete) {
  zan_test::TempFolder folder;
  const std::wstring path = folder.File(L"x.size");
  const struct {
    const char* date;
    const char* blocks;
    const wchar_t* url;       // afterwards
    const wchar_t* readDate;  // null: not checked
  } rows[] = {
      {"d", "!!notbase64!!", L"", nullptr},       {"d", "/w==", L"u", L"d"},
      {"d&#13;X-Added: 1", "AAAA", L"u", L""}, {"d&#10;X-Added: 1", "AAAA", L"u", L""},
      {"d&#13;&#10;X-Added: 1", "AAAA", L"u", L""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.date) + " " + row.blocks);
    ASSERT_TRUE(zan_test::WriteFileBytes(path, std::string("<file><url>u</url><date>") + row.date +
                                                   "</date><size>2560000</size><blocks>" + row.blocks +
                                                   "</blocks></file>"));
    CFileBlockInfo loaded;
    loaded.LoadState(path);
    EXPECT_EQ(row.url, loaded.url);
    EXPECT_EQ(*row.url ? 2560000u : 0u, loaded.size);
    EXPECT_EQ(row.readDate ? row.readDate : loaded.date, loaded.date);
    EXPECT_FALSE(loaded.BitmapCoversBlocks());
  }
  CFileBlockInfo untouched;
  untouched.url = L"keep";
  untouched.LoadState(folder.File(L"missing.size"));
  EXPECT_EQ(L"keep", untouched.url);
}

// "bytes START-END/TOTAL" with digits only, TOTAL possibly "*": a lenient
// reader turns "*" into a total of 0 and "12x" into 12.
TEST(ContentRange, StartEndAndTotalAreDigitsOnly) {
  const unsigned long long kNone = ~0ull;
  const struct {
    const wchar_t* text;
    unsigned long long start, end, total;
  } rows[] = {
      {L"bytes 102400-204799/5000000", 102400, 204799, 5000000},
      {L"bytes 2150400-2150476/2150477", 2150400, 2150476, 2150477}, {L"bytes 0-9/10", 0, 9, 10},
      {L"bytes 0-9/*", 0, 9, kNone},
  };
  for (const auto& row : rows) {
    unsigned long long start = kNone, end = kNone, total = kNone;
    EXPECT_TRUE(ParseContentRange(row.text, &start, &end)) << row.text;
    EXPECT_EQ(row.total != kNone, ParseContentRangeTotal(row.text, &total)) << row.text;
    EXPECT_TRUE(row.start == start && row.end == end) << row.text << ": " << start << "-" << end;
    EXPECT_TRUE(row.total == kNone || row.total == total) << row.text << ": " << total;
  }
  for (const wchar_t* text : {L"items 0-9/10", L"bytes 0-9", L"bytes 0-9/12x", L"bytes 0-9/", L"bytes 0-9/-5",
                              L"bytes 0-9/99999999999999999999", L"bytes 0-9/1 2", L"bytes 9-0/10", L"bytes +0-9/10",
                              L"bytes 0-9x/10", L"bytes 0--9/10", L"bytes -9/10", L"bytes */10", L"bytes=0-9/10",
                              L"0-9/10"}) {
    unsigned long long start, end, total;
    EXPECT_FALSE(ParseContentRange(text, &start, &end)) << text;
    EXPECT_FALSE(ParseContentRangeTotal(text, &total)) << text;
  }
}

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
      {L"text/html; charset=gb2312", L"GB2312", 936}, {L"text/html;charset=GBK", L"GBK", 936},
      {L"text/plain; charset=euc-kr", L"EUC-KR", 949}, {L"text/plain; charset=EUC-TW", L"EUC-TW", 950},
      {L"text/plain; charset=euc-jp; format=flowed", L"EUC-JP", 932}, {L"text/plain; charset=johab", L"JOHAB", 1361},
      {L"text/html; charset=ISO-8859-15", L"ISO-8859-15", 28605}, {L"text/html; charset=gb2312;q=1", L"GB2312", 936},
      // A long value before the key, as a server may send, does not hide it.
      {L"text/html; x=" + std::wstring(5000, L'a') + L"; charset=gbk", L"GBK", 936},
      {L"text/html; charset=utf-8", L"UTF-8", 65001}, {L"text/html; charset=gb2312x", L"GB2312X", 65001},
      {L"text/html; charset=ISO-8859-10", L"ISO-8859-10", 65001},
      {L"text/html; charset=ISO-8859-1X", L"ISO-8859-1X", 65001},  // no prefix match
      {L"text/html; charset=big5_hkscs;x", L"BIG5_HKSCS", 65001},
      {L"text/html; Charset=gb2312", L"BEFORE", 65001},  // the key is matched case-sensitively
      {L"text/html; CHARSET=GBK", L"BEFORE", 65001}, {L"text/html; charset= gbk", L"BEFORE", 65001},
      {L"text/html; charset=\"gbk\"", L"BEFORE", 65001},  // a quote is not a token character
      {L"text/html; charset=", L"BEFORE", 65001}, {L"text/html", L"BEFORE", 65001}, {L"", L"BEFORE", 65001},
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
