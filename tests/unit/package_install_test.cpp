// The installer's start: the checked package held until it runs, and an
// installer that cannot be resumed.
#include <gtest/gtest.h>

#include <windows.h>

#include "setup/common/handles.h"
#include "setup/common/log.h"
#include "setup/common/file_digests.h"
#include "setup/common/string_util.h"
#include "setup/ui/messages.h"
#include "setup/driver/package_install.h"
#include "test_util.h"

namespace zan {
namespace {

using zan_test::TempFolder;

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
  zan_test::MessageWindow window;
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

// The agent as an installer is started: suspended.
bool StartSuspendedAgent(int seconds, ScopedHandle* process, ScopedHandle* thread) {
  std::wstring line = L"\"" + zan_test::DemoAgentPath() + L"\" " + std::to_wstring(seconds);
  STARTUPINFOW startup = {sizeof(startup)};
  PROCESS_INFORMATION info = {};
  if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                        &startup, &info)) {
    return false;
  }
  process->reset(info.hProcess);
  thread->reset(info.hThread);
  return true;
}

// A started installer runs and ends well; one whose resume fails (a handle
// without the right to resume makes it fail for real) is ended as a failure,
// never left suspended.
TEST(PackageInstall, AnInstallerThatCannotBeResumedIsEnded) {
  for (bool resumable : {true, false}) {
    SCOPED_TRACE(resumable ? "resumable" : "not resumable");
    ScopedHandle process, thread;
    ASSERT_TRUE(StartSuspendedAgent(resumable ? 1 : 60, &process, &thread));
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

}  // namespace
}  // namespace zan
