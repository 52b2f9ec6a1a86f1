#include <gtest/gtest.h>

#include <process.h>

#include <cstdarg>
#include <ctime>
#include <vector>

#include "setup/common/log.h"
#include "test_util.h"

namespace zan {
namespace {

using zan_test::FileExists;
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
  struct tm local = {};
  local.tm_year = 2024 - 1900;
  local.tm_mon = 2;
  local.tm_mday = 5;
  local.tm_hour = 14;
  local.tm_min = 7;
  local.tm_sec = 9;
  local.tm_isdst = -1;
  __time64_t when = _mktime64(&local);
  EXPECT_EQ(L"2024-03-05 14:07:09\t", FormatLogTimeStamp(when));
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
  EXPECT_EQ(L"unchanged", out);
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

class LogRotation : public ::testing::Test {
 protected:
  std::wstring LogPath() const { return folder_.File(L"zansetup.log"); }
  std::wstring OldPath() const { return folder_.File(L"zansetup.log.1"); }
  void MakeLogOfSize(unsigned long long size) {
    ASSERT_TRUE(WriteFileBytes(LogPath(), std::string(static_cast<size_t>(size), 'o')));
  }
  TempFolder folder_;
};

TEST_F(LogRotation, OverTheLimitMovesAtTheTenthCallAndReplacesTheOldGeneration) {
  ASSERT_TRUE(WriteFileBytes(OldPath(), "older generation"));
  MakeLogOfSize(LogWriter::kMaxSize + 1);
  LogWriter writer(LogPath());
  for (int i = 1; i <= 9; ++i) writer.Write(L"before");
  EXPECT_EQ("older generation", ReadFileBytes(OldPath())) << "rotated before the tenth call";
  EXPECT_GT(FileSize(LogPath()), LogWriter::kMaxSize + 9 * 20);

  writer.Write(L"tenth");
  EXPECT_GT(FileSize(OldPath()), LogWriter::kMaxSize + 9 * 20);
  std::vector<std::string> lines = Lines(ReadFileBytes(LogPath()));
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ("tenth", MessageOf(lines[0]));
}

TEST_F(LogRotation, ALogOfExactlyTheLimitStays) {
  const unsigned long long kLine = 20 + 4 + 2;  // stamp, "line", CR LF
  MakeLogOfSize(LogWriter::kMaxSize - 9 * kLine);
  LogWriter writer(LogPath());
  for (int i = 1; i <= 9; ++i) writer.Write(L"line");
  ASSERT_EQ(LogWriter::kMaxSize, FileSize(LogPath()));
  writer.Write(L"line");
  EXPECT_FALSE(FileExists(OldPath()));
  EXPECT_EQ(LogWriter::kMaxSize + kLine, FileSize(LogPath()));
}

TEST_F(LogRotation, TheCheckRepeatsEveryTenCalls) {
  LogWriter writer(LogPath());
  for (int i = 1; i <= 10; ++i) writer.Write(L"small");
  EXPECT_FALSE(FileExists(OldPath()));
  // Grows past the limit behind the writer's back; the 20th call notices.
  ASSERT_TRUE(WriteFileBytes(LogPath(), std::string(LogWriter::kMaxSize + 5, 'o')));
  for (int i = 11; i <= 19; ++i) writer.Write(L"more");
  EXPECT_FALSE(FileExists(OldPath()));
  writer.Write(L"twentieth");
  EXPECT_TRUE(FileExists(OldPath()));
  EXPECT_EQ(1u, Lines(ReadFileBytes(LogPath())).size());
}

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

TEST(WriteLog, AppendsBesideTheProgramAndDropsBadFormats) {
  std::wstring path = GetModuleFolder(nullptr) + L"zansetup.log";
  std::string before = ReadFileBytes(path);
  wchar_t marker[64];
  swprintf(marker, 64, L"marker %lu", ::GetTickCount());
  WriteLog(L"%s and %d", marker, 42);
  WriteLog(nullptr);
  std::string after = ReadFileBytes(path);
  ASSERT_GT(after.size(), before.size());
  std::vector<std::string> added = Lines(after.substr(before.size()));
  ASSERT_EQ(1u, added.size());
  char expected[80];
  snprintf(expected, sizeof(expected), "%ls and 42", marker);
  EXPECT_EQ(expected, MessageOf(added[0]));
}

}  // namespace
}  // namespace zan
