// What a page's script meets through every face: the control in the page's markup, the control made by page
// script, and the plug-in. One table of records and arguments and one of pages, run through each face.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plugin_test_util.h"
#include "setup/common/string_util.h"

namespace {

using zan_test::Outcome;

enum class Record { kNone, kNoVersion, kGone, kFolder, kStandIn };

struct CallCase {
  const char* what;
  Record record;
  std::wstring name, version;
  Outcome outcome;
  // The log lines the call adds ("%P": the recorded path); a refusal's, why (after "InstallOneClick refused: ").
  std::vector<std::string> lines;
};

const char kFound[] = "CZanSetupOneClick: Get appinfo path: %P, version: 1.0";
const char kRun[] = "CZanSetupOneClick: run zansetup, path: %P";

std::vector<CallCase> CallTable() {
  std::wstring chinese200;
  for (int i = 0; i < 200; ++i) chinese200 += L"\u4EA7";
  const std::string name = zan_test::kUnusableName, version = "the product version is not usable";
  const std::string longVersion = "the product version is longer than 200 characters";
  return {
      {"no record", Record::kNone, L"Foo", L"2.0", Outcome::kNotStarted,
       {"CZanSetupOneClick: Get appinfo path: , version: "}},
      {"a record without a version", Record::kNoVersion, L"Foo", L"2.0", Outcome::kNotStarted,
       {"CZanSetupOneClick: Get appinfo path: %P, version: "}},
      {"a recorded program that is gone", Record::kGone, L"Foo", L"2.0", Outcome::kNotStarted,
       {kFound, "CZanSetupOneClick: path is not exist"}},
      // A folder exists, so it passes the check and fails at the start.
      {"a recorded folder", Record::kFolder, L"Foo", L"2.0", Outcome::kNotStarted, {kFound, kRun}},
      {"a recorded program", Record::kStandIn, L"Foo", L"2.0", Outcome::kStarted, {kFound, kRun}},
      {"no version", Record::kStandIn, L"Foo", L"", Outcome::kStarted, {kFound, kRun}},
      {"a Chinese name", Record::kStandIn, L"Zan\u4EA7\u54C1", L"2.0.1", Outcome::kStarted, {kFound, kRun}},
      // 600 UTF-8 bytes can still be 200 characters.
      {"200 Chinese characters", Record::kStandIn, chinese200, L"1", Outcome::kStarted, {kFound, kRun}},
      {"a second argument", Record::kStandIn, L"Foo Uac=yes", L"1", Outcome::kRefused, {name}},
      {"another product", Record::kStandIn, L"Foo", L"1 App=Other", Outcome::kRefused, {version}},
      {"a tab", Record::kStandIn, L"Foo\tUac=yes", L"1", Outcome::kRefused, {name}},
      {"a quote", Record::kStandIn, L"F\"oo", L"1", Outcome::kRefused, {name}},
      {"an equals sign", Record::kStandIn, L"Foo", L"a=b", Outcome::kRefused, {version}},
      {"an ampersand", Record::kStandIn, L"a&b", L"1", Outcome::kRefused, {name}},
      {"an invisible direction override", Record::kStandIn, L"Fo\u202Eo", L"1", Outcome::kRefused, {name}},
      {"a zero character", Record::kStandIn, std::wstring(L"Fo\0o", 4), L"1", Outcome::kRefused, {name}},
      {"a path", Record::kStandIn, L"..\\Windows", L"1", Outcome::kRefused, {name}},
      {"a device name", Record::kStandIn, L"CON", L"1", Outcome::kRefused, {name}},
      {"an empty name", Record::kStandIn, L"", L"1", Outcome::kRefused, {name}},
      {"a long name", Record::kStandIn, std::wstring(201, L'a'), L"1", Outcome::kRefused, {zan_test::kLongName}},
      {"a long version", Record::kStandIn, L"Foo", std::wstring(201, L'1'), Outcome::kRefused, {longVersion}},
  };
}

// The page lock. The test builds' server is https://localhost:8780:
// "localhost" is their allowed site and a development build's own server.
struct PageCase {
  const char* what;
  bool pinned;
  const wchar_t* document;  // null: no page; "": one whose address cannot be read
  const wchar_t* top;       // null: the document's own; it may never decide
  std::string reason;       // why it is refused; empty: the program starts
};

std::vector<PageCase> PageLockTable() {
  static const wchar_t kAllowed[] = L"https://localhost:8780/oneclick.html";
  static const wchar_t kHttp[] = L"http://localhost:8780/oneclick.html";
  const std::string https = "it is not served over https";
  return {
      {"an allowed https page", true, kAllowed, kAllowed},
      {"an http page in a pinned build", true, kHttp, nullptr, https},
      {"an http page in a development build", false, kHttp, nullptr},
      // Only the server's own host: a development build is still no open door.
      {"an http page of a host below it in a development build", false, L"http://www.localhost/oneclick.html",
       nullptr, https},
      {"a frame from another site inside an allowed page", true, L"https://ads.example/frame.html", kAllowed,
       "its host \"ads.example\" is not an allowed site"},
      {"a page whose script replaces window.location", true, L"https://evil.example/page.html", kAllowed,
       "its host \"evil.example\" is not an allowed site"},
      {"a page whose address cannot be read", true, L"", kAllowed, "the hosting page's address could not be read"},
      {"a caller with no page", true, nullptr, nullptr},
  };
}

struct FaceKind {
  const char* name;
  std::unique_ptr<zan_test::Face> (*make)();
};

class Faces : public zan_test::PluginTest, public ::testing::WithParamInterface<FaceKind> {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    if (HasFatalFailure()) return;
    program_ = StandIn();
  }

  std::unique_ptr<zan_test::Face> Loaded(const std::wstring& dll, const wchar_t* document, const wchar_t* top) {
    std::unique_ptr<zan_test::Face> face = GetParam().make();
    EXPECT_TRUE(face->Load(dll, document, top));
    return face;
  }

  std::string Started(const std::wstring& name, const std::wstring& version) const {
    return "\"" + zan::WideToUtf8(program_) + "\" App=" + zan::WideToUtf8(name) + " Ver=" +
           zan::WideToUtf8(version);
  }

  // Records what `record` says; the recorded path.
  std::wstring Recorded(Record record) {
    if (record == Record::kNone) {
      ::RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Corvela\\ZanSetup");
      return L"";
    }
    const std::wstring gone = temp_.File(L"NoSuch.exe");
    const std::wstring path = record == Record::kGone ? gone : record == Record::kFolder ? temp_.path() : program_;
    SetRecord(record == Record::kNoVersion ? L"" : L"1.0", path);
    return path;
  }

  std::wstring program_;
};

TEST_P(Faces, TheRecordAndTheArgumentsDecideWhatStarts) {
  std::unique_ptr<zan_test::Face> face = Loaded(zan_test::PluginDll(), nullptr, nullptr);
  for (const CallCase& row : CallTable()) {
    SCOPED_TRACE(row.what);
    const std::wstring path = Recorded(row.record);
    zan_test::DllLog log(zan_test::PluginDll());
    EXPECT_EQ(face->Seen(row.outcome), face->Install(row.name, row.version));
    std::vector<std::string> expected;
    for (std::string line : row.lines) {
      if (row.outcome == Outcome::kRefused) line = "InstallOneClick refused: " + line;
      expected.push_back(zan::WideToUtf8(zan::ReplaceAll(zan::Utf8ToWide(line), L"%P", path)));
    }
    EXPECT_EQ(expected, log.NewLines());
    EXPECT_EQ(row.outcome == Outcome::kStarted ? Started(row.name, row.version) : "", StartedCommandLine(program_));
  }
  Recorded(Record::kStandIn);
  zan_test::DllLog log(zan_test::PluginDll());
  std::vector<std::string> refusals = face->InstallMalformed();
  for (std::string& refusal : refusals) refusal = "InstallOneClick refused: " + refusal;
  EXPECT_EQ(refusals, log.NewLines());
  EXPECT_EQ("", StartedCommandLine(program_));
}

TEST_P(Faces, TheDocumentThatHoldsItMustBeAnHttpsPageOfAnAllowedSite) {
  Recorded(Record::kStandIn);
  for (const PageCase& page : PageLockTable()) {
    SCOPED_TRACE(page.what);
    const std::wstring dll = DllFor(page.pinned);
    zan_test::DllLog log(dll), registered(zan_test::PluginDll());
    {
      std::unique_ptr<zan_test::Face> face = Loaded(dll, page.document, page.top ? page.top : page.document);
      EXPECT_EQ(face->Seen(page.reason.empty() ? Outcome::kStarted : Outcome::kRefused),
                face->Install(L"Foo", L"2.0"));
      if (!page.reason.empty()) {
        const std::string address = zan::WideToUtf8(face->AddressRead(page.document));
        EXPECT_EQ(std::vector<std::string>{"InstallOneClick refused: " +
                                           (*page.document ? "the page \"" + address + "\" is not allowed: " : "") +
                                           page.reason},
                  log.NewLines());
      }
    }
    EXPECT_EQ(page.reason.empty() ? Started(L"Foo", L"2.0") : "", StartedCommandLine(program_))
        << ::testing::PrintToString(log.NewLines());
    if (!page.reason.empty() && dll != zan_test::PluginDll()) {
      EXPECT_TRUE(registered.NewLines().empty()) << "the registered control was never reached";
    }
  }
}

std::unique_ptr<zan_test::Face> ControlInMarkup() { return zan_test::MakeControlFace(true); }
std::unique_ptr<zan_test::Face> ControlOfScript() { return zan_test::MakeControlFace(false); }

INSTANTIATE_TEST_SUITE_P(OneClick, Faces,
                         ::testing::Values(FaceKind{"ControlInMarkup", &ControlInMarkup},
                                           FaceKind{"ControlOfScript", &ControlOfScript},
                                           FaceKind{"Plugin", &zan_test::MakePluginFace}),
                         [](const ::testing::TestParamInfo<FaceKind>& info) { return info.param.name; });

}  // namespace
