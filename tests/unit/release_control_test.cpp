// The publisher's release controls: which installation takes an update
// (newer version, withdrawal, rollout), how a rollout and a channel are read.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "setup/driver/release_control.h"
#include "test_util.h"

namespace zan {
namespace {

using V = UpdateVerdict;

// The build and record of every row but those that say otherwise: 1.0.
TEST(ReleaseControl, WhoTakesTheUpdate) {
  const wchar_t* const kNone = nullptr;  // no rollout element
  struct Row {
    const char* name;
    const wchar_t* published;
    const wchar_t* rollout;
    std::vector<std::wstring> withdrawn;
    unsigned bucket;
    V verdict;
    bool withdrawnVerdict;
    const wchar_t* record;
  };
  const Row kRows[] = {
      {"newer, no rollout", L"2.0", kNone, {}, 5000, V::kTake, false, L"1.0"},
      {"newer, no rollout, no bucket", L"2.0", kNone, {}, kNoBucket, V::kTake, false, L"1.0"},
      {"same version", L"1.0", kNone, {}, 0, V::kNothingNew, false, L"1.0"},
      {"older", L"0.9", kNone, {}, 0, V::kNothingNew, false, L"1.0"},
      {"no version", L"", kNone, {}, 0, V::kNothingNew, false, L"1.0"},
      {"rollout 30, bucket 2999", L"2.0", L"30", {}, 2999, V::kTake, false, L"1.0"},
      {"rollout 30, bucket 3000", L"2.0", L"30", {}, 3000, V::kNotRolledOut, false, L"1.0"},
      {"rollout 30.5, bucket 3049", L"2.0", L"30.5", {}, 3049, V::kTake, false, L"1.0"},
      {"rollout 30.5, bucket 3050", L"2.0", L"30.5", {}, 3050, V::kNotRolledOut, false, L"1.0"},
      {"rollout 0.01, bucket 0", L"2.0", L"0.01", {}, 0, V::kTake, false, L"1.0"},
      {"rollout 99.99, bucket 9999", L"2.0", L"99.99", {}, 9999, V::kNotRolledOut, false, L"1.0"},
      {"rollout 100, bucket 9999", L"2.0", L"100", {}, 9999, V::kTake, false, L"1.0"},
      {"rollout 100, no bucket", L"2.0", L"100", {}, kNoBucket, V::kTake, false, L"1.0"},
      {"rollout 50, no bucket", L"2.0", L"50", {}, kNoBucket, V::kNotRolledOut, false, L"1.0"},
      {"rollout 0 halts, bucket 0", L"2.0", L"0", {}, 0, V::kNotRolledOut, false, L"1.0"},
      {"malformed rollout", L"2.0", L"30%", {}, 0, V::kBadRollout, false, L"1.0"},
      {"empty rollout", L"2.0", L"", {}, 0, V::kBadRollout, false, L"1.0"},
      {"rollout above 100", L"2.0", L"101", {}, 0, V::kBadRollout, false, L"1.0"},
      {"malformed rollout, nothing new", L"1.0", L"x", {}, 0, V::kNothingNew, false, L"1.0"},
      {"this version withdrawn, older update", L"0.9", kNone, {L"1.0"}, 0, V::kTake, true, L"1.0"},
      {"withdrawn as four numbers", L"0.9", kNone, {L"0.5", L"1.0.0.0"}, 0, V::kTake, true, L"1.0"},
      {"withdrawn, newer update", L"2.0", kNone, {L"1.0"}, 0, V::kTake, true, L"1.0"},
      {"withdrawn, the same version offered", L"1.0", kNone, {L"1.0"}, 0, V::kNothingNew, true, L"1.0"},
      {"withdrawn, outside the rollout", L"0.9", L"10", {L"1.0"}, 5000, V::kNotRolledOut, true, L"1.0"},
      {"another version withdrawn", L"0.9", kNone, {L"1.1"}, 0, V::kNothingNew, false, L"1.0"},
      {"only the record's version listed", L"0.9", kNone, {L"1.1"}, 0, V::kNothingNew, false, L"1.1"},
      {"the build listed, no record", L"0.9", kNone, {L"1.0"}, 0, V::kTake, false, L""},
  };
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    UpdateOffer offer;
    offer.version = row.published;
    offer.hasRollout = row.rollout != nullptr;
    offer.rollout = row.rollout ? row.rollout : L"";
    offer.withdrawn = row.withdrawn;
    Installation installation;
    installation.recordVersion = row.record;
    installation.build = FileVersion{{1, 0}};
    installation.bucket = row.bucket;
    UpdateDecision decision = DecideUpdate(offer, installation);
    EXPECT_EQ(row.verdict, decision.verdict);
    EXPECT_EQ(row.withdrawnVerdict, decision.withdrawn);
  }
}

TEST(ReleaseControl, OnlyAWithdrawnBuildTakesAnOlderOrEqualVersionBlockNeverItsOwn) {
  const FileVersion v2{{2, 0}}, v09{{0, 9}}, v1{{1, 0}}, v1001{{1, 0, 0, 1}};
  const struct {
    FileVersion update;
    bool withdrawn, replaces;
  } rows[] = {{v2, false, true}, {v09, false, false}, {v1, false, false}, {v2, true, true},
              {v09, true, true}, {v1, true, false},   {v1001, true, true}};
  for (const auto& row : rows) {
    EXPECT_EQ(row.replaces, MayReplaceBuild(row.update, v1, row.withdrawn))
        << VersionText(row.update) << (row.withdrawn ? L" withdrawn" : L"");
  }
}

TEST(ReleaseControl, RolloutsArePercentagesWithAtMostTwoDecimals) {
  const std::pair<const wchar_t*, unsigned> kReadable[] = {
      {L"0", 0},       {L"100", 10000}, {L"30", 3000},      {L"30.5", 3050},
      {L"0.25", 25},   {L"12.50", 1250}, {L"100.00", 10000}, {L"007", 700}};
  for (const auto& item : kReadable) {
    unsigned hundredths = 99999;
    EXPECT_TRUE(ParseRollout(item.first, &hundredths)) << item.first;
    EXPECT_EQ(item.second, hundredths) << item.first;
  }
  const wchar_t* const kUnreadable[] = {L"",    L"100.01", L"101",  L"1000", L"-1",    L"+1",   L"1e2", L" 30",
                                        L"30 ", L"30.",    L".5",   L"30.125", L"30,5", L"3O", L"0x10", L"30%"};
  for (const wchar_t* text : kUnreadable) {
    unsigned hundredths = 4242;
    EXPECT_FALSE(ParseRollout(text, &hundredths)) << text;
    EXPECT_EQ(4242u, hundredths) << text;
  }
  // Written back as read, without trailing zeros.
  for (const wchar_t* text : {L"30", L"12.5", L"0.25", L"0.05", L"100", L"0"}) {
    unsigned hundredths = 0;
    ASSERT_TRUE(ParseRollout(text, &hundredths)) << text;
    EXPECT_EQ(text, RolloutText(hundredths));
  }
}

TEST(ReleaseControl, ChannelNamesAndTheirDocuments) {
  const std::pair<std::wstring, bool> kNames[] = {
      {L"beta", true}, {L"a", true}, {std::wstring(32, L'x'), true}, {L"release-2", true}, {L"", false},
      {std::wstring(33, L'x'), false}, {L"Beta", false}, {L"beta_1", false}, {L"beta.xml", false},
      {L"../x", false}, {L"b eta", false}, {L"b\u00eata", false}};
  for (const auto& name : kNames) EXPECT_EQ(name.second, IsChannelName(name.first)) << name.first;
  EXPECT_EQ(L"/zansetup/new.xml", ChannelDocumentPath(L"/zansetup/new.xml", L""));
  EXPECT_EQ(L"/zansetup/new-beta.xml", ChannelDocumentPath(L"/zansetup/new.xml", L"beta"));
  EXPECT_EQ(L"/zansetup/new-x64-beta.xml", ChannelDocumentPath(L"/zansetup/new-x64.xml", L"beta"));
}

}  // namespace
}  // namespace zan
