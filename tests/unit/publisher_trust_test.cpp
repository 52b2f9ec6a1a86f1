// What decides that a document or an update comes from our publisher: the
// pin of a key, detached document signatures, a document's expiry time, the
// update's Authenticode verdict and its version block. The key pairs, the signatures (made by
// openssl) and openssl's pins come from the build's test-publisher folder.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "setup/common/handles.h"
#include "setup/common/publisher_signature.h"
#include "setup/common/versions.h"
#include "setup/common/string_util.h"
#include "setup/driver/document_expiry.h"
#include "setup/driver/signed_document.h"
#include "setup/driver/update_signature.h"
#include "test_util.h"

namespace zan {
namespace {

std::wstring PublisherFile(const std::wstring& name) {
  return zan_test::BuildFolder() + L"test-publisher\\" + name;
}

std::string ReadPublisherFile(const std::wstring& name) {
  std::string bytes = zan_test::ReadFileBytes(PublisherFile(name));
  EXPECT_FALSE(bytes.empty()) << "missing " << PublisherFile(name);
  return bytes;
}

// openssl's pins: the RSA publisher's, then the EC key's.
std::vector<std::string> OpensslPins() {
  std::istringstream text(ReadPublisherFile(L"pins.txt"));
  std::vector<std::string> pins;
  for (std::string pin; std::getline(text, pin);) pins.push_back(pin);
  return pins;
}

TEST(PublisherPin, EqualsOpensslsForRsaAndEcKeys) {
  const std::vector<std::string> expected = OpensslPins();
  ASSERT_EQ(2u, expected.size());
  const wchar_t* const kCertificates[] = {L"publisher.der", L"ec.der"};
  for (size_t i = 0; i < 2; ++i) {
    std::string der = ReadPublisherFile(kCertificates[i]);
    std::unique_ptr<const CERT_CONTEXT, decltype(&::CertFreeCertificateContext)> cert(
        ::CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                       static_cast<DWORD>(der.size())),
        ::CertFreeCertificateContext);
    ASSERT_TRUE(cert) << kCertificates[i];
    EXPECT_EQ(expected[i], PublicKeyPin(cert.get())) << kCertificates[i];
    EXPECT_EQ(64u, expected[i].size());
  }
  EXPECT_EQ("", PublicKeyPin(nullptr));
}

TEST(PublisherPin, ListsSplitOnSemicolonOrCommaAndIgnoreCaseAndBlanks) {
  EXPECT_EQ((PublisherPins{"ab", "cd", "ef"}), ParsePins(L" AB ; cd,,Ef;"));
  EXPECT_TRUE(ParsePins(L"").empty());
  EXPECT_TRUE(ParsePins(L" ; , ").empty());
  EXPECT_FALSE(IsPinned(PublisherPins{"ab"}, ""));
  EXPECT_FALSE(IsPinned(PublisherPins{""}, ""));
}

TEST(DocumentSignature, OnlyAnIntactSha256SignatureByAPinnedKeyHolds) {
  const std::vector<std::string> pins = OpensslPins();
  ASSERT_EQ(2u, pins.size());
  const PublisherPins rsa{pins[0]}, ec{pins[1]}, both{pins[1], pins[0]};
  const std::string text = ReadPublisherFile(L"text.txt");
  std::string changed = text;
  changed[changed.size() / 2] ^= 1;
  const struct {
    const wchar_t* signature;
    const std::string* content;
    const PublisherPins* pins;
    SignatureVerdict verdict;
  } kCases[] = {
      {L"text.sha256.p7s", &text, &rsa, SignatureVerdict::kValid},
      {L"text.noattr.p7s", &text, &rsa, SignatureVerdict::kValid},
      {L"text.sha256.p7s", &text, &both, SignatureVerdict::kValid},
      {L"text.sha256.p7s", &text, &ec, SignatureVerdict::kNotOurs},
      {L"text.sha256.p7s", &changed, &rsa, SignatureVerdict::kNotValid},
      {L"text.noattr.p7s", &changed, &rsa, SignatureVerdict::kNotValid},
      {L"text.sha1.p7s", &text, &rsa, SignatureVerdict::kNotValid},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(c.verdict, CheckDetachedSignature(*c.content, ReadPublisherFile(c.signature), *c.pins))
        << c.signature << (c.content == &changed ? L" over changed text" : L"");
  }
  // What a server might put in the signature's place.
  const std::string signature = ReadPublisherFile(L"text.sha256.p7s");
  for (const std::string& junk : {std::string(), text, signature.substr(0, signature.size() / 2),
                                  std::string(4096, '\0')}) {
    EXPECT_EQ(SignatureVerdict::kNotValid, CheckDetachedSignature(text, junk, rsa)) << junk.size();
  }
}

// The platform's reading of the same UTC time, to check ours against.
unsigned long long PlatformFileTime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
  SYSTEMTIME when = {year, month, 0, day, hour, minute, second, 0};
  FILETIME time;
  EXPECT_TRUE(::SystemTimeToFileTime(&when, &time)) << year << "-" << month << "-" << day;
  return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

TEST(DocumentExpiry, ReadsOnlyTheOneUtcFormAndOnlyRealTimes) {
  const struct {
    const char* text;
    WORD parts[6];
  } kReal[] = {
      {"1601-01-01T00:00:00Z", {1601, 1, 1, 0, 0, 0}},   {"1970-01-01T00:00:00Z", {1970, 1, 1, 0, 0, 0}},
      {"2000-02-29T12:34:56Z", {2000, 2, 29, 12, 34, 56}}, {"2024-02-29T23:59:59Z", {2024, 2, 29, 23, 59, 59}},
      {"2027-01-31T00:00:00Z", {2027, 1, 31, 0, 0, 0}},   {"2100-03-01T00:00:00Z", {2100, 3, 1, 0, 0, 0}},
      {"9999-12-31T23:59:59Z", {9999, 12, 31, 23, 59, 59}},
  };
  for (const auto& t : kReal) {
    unsigned long long parsed = 1;
    ASSERT_TRUE(ParseExpiryTime(t.text, &parsed)) << t.text;
    EXPECT_EQ(PlatformFileTime(t.parts[0], t.parts[1], t.parts[2], t.parts[3], t.parts[4], t.parts[5]), parsed)
        << t.text;
  }
  const char* const kRefused[] = {
      "", "2027-01-31", "2027-01-31T00:00:00", "2027-01-31T00:00:00z", "2027-01-31 00:00:00Z",
      "2027-01-31T00:00:00.000Z", "2027-01-31T00:00:00+00:00", " 2027-01-31T00:00:00Z", "2027-1-31T00:00:00Z",
      "+027-01-31T00:00:00Z", "2027-01-3aT00:00:00Z", "2027/01/31T00:00:00Z", "20270131T000000Z",
      "2027-02-29T00:00:00Z",  // not a leap year
      "2100-02-29T00:00:00Z",  // nor is a century not divisible by 400
      "2027-04-31T00:00:00Z", "2027-00-10T00:00:00Z", "2027-13-01T00:00:00Z", "2027-01-00T00:00:00Z",
      "2027-01-31T24:00:00Z", "2027-01-31T23:60:00Z", "2027-01-31T23:59:60Z",
      "1600-12-31T23:59:59Z",  // before anything a FILETIME holds
  };
  for (const char* text : kRefused) {
    unsigned long long parsed = 0;
    EXPECT_FALSE(ParseExpiryTime(text, &parsed)) << text;
  }
}

TEST(DocumentExpiry, FreshUntilTheInstantThenExpiredAndOnlyTheRootsChildCounts) {
  const unsigned long long until = PlatformFileTime(2027, 1, 31, 0, 0, 0);
  const std::string info = "<?xml version=\"1.0\"?>\n<soft_info>\n  <expires>2027-01-31T00:00:00Z</expires>\n"
                           "  <name>Demo</name>\n</soft_info>\n";
  std::string expires;
  EXPECT_EQ(Freshness::kFresh, DocumentFreshness(info, "soft_info.expires", until - 1, &expires));
  EXPECT_EQ("2027-01-31T00:00:00Z", expires);
  EXPECT_EQ(Freshness::kExpired, DocumentFreshness(info, "soft_info.expires", until, &expires));
  EXPECT_EQ(Freshness::kExpired, DocumentFreshness(info, "soft_info.expires", until + 864000000000ull, &expires));
  // The path names the root: the same element under another root is no expiry.
  EXPECT_EQ(Freshness::kNoExpiry, DocumentFreshness(info, "language.expires", 0, &expires));
  EXPECT_EQ("", expires);

  const struct {
    const char* document;
    Freshness freshness;
    const char* expires;
  } kCases[] = {
      {"<soft_info><name>Demo</name></soft_info>", Freshness::kNoExpiry, ""},
      {"<soft_info><package><expires>2027-01-31T00:00:00Z</expires></package></soft_info>", Freshness::kNoExpiry,
       ""},
      {"<soft_info><expires/></soft_info>", Freshness::kUnreadable, ""},
      {"<soft_info><expires>2027-02-30T00:00:00Z</expires></soft_info>", Freshness::kUnreadable,
       "2027-02-30T00:00:00Z"},
      {"<soft_info><expires>never</expires></soft_info>", Freshness::kUnreadable, "never"},
      {"not a document", Freshness::kNoExpiry, ""},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(c.freshness, DocumentFreshness(c.document, "soft_info.expires", 0, &expires)) << c.document;
    EXPECT_EQ(c.expires, expires) << c.document;
  }
}

// A signed document names its product and, when one is asked for, its
// version, letter case aside: one of another product or version never
// stands in for it.
TEST(DocumentIsFor, TheNamedProductAndVersionInAnyCase) {
  const std::string both = "<soft_info><name>Demo</name><version>2.0b</version></soft_info>";
  const std::string nameOnly = "<soft_info><name>Demo</name></soft_info>";
  const struct {
    std::string document;
    const wchar_t* name;
    const wchar_t* version;
    bool isFor;
  } rows[] = {
      {both, L"Demo", L"2.0b", true},      {both, L"dEMO", L"2.0B", true},    {both, L"demo", L"", true},
      {nameOnly, L"Demo", L"", true},      {both, L"Demo2", L"2.0b", false},  {both, L"Dem", L"", false},
      {both, L"Demo", L"2.0", false},      {nameOnly, L"Demo", L"2.0", false},
      {"<soft_info><version>2.0b</version></soft_info>", L"", L"", false},
      {"<other><name>Demo</name></other>", L"Demo", L"", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.document + " for " + WideToUtf8(row.name) + " " + WideToUtf8(row.version));
    zan_test::LogLinesAdded log;
    EXPECT_EQ(row.isFor, DocumentIsFor(L"https://h/soft.info", row.document, row.name, row.version));
    const std::string line = "the document https://h/soft.info is not for this product and version";
    EXPECT_EQ(row.isFor ? std::vector<std::string>{} : std::vector<std::string>{line}, log.Messages());
  }
}

TEST(UpdateSignature, OnlyTheVerdictAndThePinsDecide) {
  const std::string ours(64, 'a'), theirs(64, 'b');
  const PublisherPins pins{theirs + "0", ours};
  EXPECT_EQ(PublisherSignature::kNotChecked, JudgePublisherSignature(PublisherPins(), FileSignature()));
  EXPECT_EQ(PublisherSignature::kAccepted, JudgePublisherSignature(pins, {ERROR_SUCCESS, ours}));
  EXPECT_EQ(PublisherSignature::kOtherSigner, JudgePublisherSignature(pins, {ERROR_SUCCESS, theirs}));
  // A valid signature whose signer could not be read is never taken for ours.
  EXPECT_EQ(PublisherSignature::kUnreadable, JudgePublisherSignature(pins, {ERROR_SUCCESS, ""}));
  for (LONG none : {TRUST_E_NOSIGNATURE, TRUST_E_SUBJECT_FORM_UNKNOWN, TRUST_E_PROVIDER_UNKNOWN}) {
    EXPECT_EQ(PublisherSignature::kNoSignature, JudgePublisherSignature(pins, {none, ""})) << std::hex << none;
  }
  // A verdict that is no success refuses even with our pin beside it.
  for (LONG broken : {TRUST_E_BAD_DIGEST, CERT_E_UNTRUSTEDROOT, CERT_E_EXPIRED, TRUST_E_EXPLICIT_DISTRUST,
                      static_cast<LONG>(ERROR_FILE_NOT_FOUND)}) {
    EXPECT_EQ(PublisherSignature::kBadSignature, JudgePublisherSignature(pins, {broken, ours})) << std::hex << broken;
  }
}

bool FileVersionOf(const std::wstring& path, FileVersion* version) {
  ScopedFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  return file && ReadFileVersion(file.get(), version);
}

TEST(UpdateVersionBlock, ReadThroughTheHandleAndNeverPastTheFile) {
  // (What the block and the machine field read as, the update checks below show.)
  FileVersion version;
  EXPECT_EQ(sizeof(void*) == 8 ? 0x8664u : 0x014Cu, RunningMachine());
  // Cut short anywhere, a program reads as one without a version block, or
  // (cut after it) with the right one: nothing past the end is read.
  const std::string program = zan_test::ReadFileBytes(zan_test::BuildFolder() + L"tests-bin\\zsdriver.exe");
  ASSERT_GT(program.size(), 4096u);
  zan_test::TempFolder folder;
  int unreadable = 0;
  for (size_t length = 1; length < program.size(); length += length < 1024 ? 61 : program.size() / 16) {
    ASSERT_TRUE(zan_test::WriteFileBytes(folder.File(L"cut.exe"), program.substr(0, length)));
    if (FileVersionOf(folder.File(L"cut.exe"), &version)) {
      EXPECT_EQ(L"999.0.0.0", VersionText(version)) << length;
    } else {
      ++unreadable;
    }
  }
  EXPECT_GE(unreadable, 17);
}

// Whatever the build pins, an update runs only when it is a program of this
// flavour whose version block is newer, or for a withdrawn build any other.
TEST(UpdateVersionBlock, OnlyAProgramOfThisMachineAndANewerVersionIsStarted) {
  const std::wstring newer = zan_test::BuildFolder() + L"tests-bin\\zsdriver.exe";       // 999.0.0.0
  const std::wstring older = zan_test::BuildFolder() + L"tests-bin\\old\\zsdriver.exe";  // 0.0.0.1
  const unsigned other = RunningMachine() == 0x8664u ? 0x014Cu : 0x8664u;
  wchar_t otherLine[128];
  swprintf(otherLine, 128, L"the update is not started: it is built for machine 0x%04x, this program for 0x%04x",
           RunningMachine(), other);
  const std::string kNot = "the update is not started: ";
  const struct {
    std::wstring file;
    unsigned running;
    FileVersion build;
    bool withdrawn;
    std::string machineLine, versionLine;  // empty: it passes
  } rows[] = {
      {newer, RunningMachine(), FileVersion{{1, 0, 0, 0}}, false, "", ""},
      {newer, RunningMachine(), FileVersion{{999, 0, 0, 0}}, true, "",
       kNot + "its version 999.0.0.0 is this program's own, which is withdrawn"},
      {older, RunningMachine(), FileVersion{{1, 0, 0, 0}}, true, "", ""},
      {older, other, FileVersion{{1, 0, 0, 0}}, false, WideToUtf8(otherLine),
       kNot + "its version 0.0.0.1 is not newer than this program's 1.0.0.0"},
      {PublisherFile(L"text.txt"), RunningMachine(), FileVersion{{1, 0, 0, 0}}, true, kNot + "it is no program",
       kNot + "it carries no version block"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(WideToUtf8(row.file));
    ScopedFile file(::CreateFileW(row.file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file);
    for (bool machine : {true, false}) {
      zan_test::LogLinesAdded log;
      const std::string& line = machine ? row.machineLine : row.versionLine;
      EXPECT_EQ(line.empty(), machine ? CheckUpdateMachine(file.get(), row.running)
                                      : CheckUpdateVersion(file.get(), row.build, row.withdrawn));
      EXPECT_EQ(line.empty() ? std::vector<std::string>{} : std::vector<std::string>{line}, log.Messages());
    }
  }
}

TEST(UpdateVersionBlock, NewerMeansGreaterAsFourNumbers) {
  const FileVersion build{{1, 2, 0, 0}};
  EXPECT_TRUE(IsNewer(FileVersion{{1, 2, 0, 1}}, build));
  EXPECT_TRUE(IsNewer(FileVersion{{1, 10, 0, 0}}, build));
  EXPECT_TRUE(IsNewer(FileVersion{{2, 0, 0, 0}}, build));
  EXPECT_FALSE(IsNewer(build, build));
  EXPECT_FALSE(IsNewer(FileVersion{{1, 1, 9, 9}}, build));
  EXPECT_FALSE(IsNewer(FileVersion{{0, 65535, 65535, 65535}}, build));
}

}  // namespace
}  // namespace zan
