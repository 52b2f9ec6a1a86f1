// The resumable download against the loopback nginx and the fault server.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <vector>

#include "setup/common/files.h"
#include "setup/common/string_util.h"
#include "setup/http/file_block_info.h"
#include "setup/http/http_fetch_file.h"
#include "test_util.h"

namespace zan {
namespace {

using zan_test::FaultPattern;
using zan_test::ReadFileBytes;
using zan_test::WriteFileBytes;

const unsigned kBlock = 102400;
// The fault server's Last-Modified.
const wchar_t kFaultDate[] = L"Tue, 05 Mar 2024 06:07:08 GMT";

struct ProgressLog {
  std::vector<std::pair<int, int>> events;
  int Count(int kind) const {
    return static_cast<int>(std::count_if(events.begin(), events.end(), [=](auto e) { return e.first == kind; }));
  }
};

int __stdcall Record(UINT_PTR user, int kind, int value) {
  reinterpret_cast<ProgressLog*>(user)->events.push_back({kind, value});
  return 1;
}

class ResumableDownload : public zan_test::ServerTest {
 protected:
  void TearDown() override { ::DeleteFileW((servers_.nginxRoot + name_).c_str()); }

  std::wstring Publish(const std::string& bytes) {
    EXPECT_TRUE(WriteFileBytes(servers_.nginxRoot + name_, bytes));
    return Nginx(L"/" + name_);
  }

  // One object for all of a test's downloads: its status outlives each.
  HRESULT Run(const std::wstring& url, ProgressLog* log, unsigned span = 1,
              unsigned workers = CHttpFetchFile::kWorkers) {
    fetch_.set_transfer(span, workers);
    return fetch_.Download(url, L"", target_, Record, reinterpret_cast<UINT_PTR>(log), nullptr);
  }

  // The Range headers the fault server saw for requests naming `token`,
  // without the probe's, in any order.
  std::multiset<std::string> RangesAsked(const std::wstring& token) {
    const std::string text = Ask(L"/ranges/" + token);
    std::multiset<std::string> ranges;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
      if (text.compare(at, end - at, "bytes=0-9") != 0) ranges.insert(text.substr(at, end - at));
    }
    return ranges;
  }
  // "bytes=A-B" for blocks `first` to `last` of a file of `size` bytes.
  static std::string Blocks(unsigned first, unsigned last, size_t size) {
    const size_t end = std::min<size_t>((last + 1) * kBlock, size);
    return "bytes=" + std::to_string(first * kBlock) + "-" + std::to_string(end - 1);
  }

  // What a run interrupted after `blocks` leaves: the data file with those
  // blocks (filled with 'X' here, so a block fetched again shows) and the
  // state naming them, its bitmap replaced by `bitmap` when given.
  void LeaveInterruptedState(const std::wstring& url, const std::wstring& date, size_t size,
                             const std::vector<unsigned>& blocks, const char* bitmap = nullptr) {
    std::string data(size, '\0');
    CFileBlockInfo state;
    state.url = url;
    state.date = date;
    state.ResetForSize(size);
    for (unsigned i : blocks) {
      std::fill(data.begin() + i * kBlock, data.begin() + (i + 1) * kBlock, 'X');
      state.MarkBlockDone(i);
    }
    ASSERT_TRUE(WriteFileBytes(target_ + L".tmp", data));
    ASSERT_TRUE(state.SaveState(target_ + L".size"));
    if (bitmap) {
      std::string text = ReadFileBytes(target_ + L".size");
      const size_t at = text.find("<blocks>") + 8;
      text.replace(at, text.find("</blocks>") - at, bitmap);
      ASSERT_TRUE(WriteFileBytes(target_ + L".size", text));
    }
  }

  // The test's file in nginx's tree.
  std::wstring name_ = zan_test::UniqueToken(L"resume") + L".bin";
  std::wstring target_ = folder_.File(L"install.exe");
  CHttpFetchFile fetch_;
};

// Up to 20 blocks on the caller's thread, reporting only the total; beyond
// that with the workers, reporting progress and the end; over http and over
// https on a port other than 443.
TEST_F(ResumableDownload, BothPathsDeliverTheFileAndReportTheirOwnWay) {
  for (const std::wstring& base : {servers_.nginx, servers_.nginxTls}) {
    for (size_t size : {20 * kBlock, 20 * kBlock + 1}) {
      SCOPED_TRACE(WideToUtf8(base) + ", " + std::to_string(size) + " bytes");
      std::string data = FaultPattern(size);
      Publish(data);
      ProgressLog log;
      ASSERT_EQ(S_OK, Run(base + L"/" + name_, &log));
      EXPECT_TRUE(data == ReadFileBytes(target_));
      EXPECT_FALSE(zan::FileExists(target_ + L".tmp"));
      EXPECT_FALSE(zan::FileExists(target_ + L".size"));
      EXPECT_EQ(std::make_pair(0, static_cast<int>(size)), log.events.front());
      const bool workers = size > 20 * kBlock;
      EXPECT_EQ(1, log.Count(0));
      EXPECT_EQ(workers, log.Count(1) >= 1);
      EXPECT_EQ(workers ? 1 : 0, log.Count(2));
      EXPECT_EQ(workers ? 2 : 0, log.events.back().first);
      EXPECT_EQ(0, log.Count(3));
    }
  }
}

// A server that ignores Range answers the probe with the whole file: it goes
// straight to the target, the saved state is dropped at the first data, and
// each kind 1 report names the offset of the chunk just written.
TEST_F(ResumableDownload, AServerIgnoringRangesFillsTheTargetDirectly) {
  const size_t kSize = 300000;
  const std::wstring url = Fault(L"/ignore-range/" + std::to_wstring(kSize));
  LeaveInterruptedState(url, kFaultDate, kSize, {0, 1});
  const std::string saved = ReadFileBytes(target_ + L".tmp");
  ProgressLog log;
  ASSERT_EQ(S_OK, Run(url, &log));
  EXPECT_TRUE(FaultPattern(kSize) == ReadFileBytes(target_));
  EXPECT_FALSE(zan::FileExists(target_ + L".size"));
  EXPECT_TRUE(saved == ReadFileBytes(target_ + L".tmp")) << "the whole-body path leaves the data file alone";
  ASSERT_GE(log.events.size(), 3u);
  EXPECT_EQ(std::make_pair(0, static_cast<int>(kSize)), log.events.front());
  EXPECT_EQ(std::make_pair(2, 0), log.events.back());
  EXPECT_EQ(std::make_pair(1, 0), log.events[1]);
  for (size_t i = 2; i + 1 < log.events.size(); ++i) {
    EXPECT_EQ(1, log.events[i].first);
    EXPECT_LT(log.events[i - 1].second, log.events[i].second);
  }
  EXPECT_LT(log.events[log.events.size() - 2].second, static_cast<int>(kSize));

  // Cut short against its Content-Length: no success and no target; empty: nothing to write.
  ::DeleteFileW(target_.c_str());
  ProgressLog cut, empty;
  EXPECT_EQ(E_FAIL, Run(Fault(L"/short/300000"), &cut));
  EXPECT_EQ(0, cut.Count(2));
  EXPECT_FALSE(zan::FileExists(target_)) << "half an installer under its own name";
  ::DeleteFileW(target_.c_str());
  EXPECT_EQ(S_OK, Run(Fault(L"/empty"), &empty));
  EXPECT_FALSE(zan::FileExists(target_));
}

// A failed download, at the probe or after it, leaves no target and reports
// no end. A data file an earlier run left (all 'Z') is kept for a resume at
// its size: a forged total beyond 4 GiB must not fill the disk. Only an
// answer sets the status.
TEST_F(ResumableDownload, AFailedDownloadLeavesNoTargetAndKeepsTheDataFile) {
  const size_t kSmall = 5 * kBlock + 123;  // six blocks, on the caller's thread
  const size_t kLarge = 21 * kBlock + 77;  // 22 blocks, with the workers
  const std::wstring small = Fault(L"/block-fault/" + std::to_wstring(kSmall) + L"/");
  const std::wstring large = Fault(L"/block-fault/" + std::to_wstring(kLarge) + L"/");
  const std::wstring downgrade = servers_.nginxTls + L"/to-http/small.txt";
  enum Reports { kNothing, kTotal, kTotalAndFailedBlock };
  const int kNone = -1;
  struct Row {
    std::wstring url;
    HRESULT result;
    size_t leftover;  // the size of the data file left before; 0: none
    Reports reports;
    int untouchedBlock;   // a block the fault must not have written into, or kNone
    std::string line;     // the one line logged; empty: not checked
    int status;           // after the row; 0: not checked
  } rows[] = {
      // A block answered 200 with the whole file or 304 without a body; a
      // body longer than its range; a Content-Range that starts late or
      // ends early.
      {small + L"2/200", E_FAIL, kSmall, kTotal, kNone},
      {small + L"2/304", E_FAIL, kSmall, kTotal, kNone},
      {small + L"2/long", E_FAIL, kSmall, kTotal, 3},
      {small + L"2/start", E_FAIL, kSmall, kTotal, kNone},
      {small + L"2/end", E_FAIL, kSmall, kTotal, kNone},
      // A worker's last block, so the other worker runs out of blocks soon after.
      {large + L"21/304", E_FAIL, kLarge, kTotalAndFailedBlock, kNone},
      {large + L"21/200", E_FAIL, kLarge, kTotalAndFailedBlock, kNone},
      // The probe answered 304, or without Last-Modified; a total of * (the
      // length unknown), below the probe's ten bytes, with letters after it
      // or beyond 4 GiB; an answer short of the probe's ten bytes; no such
      // file; no server; a redirect from https to plain http.
      {small + L"probe/304", E_FAIL, kSmall, kNothing, kNone},
      {Fault(L"/nolastmod/" + std::to_wstring(kSmall)), E_FAIL, kSmall, kNothing, kNone},
      {Fault(L"/range-total/300000/%2A"), E_FAIL, 300000, kNothing, kNone},
      {Fault(L"/range-total/300000/9"), E_FAIL, 300000, kNothing, kNone},
      {Fault(L"/range-total/300000/300000x"), E_FAIL, 300000, kNothing, kNone},
      {Fault(L"/range-total/300000/6000000000"), CSimpleHttpFetch::kTooLarge, 1000, kNothing, kNone,
       "the file to download is larger than the download can take: 6000000000 bytes"},
      {Publish("short"), E_FAIL, 0, kNothing, kNone},
      {Nginx(L"/no-such-file.bin"), 1, 0, kNothing, kNone, "", 404},
      {L"http://127.0.0.1:9/file.bin", E_FAIL, 0, kNothing, kNone, "", 404},
      {downgrade, E_FAIL, 1000, kNothing, kNone,
       "refused a redirect from https to plain http, url: " + WideToUtf8(downgrade) + ", to: " +
           WideToUtf8(Nginx(L"/small.txt"))},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(WideToUtf8(row.url));
    // A target of its own per row: a worker of an earlier row may still be
    // writing into that row's data file.
    target_ = folder_.File(zan_test::UniqueToken(L"fault") + L".exe");
    const std::string leftover(row.leftover, 'Z');
    ASSERT_TRUE(!row.leftover || WriteFileBytes(target_ + L".tmp", leftover));
    zan_test::LogLinesAdded lines;
    ProgressLog log;
    EXPECT_EQ(row.result, Run(row.url, &log));
    EXPECT_EQ(row.status ? row.status : fetch_.status(), fetch_.status());
    EXPECT_FALSE(zan::FileExists(target_)) << zan_test::FileSize(target_) << " bytes";
    EXPECT_EQ(row.leftover, row.leftover ? zan_test::FileSize(target_ + L".tmp") : 0);
    EXPECT_EQ(row.reports != kNothing, !log.events.empty());
    EXPECT_EQ(0, log.Count(2));
    EXPECT_EQ(row.reports == kTotalAndFailedBlock ? 1 : 0, log.Count(3));
    const std::vector<std::string> logged = lines.Messages();
    EXPECT_EQ(row.line.empty() ? logged : std::vector<std::string>{row.line}, logged);
    if (row.untouchedBlock != kNone) {
      const std::string data = ReadFileBytes(target_ + L".tmp");
      const size_t at = row.untouchedBlock * kBlock;
      ASSERT_LE(at + kBlock, data.size());
      EXPECT_TRUE(leftover.substr(at, kBlock) == data.substr(at, kBlock)) << "the next block was overwritten";
    }
  }
}

// The requests besides the probe: one per block, or runs of up to the span,
// each block in exactly one, on either path. Resumed from a saved state, the
// download asks only for the blocks it lacks and keeps the saved ones but
// for the probe's ten bytes; a state that no longer fits is dropped.
TEST_F(ResumableDownload, EachMissingBlockIsAskedForOnceInRunsUpToTheSpan) {
  const size_t kLarge = 25 * kBlock + 300;  // 26 blocks: the worker path
  const size_t kSmall = 10 * kBlock - 5;    // 10 blocks: the caller's thread
  const std::vector<unsigned> kSaved = {0, 1, 2, 3, 4, 5, 6, 10, 11, 12};
  enum State { kNoState, kFits, kFileChanged, kUrlInOtherCase, kBitmapTooShort, kBitmapUndecodable };
  struct Row {
    size_t size;
    unsigned span, workers;
    std::vector<std::pair<unsigned, unsigned>> runs;  // empty: every missing block alone
    State state;                                      // what an earlier run left, naming kSaved
  } rows[] = {
      {kLarge, 1, 2, {}, kNoState},
      {kLarge, 8, 3, {{0, 7}, {8, 15}, {16, 23}, {24, 25}}, kNoState},
      {kSmall, 4, 2, {{0, 3}, {4, 7}, {8, 9}}, kNoState},
      {kLarge, 1, 2, {}, kFits},
      {kLarge, 16, 2, {{7, 9}, {13, 25}}, kFits},
      {kLarge, 1, 2, {}, kFileChanged},
      {kLarge, 1, 2, {}, kUrlInOtherCase},
      {kLarge, 1, 2, {}, kBitmapTooShort},
      {kLarge, 1, 2, {}, kBitmapUndecodable},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.size) + " bytes, span " + std::to_string(row.span) + ", state " +
                 std::to_string(row.state));
    const std::wstring token = zan_test::UniqueToken(L"pattern");
    const std::wstring url = Fault(L"/big/" + std::to_wstring(row.size) + L"?" + token);
    ::DeleteFileW(target_.c_str());
    if (row.state != kNoState) {
      const std::wstring stateUrl = row.state == kUrlInOtherCase ? ReplaceAll(url, L"/big/", L"/BIG/") : url;
      const wchar_t* date = row.state == kFileChanged ? L"Wed, 06 Mar 2024 06:07:08 GMT" : kFaultDate;
      const char* bitmap = row.state == kBitmapTooShort ? "/w==" : row.state == kBitmapUndecodable ? "%%%" : nullptr;
      LeaveInterruptedState(stateUrl, date, row.size, kSaved, bitmap);
    }
    const bool resumed = row.state == kFits;
    ProgressLog log;
    ASSERT_EQ(S_OK, Run(url, &log, row.span, row.workers));
    std::string want = FaultPattern(row.size);
    for (unsigned i : resumed ? kSaved : std::vector<unsigned>()) {
      std::fill(want.begin() + std::max<size_t>(i * kBlock, 10), want.begin() + (i + 1) * kBlock, 'X');
    }
    EXPECT_TRUE(want == ReadFileBytes(target_)) << "saved blocks fetched again, or data lost";
    std::multiset<std::string> expected;
    const unsigned blocks = static_cast<unsigned>((row.size + kBlock - 1) / kBlock);
    for (unsigned i = 0; i < blocks && row.runs.empty(); ++i) {
      if (!resumed || std::find(kSaved.begin(), kSaved.end(), i) == kSaved.end()) {
        expected.insert(Blocks(i, i, row.size));
      }
    }
    for (const auto& run : row.runs) expected.insert(Blocks(run.first, run.second, row.size));
    EXPECT_EQ(expected, RangesAsked(token));
    EXPECT_EQ(0, log.Count(3));
    EXPECT_FALSE(zan::FileExists(target_ + L".size"));
  }
}

// An answer cut short after two and a half blocks keeps its two whole blocks;
// the rest is asked for again, each block once, in runs of at most the span,
// which depend on whether the second worker got its first before the cut.
TEST_F(ResumableDownload, ARunCutShortKeepsItsWholeBlocksAndFetchesTheRest) {
  const size_t kSize = 25 * kBlock + 300;
  const unsigned kBlocks = 26, kSpan = 8;
  const std::wstring token = L"cut-" + name_;
  ProgressLog log;
  ASSERT_EQ(S_OK, Run(Fault(L"/cut-once/" + token + L"/" + std::to_wstring(kSize)), &log, kSpan, 2));
  EXPECT_TRUE(FaultPattern(kSize) == ReadFileBytes(target_));
  std::multiset<std::string> asked = RangesAsked(token);
  ASSERT_EQ(1u, asked.count(Blocks(0, 7, kSize)));
  asked.erase(asked.find(Blocks(0, 7, kSize)));
  std::vector<int> times(kBlocks, 0);
  for (const std::string& range : asked) {
    unsigned long long first = 0, last = 0;
    ASSERT_EQ(2, sscanf(range.c_str(), "bytes=%llu-%llu", &first, &last)) << range;
    const unsigned from = static_cast<unsigned>(first / kBlock), to = static_cast<unsigned>(last / kBlock);
    ASSERT_LT(to, kBlocks) << range;
    EXPECT_EQ(Blocks(from, to, kSize), range) << "whole blocks";
    EXPECT_LE(to - from + 1, kSpan) << range;
    for (unsigned i = from; i <= to; ++i) ++times[i];
  }
  for (unsigned i = 0; i < kBlocks; ++i) EXPECT_EQ(i < 2 ? 0 : 1, times[i]) << "block " << i;
  EXPECT_EQ(0, log.Count(3));
}

}  // namespace
}  // namespace zan
