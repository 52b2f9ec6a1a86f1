// What the plug-in's tests share: the registered DLL under test, a user hive
// of their own for the registry record, a stand-in setup program and the
// DLL's log.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace zan_test {

// The registered copy of the DLL that tests/e2e/test_plugin.py names.
std::wstring PluginDll();

// What a page may pass that neither face takes, and the refusal each gets
// ("InstallOneClick refused: " and this).
struct UnsafeValues {
  std::wstring name;
  std::wstring version;
  std::string refusal;
};
std::vector<UnsafeValues> UnsafeValueTable();

// Characters in a string no name can have: longer than any name, so both
// faces refuse it by its length before they copy it.
constexpr size_t kHugeLength = 300000000;

class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override;

  // The log lines the DLL wrote since the test began, without their time.
  std::vector<std::string> NewLogLines() const;
  // That the DLL wrote `count` lines since the test began, the last `line`.
  void ExpectLastLine(const std::string& line, size_t count) const;

  // zsdriver copied as ZanSetup.exe into a folder with a blank: started, it
  // records its command line beside itself.
  std::wstring StandIn();

  // The command line the stand-in was started with, or "<not started>"
  // after 15 seconds.
  static std::string WaitForCommandLine(const std::wstring& program);

  // The setup program's registry record, in this test's own hive.
  void SetRecord(const std::wstring& version, const std::wstring& path);

  ScopedUserHive hive_;
  TempFolder temp_;

 private:
  std::wstring logPath_;
  size_t logStart_ = 0;
};

}  // namespace zan_test
