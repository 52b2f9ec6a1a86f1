// The self-update's decisions: when a check is due, which version counts as
// newer, which installation takes it (withdrawal, rollout, channel), and what
// the new program is started with; the update mutex and the single-instance
// guard that keep runs apart.
#include <gtest/gtest.h>

#include <windows.h>
#include <time.h>

#include <string>
#include <thread>
#include <vector>

#include "setup/common/files.h"
#include "setup/common/handles.h"
#include "setup/common/string_util.h"
#include "setup/driver/instance_guard.h"
#include "setup/driver/release_control.h"
#include "setup/driver/rights.h"
#include "setup/driver/self_update.h"
#include "setup/driver/update_lock.h"
#include "test_util.h"

namespace zan {
namespace {

constexpr __time64_t kHour = 3600;
constexpr __time64_t kMinute = 60;

// Midsummer noon, local time: far from any change of daylight saving.
__time64_t Noon() { return zan_test::LocalTime(2024, 7, 15, 12, 0, 0); }

// A stamp is fourteen digits of local time that read back to the same
// second. A check is due 24 whole hours after its stamp, at once without one
// or with one that is no real time; a stamp in the future waits until a day
// past it.
TEST(UpdateStamp, DueAfterTwentyFourWholeHoursOrWithoutARealStamp) {
  const __time64_t when = zan_test::LocalTime(2024, 3, 5, 14, 7, 9);
  EXPECT_EQ(L"20240305140709", FormatUpdateTime(when));
  __time64_t back = 0;
  ASSERT_TRUE(ParseUpdateTime(L"20240305140709", &back));
  EXPECT_EQ(when, back);
  EXPECT_TRUE(ParseUpdateTime(L"20240229120000", &back)) << "a leap day is a real date";
  const __time64_t now = Noon();
  const __time64_t kDay = 24 * kHour;
  const struct {
    __time64_t stamp, now;  // from noon
    bool due;
  } rows[] = {{0, 0, false},     {-kDay + kMinute, 0, false}, {-kDay + 1, 0, false}, {-kDay, 0, true},
              {-400 * kDay, 0, true}, {2 * kHour, 0, false}, {400 * kDay, 0, false},
              {2 * kHour, 2 * kHour + kDay - kMinute, false}, {2 * kHour, 26 * kHour, true}};
  for (const auto& row : rows) {
    EXPECT_EQ(row.due, IsUpdateCheckDue(FormatUpdateTime(now + row.stamp), now + row.now))
        << row.stamp << " s, checked at " << row.now << " s";
  }
  EXPECT_TRUE(IsUpdateCheckDue(L"", now)) << "no stamp yet";
  const wchar_t* const kMalformed[] = {
      L"20241315120000", L"20240015120000", L"20240700120000", L"20240732120000",  // month 13 or 0, day 0 or 32
      L"20240230120000", L"20240715240000", L"20240715126000", L"20240715120060",  // 30 February, 24:00, :60
      L"18990715120000", L"2024071512000",  L"202407151200000",                    // before 1900, 13 or 15 digits
      L"2024O715120000", L"2024-07-15 12:0", L" 20240715120000", L"abcdefghijklmn"};
  for (const wchar_t* stamp : kMalformed) {
    EXPECT_FALSE(ParseUpdateTime(stamp, &back)) << stamp;
    EXPECT_TRUE(IsUpdateCheckDue(stamp, now)) << stamp;
  }
}

TEST(UpdateVersion, DottedNumbersCompareAsNumbersAnythingElseAsTextIgnoringCase) {
  const struct {
    const wchar_t* published;
    const wchar_t* installed;
    bool newer;
  } kCases[] = {
      {L"1.10", L"1.9", true}, {L"1.9", L"1.10", false}, {L"2.0", L"1.99.99", true}, {L"10", L"9.9", true},
      {L"1.0.1", L"1.0", true},       {L"1.0", L"1.0.0.0", false},  // a missing number is 0
      {L"01.2", L"1.2", false},       {L"1.2", L"01.2", false},     // leading zeros
      {L"99999999999999999999.1", L"99999999999999999999", true},  // longer than any integer type
      {L"2.0", L"", true},            {L"", L"1.0", false},         {L"", L"", false},
      {L"2.0b", L"2.0B", false},      {L"2.0b", L"2.0a", true},     // text, case ignored
      {L"1..2", L"1.10", false},      {L"1.2.", L"1.10", true},     // not dotted numbers: text
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(c.newer, IsNewerVersion(c.published, c.installed)) << c.published << L" vs " << c.installed;
  }
}

// Every placeholder in the address gets the version; the new program's
// path is quoted.
TEST(UpdateVersion, TheAddressAndTheNewProgramsCommandLine) {
  EXPECT_EQ(L"http://h/zansetup/2.0/ZanSetup-2.0.exe",
            UpdateAddress(L"http://h/zansetup/%VER%/ZanSetup-%VER%.exe", L"2.0"));
  EXPECT_EQ(L"http://h/ZanSetup.exe", UpdateAddress(L"http://h/ZanSetup.exe", L"2.0"));
  EXPECT_EQ(L"", UpdateAddress(L"", L"2.0"));
  EXPECT_EQ(L"\"C:\\Program Files\\download\\Zansetup\\ZanSetup.exe\" /Inst=0",
            UpdateCommandLine(L"C:\\Program Files\\download\\Zansetup\\ZanSetup.exe"));
}

// Holds the update mutex, as an updater does, on a thread of its own (a
// mutex belongs to a thread) until destroyed.
class HeldUpdateMutex {
 public:
  HeldUpdateMutex() : thread_([this] {
    ScopedHandle mutex(::CreateMutexW(nullptr, FALSE, kUpdateMutexName));
    ::WaitForSingleObject(mutex.get(), INFINITE);
    ::SetEvent(taken_.get());
    ::WaitForSingleObject(done_.get(), INFINITE);
    ::ReleaseMutex(mutex.get());
  }) {
    ::WaitForSingleObject(taken_.get(), INFINITE);
  }
  ~HeldUpdateMutex() {
    ::SetEvent(done_.get());
    thread_.join();
  }

 private:
  ScopedHandle taken_{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  ScopedHandle done_{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::thread thread_;
};

// What an update set aside goes with the next run; a file still in use (here
// held open without delete sharing) stays, and nothing else is touched.
// Nothing goes while an updater holds the update mutex.
TEST(UpdateLeftovers, SetAsideFilesGoUnlessStillInUseOrAnUpdaterRuns) {
  zan_test::TempFolder folder;
  for (const wchar_t* name : {L"ZanSetup.exe.old", L"ZanSetupSH.exe.old", L"npZanSetupOneClick.dll.old",
                              L"ZanSetup.exe", L"other.old"}) {
    ASSERT_TRUE(zan_test::WriteFileBytes(folder.File(name), "x"));
  }
  HANDLE held = ::CreateFileW(folder.File(L"ZanSetupSH.exe.old").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  {
    HeldUpdateMutex updater;
    RemoveUpdateLeftovers(folder.path());
    EXPECT_TRUE(zan::FileExists(folder.File(L"ZanSetup.exe.old")));
  }
  RemoveUpdateLeftovers(folder.path());
  EXPECT_FALSE(zan::FileExists(folder.File(L"ZanSetup.exe.old")));
  EXPECT_FALSE(zan::FileExists(folder.File(L"npZanSetupOneClick.dll.old")));
  EXPECT_TRUE(zan::FileExists(folder.File(L"ZanSetupSH.exe.old"))) << "in use: left for a later run";
  EXPECT_TRUE(zan::FileExists(folder.File(L"ZanSetup.exe")));
  EXPECT_TRUE(zan::FileExists(folder.File(L"other.old")));
  ::CloseHandle(held);
  RemoveUpdateLeftovers(folder.path());
  EXPECT_FALSE(zan::FileExists(folder.File(L"ZanSetupSH.exe.old")));
}

// The update document is refused past 1 MiB while it arrives; one of
// exactly 1 MiB is read.
class UpdateDocument : public zan_test::ServerTest {};

TEST_F(UpdateDocument, ADocumentOverOneMebibyteIsRefused) {
  zan_test::ScopedUserHive hive;
  zan_test::TempFolder folder;
  const std::wstring name = zan_test::UniqueToken(L"new") + L".xml";
  const std::wstring url = Nginx(L"/" + name);
  struct Remove {
    std::wstring path;
    ~Remove() { ::DeleteFileW(path.c_str()); }
  } remove{servers_.nginxRoot + name};
  const std::string kDocument = "<zansetup><version>0.0.0.1</version></zansetup>\n<!--";
  for (size_t size : {size_t{1048576}, size_t{1048577}}) {
    SCOPED_TRACE(size);
    const std::string padding(size - kDocument.size() - 4, 'x');
    ASSERT_TRUE(zan_test::WriteFileBytes(remove.path, kDocument + padding + "-->\n"));
    zan_test::LogLinesAdded log;
    RunSelfUpdate(url, folder.File(L"ZanSetup.exe"));
    const std::vector<std::string> lines = log.Messages();
    ASSERT_FALSE(lines.empty());
    if (size > 1048576) {
      const std::string shown = WideToUtf8(url);
      EXPECT_EQ((std::vector<std::string>{"refused an answer larger than 1048576 bytes, url: " + shown,
                                          "download new.xml failed, url: " + shown}),
                lines);
    } else {
      EXPECT_EQ(0u, lines[0].find("new.xml content: <zansetup><version>0.0.0.1</version>")) << lines[0].substr(0, 80);
    }
    EXPECT_FALSE(zan::FileExists(folder.File(L"ZanSetup.exe")));
  }
}

bool EventExists(const std::wstring& name) {
  ScopedHandle probe(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
  return ::GetLastError() == ERROR_ALREADY_EXISTS;
}

TEST(InstanceGuard, HeldUntilReleasedThenFreeForTheNextRun) {
  std::wstring name = zan_test::UniqueToken(L"ZanGuardTest");
  ASSERT_EQ(GuardResult::kTaken, AcquireInstanceGuard(name));
  EXPECT_TRUE(EventExists(name)) << "a second run of the same product would not see it taken";
  ReleaseInstanceGuard();
  EXPECT_FALSE(EventExists(name));
  EXPECT_EQ(GuardResult::kTaken, AcquireInstanceGuard(name));
  ReleaseInstanceGuard();
}

// The "launcher" here is the test driver, which reports whether the guard's
// event still existed when it started.
TEST(InstanceGuard, TheElevatedRunStartsWithTheGuardAlreadyReleased) {
  zan_test::TempFolder folder;
  std::wstring name = zan_test::UniqueToken(L"ZanGuardHandOver");
  std::wstring result = folder.File(L"probe.txt");
  ASSERT_EQ(GuardResult::kTaken, AcquireInstanceGuard(name));
  StartElevatingLauncher(GetModuleFolder(nullptr) + L"zsdriver.exe", L"event " + name + L" " + result);
  std::string seen;
  for (int i = 0; i < 300 && seen.empty(); ++i) {
    ::Sleep(100);
    seen = zan_test::ReadFileBytes(result);
  }
  ReleaseInstanceGuard();
  EXPECT_EQ("free", seen);
}

using V = UpdateVerdict;

// The build and record of every row but those that say otherwise: 1.0.
TEST(ReleaseControl, WhoTakesTheUpdate) {
  const wchar_t* const kNone = nullptr;  // no rollout element
  struct Row {
    const wchar_t* published;
    const wchar_t* rollout;
    unsigned bucket;
    V verdict;
    std::vector<std::wstring> withdrawn = {};
    bool withdrawnVerdict = false;
    const wchar_t* record = L"1.0";
  };
  const Row kRows[] = {
      {L"2.0", kNone, 5000, V::kTake}, {L"2.0", kNone, kNoBucket, V::kTake}, {L"1.0", kNone, 0, V::kNothingNew},
      {L"0.9", kNone, 0, V::kNothingNew}, {L"", kNone, 0, V::kNothingNew},
      // Rollouts and buckets in hundredths of a percent; a rollout of 0 halts.
      {L"2.0", L"30", 2999, V::kTake}, {L"2.0", L"30", 3000, V::kNotRolledOut}, {L"2.0", L"30.5", 3049, V::kTake},
      {L"2.0", L"30.5", 3050, V::kNotRolledOut}, {L"2.0", L"0.01", 0, V::kTake},
      {L"2.0", L"99.99", 9999, V::kNotRolledOut}, {L"2.0", L"100", 9999, V::kTake},
      {L"2.0", L"100", kNoBucket, V::kTake}, {L"2.0", L"50", kNoBucket, V::kNotRolledOut},
      {L"2.0", L"0", 0, V::kNotRolledOut}, {L"2.0", L"30%", 0, V::kBadRollout}, {L"2.0", L"", 0, V::kBadRollout},
      {L"2.0", L"101", 0, V::kBadRollout}, {L"1.0", L"x", 0, V::kNothingNew},
      // This build withdrawn (as four numbers too): any other version, within the rollout.
      {L"0.9", kNone, 0, V::kTake, {L"1.0"}, true}, {L"0.9", kNone, 0, V::kTake, {L"0.5", L"1.0.0.0"}, true},
      {L"2.0", kNone, 0, V::kTake, {L"1.0"}, true}, {L"1.0", kNone, 0, V::kNothingNew, {L"1.0"}, true},
      {L"0.9", L"10", 5000, V::kNotRolledOut, {L"1.0"}, true}, {L"0.9", kNone, 0, V::kNothingNew, {L"1.1"}},
      // Only the record's version listed; the build listed, no record.
      {L"0.9", kNone, 0, V::kNothingNew, {L"1.1"}, false, L"1.1"}, {L"0.9", kNone, 0, V::kTake, {L"1.0"}, false, L""},
  };
  for (const Row& row : kRows) {
    SCOPED_TRACE(::testing::Message() << "offer " << row.published << ", rollout "
                                      << (row.rollout ? row.rollout : L"none") << ", bucket " << row.bucket
                                      << ", record " << row.record << ", " << row.withdrawn.size() << " withdrawn");
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

// Written back as read, without trailing or leading zeros.
TEST(ReleaseControl, RolloutsArePercentagesWithAtMostTwoDecimals) {
  const struct {
    const wchar_t *text, *written;
    unsigned hundredths;
  } kReadable[] = {{L"0", L"0", 0},           {L"100", L"100", 10000},  {L"30", L"30", 3000},
                   {L"30.5", L"30.5", 3050},  {L"0.25", L"0.25", 25},   {L"0.05", L"0.05", 5},
                   {L"12.50", L"12.5", 1250}, {L"100.00", L"100", 10000}, {L"007", L"7", 700}};
  for (const auto& item : kReadable) {
    unsigned hundredths = 99999;
    EXPECT_TRUE(ParseRollout(item.text, &hundredths)) << item.text;
    EXPECT_EQ(item.hundredths, hundredths) << item.text;
    EXPECT_EQ(item.written, RolloutText(hundredths)) << item.text;
  }
  const wchar_t* const kUnreadable[] = {L"",    L"100.01", L"101",  L"1000", L"-1",    L"+1",   L"1e2", L" 30",
                                        L"30 ", L"30.",    L".5",   L"30.125", L"30,5", L"3O", L"0x10", L"30%"};
  for (const wchar_t* text : kUnreadable) {
    unsigned hundredths = 4242;
    EXPECT_FALSE(ParseRollout(text, &hundredths)) << text;
    EXPECT_EQ(4242u, hundredths) << text;
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
