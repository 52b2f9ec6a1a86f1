// The installer's start: the checked package held until it runs, and an
// installer that cannot be resumed.
#include <gtest/gtest.h>

#include <windows.h>

#include "setup/common/handles.h"
#include "setup/common/log.h"
#include "setup/common/file_digests.h"
#include "setup/common/md5.h"
#include "setup/ui/messages.h"
#include "setup/driver/package_install.h"
#include "test_util.h"

namespace zan {
namespace {

using zan_test::TempFolder;

std::wstring FileMd5(const std::wstring& path) {
  std::string bytes = zan_test::ReadFileBytes(path);
  Md5Context context;
  context.Add(bytes.data(), bytes.size());
  unsigned char digest[Md5Context::kDigestSize];
  context.Finish(digest);
  std::string text = Md5DigestText(digest);
  return std::wstring(text.begin(), text.end());
}

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
  HWND window = ::CreateWindowW(L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  ASSERT_NE(nullptr, window);
  ScopedHandle job(::CreateJobObjectW(nullptr, nullptr));
  {
    ScopedFile held = OpenPackageForInstall(package);
    ASSERT_TRUE(held.valid());
    EXPECT_TRUE(CheckFileMd5(held.get(), FileMd5(package)));

    ScopedFile writer(::CreateFileW(package.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(writer.valid()) << "written to between check and start";
    EXPECT_FALSE(::MoveFileExW(other.c_str(), package.c_str(), MOVEFILE_REPLACE_EXISTING))
        << "replaced between check and start";
    EXPECT_FALSE(::MoveFileExW(package.c_str(), folder.File(L"moved.exe").c_str(), 0))
        << "renamed away between check and start";
    EXPECT_FALSE(::DeleteFileW(package.c_str()));

    // The held file still starts; the wait thread reports the agent's end.
    EXPECT_TRUE(StartInstaller(L"\"" + package + L"\" 1", job.get(), window));
  }
  EXPECT_TRUE(WaitForMessage(window, UM_INSTALL_DONE, 20000));
  EXPECT_EQ(FileMd5(zan_test::DemoAgentPath()), FileMd5(package)) << "the package on disk is still the checked one";
  ::DestroyWindow(window);
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

TEST(PackageInstall, AnInstallerThatCannotBeResumedIsEnded) {
  ScopedHandle process;
  ScopedHandle thread;
  ASSERT_TRUE(StartSuspendedAgent(60, &process, &thread));
  // A handle without the right to resume makes the resume fail for real.
  HANDLE limited = nullptr;
  ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), thread.get(), ::GetCurrentProcess(), &limited,
                                SYNCHRONIZE, FALSE, 0));
  ScopedHandle weak(limited);
  EXPECT_FALSE(ResumeInstaller(process.get(), weak.get()));
  ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(process.get(), 10000)) << "left suspended";
  DWORD code = 0;
  ::GetExitCodeProcess(process.get(), &code);
  EXPECT_NE(0u, code) << "ended as a failure";
}

TEST(PackageInstall, AResumedInstallerRuns) {
  ScopedHandle process;
  ScopedHandle thread;
  ASSERT_TRUE(StartSuspendedAgent(1, &process, &thread));
  EXPECT_TRUE(ResumeInstaller(process.get(), thread.get()));
  ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(process.get(), 20000));
  DWORD code = 1;
  ::GetExitCodeProcess(process.get(), &code);
  EXPECT_EQ(0u, code);
}

}  // namespace
}  // namespace zan
