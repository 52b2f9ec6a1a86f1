// The workflow's decisions and texts that need no window or server, and the
// keyed XML documents they are read from.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlwapi.h>

#include "setup/common/files.h"
#include "setup/common/string_util.h"
#include "setup/common/worker.h"
#include "setup/common/xml_document.h"
#include "setup/driver/conflicts.h"
#include "setup/driver/download_folder.h"
#include "setup/driver/install_info.h"
#include "setup/driver/package_install.h"
#include "setup/driver/package_transfer.h"
#include "setup/driver/rights.h"
#include "setup/ui/messages.h"
#include "setup/ui/progress_dlg.h"
#include "test_util.h"

namespace zan {
namespace {

// A payload that counts its own destruction.
struct Counted {
  explicit Counted(int* freed) : freed(freed) {}
  ~Counted() { ++*freed; }
  int* freed;
};

// One owner at every moment: the message while it is queued, the receiver
// after TakeOwned, PostOwned itself when the post fails.
TEST(PostOwned, ThePayloadHasOneOwnerWhetherThePostArrivesOrFails) {
  HWND window = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  ASSERT_TRUE(window);
  int freed = 0;
  ASSERT_TRUE(PostOwned(window, UM_INFO_READY, std::make_unique<Counted>(&freed)));
  EXPECT_EQ(0, freed);
  MSG msg = {};
  ASSERT_TRUE(::PeekMessageW(&msg, window, UM_INFO_READY, UM_INFO_READY, PM_REMOVE));
  TakeOwned<Counted>(msg.wParam).reset();
  EXPECT_EQ(1, freed);
  ::DestroyWindow(window);
  EXPECT_FALSE(PostOwned(window, UM_INFO_READY, std::make_unique<Counted>(&freed)));
  EXPECT_EQ(2, freed);
}

// A handle closed on a failure path keeps the failure's code for the caller.
TEST(Handles, ClosingKeepsTheLastError) {
  // A stale handle makes the close itself fail and set an error of its own.
  HANDLE raw = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(raw && ::CloseHandle(raw));
  ScopedHandle stale(raw);
  ::SetLastError(ERROR_FILE_NOT_FOUND);
  stale.reset();
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), ::GetLastError());
}

// Truncated; above 100 passes through; no total, no percentage (-1).
TEST(Percent, SinglePrecisionRatioTruncated) {
  const int kRows[][3] = {{29, 100, 28}, {1, 3, 33},   {5000, 5000, 100},
                          {0, 100, 0},   {3, 2, 150},  {10, 0, -1},      {1073741824, 2147483647, 50}};
  for (const auto& row : kRows) EXPECT_EQ(row[2], PercentOf(row[0], row[1])) << row[0] << " of " << row[1];
}

// The information's address with a version and without; the download
// folder beside the program's folder, a drive's root included, made there.
TEST(DownloadFolder, InfoAddressAndTheParentOfTheProgramFolder) {
  EXPECT_EQ(L"http://h:1/zansetup/soft/Foo/2.0/soft.info", BuildInfoUrl(L"http://h:1", L"Foo", L"2.0"));
  EXPECT_EQ(L"http://h:1/zansetup/soft/Foo/soft.info", BuildInfoUrl(L"http://h:1", L"Foo", L""));
  EXPECT_EQ(L"C:\\Apps\\download\\Foo\\", DownloadFolderPath(L"C:\\Apps\\ZanSetup\\", L"Foo"));
  EXPECT_EQ(L"C:\\Apps\\download\\Foo\\", DownloadFolderPath(L"C:\\Apps\\ZanSetup\\\\", L"Foo"));
  EXPECT_EQ(L"C:\\download\\Zansetup\\", DownloadFolderPath(L"C:\\ZanSetup\\", L"Zansetup"));
  EXPECT_EQ(L"C:\\download\\Foo\\", DownloadFolderPath(L"C:\\", L"Foo")) << "drive root";
  // The running program's own: both levels are made on demand.
  const std::wstring name = zan_test::UniqueToken(L"ZanTest");
  std::wstring expected = DownloadFolderPath(GetModuleFolder(nullptr), name);
  EXPECT_EQ(expected, GetDownloadFolder(name));
  EXPECT_TRUE(::PathIsDirectoryW(expected.c_str()));
  ::RemoveDirectoryW(expected.c_str());
}

TEST(Rights, OnlyAdministratorLevelWithoutRightsStopsTheRun) {
  EXPECT_EQ(RightsDecision::kProceed, DecideRights(L"", false, false));
  EXPECT_EQ(RightsDecision::kProceed, DecideRights(L"asInvoker", false, true));
  EXPECT_EQ(RightsDecision::kProceed, DecideRights(L"Administrator", true, false));
  EXPECT_EQ(RightsDecision::kRelaunch, DecideRights(L"administrator", false, false));
  EXPECT_EQ(RightsDecision::kRelaunch, DecideRights(L"ADMINISTRATOR", false, false));
  EXPECT_EQ(RightsDecision::kRefuse, DecideRights(L"Administrator", false, true));
  EXPECT_EQ(RightsDecision::kProceed, DecideRights(L"Administrators", false, true));
}

TEST(InstallerCommandLine, FolderOnlyWhenChosenAndLastUnquoted) {
  EXPECT_EQ(L"\"C:\\dl\\Foo\\install.exe\" /S /D=C:\\Apps\\Foo",
            BuildInstallerCommandLine(L"C:\\dl\\Foo\\install.exe", L"C:\\Apps\\Foo"));
  EXPECT_EQ(L"\"C:\\My Files\\install.exe\" /S", BuildInstallerCommandLine(L"C:\\My Files\\install.exe", L""));
  EXPECT_EQ(L"\"C:\\a\\install.exe\" /S /D=C:\\Program Files\\Foo",
            BuildInstallerCommandLine(L"C:\\a\\install.exe", L"C:\\Program Files\\Foo"));
}

TEST(ConflictNames, OnlyProcessChildrenCountInOrder) {
  TiXmlDocument info;
  ParseXmlText("<soft_info><conflict><process>a.exe</process><other>b.exe</other>"
               "<process/><process>C.EXE</process></conflict></soft_info>", info);
  EXPECT_EQ((std::vector<std::wstring>{L"a.exe", L"", L"C.EXE"}), CollectConflictNames(info));

  TiXmlDocument none;
  ParseXmlText("<soft_info><conflict/></soft_info>", none);
  EXPECT_TRUE(CollectConflictNames(none).empty());
  EXPECT_EQ(L"C:\\Apps", ModuleFolderOf(L"C:\\Apps\\a.exe"));
  EXPECT_EQ(L"", ModuleFolderOf(L"a.exe"));
}

// The publisher's opt-in for long lines: absent, the download's own pattern
// without a word; unusable, the same pattern with a line that says why.
TEST(PackageTransfer, AbsentOrUnusableValuesLeaveOneBlockOnTwoConnections) {
  struct Row {
    const char* elements;
    unsigned span, workers;
    std::vector<std::string> lines;
  } rows[] = {
      {"", 1, 2, {}}, {"<span>64</span><workers>4</workers>", 64, 4, {}},
      {"<span>1024</span><workers>1</workers>", 1024, 1, {}},
      {"<span>0</span><workers>9</workers>", 1, 2,
       {"soft_info.package.span is not usable: \"0\" (1 to 1024), 1 is used",
        "soft_info.package.workers is not usable: \"9\" (1 to 8), 2 is used"}},
      {"<span>2000</span><workers>x</workers>", 1, 2,
       {"soft_info.package.span is not usable: \"2000\" (1 to 1024), 1 is used",
        "soft_info.package.workers is not usable: \"x\" (1 to 8), 2 is used"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.elements);
    TiXmlDocument info;
    ParseXmlText(std::string("<soft_info><package><url>u</url>") + row.elements + "</package></soft_info>", info);
    zan_test::LogLinesAdded log;
    PackageTransfer transfer = ReadPackageTransfer(info);
    EXPECT_EQ(row.span, transfer.span);
    EXPECT_EQ(row.workers, transfer.workers);
    EXPECT_EQ(row.lines, log.Messages());
  }
}


const char kInfo[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<soft_info>\n"
    "  <exec_level>Administrator</exec_level>\n"
    "  <dir><install><read>HKEY_CURRENT_USER\\Software\\Foo\\Path</read><default/></install></dir>\n"
    "  <twin>first</twin><twin>second</twin>\n"
    "  <mixed><child>x</child>tail</mixed>\n"
    "  <!--comment-->\n"
    "  <name>\xE4\xB8\xAD\xE6\x96\x87 \xC3\xA9</name>\n"
    "</soft_info>\n";

class XmlLookup : public ::testing::Test {
 protected:
  void SetUp() override { ParseXmlText(kInfo, document_); }
  std::string TextAt(const std::string& path) { return ElementText(FindElementByPath(&document_, path)); }
  TiXmlDocument document_;
};

// A path takes the first of equal siblings; empty elements and those that
// begin with an element read as empty text. Missing, case-changed and empty
// segments find nothing, nor does a comment's value.
TEST_F(XmlLookup, DottedPathsReachElementsAndNothingElse) {
  EXPECT_EQ("HKEY_CURRENT_USER\\Software\\Foo\\Path", TextAt("soft_info.dir.install.read"));
  TiXmlElement* root = FindElementByPath(&document_, "soft_info");
  ASSERT_NE(nullptr, root);
  EXPECT_STREQ("soft_info", root->Value());
  EXPECT_EQ("first", TextAt("soft_info.twin"));
  ASSERT_NE(nullptr, FindElementByPath(&document_, "soft_info.dir.install.default"));
  EXPECT_EQ("", TextAt("soft_info.dir.install.default"));
  EXPECT_EQ("", TextAt("soft_info.mixed"));
  EXPECT_EQ(L"\u4E2D\u6587 \u00E9", Utf8ToWide(TextAt("soft_info.name")));
  for (const char* path : {"soft_info.dir.install.missing", "soft_info.nothere.install", "Soft_info.exec_level",
                           "soft_info..exec_level", "soft_info.exec_level.", "", "soft_info.comment"}) {
    EXPECT_EQ(nullptr, FindElementByPath(&document_, path)) << path;
  }
  EXPECT_EQ(nullptr, FindElementByPath(nullptr, "soft_info"));
}

TEST_F(XmlLookup, CollectListsEqualSiblingsInOrder) {
  ChildElementTable table;
  ASSERT_TRUE(CollectChildElements(FindElementByPath(&document_, "soft_info"), table));
  auto range = table.equal_range("twin");
  ASSERT_EQ(2, std::distance(range.first, range.second));
  EXPECT_EQ("first", ElementText(range.first->second));
  EXPECT_EQ("second", ElementText(std::next(range.first)->second));

  ChildElementTable untouched;
  untouched.insert(ChildElementTable::value_type("keep", nullptr));
  EXPECT_FALSE(CollectChildElements(nullptr, untouched));
  EXPECT_EQ(1u, untouched.size());
}

TEST_F(XmlLookup, SetElementTextReplacesAllChildren) {
  TiXmlElement* mixed = FindElementByPath(&document_, "soft_info.mixed");
  ASSERT_TRUE(SetElementText(mixed, "plain"));
  EXPECT_EQ("plain", TextAt("soft_info.mixed"));
  EXPECT_EQ(nullptr, FindElementByPath(&document_, "soft_info.mixed.child"));
  EXPECT_FALSE(SetElementText(nullptr, "x"));
  EXPECT_FALSE(SetElementText(mixed, nullptr));
}

TEST(XmlFile, LoadsWellFormedFilesOnly) {
  zan_test::TempFolder folder;
  TiXmlDocument document;
  EXPECT_FALSE(LoadXmlFile(folder.File(L"missing.xml"), document));

  ASSERT_TRUE(zan_test::WriteFileBytes(folder.File(L"good.xml"), "\xEF\xBB\xBF<a><b>1</b></a>"));
  EXPECT_TRUE(LoadXmlFile(folder.File(L"good.xml"), document));
  EXPECT_EQ("1", ElementText(FindElementByPath(&document, "a.b")));

  TiXmlDocument broken;
  ASSERT_TRUE(zan_test::WriteFileBytes(folder.File(L"bad.xml"), "<a><b>1</b>"));
  EXPECT_FALSE(LoadXmlFile(folder.File(L"bad.xml"), broken));
}

}  // namespace
}  // namespace zan
