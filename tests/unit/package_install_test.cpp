// The demo agent as the programs a setup meets: the installer it starts,
// held from its check until it runs, and the conflicting programs it scans
// for, running from a folder of the test's own under a name no other
// process has.
#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "setup/common/handles.h"
#include "setup/common/file_digests.h"
#include "setup/common/string_util.h"
#include "setup/driver/conflicts.h"
#include "setup/driver/package_install.h"
#include "setup/ui/messages.h"
#include "test_util.h"

namespace zan {
namespace {

using zan_test::TempFolder;

// Starts `program` (a copy of the agent) to wait `seconds`.
bool StartAgent(const std::wstring& program, int seconds, DWORD flags, PROCESS_INFORMATION* info) {
  std::wstring line = L"\"" + program + L"\" " + std::to_wstring(seconds);
  STARTUPINFOW startup = {sizeof(startup)};
  return ::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, flags, nullptr, nullptr, &startup, info) !=
         FALSE;
}

std::string FileMd5(const std::wstring& path) { return zan_test::Md5Text(zan_test::ReadFileBytes(path)); }

// Waits, pumping this thread's messages, for `message` to reach `window`.
bool WaitForMessage(HWND window, UINT message, DWORD timeoutMs) {
  DWORD deadline = ::GetTickCount() + timeoutMs;
  while (::GetTickCount() < deadline) {
    MSG msg;
    while (::PeekMessageW(&msg, window, 0, 0, PM_REMOVE)) {
      if (msg.message == message) return true;
    }
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLPOSTMESSAGE);
  }
  return false;
}

TEST(PackageInstall, TheCheckedPackageCannotBeSwappedUntilTheInstallerRuns) {
  TempFolder folder;
  std::wstring package = folder.File(L"install.exe");
  std::wstring other = folder.File(L"other.exe");
  ASSERT_TRUE(::CopyFileW(zan_test::DemoAgentPath().c_str(), package.c_str(), FALSE));
  ASSERT_TRUE(zan_test::WriteFileBytes(other, "not the package"));
  zan_test::ScopedWindow window = zan_test::MessageWindow();
  ASSERT_NE(nullptr, window.get());
  ScopedHandle job(::CreateJobObjectW(nullptr, nullptr));
  {
    ScopedFile held = OpenPackageForInstall(package);
    ASSERT_TRUE(held.valid());
    EXPECT_TRUE(CheckFileMd5(held.get(), Utf8ToWide(FileMd5(package))));

    ScopedFile writer(::CreateFileW(package.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(writer.valid()) << "written to between check and start";
    EXPECT_FALSE(::MoveFileExW(other.c_str(), package.c_str(), MOVEFILE_REPLACE_EXISTING))
        << "replaced between check and start";
    EXPECT_FALSE(::MoveFileExW(package.c_str(), folder.File(L"moved.exe").c_str(), 0))
        << "renamed away between check and start";
    EXPECT_FALSE(::DeleteFileW(package.c_str()));

    // The held file still starts; the wait thread reports the agent's end.
    EXPECT_TRUE(StartInstaller(L"\"" + package + L"\" 1", job.get(), window.get()));
  }
  EXPECT_TRUE(WaitForMessage(window.get(), UM_INSTALL_DONE, 20000));
  EXPECT_EQ(FileMd5(zan_test::DemoAgentPath()), FileMd5(package)) << "the package on disk is still the checked one";
}

// A started installer runs and ends well; one whose resume fails (a handle
// without the right to resume makes it fail for real) is ended as a failure,
// never left suspended.
TEST(PackageInstall, AnInstallerThatCannotBeResumedIsEnded) {
  for (bool resumable : {true, false}) {
    SCOPED_TRACE(resumable ? "resumable" : "not resumable");
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(StartAgent(zan_test::DemoAgentPath(), resumable ? 1 : 60, CREATE_SUSPENDED, &info));
    ScopedHandle process(info.hProcess), thread(info.hThread);
    HANDLE limited = nullptr;
    ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), thread.get(), ::GetCurrentProcess(), &limited,
                                  SYNCHRONIZE, FALSE, 0));
    ScopedHandle weak(limited);
    EXPECT_EQ(resumable, ResumeInstaller(process.get(), resumable ? thread.get() : weak.get()));
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(process.get(), 20000)) << "left suspended";
    DWORD code = 0;
    ::GetExitCodeProcess(process.get(), &code);
    EXPECT_EQ(resumable, code == 0);
  }
}

class ConflictScan : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const wchar_t* name : {L"ZanProbe.exe", L"ZanLater.exe"}) {
      ASSERT_TRUE(::CopyFileW(zan_test::DemoAgentPath().c_str(), folder_.File(name).c_str(), FALSE)) << name;
    }
    ASSERT_TRUE(Start(0, &running_));
    WaitUntilReadable(running_);
  }
  void TearDown() override {
    for (PROCESS_INFORMATION* info : {&running_, &suspended_, &later_}) {
      if (!info->hProcess) continue;
      ::TerminateProcess(info->hProcess, 0);
      ::WaitForSingleObject(info->hProcess, 10000);
      ::CloseHandle(info->hProcess);
      ::CloseHandle(info->hThread);
    }
  }
  bool Start(DWORD flags, PROCESS_INFORMATION* info, const wchar_t* name = L"ZanProbe.exe") {
    return StartAgent(folder_.File(name), 120, flags, info);
  }
  // The folder as a process's path gives it: no trailing backslash.
  std::wstring Folder() const { return folder_.path().substr(0, folder_.path().size() - 1); }

  std::map<DWORD, std::wstring> Scan(const std::vector<std::wstring>& names, const std::wstring& installFolder,
                                     ConflictScanMode mode = ConflictScanMode::kWorkflow) {
    std::map<DWORD, std::wstring> found;
    EXPECT_TRUE(ScanConflictingProcesses(names, installFolder, mode, &found));
    return found;
  }
  // A started program needs a moment before its module list can be read.
  void WaitUntilReadable(const PROCESS_INFORMATION& info, const wchar_t* name = L"ZanProbe.exe") {
    for (int i = 0; i < 100 && !Scan({name}, Folder()).count(info.dwProcessId); ++i) ::Sleep(50);
  }

  TempFolder folder_;
  PROCESS_INFORMATION running_ = {};
  PROCESS_INFORMATION suspended_ = {};
  PROCESS_INFORMATION later_ = {};
};

TEST_F(ConflictScan, NameAndFolderMatchIgnoringCaseAsWritten) {
  std::map<DWORD, std::wstring> found = Scan({L"zanprobe.EXE"}, LowerAscii(Folder()));
  ASSERT_EQ(1u, found.count(running_.dwProcessId)) << "name and folder in another case";
  EXPECT_EQ(L"ZanProbe.exe", found[running_.dwProcessId]);
  EXPECT_EQ(1u, Scan({L"other.exe", L"ZanProbe.exe"}, Folder()).count(running_.dwProcessId))
      << "the second listed name counts as the first";
  EXPECT_TRUE(Scan({L"other.exe"}, Folder()).empty());
  EXPECT_TRUE(Scan({L"ZanProbe.exe"}, Folder() + L"\\").empty()) << "a trailing backslash differs";
  EXPECT_TRUE(Scan({L"ZanProbe.exe"}, Folder() + L"\\sub").empty());
  EXPECT_TRUE(Scan({L"ZanProbe.exe"}, L"").empty()) << "no install folder, no conflict";
  EXPECT_TRUE(Scan({L""}, L"").empty());
}

// A process that has not run yet has no module list: its path cannot be read.
TEST_F(ConflictScan, AProcessWhosePathCannotBeReadNeverMatches) {
  ASSERT_TRUE(Start(CREATE_SUSPENDED, &suspended_));
  std::map<DWORD, std::wstring> found = Scan({L"ZanProbe.exe"}, Folder());
  EXPECT_EQ(1u, found.count(running_.dwProcessId));
  EXPECT_EQ(0u, found.count(suspended_.dwProcessId));
  EXPECT_EQ(0u, Scan({L"ZanProbe.exe"}, L"").count(suspended_.dwProcessId));
}

// The dialog's scans say nothing of what they could not read, and name each
// conflict as they find it: name by name through the process list, not by
// process id, and never twice for one process.
TEST_F(ConflictScan, TheDialogsScanIsSilentOnFailuresAndLogsEachFindInNameOrder) {
  ASSERT_TRUE(Start(0, &later_, L"ZanLater.exe"));
  WaitUntilReadable(later_, L"ZanLater.exe");
  ASSERT_TRUE(Start(CREATE_SUSPENDED, &suspended_));
  const std::vector<std::wstring> names = {L"ZanLater.exe", L"ZanProbe.exe"};
  auto line = [](const char* name, const PROCESS_INFORMATION& info) {
    return std::string("Get conflict process name:") + name + ", process id:" + std::to_string(info.dwProcessId);
  };
  {
    zan_test::LogLinesAdded log;
    std::map<DWORD, std::wstring> found;
    ASSERT_TRUE(ScanConflictingProcesses(names, Folder(), ConflictScanMode::kDialog, &found));
    ASSERT_TRUE(ScanConflictingProcesses(names, Folder(), ConflictScanMode::kDialog, &found));
    EXPECT_EQ(2u, found.size());
    EXPECT_EQ((std::vector<std::string>{line("ZanLater.exe", later_), line("ZanProbe.exe", running_)}),
              log.Messages());
  }
  // The workflow's check names the process it could not read and no find.
  zan_test::LogLinesAdded log;
  EXPECT_EQ(2u, Scan(names, Folder()).size());
  const std::string unread = "process id " + std::to_string(suspended_.dwProcessId) + " fail";
  ASSERT_EQ(1u, log.Messages().size());
  EXPECT_NE(std::string::npos, log.Messages()[0].find(unread)) << log.Messages()[0];
}

}  // namespace
}  // namespace zan
