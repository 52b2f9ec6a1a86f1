#include <gtest/gtest.h>

#include "setup/common/string_util.h"
#include "setup/common/xml_document.h"
#include "test_util.h"

namespace zan {
namespace {

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
