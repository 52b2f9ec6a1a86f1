// The publisher's release controls: which installation takes an update
// (newer version, withdrawal, rollout), how a rollout and a channel are
// read, and the bucket and channel kept in a redirected registry record.
#include <gtest/gtest.h>

#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "setup/common/app_reg.h"
#include "setup/driver/release_control.h"
#include "setup/driver/release_gate.h"
#include "test_util.h"

namespace zan {
namespace {

using V = UpdateVerdict;

FileVersion Version(unsigned short a, unsigned short b, unsigned short c = 0, unsigned short d = 0) {
  FileVersion version;
  version.part[0] = a;
  version.part[1] = b;
  version.part[2] = c;
  version.part[3] = d;
  return version;
}

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
    installation.build = Version(1, 0);
    installation.bucket = row.bucket;
    UpdateDecision decision = DecideUpdate(offer, installation);
    EXPECT_EQ(row.verdict, decision.verdict);
    EXPECT_EQ(row.withdrawnVerdict, decision.withdrawn);
  }
}

TEST(ReleaseControl, OnlyAWithdrawnBuildTakesAnOlderOrEqualVersionBlockNeverItsOwn) {
  struct Row {
    FileVersion update;
    bool withdrawn;
    bool replaces;
  };
  const Row kRows[] = {
      {Version(2, 0), false, true},  {Version(0, 9), false, false}, {Version(1, 0), false, false},
      {Version(2, 0), true, true},   {Version(0, 9), true, true},   {Version(1, 0), true, false},
      {Version(1, 0, 0, 1), true, true},
  };
  for (const Row& row : kRows) {
    EXPECT_EQ(row.replaces, MayReplaceBuild(row.update, Version(1, 0), row.withdrawn))
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
  for (const std::wstring& name : {std::wstring(L"beta"), std::wstring(L"a"), std::wstring(32, L'x'),
                                   std::wstring(L"release-2")}) {
    EXPECT_TRUE(IsChannelName(name)) << name;
  }
  for (const std::wstring& name : {std::wstring(), std::wstring(33, L'x'), std::wstring(L"Beta"),
                                   std::wstring(L"beta_1"), std::wstring(L"beta.xml"), std::wstring(L"../x"),
                                   std::wstring(L"b eta"), std::wstring(L"b\u00eata")}) {
    EXPECT_FALSE(IsChannelName(name)) << name;
  }
  EXPECT_EQ(L"/zansetup/new.xml", ChannelDocumentPath(L"/zansetup/new.xml", L""));
  EXPECT_EQ(L"/zansetup/new-beta.xml", ChannelDocumentPath(L"/zansetup/new.xml", L"beta"));
  EXPECT_EQ(L"/zansetup/new-x64-beta.xml", ChannelDocumentPath(L"/zansetup/new-x64.xml", L"beta"));
}

class RecordedRelease : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(hive_.ok()); }
  static bool SetBucket(DWORD value) {
    return zan_test::SetUserValue(CAppReg::kKeyPath, kRolloutBucketValue, REG_DWORD, &value, sizeof(value));
  }
  static bool StoredBucket(unsigned long* value) { return CAppReg().GetRegAppDword(kRolloutBucketValue, value); }
  zan_test::ScopedUserHive hive_;
};

TEST_F(RecordedRelease, ABucketIsDrawnOnceAndKeptAndOneOutOfRangeIsDrawnAgain) {
  unsigned long stored = 0;
  unsigned first = 0;
  {
    zan_test::LogLinesAdded log;
    first = RolloutBucket();
    ASSERT_LT(first, kBucketCount);
    ASSERT_TRUE(StoredBucket(&stored));
    EXPECT_EQ(first, stored);
    EXPECT_EQ(first, RolloutBucket()) << "kept over a second check";
    EXPECT_EQ(std::vector<std::string>{"drew the rollout bucket " + std::to_string(first)}, log.Messages());
  }
  for (DWORD kept : {0ul, 9999ul}) {
    ASSERT_TRUE(SetBucket(kept));
    EXPECT_EQ(kept, RolloutBucket());
  }
  for (DWORD outside : {10000ul, 0xFFFFFFFFul}) {
    ASSERT_TRUE(SetBucket(outside));
    zan_test::LogLinesAdded log;
    unsigned drawn = RolloutBucket();
    EXPECT_LT(drawn, kBucketCount);
    ASSERT_TRUE(StoredBucket(&stored));
    EXPECT_EQ(drawn, stored);
    EXPECT_EQ(std::vector<std::string>{"the rollout bucket " + std::to_string(outside) +
                                       " is out of range: drew the rollout bucket " + std::to_string(drawn)},
              log.Messages());
  }
  // A text where the number belongs is no bucket either.
  ASSERT_TRUE(zan_test::SetUserString(CAppReg::kKeyPath, kRolloutBucketValue, L"42"));
  EXPECT_LT(RolloutBucket(), kBucketCount);
  ASSERT_TRUE(StoredBucket(&stored));

  // The generator's, not a constant: eight fresh installations do not all
  // draw the same bucket.
  std::set<unsigned> drawn;
  for (int i = 0; i < 8; ++i) {
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, CAppReg::kKeyPath, kRolloutBucketValue);
    drawn.insert(RolloutBucket());
  }
  EXPECT_GT(drawn.size(), 1u);
}

TEST_F(RecordedRelease, TheRecordsChannelOrTheDefaultOneForAnythingElse) {
  struct Row {
    const wchar_t* stored;  // null: no value
    const wchar_t* channel;
    const char* line;       // null: nothing logged
  };
  const Row kRows[] = {
      {nullptr, L"", nullptr},
      {L"", L"", nullptr},
      {L"beta", L"beta", nullptr},
      {L"Beta", L"", "the channel \"Beta\" is no channel name: the default channel is used"},
      {L"../new", L"", "the channel \"../new\" is no channel name: the default channel is used"},
  };
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.stored ? row.stored : L"(none)");
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, CAppReg::kKeyPath, kChannelValue);
    if (row.stored) {
      ASSERT_TRUE(zan_test::SetUserString(CAppReg::kKeyPath, kChannelValue, row.stored));
    }
    zan_test::LogLinesAdded log;
    EXPECT_EQ(row.channel, RecordedChannel());
    EXPECT_EQ(row.line ? std::vector<std::string>{row.line} : std::vector<std::string>(), log.Messages());
  }
}

}  // namespace
}  // namespace zan
