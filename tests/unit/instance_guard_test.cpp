// The single-instance guard, and the hand-over to the elevated run.
#include <gtest/gtest.h>

#include <windows.h>

#include <cwchar>

#include "setup/common/files.h"
#include "setup/common/handles.h"
#include "setup/common/log.h"
#include "setup/driver/instance_guard.h"
#include "setup/driver/rights.h"
#include "test_util.h"

namespace zan {
namespace {

std::wstring UniqueName(const wchar_t* stem) {
  wchar_t name[96];
  swprintf(name, 96, L"%ls-%lu-%lu", stem, ::GetCurrentProcessId(), ::GetTickCount());
  return name;
}

bool EventExists(const std::wstring& name) {
  ScopedHandle probe(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
  return ::GetLastError() == ERROR_ALREADY_EXISTS;
}

TEST(InstanceGuard, HeldUntilReleasedThenFreeForTheNextRun) {
  std::wstring name = UniqueName(L"ZanGuardTest");
  ASSERT_EQ(GuardResult::kTaken, AcquireInstanceGuard(name));
  EXPECT_TRUE(EventExists(name));
  {
    // A second run of the same product in this process sees it taken.
    ScopedHandle other(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), ::GetLastError());
  }
  ReleaseInstanceGuard();
  EXPECT_FALSE(EventExists(name));
  EXPECT_EQ(GuardResult::kTaken, AcquireInstanceGuard(name));
  ReleaseInstanceGuard();
}

// The "launcher" here is the test driver, which reports whether the guard's
// event still existed when it started.
TEST(InstanceGuard, TheElevatedRunStartsWithTheGuardAlreadyReleased) {
  zan_test::TempFolder folder;
  std::wstring name = UniqueName(L"ZanGuardHandOver");
  std::wstring result = folder.File(L"probe.txt");
  ASSERT_EQ(GuardResult::kTaken, AcquireInstanceGuard(name));
  StartElevatingLauncher(GetModuleFolder(nullptr) + L"zsdriver.exe", L"event " + name + L" " + result);
  std::string seen;
  for (int i = 0; i < 300 && seen.empty(); ++i) {
    ::Sleep(100);
    seen = zan_test::ReadFileBytes(result);
  }
  ReleaseInstanceGuard();
  EXPECT_EQ("free", seen);
}

}  // namespace
}  // namespace zan
