// What the plug-in's tests share: the registered DLL under test, a user hive
// of their own for the registry record, a stand-in setup program, the DLL's
// log, and the two faces (the control, the plug-in) behind one adapter.
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

// An export of `module` as its own type (through void*: it is not FARPROC's).
template <typename Function>
Function ExportOf(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(module ? ::GetProcAddress(module, name) : nullptr));
}

// The lines a DLL's log ("zansetup.log" beside it) gained since this was made, without their time.
class DllLog {
 public:
  explicit DllLog(const std::wstring& dll);
  std::vector<std::string> NewLines() const;

 private:
  std::wstring path_;
  size_t start_ = 0;
};

// Characters in a string no name can have: longer than any name, so both
// faces refuse it by its length before they copy it.
constexpr size_t kHugeLength = 300000000;
// Refusals, as the log line gives them after "InstallOneClick refused: ".
constexpr char kUnusableName[] = "the product name is not usable";
constexpr char kLongName[] = "the product name is longer than 200 characters";

// What became of a call to InstallOneClick.
enum class Outcome { kRefused, kNotStarted, kStarted };

// A page's script calling InstallOneClick through one face of a DLL loaded as that face's host loads it.
class Face {
 public:
  virtual ~Face() = default;
  // Loads `dll`, makes one object and places it in a page: `document` is the address of the document that
  // holds it (null: no page at all, as in a script host; "": one whose address cannot be read), `top` the
  // top-level page's, which is also what the page's script makes window.location say. False when the
  // object could not be made.
  virtual bool Load(const std::wstring& dll, const wchar_t* document, const wchar_t* top) = 0;
  // The call as script makes it: what script sees, -1 for a script error.
  virtual int Install(const std::wstring& name, const std::wstring& version) = 0;
  // The calls only this face can make, each checked as refused: a name whose length claims kHugeLength
  // characters over a few (reading it would fault), then names that are no strings. Their refusals.
  virtual std::vector<std::string> InstallMalformed() = 0;
  // What script sees for each outcome.
  virtual int Seen(Outcome outcome) const = 0;
  // The address a refusal's log line names for `document`.
  virtual std::wstring AddressRead(const std::wstring& document) const = 0;
};
std::unique_ptr<Face> MakeControlFace(bool clientSite);
std::unique_ptr<Face> MakePluginFace();

class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // zsdriver copied as ZanSetup.exe into a folder with a blank: started, it
  // records its command line beside itself.
  std::wstring StandIn();

  // The command line the stand-in was started with since the last call, or "" when it was not started: one
  // that still runs is waited for, and it writes its record (whole) before it ends.
  static std::string StartedCommandLine(const std::wstring& program);

  // The setup program's registry record, in this test's own hive.
  void SetRecord(const std::wstring& version, const std::wstring& path);

  // The registered DLL, or with `pinned` the pinned build's copied into this
  // test's folder (so that its log goes there).
  std::wstring DllFor(bool pinned);

  ScopedUserHive hive_;
  TempFolder temp_;

 private:
  // The file `built` beside this program, copied to `copy` in this test's folder.
  std::wstring CopyOfBuilt(const std::wstring& built, const std::wstring& copy);

  std::wstring pinned_;
  bool comReady_ = false;
};

}  // namespace zan_test
