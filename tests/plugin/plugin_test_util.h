// What the plug-in's tests share: the registered DLL under test, a user hive
// of their own for the registry record, a stand-in setup program and the
// DLL's log.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
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

// The lines a DLL's log ("zansetup.log" beside it) gained since this was made,
// without their time.
class DllLog {
 public:
  explicit DllLog(const std::wstring& dll);
  std::vector<std::string> NewLines() const;

 private:
  std::wstring path_;
  size_t start_ = 0;
};

// The page lock, as both faces meet it: the document that holds the control
// or the plug-in, what the top-level page or its script claim, and which
// build is asked.
enum class Build { kDevelopment, kPinned };
struct PageCase {
  const char* what;
  Build build;
  // The address of the document that holds it; null: no page at all (a
  // script host); "": a page whose address cannot be read.
  const wchar_t* document;
  // The top-level browser's address, which is also what the page's script
  // makes window.location say (null: the document's own); neither may decide.
  const wchar_t* top;
  // Why the address is refused ("it is not served over https"); empty: the
  // setup program starts.
  std::string reason;
};
std::vector<PageCase> PageLockTable();

// The log line of a case that is refused, with the address the face read
// (the control: the document's address; the plug-in: its origin).
std::string PageRefusalLine(const PageCase& page, const std::wstring& address);

// "scheme://host[:port]" of an address, as a browser gives a document's origin.
std::wstring OriginOf(const std::wstring& url);

// The pinned build's DLL (tests-bin/pinned), copied into `folder` so that
// its log goes there.
std::wstring PinnedPluginCopy(const std::wstring& folder);

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

  // The DLL each case of the page table is asked through: the registered
  // one, or a pinned copy in this test's folder.
  std::wstring DllFor(Build build);

  ScopedUserHive hive_;
  TempFolder temp_;

 private:
  std::unique_ptr<DllLog> log_;
  std::wstring pinned_;
};

}  // namespace zan_test
