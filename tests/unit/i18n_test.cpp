#include <gtest/gtest.h>

#include <map>
#include <set>

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

const wchar_t* const kCodes[] = {L"en-us", L"zh-cn", L"zh-tw"};

std::wstring Sample(CI18N& strings) {
  return strings.Text(L"language.caption") + L"|" + strings.Text(L"language.selectpath.grouptext");
}

// Every "language." key the program's sources read, found where it is
// written (L"language.KEY" in setup\), below `folder`, into `keys`.
void CollectKeys(const std::wstring& folder, std::set<std::wstring>* keys) {
  WIN32_FIND_DATAW found;
  HANDLE find = ::FindFirstFileW((folder + L"*").c_str(), &found);
  for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = ::FindNextFileW(find, &found)) {
    const std::wstring name = found.cFileName;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (name != L"." && name != L"..") CollectKeys(folder + name + L"\\", keys);
      continue;
    }
    const std::string text = zan_test::ReadFileBytes(folder + name);
    for (size_t at = 0; (at = text.find("L\"language.", at)) != std::string::npos; ++at) {
      const size_t end = text.find('"', at + 2);
      keys->insert(std::wstring(text.begin() + at + 2, text.begin() + end));
    }
  }
  if (find != INVALID_HANDLE_VALUE) ::FindClose(find);
}

// Each language a user may have shows texts of its own: the shipped files
// differ, each holds every key the program reads, the compiled-in copy
// reads as the file, and the user's language picks its file from a folder
// that holds all three. Language ids name them: Traditional for Taiwan's
// and Singapore's, Simplified for the mainland's and Hong Kong's, English
// for any other, 0 for the user's.
TEST(LanguageStrings, EachLanguageShowsTheTextsOfItsShippedFileWithEveryKey) {
  std::set<std::wstring> keys;
  CollectKeys(zan_test::SourceFolder() + L"setup\\", &keys);
  ASSERT_GE(keys.size(), 30u) << "the sources were not found";
  TempFolder all;
  std::map<std::wstring, std::wstring> texts;
  for (const wchar_t* code : kCodes) {
    const std::wstring file = std::wstring(code) + L".locale";
    const std::string bytes = zan_test::ReadFileBytes(zan_test::SourceFolder() + L"setup\\ui\\language\\" + file);
    ASSERT_FALSE(bytes.empty()) << "no language file " << code;
    TempFolder only;
    ASSERT_TRUE(WriteFileBytes(all.File(file), bytes) && WriteFileBytes(only.File(L"only.locale"), bytes));
    CI18N shipped, read;
    shipped.UseBuiltIn(code);
    read.SetLanguage(only.path(), 0);
    texts[code] = Sample(shipped);
    EXPECT_EQ(texts[code], Sample(read)) << code;
    for (const std::wstring& key : keys) {
      bool found = false;
      std::wstring text = Get(read, key.c_str(), &found);
      EXPECT_TRUE(found && !text.empty()) << code << " lacks " << std::string(key.begin(), key.end());
    }
  }
  EXPECT_EQ(3u, std::set<std::wstring>({texts[L"en-us"], texts[L"zh-cn"], texts[L"zh-tw"]}).size());
  CI18N user;
  user.SetLanguage(all.path(), 0);
  EXPECT_EQ(texts[GetLanguageCode(0)], Sample(user));
  const std::pair<LANGID, const wchar_t*> kIds[] = {{0x0404, L"zh-tw"}, {0x1004, L"zh-tw"}, {0x0804, L"zh-cn"},
                                                    {0x0C04, L"zh-cn"}, {0x1404, L"en-us"}, {0x0409, L"en-us"},
                                                    {0x0411, L"en-us"}, {0, GetLanguageCode(::GetUserDefaultLangID())}};
  for (const auto& id : kIds) EXPECT_STREQ(id.second, GetLanguageCode(id.first)) << std::hex << id.first;
}

// The compiled-in texts hold no key the files lack, whatever lies on disk,
// and a folder set afterwards takes over again.
TEST(LanguageStrings, BuiltInTextsAndAFolderTakeOverFromEachOther) {
  TempFolder folder;
  ASSERT_TRUE(WriteFileBytes(folder.File(std::wstring(GetLanguageCode(0)) + L".locale"), Locale("file")));
  CI18N strings;
  strings.UseBuiltIn(L"en-us");
  EXPECT_EQ(L"ZanSetup", Get(strings, L"language.caption"));
  bool found = true;
  Get(strings, L"language.no.such.key", &found);
  EXPECT_FALSE(found);
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
  const struct {
    const wchar_t* key;
    const wchar_t* text;
    bool found;
  } rows[] = {{L"language.caption", L"\u8D5E", true}, {L"language.selectpath.nextbutton", L"Next", true},
              {L"language.empty", L"", true}, {L"language.selectpath", L"", true},  // an element with children
              {L"language.missing", L"(unset)", false}, {L"other.caption", L"(unset)", false}};
  for (const auto& row : rows) {
    bool found = !row.found;
    EXPECT_EQ(row.text, Get(strings, row.key, &found)) << row.key;
    EXPECT_EQ(row.found, found) << row.key;
  }
}

// A file that appears after SetLanguage is still found, another language's
// while the user's is missing; the same settings again keep the document
// read, another spelling of them reads it again, the user's file first. A
// malformed file answers what was parsed before the error.
TEST(LanguageStrings, AFileIsReadWhenItAppearsAndAgainForOtherSettingsOnly) {
  TempFolder folder;
  const std::wstring own = GetLanguageCode(0), other = own == L"zh-cn" ? L"zh-tw" : L"zh-cn";
  CI18N strings;
  strings.SetLanguage(folder.path(), 0);
  bool found = true;
  Get(strings, L"language.caption", &found);
  EXPECT_FALSE(found);
  ASSERT_TRUE(WriteFileBytes(folder.File(other + L".locale"), Locale("other")));
  EXPECT_EQ(L"other", Get(strings, L"language.caption"));
  ASSERT_TRUE(WriteFileBytes(folder.File(own + L".locale"), Locale("own")));
  strings.SetLanguage(folder.path(), 0);
  EXPECT_EQ(L"other", Get(strings, L"language.caption")) << "same settings reloaded";
  std::wstring upper = folder.path();
  for (wchar_t& c : upper) c = towupper(c);
  strings.SetLanguage(upper, 0);
  EXPECT_EQ(L"own", Get(strings, L"language.caption"));
  ASSERT_TRUE(WriteFileBytes(folder.File(own + L".locale"), "<language><caption>early</caption><broken><late>x"));
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
    const std::string refused = "refused the language file " + std::string(path.begin(), path.end()) +
                                ": it is larger than 1048576 bytes";
    EXPECT_EQ(size == kCap ? std::vector<std::string>{} : std::vector<std::string>{refused}, log.Messages());
  }
}

}  // namespace
}  // namespace zan
