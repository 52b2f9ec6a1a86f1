#include "plugin_test_util.h"

#include <tlhelp32.h>

#include <algorithm>

#include "setup/common/files.h"
#include "setup/common/handles.h"
#include "setup/common/log.h"
#include "setup/common/string_util.h"

namespace zan_test {

std::wstring PluginDll() {
  wchar_t path[MAX_PATH] = {};
  DWORD length = ::GetEnvironmentVariableW(L"ZANSETUP_PLUGIN_DLL", path, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::wstring(path) : std::wstring();
}

DllLog::DllLog(const std::wstring& dll)
    : path_(zan::FolderOfPath(dll) + L"zansetup.log"), start_(LogFileMessages(path_).size()) {}

std::vector<std::string> DllLog::NewLines() const {
  const std::vector<std::string> lines = LogFileMessages(path_);
  return std::vector<std::string>(lines.begin() + std::min(start_, lines.size()), lines.end());
}

void PluginTest::SetUp() {
  ASSERT_FALSE(PluginDll().empty()) << "ZANSETUP_PLUGIN_DLL must name the registered DLL";
  ASSERT_TRUE(hive_.ok());
  ASSERT_HRESULT_SUCCEEDED(::CoInitialize(nullptr));
  comReady_ = true;
}

void PluginTest::TearDown() {
  if (comReady_) ::CoUninitialize();
}

std::wstring PluginTest::DllFor(bool pinned) {
  const wchar_t kPinned[] = L"pinned\\npZanSetupOneClick.dll";
  if (pinned && pinned_.empty()) pinned_ = CopyOfBuilt(kPinned, kPinned);
  return pinned ? pinned_ : PluginDll();
}

std::wstring PluginTest::StandIn() { return CopyOfBuilt(L"zsdriver.exe", L"Zan Setup\\ZanSetup.exe"); }

std::wstring PluginTest::CopyOfBuilt(const std::wstring& built, const std::wstring& copy) {
  const std::wstring path = temp_.File(copy), source = zan::GetModuleFolder(nullptr) + built;
  ::CreateDirectoryW(zan::FolderOfPath(path).c_str(), nullptr);
  EXPECT_TRUE(::CopyFileW(source.c_str(), path.c_str(), FALSE)) << zan::WideToUtf8(source);
  return path;
}

std::string PluginTest::StartedCommandLine(const std::wstring& program) {
  zan::ScopedFile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = snapshot && ::Process32FirstW(snapshot.get(), &entry); more;
       more = ::Process32NextW(snapshot.get(), &entry)) {
    zan::ScopedHandle process(
        ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
    wchar_t image[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    if (process && ::QueryFullProcessImageNameW(process.get(), 0, image, &size) &&
        _wcsicmp(image, program.c_str()) == 0) {
      EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(process.get(), 15000)) << "the stand-in did not end";
    }
  }
  const std::wstring record = program + L".cmdline";
  std::string line = ReadFileBytes(record);
  ::DeleteFileW(record.c_str());
  return line;
}

void PluginTest::SetRecord(const std::wstring& version, const std::wstring& path) {
  const wchar_t kRecord[] = L"Software\\Corvela\\ZanSetup";
  ASSERT_TRUE(SetUserString(kRecord, L"version", version));
  ASSERT_TRUE(SetUserString(kRecord, L"Install_dir", path));
}

}  // namespace zan_test
