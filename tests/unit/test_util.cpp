#include "test_util.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <vector>

#include "setup/common/elevated_copy.h"
#include "setup/common/files.h"
#include "setup/common/handles.h"
#include "setup/common/log.h"
#include "setup/common/md5.h"
#include "setup/common/string_util.h"
#include "setup/http/simple_http_fetch.h"

namespace zan_test {

TempFolder::TempFolder() {
  wchar_t base[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, base);
  do {
    path_ = base + UniqueToken(L"zantest") + L"\\";
  } while (!::CreateDirectoryW(path_.c_str(), nullptr));
}

// Through handles, as the launcher removes its copies: a link inside is left alone.
TempFolder::~TempFolder() { zan::RemoveTree(path_.substr(0, path_.size() - 1)); }

__time64_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
  // Seconds to year in struct tm's order; no week or year day; daylight saving unknown.
  struct tm local = {second, minute, hour, day, month - 1, year - 1900, 0, 0, -1};
  return _mktime64(&local);
}

ScopedUserHive::ScopedUserHive()
    : path_(L"Software\\ZanSetupTest\\" + std::to_wstring(::GetCurrentProcessId())) {
  ::RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
  if (::RegCreateKeyW(HKEY_CURRENT_USER, path_.c_str(), &hive_) != ERROR_SUCCESS) {
    hive_ = nullptr;
  } else if (::RegOverridePredefKey(HKEY_CURRENT_USER, hive_) != ERROR_SUCCESS) {
    ::RegCloseKey(hive_);
    hive_ = nullptr;
  }
}

ScopedUserHive::~ScopedUserHive() {
  if (!hive_) return;
  ::RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
  ::RegCloseKey(hive_);
  ::RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
}

bool SetUserValue(const wchar_t* key, const wchar_t* name, DWORD type, const void* data, DWORD size) {
  // Creates the key where it is missing.
  return ::RegSetKeyValueW(HKEY_CURRENT_USER, key, name, type, data, size) == ERROR_SUCCESS;
}

bool SetUserString(const wchar_t* key, const wchar_t* name, const std::wstring& value) {
  return SetUserValue(key, name, REG_SZ, value.c_str(),
                      static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

std::wstring GetUserString(const wchar_t* key, const wchar_t* name) {
  wchar_t data[1024] = {};
  DWORD size = sizeof(data) - sizeof(wchar_t);
  const LSTATUS status = ::RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_REG_SZ, nullptr, data, &size);
  return status == ERROR_SUCCESS ? data : L"<missing>";
}

std::string ReadFileBytes(const std::wstring& path) {
  zan::ScopedFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return std::string();
  std::string bytes;
  char buffer[65536];
  DWORD got = 0;
  while (::ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) bytes.append(buffer, got);
  return bytes;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  zan::ScopedFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  if (!file) return false;
  DWORD written = 0;
  return ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

unsigned long long FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::wstring SourceFolder() {
  std::string unixPath = ZANSETUP_SOURCE_DIR;
  std::wstring folder = L"Z:";
  for (char c : unixPath) folder += c == '/' ? L'\\' : static_cast<wchar_t>(c);
  return folder + L"\\";
}

std::wstring BuildFolder() {
  std::wstring bin = zan::GetModuleFolder(nullptr);  // <build>\tests-bin\ .
  return zan::FolderOfPath(bin.substr(0, bin.size() - 1));
}

std::wstring DemoAgentPath() { return BuildFolder() + L"demo-product\\DemoAgent.exe"; }

std::string Md5Text(const std::string& bytes) {
  zan::Md5Context context;
  context.Add(bytes.data(), bytes.size());
  unsigned char digest[zan::Md5Context::kDigestSize];
  context.Finish(digest);
  return zan::Md5DigestText(digest);
}

void ServerTest::SetUp() {
  std::map<std::string, std::wstring> values;
  std::istringstream text(ReadFileBytes(BuildFolder() + L"test-env\\servers.txt"));
  for (std::string line; std::getline(text, line);) {
    line.erase(line.find_last_not_of('\r') + 1);
    const size_t space = line.find(' ');
    if (space != std::string::npos) values[line.substr(0, space)] = zan::Utf8ToWide(line.substr(space + 1));
  }
  for (const char* key : {"nginx", "nginx_tls", "nginx_root", "fault"}) {
    ASSERT_FALSE(values[key].empty()) << key << " not in test-env\\servers.txt: the http_servers fixture must run first";
  }
  servers_ = {values["nginx"], values["nginx_tls"], values["nginx_root"] + L"\\", values["fault"]};
}

std::string ServerTest::Ask(const std::wstring& path) const {
  zan::CSimpleHttpFetch fetch;
  std::string body = "<no answer>";
  fetch.FetchToString(Fault(path), L"", nullptr, body);
  return body;
}

LogLinesAdded::LogLinesAdded() : log_(folder_.File(L"zansetup.log")) {}

std::vector<std::string> LogFileMessages(const std::wstring& path) {
  const std::string bytes = ReadFileBytes(path);
  std::vector<std::string> messages;
  size_t begin = 0;
  for (size_t end; (end = bytes.find("\r\n", begin)) != std::string::npos; begin = end + 2) {
    std::string line = bytes.substr(begin, end - begin);
    EXPECT_TRUE(line.size() >= 20 && line[19] == '\t') << line;
    messages.push_back(line.size() >= 20 ? line.substr(20) : line);
  }
  EXPECT_EQ(bytes.size(), begin) << "text after the last CR LF";
  return messages;
}

std::string FaultPattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 31 + (i >> 12)) % 251);
  return bytes;
}

std::string HeaderValue(const std::string& text, const std::string& name) {
  const std::string wanted = name + ": ";
  for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos && end != at; at = end + 2) {
    if (text.compare(at, wanted.size(), wanted) == 0) return text.substr(at + wanted.size(), end - at - wanted.size());
  }
  return "<absent>";
}

std::wstring UniqueToken(const wchar_t* what) {
  static int counter = 0;
  return std::wstring(what) + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
         std::to_wstring(::GetTickCount()) + L"-" + std::to_wstring(++counter);
}

ScopedWindow MessageWindow() {
  return ScopedWindow(::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr));
}

}  // namespace zan_test
