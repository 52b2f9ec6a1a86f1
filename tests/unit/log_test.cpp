#include <gtest/gtest.h>

#include <process.h>

#include <cstdarg>
#include <ctime>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "setup/common/files.h"
#include "setup/common/held_files.h"
#include "setup/common/log.h"
#include "setup/common/protected_log.h"
#include "test_util.h"

namespace zan {
namespace {

using zan::FileExists;
using zan_test::FileSize;
using zan_test::ReadFileBytes;
using zan_test::TempFolder;
using zan_test::WriteFileBytes;

std::vector<std::string> Lines(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t begin = 0;
  for (size_t end; (end = bytes.find("\r\n", begin)) != std::string::npos; begin = end + 2) {
    lines.push_back(bytes.substr(begin, end - begin));
  }
  EXPECT_EQ(bytes.size(), begin) << "text after the last CR LF";
  return lines;
}

// The message of a line: what follows the 19-character stamp and its TAB.
std::string MessageOf(const std::string& line) {
  EXPECT_GE(line.size(), 20u);
  EXPECT_EQ('\t', line[19]);
  return line.substr(20);
}

bool Format(std::wstring* out, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  bool ok = FormatLogMessage(format, args, out);
  va_end(args);
  return ok;
}

TEST(LogTimeStamp, IsLocalTimeInTheFixedShape) {
  EXPECT_EQ(L"2024-03-05 14:07:09\t", FormatLogTimeStamp(zan_test::LocalTime(2024, 3, 5, 14, 7, 9)));
}

TEST(LogFormat, WideStringsNumbersAndLongMessages) {
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
}

TEST(LogFormat, AFormatThatCannotBeAppliedGivesNothing) {
  std::wstring out = L"unchanged";
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
}

TEST(LogFormat, AShortBufferDoublesAtMostTwentyTimesAndNeverThrows) {
  std::wstring out = L"unchanged";
  bool ok = true;
  EXPECT_NO_THROW(ok = FormatWith(NeverFits, &out, L""));
  EXPECT_FALSE(ok);
  EXPECT_EQ(L"unchanged", out);
  // Up to 1024 << 19 characters (1 GiB); a 32-bit process may not get the
  // last buffers, and then gives up without trying them.
  ASSERT_LE(g_capacities.size(), 20u);
  ASSERT_GE(g_capacities.size(), 15u);
  for (size_t i = 0; i < g_capacities.size(); ++i) EXPECT_EQ(size_t{1024} << i, g_capacities[i]);
}

TEST(LogWriter, FirstLineCreatesTheFileAndEndsInCrLf) {
  TempFolder folder;
  LogWriter writer(folder.File(L"zansetup.log"));
  writer.Write(L"first");
  writer.Write(L"");
  std::vector<std::string> lines = Lines(ReadFileBytes(writer.path()));
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ("first", MessageOf(lines[0]));
  EXPECT_EQ(20u, lines[1].size());
  EXPECT_EQ("", MessageOf(lines[1]));
}

// A development build says so first in every log it writes, once, and the
// line counts for no size check.
TEST(LogWriter, ThePreambleComesOnceBeforeTheFirstLineOfEachLog) {
  TempFolder folder;
  const std::string kPreamble = "development build: no publisher key is pinned";
  SetLogPreamble(L"development build: no publisher key is pinned");
  LogWriter first(folder.File(L"first.log")), second(folder.File(L"second.log"));
  first.Write(L"one");
  first.Write(L"two");
  second.Write(L"three");
  SetLogPreamble(L"");
  LogWriter third(folder.File(L"third.log"));
  third.Write(L"four");
  auto messages = [](const LogWriter& writer) {
    std::vector<std::string> found;
    for (const std::string& line : Lines(ReadFileBytes(writer.path()))) found.push_back(MessageOf(line));
    return found;
  };
  EXPECT_EQ((std::vector<std::string>{kPreamble, "one", "two"}), messages(first));
  EXPECT_EQ((std::vector<std::string>{kPreamble, "three"}), messages(second));
  EXPECT_EQ((std::vector<std::string>{"four"}), messages(third));
}

TEST(LogWriter, MessageIsWrittenUnchangedIncludingLineBreaks) {
  TempFolder folder;
  LogWriter writer(folder.File(L"zansetup.log"));
  writer.Write(L"a\r\nb");
  std::string bytes = ReadFileBytes(writer.path());
  EXPECT_EQ("a\r\nb\r\n", bytes.substr(20));
}

TEST(LogWriter, CharactersOutsideTheCodePageAreReplacedNotDropped) {
  TempFolder folder;
  LogWriter writer(folder.File(L"zansetup.log"));
  // U+10FFFF-like private-use text no ANSI code page holds.
  writer.Write(L"x\uE000y");
  std::vector<std::string> lines = Lines(ReadFileBytes(writer.path()));
  ASSERT_EQ(1u, lines.size());
  std::string message = MessageOf(lines[0]);
  EXPECT_EQ('x', message.front());
  EXPECT_EQ('y', message.back());
  EXPECT_GE(message.size(), 3u);
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
  std::vector<std::string> lines = Lines(ReadFileBytes(LogPath()));
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ("tenth", MessageOf(lines[0]));
}

TEST_P(LogRotation, ALogOfExactlyTheLimitStays) {
  const unsigned long long kLine = 20 + 4 + 2;  // stamp, "line", CR LF
  MakeLogOfSize(LogWriter::kMaxSize - 9 * kLine);
  std::unique_ptr<LogWriter> writer = MakeWriter();
  for (int i = 1; i <= 9; ++i) writer->Write(L"line");
  ASSERT_EQ(LogWriter::kMaxSize, FileSize(LogPath()));
  writer->Write(L"line");
  EXPECT_FALSE(FileExists(OldPath()));
  EXPECT_EQ(LogWriter::kMaxSize + kLine, FileSize(LogPath()));
}

TEST_P(LogRotation, TheCheckRepeatsEveryTenCalls) {
  std::unique_ptr<LogWriter> writer = MakeWriter();
  for (int i = 1; i <= 10; ++i) writer->Write(L"small");
  EXPECT_FALSE(FileExists(OldPath()));
  // Grows past the limit behind the writer's back; the 20th call notices.
  ASSERT_TRUE(WriteFileBytes(LogPath(), std::string(LogWriter::kMaxSize + 5, 'o')));
  for (int i = 11; i <= 19; ++i) writer->Write(L"more");
  EXPECT_FALSE(FileExists(OldPath()));
  writer->Write(L"twentieth");
  EXPECT_TRUE(FileExists(OldPath()));
  EXPECT_EQ(1u, Lines(ReadFileBytes(LogPath())).size());
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
  std::vector<std::string> lines = Lines(ReadFileBytes(writer.path()));
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ("one", MessageOf(lines[0]));
  EXPECT_EQ("two", MessageOf(lines[1]));
}

struct ThreadJob {
  LogWriter* writer;
  int thread;
  int lines;
};

unsigned __stdcall WriteMany(void* param) {
  ThreadJob* job = static_cast<ThreadJob*>(param);
  for (int i = 0; i < job->lines; ++i) {
    wchar_t text[64];
    swprintf(text, 64, L"thread %d line %d", job->thread, i);
    job->writer->Write(text);
  }
  return 0;
}

TEST(LogWriter, ThreadsOfOneProcessLoseNoLine) {
  TempFolder folder;
  LogWriter writer(folder.File(L"zansetup.log"));
  const int kThreads = 6;
  const int kLines = 150;
  std::vector<ThreadJob> jobs;
  for (int t = 0; t < kThreads; ++t) jobs.push_back(ThreadJob{&writer, t, kLines});
  std::vector<HANDLE> threads;
  for (ThreadJob& job : jobs) {
    threads.push_back(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, WriteMany, &job, 0, nullptr)));
  }
  ::WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
  for (HANDLE h : threads) ::CloseHandle(h);

  std::vector<std::string> lines = Lines(ReadFileBytes(writer.path()));
  ASSERT_EQ(static_cast<size_t>(kThreads * kLines), lines.size());
  std::vector<int> next(kThreads, 0);
  for (const std::string& line : lines) {
    int thread = -1;
    int index = -1;
    ASSERT_EQ(2, sscanf(MessageOf(line).c_str(), "thread %d line %d", &thread, &index)) << line;
    ASSERT_EQ(next[thread], index) << "lines of one thread out of order";
    ++next[thread];
  }
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

// WriteLog into a log of the test's own: other test processes log into the
// one beside the program at the same time.
class WriteLogTest : public ::testing::Test {
 protected:
  WriteLogTest() : log_(folder_.File(L"zansetup.log")) {}
  std::vector<std::string> Messages() const {
    std::vector<std::string> messages;
    for (const std::string& line : Lines(ReadFileBytes(log_.path()))) messages.push_back(MessageOf(line));
    return messages;
  }
  TempFolder folder_;
  ScopedLogRedirect log_;
};

TEST_F(WriteLogTest, AppendsOneLineAndDropsBadFormats) {
  WriteLog(L"%s and %d", L"marker", 42);
  WriteLog(nullptr);
  WriteLog(L"%q");
  EXPECT_EQ(std::vector<std::string>{"marker and 42"}, Messages());
}

TEST_F(WriteLogTest, BadFormatsDoNotAdvanceTheCallCounter) {
  ASSERT_TRUE(WriteFileBytes(log_.path(), std::string(LogWriter::kMaxSize + 1, 'o')));
  for (int i = 1; i <= 9; ++i) {
    WriteLog(L"line %d", i);
    WriteLog(L"%q");
  }
  EXPECT_FALSE(FileExists(folder_.File(L"zansetup.log.1"))) << "bad formats were counted";
  WriteLog(L"line %d", 10);
  EXPECT_TRUE(FileExists(folder_.File(L"zansetup.log.1")));
  EXPECT_EQ(std::vector<std::string>{"line 10"}, Messages());
}

void SentinelHandler(const wchar_t*, const wchar_t*, const wchar_t*, unsigned, uintptr_t) {}

const int kFormatLines = 300;

unsigned __stdcall LogGoodAndBad(void* param) {
  int thread = *static_cast<int*>(param);
  for (int i = 0; i < kFormatLines; ++i) {
    WriteLog(L"thread %d line %d", thread, i);
    // Bad formats never reach the file, so the threads spend most of their
    // time formatting side by side; the padding keeps each format (and the
    // handler swapped around it) long enough to meet another thread's.
    for (int bad = 0; bad < 10; ++bad) {
      WriteLog(L"%1000d bad %q", thread);
      WriteLog(nullptr);
    }
  }
  return 0;
}

TEST_F(WriteLogTest, ThreadsFormattingAtOnceLeaveTheInvalidParameterHandlerAsFound) {
  _invalid_parameter_handler original = _set_invalid_parameter_handler(SentinelHandler);
  const int kThreads = 4;
  int ids[kThreads];
  std::vector<HANDLE> threads;
  for (int t = 0; t < kThreads; ++t) {
    ids[t] = t;
    threads.push_back(
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, LogGoodAndBad, &ids[t], 0, nullptr)));
  }
  ::WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
  for (HANDLE h : threads) ::CloseHandle(h);
  _invalid_parameter_handler inForce = _set_invalid_parameter_handler(original);
  EXPECT_EQ(reinterpret_cast<void*>(SentinelHandler), reinterpret_cast<void*>(inForce));

  std::vector<int> next(kThreads, 0);
  for (const std::string& message : Messages()) {
    int thread = -1;
    int index = -1;
    ASSERT_EQ(2, sscanf(message.c_str(), "thread %d line %d", &thread, &index)) << message;
    ASSERT_TRUE(thread >= 0 && thread < kThreads) << message;
    ASSERT_EQ(next[thread], index) << "lines of one thread lost or out of order";
    ++next[thread];
  }
  EXPECT_EQ(std::vector<int>(kThreads, kFormatLines), next);
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
