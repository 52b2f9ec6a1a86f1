#include "plugin_test_util.h"

#include <tlhelp32.h>

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
    : path_(zan::FolderOfPath(dll) + L"zansetup.log"), start_(ReadFileBytes(path_).size()) {}

std::vector<std::string> DllLog::NewLines() const {
  std::string text = ReadFileBytes(path_).substr(start_);
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    lines.push_back(line.size() > 20 ? line.substr(20) : line);
    start = end + 2;
  }
  return lines;
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
  if (!pinned) return PluginDll();
  if (pinned_.empty()) {
    const std::wstring folder = temp_.File(L"pinned\\");
    ::CreateDirectoryW(folder.c_str(), nullptr);
    pinned_ = folder + L"npZanSetupOneClick.dll";
    const std::wstring built = zan::GetModuleFolder(nullptr) + L"pinned\\npZanSetupOneClick.dll";
    EXPECT_TRUE(::CopyFileW(built.c_str(), pinned_.c_str(), FALSE)) << zan::WideToUtf8(built);
  }
  return pinned_;
}

std::wstring PluginTest::StandIn() {
  std::wstring folder = temp_.File(L"Zan Setup\\");
  ::CreateDirectoryW(folder.c_str(), nullptr);
  std::wstring program = folder + L"ZanSetup.exe";
  std::wstring driver = zan::GetModuleFolder(nullptr) + L"zsdriver.exe";
  EXPECT_TRUE(::CopyFileW(driver.c_str(), program.c_str(), FALSE)) << zan::WideToUtf8(driver);
  return program;
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
