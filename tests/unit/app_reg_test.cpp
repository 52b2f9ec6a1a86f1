// The registry in a redirected user hive: the record read and written, the
// rollout bucket and channel kept in it, and install folders read from a
// publisher's registry path.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <set>
#include <string>
#include <vector>

#include "setup/common/app_reg.h"
#include "setup/common/handles.h"
#include "setup/driver/registry_path.h"
#include "setup/driver/release_control.h"
#include "setup/driver/release_gate.h"
#include "test_util.h"

namespace zan {
namespace {

using zan_test::GetUserString;
using zan_test::SetUserString;
using zan_test::SetUserValue;

const wchar_t* const kRecord = CAppReg::kKeyPath;

class AppRecord : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(hive_.ok()); }
  // The record's value names as stored, sorted.
  static std::vector<std::wstring> ValueNames() {
    std::vector<std::wstring> names;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, kRecord, 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
    ScopedRegKey held(key);
    for (DWORD i = 0;; ++i) {
      wchar_t name[256];
      DWORD length = 256;
      if (::RegEnumValueW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  static void Set(const wchar_t* key, const wchar_t* name, const std::wstring& value) {
    ASSERT_TRUE(SetUserString(key, name, value));
  }
  static bool SetBucket(DWORD value) {
    return SetUserValue(kRecord, kRolloutBucketValue, REG_DWORD, &value, sizeof(value));
  }
  static bool StoredBucket(unsigned long* value) { return CAppReg().GetRegAppDword(kRolloutBucketValue, value); }
  zan_test::ScopedUserHive hive_;
  CAppReg record_;
};

class RecordedRelease : public AppRecord {};
class RegistryValues : public AppRecord {};

TEST_F(AppRecord, AKeyWithoutValuesReadsFalseAndNamesMatchInAnyCase) {
  std::wstring version, path = L"kept", stamp = L"kept";
  EXPECT_FALSE(record_.GetRegAppInfo(version, path));
  EXPECT_FALSE(record_.GetRegAppValue(L"updatetime", stamp));
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyW(HKEY_CURRENT_USER, kRecord, &key));
  ::RegCloseKey(key);
  EXPECT_FALSE(record_.GetRegAppInfo(version, path)) << "a key without values reads false too";
  EXPECT_EQ(L"", version);
  EXPECT_EQ(L"kept", path);
  EXPECT_EQ(L"kept", stamp);

  ASSERT_TRUE(SetUserString(kRecord, L"Install_dir", L"C:\\Apps\\ZanSetup\\ZanSetup.exe"));
  EXPECT_TRUE(record_.GetRegAppInfo(version, path));
  EXPECT_EQ(L"C:\\Apps\\ZanSetup\\ZanSetup.exe", path);
  EXPECT_EQ(L"", version);
  ASSERT_TRUE(SetUserString(kRecord, L"UpdateTime", L"20240305140709"));
  EXPECT_TRUE(record_.GetRegAppValue(L"updatetime", stamp));
  EXPECT_EQ(L"20240305140709", stamp);
  std::wstring missing = L"kept";
  EXPECT_TRUE(record_.GetRegAppValue(L"nosuchvalue", missing)) << "the key holds values";
  EXPECT_EQ(L"kept", missing);
}

TEST_F(AppRecord, AValueTooLongForTheBuffersEndsTheEnumerationAndDataNeedsNoTerminator) {
  // Created in name order, so it is the enumeration order whichever of the
  // two the registry uses: Install_dir, then the long one, then version.
  ASSERT_TRUE(SetUserString(kRecord, L"Install_dir", L"C:\\ZanSetup.exe"));
  ASSERT_TRUE(SetUserString(kRecord, L"Long", std::wstring(256, L'x')));
  ASSERT_TRUE(SetUserString(kRecord, L"version", L"2.0"));
  std::wstring version, path;
  EXPECT_TRUE(record_.GetRegAppInfo(version, path));
  EXPECT_EQ(L"C:\\ZanSetup.exe", path);
  EXPECT_EQ(L"", version) << "values after the long one are not seen";

  // 255 characters and the terminator fill the 512 bytes exactly: still read.
  ASSERT_TRUE(SetUserString(kRecord, L"Long", std::wstring(255, L'x')));
  EXPECT_TRUE(record_.GetRegAppInfo(version, path));
  EXPECT_EQ(L"2.0", version);

  // 512 bytes of binary data and no zero: read as 256 characters, no more.
  std::wstring full(256, L'y');
  ASSERT_TRUE(SetUserValue(kRecord, L"version", REG_BINARY, full.data(), 512));
  EXPECT_TRUE(record_.GetRegAppInfo(version, path));
  EXPECT_EQ(full, version);
}

TEST_F(AppRecord, WritesCreateTheKeySetAnEmptyDefaultAndRemoveNothing) {
  ASSERT_TRUE(SetUserString(L"Software\\Corvela", L"Other", L"stays"));
  record_.RegAppInfo(L"1.9", L"C:\\Program Files\\ZanSetup\\ZanSetup.exe");
  std::wstring version, path;
  ASSERT_TRUE(record_.GetRegAppInfo(version, path));
  EXPECT_EQ(L"1.9", version);
  EXPECT_EQ(L"C:\\Program Files\\ZanSetup\\ZanSetup.exe", path);
  EXPECT_EQ((std::vector<std::wstring>{L"", L"Install_dir", L"version"}), ValueNames())
      << "the path's name is written with a capital I";
  EXPECT_EQ(L"", GetUserString(kRecord, nullptr));
  EXPECT_EQ(L"stays", GetUserString(L"Software\\Corvela", L"Other"));

  ASSERT_TRUE(SetUserString(kRecord, nullptr, L"not empty"));
  record_.WriteRegAppValue(L"updatetime", L"20240305140709");
  EXPECT_EQ(L"20240305140709", GetUserString(kRecord, L"updatetime"));
  EXPECT_EQ(L"1.9", GetUserString(kRecord, L"version"));
  EXPECT_EQ(L"C:\\Program Files\\ZanSetup\\ZanSetup.exe", GetUserString(kRecord, L"Install_dir"));
  EXPECT_EQ(L"", GetUserString(kRecord, nullptr));

  // Quotes and braces are stored as they are.
  record_.WriteRegAppValue(L"version", L"2.0 'beta' {x}");
  EXPECT_EQ(L"2.0 'beta' {x}", GetUserString(kRecord, L"version"));
}

TEST_F(RecordedRelease, ABucketIsDrawnOnceAndKeptAndOneOutOfRangeIsDrawnAgain) {
  unsigned long stored = 0;
  unsigned first = 0;
  {
    zan_test::LogLinesAdded log;
    first = RolloutBucket();
    ASSERT_LT(first, kBucketCount);
    ASSERT_TRUE(StoredBucket(&stored));
    EXPECT_EQ(first, stored);
    EXPECT_EQ(first, RolloutBucket()) << "kept over a second check";
    EXPECT_EQ(std::vector<std::string>{"drew the rollout bucket " + std::to_string(first)}, log.Messages());
  }
  for (DWORD kept : {0ul, 9999ul}) {
    ASSERT_TRUE(SetBucket(kept));
    EXPECT_EQ(kept, RolloutBucket());
  }
  for (DWORD outside : {10000ul, 0xFFFFFFFFul}) {
    ASSERT_TRUE(SetBucket(outside));
    zan_test::LogLinesAdded log;
    unsigned drawn = RolloutBucket();
    EXPECT_LT(drawn, kBucketCount);
    ASSERT_TRUE(StoredBucket(&stored));
    EXPECT_EQ(drawn, stored);
    EXPECT_EQ(std::vector<std::string>{"the rollout bucket " + std::to_string(outside) +
                                       " is out of range: drew the rollout bucket " + std::to_string(drawn)},
              log.Messages());
  }
  // A text where the number belongs is no bucket either.
  ASSERT_TRUE(SetUserString(kRecord, kRolloutBucketValue, L"42"));
  EXPECT_LT(RolloutBucket(), kBucketCount);
  ASSERT_TRUE(StoredBucket(&stored));

  // The generator's, not a constant: eight fresh installations do not all
  // draw the same bucket.
  std::set<unsigned> drawn;
  for (int i = 0; i < 8; ++i) {
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kRecord, kRolloutBucketValue);
    drawn.insert(RolloutBucket());
  }
  EXPECT_GT(drawn.size(), 1u);
}

TEST_F(RecordedRelease, TheRecordsChannelOrTheDefaultOneForAnythingElse) {
  const struct {
    const wchar_t* stored;  // null: no value
    const wchar_t* channel;
    const char* line;       // null: nothing logged
  } kRows[] = {
      {nullptr, L"", nullptr}, {L"", L"", nullptr}, {L"beta", L"beta", nullptr},
      {L"Beta", L"", "the channel \"Beta\" is no channel name: the default channel is used"},
      {L"../new", L"", "the channel \"../new\" is no channel name: the default channel is used"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.stored ? row.stored : L"(none)");
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kRecord, kChannelValue);
    if (row.stored) {
      ASSERT_TRUE(SetUserString(kRecord, kChannelValue, row.stored));
    }
    zan_test::LogLinesAdded log;
    EXPECT_EQ(row.channel, RecordedChannel());
    EXPECT_EQ(row.line ? std::vector<std::string>{row.line} : std::vector<std::string>(), log.Messages());
  }
}

// An elevated run reads install folders from the machine's hive alone; a
// run without the rights from any root, an unknown one meaning the user's.
// The root's and the value's names match in any case; a missing value, key
// or path reads nothing, nor does a value listed after one too long for the
// buffer (created first and first by name, so listed first whether the
// registry lists values in creation or in name order).
TEST_F(RegistryValues, AnElevatedRunReadsInstallFoldersFromTheMachinesHiveOnly) {
  // The machine's hive, redirected into the test's own user hive.
  HKEY machine = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyW(HKEY_CURRENT_USER, L"Machine", &machine));
  ScopedRegKey held(machine);
  ASSERT_EQ(ERROR_SUCCESS, ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine));
  struct Restore {
    ~Restore() { ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr); }
  } restore;
  Set(L"Machine\\Software\\Foo", L"InstallDir", L"C:\\Program Files\\Foo");
  Set(L"Software\\Foo", L"Other", L"x");
  Set(L"Software\\Foo", L"InstallDir", L"C:\\Users\\Foo");
  Set(L"Software\\Long", L"A_Long", std::wstring(300, L'x'));
  Set(L"Software\\Long", L"B_Wanted", L"C:\\Apps\\Foo");
  const std::string refusedRoot = "the elevated run reads install folders from HKEY_LOCAL_MACHINE only, not from: ";
  const std::string unknownRoot = "the elevated run reads no install folder under a root it does not know: ";
  const struct {
    const wchar_t* path;
    KeyRoots roots;
    const wchar_t* folder;  // nullptr: nothing read
    std::string line;
  } rows[] = {
      {L"HKEY_LOCAL_MACHINE\\Software\\Foo\\InstallDir", KeyRoots::kMachineOnly, L"C:\\Program Files\\Foo", ""},
      {L"hkey_local_machine\\Software\\Foo\\InstallDir", KeyRoots::kMachineOnly, L"C:\\Program Files\\Foo", ""},
      {L"HKEY_CURRENT_USER\\Software\\Foo\\InstallDir", KeyRoots::kMachineOnly, nullptr, refusedRoot},
      {L"HKEY_CLASSES_ROOT\\Software\\Foo\\InstallDir", KeyRoots::kMachineOnly, nullptr, refusedRoot},
      {L"HKEY_USERS\\Software\\Foo\\InstallDir", KeyRoots::kMachineOnly, nullptr, refusedRoot},
      {L"HKLM\\Software\\Foo\\InstallDir", KeyRoots::kMachineOnly, nullptr, unknownRoot},
      {L"HKLM\\Software\\Foo\\InstallDir", KeyRoots::kAny, L"C:\\Users\\Foo", ""},
      {L"HKEY_CURRENT_USER\\Software\\Foo\\installdir", KeyRoots::kAny, L"C:\\Users\\Foo", ""},
      {L"NoSuchRoot\\Software\\Foo\\InstallDir", KeyRoots::kAny, L"C:\\Users\\Foo", ""},
      {L"HKEY_CURRENT_USER\\Software\\Foo\\Missing", KeyRoots::kAny, nullptr, ""},
      {L"HKEY_CURRENT_USER\\Software\\NoKey\\InstallDir", KeyRoots::kAny, nullptr, ""},
      {L"", KeyRoots::kAny, nullptr, ""},
      {L"HKEY_CURRENT_USER\\Software\\Long\\A_Long", KeyRoots::kAny, nullptr, ""},
      {L"HKEY_CURRENT_USER\\Software\\Long\\B_Wanted", KeyRoots::kAny, nullptr, ""},
  };
  for (const auto& row : rows) {
    const std::string path(row.path, row.path + wcslen(row.path));
    SCOPED_TRACE(path);
    zan_test::LogLinesAdded log;
    std::wstring out = L"unchanged";
    EXPECT_EQ(row.folder != nullptr, ReadRegistryPathValue(row.path, out, row.roots));
    EXPECT_EQ(row.folder ? row.folder : L"unchanged", out);
    const std::vector<std::string> lines = log.Messages();
    EXPECT_EQ(row.line.empty() ? std::vector<std::string>{} : std::vector<std::string>{row.line + path}, lines);
  }
}

}  // namespace
}  // namespace zan
