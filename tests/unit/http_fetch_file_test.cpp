// The resumable download against the loopback nginx: the two paths, resume
// from a saved state, and the states that must make it start over.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <vector>

#include "setup/common/files.h"
#include "setup/common/handles.h"
#include "setup/common/string_util.h"
#include "setup/http/file_block_info.h"
#include "setup/http/http_fetch_file.h"
#include "test_util.h"

namespace zan {
namespace {

using zan_test::ReadFileBytes;
using zan_test::WriteFileBytes;

const unsigned kBlock = 102400;

using zan_test::FaultPattern;

// The Last-Modified that nginx sends for a published file.
const wchar_t kServedDate[] = L"Wed, 06 Mar 2024 06:07:08 GMT";

struct ProgressLog {
  std::vector<std::pair<int, int>> events;
  int Count(int kind) const {
    int n = 0;
    for (const auto& e : events) n += e.first == kind;
    return n;
  }
};

int __stdcall Record(UINT_PTR user, int kind, int value) {
  reinterpret_cast<ProgressLog*>(user)->events.push_back({kind, value});
  return 1;
}

class ResumableDownload : public zan_test::ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    name_ = L"resume-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
            std::to_wstring(::GetTickCount()) + L".bin";
  }
  void TearDown() override { ::DeleteFileW((servers_.nginxRoot + name_).c_str()); }

  // Serves `bytes`, modified at kServedDate.
  std::wstring Publish(const std::string& bytes) {
    EXPECT_TRUE(WriteFileBytes(servers_.nginxRoot + name_, bytes));
    ScopedFile file(::CreateFileW((servers_.nginxRoot + name_).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    SYSTEMTIME date = {2024, 3, 3, 6, 6, 7, 8, 0};
    FILETIME time = {};
    EXPECT_TRUE(file && ::SystemTimeToFileTime(&date, &time) && ::SetFileTime(file.get(), nullptr, nullptr, &time));
    return Nginx(L"/" + name_);
  }
  std::wstring Target() const { return folder_.File(L"install.exe"); }

  HRESULT Run(const std::wstring& url, ProgressLog* log, unsigned span = 1,
              unsigned workers = CHttpFetchFile::kWorkers) {
    return RunTo(url, Target(), log, span, workers);
  }
  HRESULT RunTo(const std::wstring& url, const std::wstring& target, ProgressLog* log, unsigned span = 1,
                unsigned workers = CHttpFetchFile::kWorkers) {
    CHttpFetchFile fetch;
    fetch.set_transfer(span, workers);
    return fetch.Download(url, L"", target, Record, reinterpret_cast<UINT_PTR>(log), nullptr);
  }

  // The Range headers the fault server saw for requests naming `token`,
  // without the probe's, in any order.
  std::multiset<std::string> RangesAsked(const std::wstring& token) {
    CSimpleHttpFetch fetch;
    std::string text;
    EXPECT_EQ(S_OK, fetch.FetchToString(Fault(L"/ranges/" + token), L"", nullptr, text));
    std::multiset<std::string> ranges;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
      if (text.compare(at, end - at, "bytes=0-9") != 0) ranges.insert(text.substr(at, end - at));
    }
    return ranges;
  }
  // "bytes=A-B" for blocks `first` to `last` of a file of `size` bytes.
  static std::string Blocks(unsigned first, unsigned last, size_t size) {
    return "bytes=" + std::to_string(first * kBlock) + "-" + std::to_string(std::min<size_t>((last + 1) * kBlock, size) - 1);
  }

  // What a run interrupted after blocks 0 to `done` - 1 and `more` leaves:
  // the data file with those blocks (filled with 'X' here, so a block
  // fetched again shows) and the state naming them.
  void LeaveInterruptedState(const std::wstring& url, const std::wstring& date, size_t size, unsigned done,
                             const char* blocksOverride = nullptr, std::vector<unsigned> more = {}) {
    for (unsigned i = 0; i < done; ++i) more.push_back(i);
    std::string data(size, '\0');
    CFileBlockInfo state;
    state.url = url;
    state.date = date;
    state.ResetForSize(size);
    for (unsigned i : more) {
      std::fill(data.begin() + i * kBlock, data.begin() + (i + 1) * kBlock, 'X');
      state.MarkBlockDone(i);
    }
    ASSERT_TRUE(WriteFileBytes(Target() + L".tmp", data));
    ASSERT_TRUE(state.SaveState(Target() + L".size"));
    if (blocksOverride) {
      std::string text = ReadFileBytes(Target() + L".size");
      size_t at = text.find("<blocks>");
      size_t end = text.find("</blocks>");
      text.replace(at + 8, end - at - 8, blocksOverride);
      ASSERT_TRUE(WriteFileBytes(Target() + L".size", text));
    }
  }

  zan_test::TempFolder folder_;
  std::wstring name_;
};

// Up to 20 blocks on the caller's thread, reporting only the total; beyond
// that with the workers, reporting progress and the end.
TEST_F(ResumableDownload, BothPathsDeliverTheFileAndReportTheirOwnWay) {
  for (size_t size : {20 * kBlock, 20 * kBlock + 1}) {
    SCOPED_TRACE(size);
    std::string data = FaultPattern(size);
    ProgressLog log;
    ASSERT_EQ(S_OK, Run(Publish(data), &log));
    EXPECT_TRUE(data == ReadFileBytes(Target()));
    EXPECT_FALSE(zan::FileExists(Target() + L".tmp"));
    EXPECT_FALSE(zan::FileExists(Target() + L".size"));
    EXPECT_EQ(std::make_pair(0, static_cast<int>(size)), log.events.front());
    if (size == 20 * kBlock) {
      EXPECT_EQ(1u, log.events.size());
      continue;
    }
    EXPECT_GE(log.Count(1), 1);
    EXPECT_EQ(1, log.Count(2));
    EXPECT_EQ(2, log.events.back().first);
    EXPECT_EQ(0, log.Count(3));
  }
}

// A state that still fits nginx's file resumes it, keeping the 'X' blocks
// (the probe's ten bytes aside); each of the others must not keep them: the
// download starts over.
TEST_F(ResumableDownload, ChangedFileUrlOrShortBitmapStartsOver) {
  std::string data = FaultPattern(25 * kBlock);
  std::wstring url = Publish(data);
  struct Case {
    const char* what;
    std::wstring url;
    std::wstring date;
    const char* blocks;
  } cases[] = {
      {"nothing changed", url, kServedDate, nullptr},
      {"the server's file changed", url, L"Tue, 05 Mar 2024 06:07:08 GMT", nullptr},
      {"the address differs in letter case", Nginx(L"/RESUME" + name_.substr(6)), kServedDate, nullptr},
      {"the bitmap is too short for the blocks", url, kServedDate, "/w=="},
      {"the bitmap does not decode", url, kServedDate, "%%%"},
  };
  for (const Case& c : cases) {
    ::DeleteFileW(Target().c_str());
    LeaveInterruptedState(c.url, c.date, data.size(), 8, c.blocks);
    ProgressLog log;
    ASSERT_EQ(S_OK, Run(url, &log)) << c.what;
    std::string expected = data;
    if (&c == cases) std::fill(expected.begin() + 10, expected.begin() + 8 * kBlock, 'X');
    EXPECT_TRUE(expected == ReadFileBytes(Target())) << c.what;
    EXPECT_FALSE(zan::FileExists(Target() + L".size")) << c.what;
  }
}

// A status is written only when an answer came: a probe that reached no
// server leaves the last one.
TEST_F(ResumableDownload, MissingFileTinyFileAndNoServerFail) {
  ProgressLog log;
  CHttpFetchFile fetch;
  auto user = reinterpret_cast<UINT_PTR>(&log);
  EXPECT_EQ(1, fetch.Download(Nginx(L"/no-such-file.bin"), L"", Target(), Record, user, nullptr));
  EXPECT_EQ(404, fetch.status());
  EXPECT_FALSE(zan::FileExists(Target()));
  EXPECT_TRUE(FAILED(fetch.Download(L"http://127.0.0.1:9/file.bin", L"", Target(), Record, user, nullptr)));
  EXPECT_EQ(404, fetch.status());
  EXPECT_EQ(E_FAIL, Run(Publish("short"), &log)) << "the probe needs all of its 10 bytes";
  EXPECT_FALSE(zan::FileExists(Target()));
}

// Both paths over https on a port other than 443; a redirect to plain http
// is no file, on the probe or on any block.
TEST_F(ResumableDownload, OverHttpsWithoutADowngrade) {
  for (size_t size : {5 * kBlock + 1, 20 * kBlock + 1}) {
    std::string data = FaultPattern(size);
    Publish(data);
    ProgressLog log;
    ASSERT_EQ(S_OK, Run(servers_.nginxTls + L"/" + name_, &log)) << size;
    EXPECT_TRUE(data == ReadFileBytes(Target())) << size;
    ::DeleteFileW(Target().c_str());

    zan_test::LogLinesAdded lines;
    const std::wstring downgrade = servers_.nginxTls + L"/to-http/" + name_;
    EXPECT_EQ(E_FAIL, Run(downgrade, &log)) << size;
    EXPECT_FALSE(zan::FileExists(Target())) << size;
    EXPECT_EQ((std::vector<std::string>{"refused a redirect from https to plain http, url: " +
                                        WideToUtf8(downgrade) + ", to: " +
                                        WideToUtf8(Nginx(L"/" + name_))}),
              lines.Messages());
  }
}

// The download's sizes are 32-bit: a larger total is refused before the data
// file is sized (a forged one would otherwise fill the disk).
TEST_F(ResumableDownload, ATotalBeyondFourGiBFailsBeforeTheDataFileIsSized) {
  ASSERT_TRUE(WriteFileBytes(Target() + L".tmp", std::string(1000, 'Z')));
  zan_test::LogLinesAdded lines;
  ProgressLog log;
  EXPECT_EQ(CSimpleHttpFetch::kTooLarge, Run(Fault(L"/range-total/300000/6000000000"), &log));
  EXPECT_EQ(1000u, zan_test::FileSize(Target() + L".tmp"));
  EXPECT_FALSE(zan::FileExists(Target()));
  EXPECT_TRUE(log.events.empty());
  EXPECT_EQ((std::vector<std::string>{
                "the file to download is larger than the download can take: 6000000000 bytes"}),
            lines.Messages());
}

// A server that ignores Range answers the probe with the whole file: it goes
// straight to the target, the saved state is dropped at the first data, and
// each kind 1 report names the offset of the chunk just written.
TEST_F(ResumableDownload, AServerIgnoringRangesFillsTheTargetDirectly) {
  const size_t kSize = 300000;
  const std::wstring url = Fault(L"/ignore-range/" + std::to_wstring(kSize));
  LeaveInterruptedState(url, L"Tue, 05 Mar 2024 06:07:08 GMT", kSize, 2);
  const std::string saved = ReadFileBytes(Target() + L".tmp");
  ProgressLog log;
  ASSERT_EQ(S_OK, Run(url, &log));
  EXPECT_TRUE(FaultPattern(kSize) == ReadFileBytes(Target()));
  EXPECT_FALSE(zan::FileExists(Target() + L".size"));
  EXPECT_TRUE(saved == ReadFileBytes(Target() + L".tmp")) << "the whole-body path leaves the data file alone";
  ASSERT_GE(log.events.size(), 3u);
  EXPECT_EQ(std::make_pair(0, static_cast<int>(kSize)), log.events.front());
  EXPECT_EQ(std::make_pair(2, 0), log.events.back());
  EXPECT_EQ(std::make_pair(1, 0), log.events[1]);
  for (size_t i = 2; i + 1 < log.events.size(); ++i) {
    EXPECT_EQ(1, log.events[i].first);
    EXPECT_LT(log.events[i - 1].second, log.events[i].second);
  }
  EXPECT_LT(log.events[log.events.size() - 2].second, static_cast<int>(kSize));

  // Cut short against its Content-Length: no success. Empty: success, and
  // nothing to write.
  ::DeleteFileW(Target().c_str());
  ProgressLog cut;
  EXPECT_EQ(E_FAIL, Run(Fault(L"/short/300000"), &cut));
  EXPECT_EQ(0, cut.Count(2));
  ::DeleteFileW(Target().c_str());
  ProgressLog empty;
  EXPECT_EQ(S_OK, Run(Fault(L"/empty"), &empty));
  EXPECT_FALSE(zan::FileExists(Target()));
}

// A server that answers the probe well and then misbehaves must not get its
// file accepted. Each row starts from a data file an earlier run left (all
// 'Z') and must end with no target and that data file kept for a resume.
TEST_F(ResumableDownload, AMisbehavingServerFailsAndKeepsTheDataFile) {
  const size_t kSmall = 5 * kBlock + 123;   // six blocks, on the caller's thread
  const size_t kLarge = 21 * kBlock + 77;   // 22 blocks, with the workers
  const std::wstring small = L"/block-fault/" + std::to_wstring(kSmall) + L"/";
  const std::wstring large = L"/block-fault/" + std::to_wstring(kLarge) + L"/";
  const int kNone = -1;
  struct Row {
    const char* what;
    std::wstring path;
    size_t size;
    bool workers;
    // A block the fault must not have written into, or kNone.
    int untouchedBlock;
  } rows[] = {
      {"a block answered 200 with the whole file", small + L"2/200", kSmall, false, kNone},
      {"a block answered 304 without a body", small + L"2/304", kSmall, false, kNone},
      {"a block body longer than its range", small + L"2/long", kSmall, false, 3},
      {"a block whose Content-Range starts late", small + L"2/start", kSmall, false, kNone},
      {"a block whose Content-Range ends early", small + L"2/end", kSmall, false, kNone},
      // The last block, so the other worker runs out of blocks soon after.
      {"a worker's block answered 304", large + L"21/304", kLarge, true, kNone},
      {"a worker's block answered 200", large + L"21/200", kLarge, true, kNone},
      {"the probe answered 304", small + L"probe/304", kSmall, false, kNone},
      {"the probe answered without Last-Modified", L"/nolastmod/" + std::to_wstring(kSmall), kSmall, false,
       kNone},
      {"a total of * (length unknown)", L"/range-total/300000/%2A", 300000, false, kNone},
      {"a total below the probe's ten bytes", L"/range-total/300000/9", 300000, false, kNone},
      {"a total with letters after the digits", L"/range-total/300000/300000x", 300000, false, kNone},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    // A target of its own per row: a worker of an earlier row may still be
    // writing into that row's data file.
    const std::wstring target = folder_.File(L"fault-" + std::to_wstring(++n) + L".exe");
    const std::string leftover(row.size, 'Z');
    ASSERT_TRUE(WriteFileBytes(target + L".tmp", leftover));
    ProgressLog log;
    EXPECT_EQ(E_FAIL, RunTo(Fault(row.path), target, &log));
    EXPECT_FALSE(zan::FileExists(target)) << zan_test::FileSize(target) << " bytes";
    EXPECT_TRUE(zan::FileExists(target + L".tmp"));
    EXPECT_EQ(0, log.Count(2));
    EXPECT_EQ(row.workers ? 1 : 0, log.Count(3));
    if (row.untouchedBlock != kNone) {
      std::string data = ReadFileBytes(target + L".tmp");
      size_t at = row.untouchedBlock * kBlock;
      ASSERT_LE(at + kBlock, data.size());
      EXPECT_TRUE(leftover.substr(at, kBlock) == data.substr(at, kBlock)) << "the next block was overwritten";
    }
  }
}

// The request pattern: by default one block per request (the probe aside),
// each block once; with a span, runs of consecutive blocks, each block in
// exactly one request, on the worker path and on the caller's thread alike.
// A run killed half-way leaves its state: resumed, the download asks only
// for the blocks the state lacks, and the saved ones stay as they were but
// for the ten bytes the probe writes again.
TEST_F(ResumableDownload, EachMissingBlockIsAskedForOnceInRunsUpToTheSpan) {
  const size_t kLarge = 25 * kBlock + 300;  // 26 blocks: the worker path
  const size_t kSmall = 10 * kBlock - 5;    // 10 blocks: the caller's thread
  const std::vector<unsigned> kSaved = {0, 1, 2, 3, 4, 5, 6, 10, 11, 12};
  struct Row {
    size_t size;
    unsigned span;
    unsigned workers;
    std::vector<std::pair<unsigned, unsigned>> runs;  // empty: every missing block alone
    bool resumed;                                     // from a state with kSaved
  } rows[] = {
      {kLarge, 1, 2, {}, false},
      {kLarge, 8, 3, {{0, 7}, {8, 15}, {16, 23}, {24, 25}}, false},
      {kSmall, 4, 2, {{0, 3}, {4, 7}, {8, 9}}, false},
      {kLarge, 1, 2, {}, true},
      {kLarge, 16, 2, {{7, 9}, {13, 25}}, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("span " + std::to_string(row.span) + ", " + std::to_string(row.size) + " bytes" +
                 (row.resumed ? ", resumed" : ""));
    const std::wstring token = zan_test::UniqueToken(L"pattern");
    const std::wstring url = Fault(L"/big/" + std::to_wstring(row.size) + L"?" + token);
    ::DeleteFileW(Target().c_str());
    if (row.resumed) LeaveInterruptedState(url, L"Tue, 05 Mar 2024 06:07:08 GMT", row.size, 0, nullptr, kSaved);
    ProgressLog log;
    ASSERT_EQ(S_OK, Run(url, &log, row.span, row.workers));
    std::string want = FaultPattern(row.size);
    for (unsigned i : row.resumed ? kSaved : std::vector<unsigned>()) {
      std::fill(want.begin() + std::max<size_t>(i * kBlock, 10), want.begin() + (i + 1) * kBlock, 'X');
    }
    EXPECT_TRUE(want == ReadFileBytes(Target())) << "saved blocks fetched again, or data lost";
    std::multiset<std::string> expected;
    const unsigned blocks = static_cast<unsigned>((row.size + kBlock - 1) / kBlock);
    for (unsigned i = 0; i < blocks && row.runs.empty(); ++i) {
      if (!row.resumed || std::find(kSaved.begin(), kSaved.end(), i) == kSaved.end()) {
        expected.insert(Blocks(i, i, row.size));
      }
    }
    for (const auto& run : row.runs) expected.insert(Blocks(run.first, run.second, row.size));
    EXPECT_EQ(expected, RangesAsked(token));
    EXPECT_EQ(0, log.Count(3));
    EXPECT_FALSE(zan::FileExists(Target() + L".size"));
  }
}

// An answer cut short after two and a half blocks keeps its two whole
// blocks; the rest is asked for again, each block once, in runs of at most
// the span. Which runs those are depends on when the second worker got its
// first one: before the cut or after.
TEST_F(ResumableDownload, ARunCutShortKeepsItsWholeBlocksAndFetchesTheRest) {
  const size_t kSize = 25 * kBlock + 300;
  const unsigned kBlocks = 26, kSpan = 8;
  const std::wstring token = L"cut-" + name_;
  ProgressLog log;
  ASSERT_EQ(S_OK, Run(Fault(L"/cut-once/" + token + L"/" + std::to_wstring(kSize)), &log, kSpan, 2));
  EXPECT_TRUE(FaultPattern(kSize) == ReadFileBytes(Target()));
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
