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

TEST(BlockState, BadOrShortBitmapsNeverPassForComplete) {
  zan_test::TempFolder folder;
  std::wstring path = folder.File(L"x.size");
  ASSERT_TRUE(zan_test::WriteFileBytes(path,
      "<file><url>u</url><date>d</date><size>2560000</size><blocks>!!notbase64!!</blocks></file>"));
  CFileBlockInfo broken;
  broken.LoadState(path);
  EXPECT_EQ(L"", broken.url) << "an undecodable bitmap drops the url so the download starts over";
  EXPECT_EQ(0u, broken.size);

  ASSERT_TRUE(zan_test::WriteFileBytes(path,
      "<file><url>u</url><date>d</date><size>2560000</size><blocks>/w==</blocks></file>"));
  CFileBlockInfo shortBitmap;
  shortBitmap.LoadState(path);
  EXPECT_EQ(1u, shortBitmap.bitmap.size());
  EXPECT_FALSE(shortBitmap.BitmapCoversBlocks());

  CFileBlockInfo untouched;
  untouched.url = L"keep";
  untouched.LoadState(folder.File(L"missing.size"));
  EXPECT_EQ(L"keep", untouched.url);
}

// The date is sent back in an If-Range header: a line break in it would let
// the file add header lines of its own.
TEST(BlockState, ADateWithALineBreakIsNoDate) {
  zan_test::TempFolder folder;
  std::wstring path = folder.File(L"x.size");
  // (A raw line break is folded into a blank by the parser already.)
  for (const char* date : {"d&#13;X-Added: 1", "d&#10;X-Added: 1", "d&#13;&#10;X-Added: 1"}) {
    ASSERT_TRUE(zan_test::WriteFileBytes(path, std::string("<file><url>u</url><date>") + date +
                                                   "</date><size>2560000</size><blocks>AAAA</blocks></file>"));
    CFileBlockInfo loaded;
    loaded.LoadState(path);
    EXPECT_EQ(L"", loaded.date) << date;
    EXPECT_EQ(L"u", loaded.url) << date;
  }
}

TEST(ContentRange, StartEndAndTotal) {
  unsigned long long start = 1, end = 1, total = 1;
  ASSERT_TRUE(ParseContentRange(L"bytes 102400-204799/5000000", &start, &end));
  EXPECT_EQ(102400u, start);
  EXPECT_EQ(204799u, end);
  ASSERT_TRUE(ParseContentRangeTotal(L"bytes 0-9/5000000", &total));
  EXPECT_EQ(5000000u, total);
  EXPECT_FALSE(ParseContentRange(L"items 0-9/10", &start, &end));
  EXPECT_FALSE(ParseContentRangeTotal(L"bytes 0-9", &total));
}

// "bytes START-END/TOTAL" with digits only, TOTAL possibly "*": a lenient
// reader turns "*" into a total of 0 and "12x" into 12.
TEST(ContentRange, NumbersAreDigitsOnly) {
  struct Row {
    const wchar_t* text;
    bool range;  // start and end readable
    bool total;  // total readable
  } rows[] = {
      {L"bytes 0-9/10", true, true},
      {L"bytes 0-9/*", true, false},
      {L"bytes 0-9/12x", false, false},
      {L"bytes 0-9/", false, false},
      {L"bytes 0-9/-5", false, false},
      {L"bytes 0-9/99999999999999999999", false, false},
      {L"bytes 0-9/1 2", false, false},
      {L"bytes 5-9", false, false},
      {L"bytes 9-0/10", false, false},
      {L"bytes +0-9/10", false, false},
      {L"bytes 0-9x/10", false, false},
      {L"bytes 0--9/10", false, false},
      {L"bytes -9/10", false, false},
      {L"bytes */10", false, false},
      {L"bytes=0-9/10", false, false},
      {L"0-9/10", false, false},
  };
  for (const Row& row : rows) {
    unsigned long long start = 0, end = 0, total = 0;
    EXPECT_EQ(row.range, ParseContentRange(row.text, &start, &end)) << row.text;
    EXPECT_EQ(row.total, ParseContentRangeTotal(row.text, &total)) << row.text;
  }
  unsigned long long start = 0, end = 0, total = 0;
  ASSERT_TRUE(ParseContentRange(L"bytes 0-9/*", &start, &end));
  EXPECT_EQ(0u, start);
  EXPECT_EQ(9u, end);
  ASSERT_TRUE(ParseContentRangeTotal(L"bytes 2150400-2150476/2150477", &total));
  EXPECT_EQ(2150477u, total);
}

}  // namespace
}  // namespace zan
