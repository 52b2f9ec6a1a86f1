// The bookkeeping of a resumable download: blocks handed out and completed,
// the bitmap layout and the block state file.
#include <gtest/gtest.h>

#include "setup/common/string_util.h"
#include "setup/http/file_block_info.h"
#include "setup/http/http_fetch_file.h"
#include "test_util.h"

namespace zan {
namespace {

TEST(BlockState, BitmapCoversEveryBlockMostSignificantBitFirst) {
  CFileBlockInfo state;
  state.ResetForSize(21ull * 102400);
  EXPECT_EQ(21u, state.blockCount);
  EXPECT_EQ(3u, state.bitmap.size());
  EXPECT_EQ("AAAA", EncodeBase64(state.bitmap));
  state.MarkBlockDone(0);
  state.MarkBlockDone(9);
  EXPECT_EQ(0x80, state.bitmap[0]);
  EXPECT_EQ(0x40, state.bitmap[1]);
  EXPECT_EQ(20u, CFileBlockInfo::BlockCount(2048000, 102400));
  EXPECT_EQ(21u, CFileBlockInfo::BlockCount(2048001, 102400));
  EXPECT_EQ(1u, CFileBlockInfo::BlockCount(1, 102400));
}

TEST(BlockState, NextBlockSkipsDoneAndInFlightBlocksThenEnds) {
  CFileBlockInfo state;
  state.ResetForSize(10ull * 102400);
  state.MarkBlockDone(0);
  state.MarkBlockDone(2);
  EXPECT_EQ(1u, state.NextBlock());
  EXPECT_EQ(3u, state.NextBlock());
  EXPECT_FALSE(state.IsComplete());
  std::vector<unsigned> handed;
  for (unsigned i = state.NextBlock(); i != CFileBlockInfo::kNoBlock; i = state.NextBlock()) handed.push_back(i);
  EXPECT_EQ((std::vector<unsigned>{4, 5, 6, 7, 8, 9}), handed);
  EXPECT_FALSE(state.IsComplete()) << "blocks still in flight";
  for (unsigned i : {1u, 3u, 4u, 5u, 6u, 7u, 8u, 9u}) state.MarkBlockDone(i);
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
// reader turns "*" into a total of 0 and "12x" into 12. kNone: unreadable.
TEST(ContentRange, StartEndAndTotalAreDigitsOnly) {
  const unsigned long long kNone = ~0ull;
  const struct {
    const wchar_t* text;
    unsigned long long start, end, total;
  } rows[] = {
      {L"bytes 102400-204799/5000000", 102400, 204799, 5000000},
      {L"bytes 2150400-2150476/2150477", 2150400, 2150476, 2150477},
      {L"bytes 0-9/10", 0, 9, 10},
      {L"bytes 0-9/*", 0, 9, kNone},
      {L"items 0-9/10", kNone, kNone, kNone},
      {L"bytes 0-9", kNone, kNone, kNone},
      {L"bytes 0-9/12x", kNone, kNone, kNone},
      {L"bytes 0-9/", kNone, kNone, kNone},
      {L"bytes 0-9/-5", kNone, kNone, kNone},
      {L"bytes 0-9/99999999999999999999", kNone, kNone, kNone},
      {L"bytes 0-9/1 2", kNone, kNone, kNone},
      {L"bytes 9-0/10", kNone, kNone, kNone},
      {L"bytes +0-9/10", kNone, kNone, kNone},
      {L"bytes 0-9x/10", kNone, kNone, kNone},
      {L"bytes 0--9/10", kNone, kNone, kNone},
      {L"bytes -9/10", kNone, kNone, kNone},
      {L"bytes */10", kNone, kNone, kNone},
      {L"bytes=0-9/10", kNone, kNone, kNone},
      {L"0-9/10", kNone, kNone, kNone},
  };
  for (const auto& row : rows) {
    unsigned long long start = kNone, end = kNone, total = kNone;
    EXPECT_EQ(row.start != kNone, ParseContentRange(row.text, &start, &end)) << row.text;
    EXPECT_EQ(row.total != kNone, ParseContentRangeTotal(row.text, &total)) << row.text;
    EXPECT_TRUE(row.start == kNone || (row.start == start && row.end == end))
        << row.text << ": " << start << "-" << end;
    EXPECT_TRUE(row.total == kNone || row.total == total) << row.text << ": " << total;
  }
}

}  // namespace
}  // namespace zan
