#include <gtest/gtest.h>

#include "setup/common/product_values.h"
#include "setup/driver/command_line.h"

namespace zan {
namespace {

std::wstring App(const std::wstring& line) {
  return ArgumentValue(ParseArguments(TrimCommandLine(line)), L"App");
}

TEST(CommandLine, ProductAndVersionSurviveBlanksAroundAndBetween) {
  ArgumentTable table = ParseArguments(TrimCommandLine(L" \t App=Foo    Ver=1.0 \r\n"));
  EXPECT_EQ(L"Foo", ArgumentValue(table, L"App"));
  EXPECT_EQ(L"1.0", ArgumentValue(table, L"Ver"));
  EXPECT_EQ(2u, table.size());
}

TEST(CommandLine, KeysAreCaseSensitiveAndLaterValuesWin) {
  EXPECT_EQ(L"", App(L"app=Foo"));
  EXPECT_EQ(L"Bar", App(L"App=Foo App=Bar"));
}

TEST(CommandLine, OnlyTheFirstEqualsSignSplits) {
  EXPECT_EQ(L"a=b", App(L"App=a=b"));
}

TEST(CommandLine, BareAndEmptyKeys) {
  EXPECT_EQ(L"", App(L"App="));
  EXPECT_EQ(L"", App(L"App"));
  // A bare key keeps an existing value; "=x" is a key of its own.
  ArgumentTable table = ParseArguments(L"App=Foo App =x");
  EXPECT_EQ(L"Foo", ArgumentValue(table, L"App"));
  ASSERT_EQ(1u, table.count(L"=x"));
  EXPECT_EQ(L"", table.at(L"=x"));
  EXPECT_EQ(2u, table.size());
}

TEST(CommandLine, OnlyTheSpaceSeparatesAndQuotesAreOrdinary) {
  EXPECT_EQ(L"\"My", App(L"App=\"My Product\""));
  ArgumentTable table = ParseArguments(L"App=a\tVer=2");
  EXPECT_EQ(L"a\tVer=2", ArgumentValue(table, L"App"));
  EXPECT_EQ(L"", ArgumentValue(table, L"Ver"));
}

TEST(CommandLine, EmptyLineGivesEmptyTable) {
  EXPECT_TRUE(ParseArguments(TrimCommandLine(L"   ")).empty());
  EXPECT_EQ(L"", TrimCommandLine(L" \t\r\n"));
}

TEST(SafePathSegment, AcceptsOrdinaryNamesAndVersions) {
  for (const wchar_t* name : {L"Foo", L"Demo", L"a=b", L"My-App_2", L"2.0", L"1.0.3", L"\u4E2D\u6587",
                              L"CONSOLE", L"COM0", L"LPT"}) {
    EXPECT_TRUE(IsSafePathSegment(name)) << name;
  }
}

TEST(SafePathSegment, RejectsWhatEscapesTheFolderOrTheAddress) {
  for (const wchar_t* name : {L"", L"..", L"a..b", L"..\\Windows", L"a\\b", L"a/b", L"C:", L"a*",
                              L"a?", L"a\"", L"a<", L"a>", L"a|", L"a%20", L"a#b", L"a\x01",
                              L"name.", L"name ", L"CON", L"con", L"NUL.txt", L"COM1", L"lpt9",
                              L"AUX"}) {
    EXPECT_FALSE(IsSafePathSegment(name)) << name;
  }
}

}  // namespace
}  // namespace zan

#include "setup/driver/entry.h"

namespace zan {
namespace {

// One test, in this order: the flag is process-wide and never cleared.
TEST(ElevationFlag, OnlyANonEmptyUacValueSetsIt) {
  EXPECT_EQ(0, RunSetup(nullptr, L"Uac=", true));
  EXPECT_FALSE(ElevationAttempted());
  EXPECT_EQ(0, RunSetup(nullptr, L"Uac", true));
  EXPECT_FALSE(ElevationAttempted());
  EXPECT_EQ(0, RunSetup(nullptr, L"uac=yes", true));
  EXPECT_FALSE(ElevationAttempted());
  EXPECT_EQ(0, RunSetup(nullptr, L"Uac=yes", true));
  EXPECT_TRUE(ElevationAttempted());
  EXPECT_EQ(0, RunSetup(nullptr, L"Uac=", true));
  EXPECT_TRUE(ElevationAttempted());
}

}  // namespace
}  // namespace zan
