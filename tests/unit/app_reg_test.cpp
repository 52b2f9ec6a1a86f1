// The registry record, read and written for real in a redirected user hive.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "setup/common/app_reg.h"
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
    for (DWORD i = 0;; ++i) {
      wchar_t name[256];
      DWORD length = 256;
      if (::RegEnumValueW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      names.push_back(name);
    }
    ::RegCloseKey(key);
    std::sort(names.begin(), names.end());
    return names;
  }
  zan_test::ScopedUserHive hive_;
  CAppReg record_;
};

TEST_F(AppRecord, AMissingOrEmptyKeyReadsFalseAndLeavesTheStringsAlone) {
  std::wstring version, path = L"kept";
  EXPECT_FALSE(record_.GetRegAppInfo(version, path));
  EXPECT_EQ(L"", version);
  EXPECT_EQ(L"kept", path);
  std::wstring stamp = L"kept";
  EXPECT_FALSE(record_.GetRegAppValue(L"updatetime", stamp));
  EXPECT_EQ(L"kept", stamp);

  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, kRecord, 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr));
  ::RegCloseKey(key);
  EXPECT_FALSE(record_.GetRegAppInfo(version, path)) << "a key without values reads false too";
  EXPECT_EQ(L"kept", path);
}

TEST_F(AppRecord, NamesMatchInAnyCaseAndOtherValuesStillCountAsRead) {
  ASSERT_TRUE(SetUserString(kRecord, L"Install_dir", L"C:\\Apps\\ZanSetup\\ZanSetup.exe"));
  std::wstring version, path;
  EXPECT_TRUE(record_.GetRegAppInfo(version, path));
  EXPECT_EQ(L"C:\\Apps\\ZanSetup\\ZanSetup.exe", path);
  EXPECT_EQ(L"", version);

  ASSERT_TRUE(SetUserString(kRecord, L"UpdateTime", L"20240305140709"));
  std::wstring stamp;
  EXPECT_TRUE(record_.GetRegAppValue(L"updatetime", stamp));
  EXPECT_EQ(L"20240305140709", stamp);
  std::wstring missing = L"kept";
  EXPECT_TRUE(record_.GetRegAppValue(L"nosuchvalue", missing)) << "the key holds values";
  EXPECT_EQ(L"kept", missing);
}

TEST_F(AppRecord, AValueTooLongForTheBuffersEndsTheEnumeration) {
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
}

TEST_F(AppRecord, DataWithoutATerminatorEndsInsideTheBuffer) {
  // 512 bytes of binary data and no zero: read as 256 characters, no more.
  std::wstring full(256, L'y');
  ASSERT_TRUE(SetUserValue(kRecord, L"version", REG_BINARY, full.data(), 512));
  std::wstring version, path;
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

}  // namespace
}  // namespace zan
