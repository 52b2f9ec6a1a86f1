// Small helpers shared by the unit tests.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>
#include <time.h>

#include <string>
#include <vector>

#include "setup/common/handles.h"
#include "setup/common/log.h"

namespace zan_test {

// A fresh folder under the temporary folder, removed with its files at the end.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // The folder, ending in a backslash.
  const std::wstring& path() const { return path_; }
  std::wstring File(const std::wstring& name) const { return path_ + name; }

 private:
  std::wstring path_;
};

// The messages of a log file, without their time stamps; a line without
// its stamp, or text after the last CR LF, fails the test.
std::vector<std::string> LogFileMessages(const std::wstring& path);

// The lines logged while it lives, into a log of its own: other test
// processes write to the one beside the program at the same time.
class LogLinesAdded {
 public:
  LogLinesAdded();
  std::vector<std::string> Messages() const { return LogFileMessages(log_.path()); }
  const std::wstring& path() const { return log_.path(); }

 private:
  TempFolder folder_;
  zan::ScopedLogRedirect log_;
};

// Redirects this process's HKEY_CURRENT_USER into a scratch key named by the process id (tests run as
// parallel processes): real registry values, the account's own untouched.
class ScopedUserHive {
 public:
  ScopedUserHive();
  ~ScopedUserHive();
  ScopedUserHive(const ScopedUserHive&) = delete;
  ScopedUserHive& operator=(const ScopedUserHive&) = delete;

  bool ok() const { return hive_ != nullptr; }

 private:
  std::wstring path_;
  HKEY hive_ = nullptr;
};

// Values below the (redirected) user hive; false when the key could not be made.
bool SetUserValue(const wchar_t* key, const wchar_t* name, DWORD type, const void* data, DWORD size);
bool SetUserString(const wchar_t* key, const wchar_t* name, const std::wstring& value);
// The string value, or "<missing>" when there is none.
std::wstring GetUserString(const wchar_t* key, const wchar_t* name);

// A point in local time, the platform deciding daylight saving.
__time64_t LocalTime(int year, int month, int day, int hour, int minute, int second);

std::string ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
unsigned long long FileSize(const std::wstring& path);

// The loopback servers of the http_servers fixture, as servers.py wrote them
// into <build>\test-env\servers.txt (found from this program's folder).
struct TestServers {
  std::wstring nginx;      // base address, no trailing slash
  std::wstring nginxTls;   // the same tree over https, with a certificate for "localhost"
  std::wstring nginxRoot;  // the folder nginx serves, ending in a backslash
  std::wstring fault;      // base address of the fault server
};

// A test against those servers, with a folder of its own.
class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override;
  std::wstring Nginx(const std::wstring& path) const { return servers_.nginx + path; }
  std::wstring Fault(const std::wstring& path) const { return servers_.fault + path; }
  // A file of nginx's tree, as it lies on disk.
  std::string ServedFile(const std::wstring& name) const { return ReadFileBytes(servers_.nginxRoot + name); }
  // The body of a plain GET of a fault server's route, "<no answer>" without one.
  std::string Ask(const std::wstring& path) const;

  TestServers servers_;
  TempFolder folder_;
};

// The fault server's body bytes (servers.py: pattern).
std::string FaultPattern(size_t size);

// The value of the first header line `name` (exact case) in CR LF lines, or "<absent>".
std::string HeaderValue(const std::string& text, const std::string& name);

// A token no other test process uses, to find a test's own requests.
std::wstring UniqueToken(const wchar_t* what);

struct WindowTraits {
  using Type = HWND;
  static Type Empty() { return nullptr; }
  static void Close(Type window) { ::DestroyWindow(window); }
};
using ScopedWindow = zan::UniqueHandle<WindowTraits>;

// A message-only window for posts to land on, destroyed at the end.
ScopedWindow MessageWindow();

// The MD5 of `bytes` as 32 lower-case hexadecimal digits.
std::string Md5Text(const std::string& bytes);

// The repository's folder as Wine sees it, ending in a backslash.
std::wstring SourceFolder();

// The build's folder (the test programs live in its tests-bin), ending in a backslash.
std::wstring BuildFolder();

// The demo product's background program, a process of ours that waits as many seconds as its argument says.
std::wstring DemoAgentPath();

}  // namespace zan_test
