#include <gtest/gtest.h>

#include <cstdarg>
#include <cwchar>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "setup/common/files.h"
#include "setup/common/held_files.h"
#include "setup/common/log.h"
#include "setup/common/protected_log.h"
#include "test_util.h"

namespace zan {
namespace {

using zan_test::FileSize;
using zan_test::ReadFileBytes;
using zan_test::TempFolder;
using zan_test::LogFileMessages;
using zan_test::WriteFileBytes;

bool Format(std::wstring* out, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  bool ok = FormatLogMessage(format, args, out);
  va_end(args);
  return ok;
}

TEST(LogFormat, WideStringsNumbersAndLongMessagesOrNothing) {
  std::wstring out;
  ASSERT_TRUE(Format(&out, L"url: %s, error code: %d", L"http://h/\u4E2D", -5));
  EXPECT_EQ(L"url: http://h/\u4E2D, error code: -5", out);

  std::wstring longText(5000, L'x');
  longText += L"end";
  ASSERT_TRUE(Format(&out, L"%s", longText.c_str()));
  EXPECT_EQ(longText, out);

  std::wstring exact(1023, L'y');  // fills the first buffer with its zero
  ASSERT_TRUE(Format(&out, L"%s", exact.c_str()));
  EXPECT_EQ(exact, out);

  // A format that cannot be applied gives nothing.
  out = L"unchanged";
  EXPECT_FALSE(Format(&out, nullptr));
  EXPECT_FALSE(Format(&out, L"%q"));
  // A text past the largest buffer: OnlyAShortBufferIsTriedAgain, once, for
  // it costs the 64-bit runtime gigabytes of padding.
  EXPECT_EQ(L"unchanged", out);
}

// Stand-ins for the C runtime's formatter, each counting its calls and the
// capacities it was offered.
std::vector<size_t> g_capacities;

int CountingCrt(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args) {
  g_capacities.push_back(capacity);
  return _vsnwprintf_s(buffer, capacity, _TRUNCATE, format, args);
}

// Fails the way a runtime out of memory does: -1, nothing written.
int FailsWritingNothing(wchar_t* buffer, size_t capacity, const wchar_t*, va_list) {
  g_capacities.push_back(capacity);
  return -1;
}

// Fails after a prefix, as a bad conversion in the middle of a format does.
int FailsAfterAPrefix(wchar_t* buffer, size_t capacity, const wchar_t*, va_list) {
  g_capacities.push_back(capacity);
  wcscpy(buffer, L"ab");
  return -1;
}

// Reports a short buffer at every size, touching only its last two places.
int NeverFits(wchar_t* buffer, size_t capacity, const wchar_t*, va_list) {
  g_capacities.push_back(capacity);
  buffer[capacity - 2] = L'x';
  buffer[capacity - 1] = L'\0';
  return -1;
}

bool FormatWith(LogFormatter formatter, std::wstring* out, const wchar_t* format, ...) {
  g_capacities.clear();
  va_list args;
  va_start(args, format);
  bool ok = FormatLogMessageWith(formatter, format, args, out);
  va_end(args);
  return ok;
}

TEST(LogFormat, OnlyAShortBufferIsTriedAgain) {
  std::wstring out = L"unchanged";
  const std::vector<size_t> kFirstOnly = {1024};
  EXPECT_FALSE(FormatWith(FailsWritingNothing, &out, L"%d", 1));
  EXPECT_EQ(kFirstOnly, g_capacities);
  EXPECT_FALSE(FormatWith(FailsAfterAPrefix, &out, L"%d", 1));
  EXPECT_EQ(kFirstOnly, g_capacities);
  // The runtime itself: a bad conversion fails at once. A padding of 1 GiB
  // fails at once where the runtime cannot allocate it (-1, errno 0, nothing
  // written: Wine's 32-bit one), and where it can (its 64-bit one) it is cut
  // short in every buffer until the 20 attempts are spent.
  EXPECT_FALSE(FormatWith(CountingCrt, &out, L"%q"));
  EXPECT_EQ(kFirstOnly, g_capacities);
  EXPECT_FALSE(FormatWith(CountingCrt, &out, L"%1073741824d", 1));
  EXPECT_TRUE(g_capacities == kFirstOnly || (g_capacities.size() == 20 && g_capacities.back() == 1024u << 19))
      << g_capacities.size() << " attempts";
  EXPECT_EQ(L"unchanged", out);

  // 1,201 characters with a NUL inside: truncated at 1,023 they still fill
  // the first buffer, so it doubles once and the text comes back whole.
  std::wstring half(600, L'a');
  ASSERT_TRUE(FormatWith(CountingCrt, &out, L"%s%c%s", half.c_str(), L'\0', half.c_str()));
  EXPECT_EQ(half + L'\0' + half, out);
  EXPECT_EQ((std::vector<size_t>{1024, 2048}), g_capacities);

  // A short buffer doubles at most twenty times, up to 1024 << 19 characters
  // (1 GiB), and never throws; a 32-bit process may not get the last
  // buffers, and then gives up without trying them.
  out = L"unchanged";
  bool ok = true;
  EXPECT_NO_THROW(ok = FormatWith(NeverFits, &out, L""));
  EXPECT_FALSE(ok);
  EXPECT_EQ(L"unchanged", out);
  ASSERT_LE(g_capacities.size(), 20u);
  ASSERT_GE(g_capacities.size(), 15u);
  for (size_t i = 0; i < g_capacities.size(); ++i) EXPECT_EQ(size_t{1024} << i, g_capacities[i]);
}

// Each line is stamped with local time in a fixed shape and ends in CR LF;
// the message goes in as given, line breaks and all, and a character outside
// the code page is replaced, not dropped.
// A development build says so first in every log it writes, once, and the
// line counts for no size check.
TEST(LogWriter, LinesAreStampedWrittenAsGivenAndPrecededOnceByThePreamble) {
  EXPECT_EQ(L"2024-03-05 14:07:09\t", FormatLogTimeStamp(zan_test::LocalTime(2024, 3, 5, 14, 7, 9)));
  TempFolder folder;
  const std::string kPreamble = "development build: no publisher key is pinned";
  SetLogPreamble(L"development build: no publisher key is pinned");
  LogWriter first(folder.File(L"first.log")), second(folder.File(L"second.log"));
  first.Write(L"one");
  first.Write(L"");
  second.Write(L"x\uE000y");
  SetLogPreamble(L"");
  LogWriter third(folder.File(L"third.log"));
  third.Write(L"a\r\nb");
  EXPECT_EQ((std::vector<std::string>{kPreamble, "one", ""}), LogFileMessages(first.path()));
  std::vector<std::string> replaced = LogFileMessages(second.path());
  ASSERT_EQ(2u, replaced.size());
  EXPECT_EQ(kPreamble, replaced[0]);
  EXPECT_TRUE(replaced[1].size() >= 3 && replaced[1].front() == 'x' && replaced[1].back() == 'y') << replaced[1];
  EXPECT_EQ("a\r\nb\r\n", ReadFileBytes(third.path()).substr(20));
}

// Each case twice: the log found by its path, and the log reached through
// its held folder (what the runs with administrator rights write).
class LogRotation : public ::testing::TestWithParam<bool> {
 protected:
  std::unique_ptr<LogWriter> MakeWriter() const {
    if (!GetParam()) return std::unique_ptr<LogWriter>(new LogWriter(LogPath()));
    const std::wstring& path = folder_.path();
    ScopedFile held =
        OpenNoFollow(path.substr(0, path.size() - 1), FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_TRAVERSE);
    EXPECT_TRUE(held);
    return std::unique_ptr<LogWriter>(new LogWriter(std::move(held), L"zansetup.log", LogPath()));
  }
  std::wstring LogPath() const { return folder_.File(L"zansetup.log"); }
  std::wstring OldPath() const { return folder_.File(L"zansetup.log.1"); }
  void MakeLogOfSize(unsigned long long size) {
    ASSERT_TRUE(WriteFileBytes(LogPath(), std::string(static_cast<size_t>(size), 'o')));
  }
  TempFolder folder_;
};

TEST_P(LogRotation, OverTheLimitMovesAtTheTenthCallAndReplacesTheOldGeneration) {
  ASSERT_TRUE(WriteFileBytes(OldPath(), "older generation"));
  MakeLogOfSize(LogWriter::kMaxSize + 1);
  std::unique_ptr<LogWriter> writer = MakeWriter();
  for (int i = 1; i <= 9; ++i) writer->Write(L"before");
  EXPECT_EQ("older generation", ReadFileBytes(OldPath())) << "rotated before the tenth call";
  EXPECT_GT(FileSize(LogPath()), LogWriter::kMaxSize + 9 * 20);

  writer->Write(L"tenth");
  EXPECT_GT(FileSize(OldPath()), LogWriter::kMaxSize + 9 * 20);
  EXPECT_EQ(std::vector<std::string>{"tenth"}, LogFileMessages(LogPath()));
}

// A log of exactly the limit stays; one that grows past it behind the
// writer's back is noticed at the twentieth call.
TEST_P(LogRotation, ALogOfTheLimitStaysAndTheCheckRepeatsEveryTenCalls) {
  const unsigned long long kLine = 20 + 4 + 2;  // stamp, "line", CR LF
  MakeLogOfSize(LogWriter::kMaxSize - 9 * kLine);
  std::unique_ptr<LogWriter> writer = MakeWriter();
  for (int i = 1; i <= 9; ++i) writer->Write(L"line");
  ASSERT_EQ(LogWriter::kMaxSize, FileSize(LogPath()));
  writer->Write(L"line");
  EXPECT_FALSE(FileExists(OldPath()));
  EXPECT_EQ(LogWriter::kMaxSize + kLine, FileSize(LogPath()));
  MakeLogOfSize(LogWriter::kMaxSize + 5);
  for (int i = 11; i <= 19; ++i) writer->Write(L"more");
  EXPECT_FALSE(FileExists(OldPath()));
  writer->Write(L"twentieth");
  EXPECT_TRUE(FileExists(OldPath()));
  EXPECT_EQ(std::vector<std::string>{"twentieth"}, LogFileMessages(LogPath()));
}

INSTANTIATE_TEST_SUITE_P(ByPathOrHeldFolder, LogRotation, ::testing::Bool());

TEST(LogWriter, ALineIsLostWhileAnotherWriterHoldsTheFile) {
  TempFolder folder;
  LogWriter writer(folder.File(L"zansetup.log"));
  writer.Write(L"one");
  {
    ScopedFile holder(::CreateFileW(writer.path().c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder.valid());
    writer.Write(L"lost");
  }
  writer.Write(L"two");
  EXPECT_EQ((std::vector<std::string>{"one", "two"}), LogFileMessages(writer.path()));
}

// Runs `body(thread)` on `count` threads at once and waits for them all.
void RunThreads(int count, const std::function<void(int)>& body) {
  std::vector<std::thread> threads;
  for (int t = 0; t < count; ++t) threads.emplace_back(body, t);
  for (std::thread& thread : threads) thread.join();
}

// Each thread's "thread T line I" messages, all there and in order.
void ExpectEveryThreadsLinesInOrder(const std::vector<std::string>& messages, int threads, int lines) {
  std::vector<int> next(threads, 0);
  for (const std::string& message : messages) {
    int thread = -1, index = -1;
    ASSERT_EQ(2, sscanf(message.c_str(), "thread %d line %d", &thread, &index)) << message;
    ASSERT_TRUE(thread >= 0 && thread < threads) << message;
    ASSERT_EQ(next[thread], index) << "lines of one thread lost or out of order";
    ++next[thread];
  }
  EXPECT_EQ(std::vector<int>(threads, lines), next);
}

TEST(LogWriter, ThreadsOfOneProcessLoseNoLine) {
  TempFolder folder;
  LogWriter writer(folder.File(L"zansetup.log"));
  RunThreads(6, [&](int thread) {
    for (int i = 0; i < 150; ++i) writer.Write(L"thread " + std::to_wstring(thread) + L" line " + std::to_wstring(i));
  });
  ExpectEveryThreadsLinesInOrder(LogFileMessages(writer.path()), 6, 150);
}

TEST(LogModuleFolder, CutAfterTheLaterSeparator) {
  EXPECT_EQ(L"C:\\Apps\\", FolderOfPath(L"C:\\Apps\\ZanSetup.exe"));
  EXPECT_EQ(L"C:\\a/b\\", FolderOfPath(L"C:\\a/b\\c.exe"));
  EXPECT_EQ(L"C:\\a\\b/", FolderOfPath(L"C:\\a\\b/c.exe"));
  EXPECT_EQ(L"", FolderOfPath(L"ZanSetup.exe"));
  wchar_t self[MAX_PATH];
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  EXPECT_EQ(FolderOfPath(self), GetModuleFolder(nullptr));
}

// WriteLog drops a format it cannot apply, and such a call does not count
// towards the size check of every tenth line.
TEST(WriteLogCalls, BadFormatsAreDroppedAndNotCounted) {
  zan_test::LogLinesAdded log;
  WriteLog(L"%s and %d", L"marker", 42);
  WriteLog(nullptr);
  WriteLog(L"%q");
  EXPECT_EQ(std::vector<std::string>{"marker and 42"}, log.Messages());

  ASSERT_TRUE(WriteFileBytes(log.path(), std::string(LogWriter::kMaxSize + 1, 'o')));
  for (int i = 1; i <= 8; ++i) {
    WriteLog(L"line %d", i);
    WriteLog(L"%q");
  }
  EXPECT_FALSE(FileExists(log.path() + L".1")) << "bad formats were counted";
  WriteLog(L"line %d", 9);
  EXPECT_TRUE(FileExists(log.path() + L".1"));
  EXPECT_EQ(std::vector<std::string>{"line 9"}, log.Messages());
}

void SentinelHandler(const wchar_t*, const wchar_t*, const wchar_t*, unsigned, uintptr_t) {}

TEST(WriteLogCalls, ThreadsFormattingAtOnceLeaveTheInvalidParameterHandlerAsFound) {
  zan_test::LogLinesAdded log;
  _invalid_parameter_handler original = _set_invalid_parameter_handler(SentinelHandler);
  RunThreads(4, [](int thread) {
    for (int i = 0; i < 300; ++i) {
      WriteLog(L"thread %d line %d", thread, i);
      // Bad formats never reach the file, so the threads spend most of their
      // time formatting side by side; the padding keeps each format (and the
      // handler swapped around it) long enough to meet another thread's.
      for (int bad = 0; bad < 10; ++bad) {
        WriteLog(L"%1000d bad %q", thread);
        WriteLog(nullptr);
      }
    }
  });
  _invalid_parameter_handler inForce = _set_invalid_parameter_handler(original);
  EXPECT_EQ(reinterpret_cast<void*>(SentinelHandler), reinterpret_cast<void*>(inForce));
  ExpectEveryThreadsLinesInOrder(log.Messages(), 4, 300);
}

// Wine runs this test program with an administrator's full token, as an
// elevated browser runs the plug-in: its lines must not go beside a module
// in a folder the user may write to. Alone in its process (ctest runs each
// test in a process of its own), so the log is chosen here first.
TEST(ProcessLog, AProcessWithAnElevatedTokenLogsIntoTheProtectedFolderOnly) {
  ASSERT_TRUE(HasElevatedToken()) << "the test needs an elevated token";
  const std::string marker = "elevated line " + std::to_string(::GetCurrentProcessId()) + " " +
                             std::to_string(::GetTickCount());
  WriteLog(L"%s", std::wstring(marker.begin(), marker.end()).c_str());
  const std::string protectedLog = ReadFileBytes(ProtectedLogFolder() + ProtectedLogName());
  EXPECT_NE(std::string::npos, protectedLog.find(marker + "\r\n"));
  const std::string besideProgram = ReadFileBytes(GetModuleFolder(nullptr) + L"zansetup.log");
  EXPECT_EQ(std::string::npos, besideProgram.find(marker));
}

}  // namespace
}  // namespace zan
