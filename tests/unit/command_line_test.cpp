#include <gtest/gtest.h>

#include "setup/common/product_values.h"
#include "setup/driver/command_line.h"

namespace zan {
namespace {

// The whole table each line gives: blanks around and between arguments go,
// only the space separates (quotes and TABs are ordinary), only the first
// "=" splits, keys keep their case, a later value wins, a bare key keeps a
// value already there and "=x" is a key of its own.
TEST(CommandLine, TheArgumentsEachLineGives) {
  const struct {
    const wchar_t* line;
    ArgumentTable arguments;
  } rows[] = {
      {L" \t App=Foo    Ver=1.0 \r\n", {{L"App", L"Foo"}, {L"Ver", L"1.0"}}},
      {L"app=Foo", {{L"app", L"Foo"}}},
      {L"App=Foo App=Bar", {{L"App", L"Bar"}}},
      {L"App=a=b", {{L"App", L"a=b"}}},
      {L"App=", {{L"App", L""}}},
      {L"App", {{L"App", L""}}},
      {L"App=Foo App =x", {{L"App", L"Foo"}, {L"=x", L""}}},
      {L"App=\"My Product\"", {{L"App", L"\"My"}, {L"Product\"", L""}}},
      {L"App=a\tVer=2", {{L"App", L"a\tVer=2"}}},
      {L"   ", {}},
  };
  for (const auto& row : rows) EXPECT_EQ(row.arguments, ParseArguments(TrimCommandLine(row.line))) << row.line;
  EXPECT_EQ(L"", TrimCommandLine(L" \t\r\n"));
  EXPECT_EQ(L"", ArgumentValue({{L"app", L"Foo"}}, L"App"));
  EXPECT_EQ(L"Foo", ArgumentValue({{L"App", L"Foo"}}, L"App"));
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
