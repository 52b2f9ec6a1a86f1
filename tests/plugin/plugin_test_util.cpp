#include "plugin_test_util.h"

#include "setup/common/files.h"
#include "setup/common/log.h"
#include "setup/common/string_util.h"

namespace zan_test {

std::wstring PluginDll() {
  wchar_t path[MAX_PATH] = {};
  DWORD length = ::GetEnvironmentVariableW(L"ZANSETUP_PLUGIN_DLL", path, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::wstring(path) : std::wstring();
}

void PluginTest::SetUp() {
  ASSERT_FALSE(PluginDll().empty()) << "ZANSETUP_PLUGIN_DLL must name the registered DLL";
  ASSERT_TRUE(hive_.ok());
  logPath_ = zan::FolderOfPath(PluginDll()) + L"zansetup.log";
  logStart_ = ReadFileBytes(logPath_).size();
}

std::vector<std::string> PluginTest::NewLogLines() const {
  std::string text = ReadFileBytes(logPath_).substr(logStart_);
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

std::wstring PluginTest::StandIn() {
  std::wstring folder = temp_.File(L"Zan Setup\\");
  ::CreateDirectoryW(folder.c_str(), nullptr);
  std::wstring program = folder + L"ZanSetup.exe";
  std::wstring driver = zan::GetModuleFolder(nullptr) + L"zsdriver.exe";
  EXPECT_TRUE(::CopyFileW(driver.c_str(), program.c_str(), FALSE)) << zan::WideToUtf8(driver);
  return program;
}

std::string PluginTest::WaitForCommandLine(const std::wstring& program) {
  const std::wstring record = program + L".cmdline";
  for (DWORD deadline = ::GetTickCount() + 15000; ::GetTickCount() < deadline; ::Sleep(100)) {
    // The stand-in writes its record whole or not at all.
    if (zan::FileExists(record)) return ReadFileBytes(record);
  }
  return "<not started>";
}

void PluginTest::SetRecord(const std::wstring& version, const std::wstring& path) {
  const wchar_t kRecord[] = L"Software\\Corvela\\ZanSetup";
  ASSERT_TRUE(SetUserString(kRecord, L"version", version));
  ASSERT_TRUE(SetUserString(kRecord, L"Install_dir", path));
}

void PluginTest::ExpectLastLine(const std::string& line, size_t count) const {
  std::vector<std::string> lines = NewLogLines();
  EXPECT_EQ(count, lines.size());
  EXPECT_EQ(line, lines.empty() ? std::string() : lines.back());
}

std::vector<UnsafeValues> UnsafeValueTable() {
  const std::string name = "the product name is not usable", version = "the product version is not usable";
  return {
      {L"Foo Uac=yes", L"1", name},         // a second argument
      {L"Foo", L"1 App=Other", version},    // another product
      {L"Foo\tUac=yes", L"1", name},
      {L"F\"oo", L"1", name},
      {L"Foo", L"a=b", version},
      {L"a&b", L"1", name},
      {L"Fo\u202Eo", L"1", name},           // invisible direction override
      {std::wstring(L"Fo\0o", 4), L"1", name},
      {L"..\\Windows", L"1", name},
      {L"CON", L"1", name},
      {L"", L"1", name},
      {std::wstring(201, L'a'), L"1", "the product name is longer than 200 characters"},
      {L"Foo", std::wstring(201, L'1'), "the product version is longer than 200 characters"},
  };
}

}  // namespace zan_test
