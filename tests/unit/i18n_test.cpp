#include <gtest/gtest.h>

#include "setup/ui/i18n.h"
#include "test_util.h"

namespace zan {
namespace {

using zan_test::TempFolder;
using zan_test::WriteFileBytes;

std::string Locale(const std::string& caption) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<language><caption>" + caption +
         "</caption><empty/><selectpath><nextbutton>Next</nextbutton></selectpath></language>";
}

std::wstring Get(CI18N& strings, const wchar_t* key, bool* found = nullptr) {
  std::wstring out = L"(unset)";
  bool ok = strings.GetString(key, out, 65001);
  if (found) *found = ok;
  return out;
}

TEST(LanguageCode, FullIdentifiersMapAsTheTableSays) {
  EXPECT_STREQ(L"zh-tw", GetLanguageCode(0x0404));
  EXPECT_STREQ(L"zh-tw", GetLanguageCode(0x1004));
  EXPECT_STREQ(L"zh-cn", GetLanguageCode(0x0804));
  EXPECT_STREQ(L"zh-cn", GetLanguageCode(0x0C04));
  EXPECT_STREQ(L"en-us", GetLanguageCode(0x1404));
  EXPECT_STREQ(L"en-us", GetLanguageCode(0x0409));
  EXPECT_STREQ(L"en-us", GetLanguageCode(0x0411));
  EXPECT_STREQ(GetLanguageCode(::GetUserDefaultLangID()), GetLanguageCode(0));
}

TEST(LanguageStrings, UserLanguageFileIsPreferredOtherwiseAnyLocale) {
  TempFolder folder;
  std::wstring own = GetLanguageCode(0);
  std::wstring other = own == L"zh-cn" ? L"zh-tw" : L"zh-cn";
  ASSERT_TRUE(WriteFileBytes(folder.File(other + L".locale"), Locale("other")));
  CI18N strings;
  strings.SetLanguage(folder.path(), 0);
  EXPECT_EQ(L"other", Get(strings, L"language.caption"));

  ASSERT_TRUE(WriteFileBytes(folder.File(own + L".locale"), Locale("own")));
  CI18N fresh;
  fresh.SetLanguage(folder.path(), 0);
  EXPECT_EQ(L"own", Get(fresh, L"language.caption"));
}

// The compiled-in files are the shipped ones, whatever lies on disk, and a
// folder set afterwards takes over again.
TEST(LanguageStrings, BuiltInTextsAreTheShippedFilesAndAFolderTakesOver) {
  const std::pair<const wchar_t*, const wchar_t*> captions[] = {
      {L"en-us", L"ZanSetup"}, {L"zh-cn", L"\u8D5E\u5B89\u88C5"}};
  for (const auto& entry : captions) {
    CI18N strings;
    strings.UseBuiltIn(entry.first);
    EXPECT_EQ(entry.second, Get(strings, L"language.caption")) << entry.first;
    bool found = true;
    Get(strings, L"language.no.such.key", &found);
    EXPECT_FALSE(found);
  }
  TempFolder folder;
  ASSERT_TRUE(WriteFileBytes(folder.File(std::wstring(GetLanguageCode(0)) + L".locale"), Locale("file")));
  CI18N strings;
  strings.UseBuiltIn(L"en-us");
  EXPECT_EQ(L"ZanSetup", Get(strings, L"language.caption"));
  strings.SetLanguage(folder.path(), 0);
  EXPECT_EQ(L"file", Get(strings, L"language.caption"));
  strings.UseBuiltIn(L"en-us");
  EXPECT_EQ(L"ZanSetup", Get(strings, L"language.caption"));
  EXPECT_FALSE(BuiltInText(L"language.selectpath.nextbutton").empty());
  EXPECT_TRUE(BuiltInText(L"language.no.such.key").empty());
}

TEST(LanguageStrings, KeysEmptyElementsAndMissingKeys) {
  TempFolder folder;
  ASSERT_TRUE(WriteFileBytes(folder.File(L"en-us.locale"), Locale("\xE8\xB5\x9E")));
  CI18N strings;
  strings.SetLanguage(folder.path(), 0);
  bool found = false;
  EXPECT_EQ(L"\u8D5E", Get(strings, L"language.caption", &found));
  EXPECT_TRUE(found);
  EXPECT_EQ(L"Next", Get(strings, L"language.selectpath.nextbutton"));
  EXPECT_EQ(L"", Get(strings, L"language.empty", &found));
  EXPECT_TRUE(found);
  EXPECT_EQ(L"", Get(strings, L"language.selectpath", &found)) << "element with children";
  EXPECT_TRUE(found);
  EXPECT_EQ(L"(unset)", Get(strings, L"language.missing", &found));
  EXPECT_FALSE(found);
  EXPECT_EQ(L"(unset)", Get(strings, L"other.caption", &found));
  EXPECT_FALSE(found);
}

TEST(LanguageStrings, AFileThatAppearsLaterIsFoundWithoutSetLanguage) {
  TempFolder folder;
  CI18N strings;
  strings.SetLanguage(folder.path(), 0);
  bool found = true;
  Get(strings, L"language.caption", &found);
  EXPECT_FALSE(found);
  ASSERT_TRUE(WriteFileBytes(folder.File(L"zh-tw.locale"), Locale("later")));
  EXPECT_EQ(L"later", Get(strings, L"language.caption"));
}

TEST(LanguageStrings, SameSettingsKeepTheDocumentOtherSpellingDiscardsIt) {
  TempFolder folder;
  ASSERT_TRUE(WriteFileBytes(folder.File(L"en-us.locale"), Locale("first")));
  ASSERT_TRUE(WriteFileBytes(folder.File(L"zh-cn.locale"), Locale("first")));
  ASSERT_TRUE(WriteFileBytes(folder.File(L"zh-tw.locale"), Locale("first")));
  CI18N strings;
  strings.SetLanguage(folder.path(), 0);
  EXPECT_EQ(L"first", Get(strings, L"language.caption"));
  for (const wchar_t* name : {L"en-us.locale", L"zh-cn.locale", L"zh-tw.locale"}) {
    ASSERT_TRUE(WriteFileBytes(folder.File(name), Locale("second")));
  }
  strings.SetLanguage(folder.path(), 0);
  EXPECT_EQ(L"first", Get(strings, L"language.caption")) << "same settings reloaded";
  std::wstring upper = folder.path();
  for (wchar_t& c : upper) c = towupper(c);
  strings.SetLanguage(upper, 0);
  EXPECT_EQ(L"second", Get(strings, L"language.caption"));
}

TEST(LanguageStrings, MalformedFileAnswersWhatWasParsedBeforeTheError) {
  TempFolder folder;
  ASSERT_TRUE(WriteFileBytes(folder.File(L"en-us.locale"),
                             "<language><caption>early</caption><broken><late>x</late>"));
  ASSERT_TRUE(WriteFileBytes(folder.File(L"zh-cn.locale"),
                             "<language><caption>early</caption><broken><late>x</late>"));
  ASSERT_TRUE(WriteFileBytes(folder.File(L"zh-tw.locale"),
                             "<language><caption>early</caption><broken><late>x</late>"));
  CI18N strings;
  strings.SetLanguage(folder.path(), 0);
  EXPECT_EQ(L"early", Get(strings, L"language.caption"));
}

// A language file is a document like soft.info: up to 1 MiB it is read,
// beyond that it is refused whole, once, with a line.
TEST(LanguageStrings, AFileOverOneMebibyteIsNotRead) {
  const size_t kCap = 1024 * 1024;
  for (size_t size : {kCap, kCap + 1}) {
    SCOPED_TRACE(size);
    TempFolder folder;
    std::string text = Locale("large");
    text += "<!--" + std::string(size - text.size() - 8, 'x') + "-->\n";
    ASSERT_EQ(size, text.size());
    const std::wstring path = folder.File(std::wstring(GetLanguageCode(0)) + L".locale");
    ASSERT_TRUE(WriteFileBytes(path, text));
    zan_test::LogLinesAdded log;
    CI18N strings;
    strings.SetLanguage(folder.path(), 0);
    EXPECT_EQ(size == kCap ? L"large" : L"", strings.Text(L"language.caption"));
    EXPECT_EQ(size == kCap ? L"Next" : L"", strings.Text(L"language.selectpath.nextbutton"));
    std::vector<std::string> lines;
    if (size > kCap) {
      lines.push_back("refused the language file " + std::string(path.begin(), path.end()) +
                      ": it is larger than 1048576 bytes");
    }
    EXPECT_EQ(lines, log.Messages());
  }
}

TEST(LanguageStrings, ProgramLanguageFilesHoldEveryKey) {
  const wchar_t* keys[] = {
      L"language.caption", L"language.messagebox", L"language.isruningmessage",
      L"language.steptext", L"language.progresstext", L"language.terminatemessage",
      L"language.authorityerror", L"language.downloadinfoerror",
      L"language.downloadprodcueerror", L"language.installprodcueerror",
      L"language.downloadProduce.steptext", L"language.downloadProduce.progresstext",
      L"language.installProduce.steptext", L"language.installProduce.progresstext",
      L"language.selectpath.grouptext", L"language.selectpath.statictext",
      L"language.selectpath.selectbutton", L"language.selectpath.nextbutton",
      L"language.selectpath.cancelbutton", L"language.conflictdlg.grouptext",
      L"language.conflictdlg.terminatebutton", L"language.conflictdlg.retrybutton",
      L"language.conflictdlg.cancelbutton", L"language.network.retrywait", L"language.proxy.caption",
      L"language.proxy.text", L"language.proxy.againtext", L"language.proxy.user", L"language.proxy.password",
      L"language.proxy.remember", L"language.proxy.ok", L"language.proxy.cancel"};
  std::wstring source = zan_test::SourceFolder() + L"setup\\ui\\language\\";
  for (const wchar_t* code : {L"zh-cn", L"zh-tw", L"en-us"}) {
    TempFolder folder;
    std::string bytes = zan_test::ReadFileBytes(source + code + L".locale");
    ASSERT_FALSE(bytes.empty()) << "no language file " << code;
    ASSERT_TRUE(WriteFileBytes(folder.File(L"only.locale"), bytes));
    CI18N strings;
    strings.SetLanguage(folder.path(), 0);
    for (const wchar_t* key : keys) {
      bool found = false;
      std::wstring text = Get(strings, key, &found);
      EXPECT_TRUE(found && !text.empty()) << code << " lacks " << std::string(key, key + wcslen(key));
    }
  }
}

}  // namespace
}  // namespace zan
