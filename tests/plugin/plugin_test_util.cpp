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
  log_.reset(new DllLog(PluginDll()));
}

std::vector<std::string> PluginTest::NewLogLines() const { return log_->NewLines(); }

std::wstring PluginTest::DllFor(Build build) {
  if (build == Build::kDevelopment) return PluginDll();
  if (pinned_.empty()) pinned_ = PinnedPluginCopy(temp_.File(L"pinned\\"));
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

std::wstring PinnedPluginCopy(const std::wstring& folder) {
  ::CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring copy = folder + L"npZanSetupOneClick.dll";
  const std::wstring built = zan::GetModuleFolder(nullptr) + L"pinned\\npZanSetupOneClick.dll";
  EXPECT_TRUE(::CopyFileW(built.c_str(), copy.c_str(), FALSE)) << zan::WideToUtf8(built);
  return copy;
}

std::wstring OriginOf(const std::wstring& url) {
  const size_t scheme = url.find(L"://");
  if (scheme == std::wstring::npos) return L"null";
  return url.substr(0, url.find(L'/', scheme + 3));
}

// The test builds' server is https://localhost:8780: "localhost" is their
// allowed site and a development build's own test server.
std::vector<PageCase> PageLockTable() {
  static const wchar_t kAllowed[] = L"https://localhost:8780/oneclick.html";
  const std::string https = "it is not served over https";
  return {
      {"an allowed https page", Build::kPinned, kAllowed, kAllowed, ""},
      {"an http page in a pinned build", Build::kPinned, L"http://localhost:8780/oneclick.html", nullptr, https},
      {"an http page in a development build", Build::kDevelopment, L"http://localhost:8780/oneclick.html", nullptr,
       ""},
      // Only the server's own host: a development build is still no open door.
      {"an http page of a host below it in a development build", Build::kDevelopment,
       L"http://www.localhost/oneclick.html", nullptr, https},
      {"a frame from another site inside an allowed page", Build::kPinned, L"https://ads.example/frame.html",
       kAllowed, "its host \"ads.example\" is not an allowed site"},
      {"a page whose script replaces window.location", Build::kPinned, L"https://evil.example/page.html",
       kAllowed, "its host \"evil.example\" is not an allowed site"},
      {"a page whose address cannot be read", Build::kPinned, L"", kAllowed,
       "the hosting page's address could not be read"},
      {"a caller with no page", Build::kPinned, nullptr, nullptr, ""},
  };
}

std::string PageRefusalLine(const PageCase& page, const std::wstring& address) {
  if (page.document && !*page.document) return "InstallOneClick refused: " + page.reason;
  return "InstallOneClick refused: the page \"" + zan::WideToUtf8(address) + "\" is not allowed: " + page.reason;
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
