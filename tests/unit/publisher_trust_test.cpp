// What decides that a document or an update comes from our publisher: the
// pin of a key, detached document signatures, a document's expiry time, the
// update's Authenticode verdict and its version block. The key pairs, the signatures (made by
// openssl) and openssl's pins come from the build's test-publisher folder.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <memory>
#include <string>
#include <vector>

#include "setup/common/handles.h"
#include "setup/common/publisher_signature.h"
#include "setup/common/versions.h"
#include "setup/driver/document_expiry.h"
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
  std::string text = ReadPublisherFile(L"pins.txt");
  std::vector<std::string> pins;
  size_t at = 0, end;
  while ((end = text.find('\n', at)) != std::string::npos) {
    pins.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return pins;
}

struct CertFree {
  void operator()(PCCERT_CONTEXT cert) const { ::CertFreeCertificateContext(cert); }
};

TEST(PublisherPin, EqualsOpensslsForRsaAndEcKeys) {
  const std::vector<std::string> expected = OpensslPins();
  ASSERT_EQ(2u, expected.size());
  const wchar_t* const kCertificates[] = {L"publisher.der", L"ec.der"};
  for (size_t i = 0; i < 2; ++i) {
    std::string der = ReadPublisherFile(kCertificates[i]);
    std::unique_ptr<const CERT_CONTEXT, CertFree> cert(::CertCreateCertificateContext(
        X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size())));
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
  struct Case {
    const wchar_t* signature;
    const std::string* content;
    const PublisherPins* pins;
    SignatureVerdict verdict;
  };
  const Case kCases[] = {
      {L"text.sha256.p7s", &text, &rsa, SignatureVerdict::kValid},
      {L"text.noattr.p7s", &text, &rsa, SignatureVerdict::kValid},
      {L"text.sha256.p7s", &text, &both, SignatureVerdict::kValid},
      {L"text.sha256.p7s", &text, &ec, SignatureVerdict::kNotOurs},
      {L"text.sha256.p7s", &changed, &rsa, SignatureVerdict::kNotValid},
      {L"text.noattr.p7s", &changed, &rsa, SignatureVerdict::kNotValid},
      {L"text.sha1.p7s", &text, &rsa, SignatureVerdict::kNotValid},
  };
  for (const Case& c : kCases) {
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
  struct Time {
    const char* text;
    WORD parts[6];
  };
  const Time kReal[] = {
      {"1601-01-01T00:00:00Z", {1601, 1, 1, 0, 0, 0}},   {"1970-01-01T00:00:00Z", {1970, 1, 1, 0, 0, 0}},
      {"2000-02-29T12:34:56Z", {2000, 2, 29, 12, 34, 56}}, {"2024-02-29T23:59:59Z", {2024, 2, 29, 23, 59, 59}},
      {"2027-01-31T00:00:00Z", {2027, 1, 31, 0, 0, 0}},   {"2100-03-01T00:00:00Z", {2100, 3, 1, 0, 0, 0}},
      {"9999-12-31T23:59:59Z", {9999, 12, 31, 23, 59, 59}},
  };
  for (const Time& t : kReal) {
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

  struct Case {
    const char* document;
    Freshness freshness;
    const char* expires;
  };
  const Case kCases[] = {
      {"<soft_info><name>Demo</name></soft_info>", Freshness::kNoExpiry, ""},
      {"<soft_info><package><expires>2027-01-31T00:00:00Z</expires></package></soft_info>", Freshness::kNoExpiry,
       ""},
      {"<soft_info><expires/></soft_info>", Freshness::kUnreadable, ""},
      {"<soft_info><expires>2027-02-30T00:00:00Z</expires></soft_info>", Freshness::kUnreadable,
       "2027-02-30T00:00:00Z"},
      {"<soft_info><expires>never</expires></soft_info>", Freshness::kUnreadable, "never"},
      {"not a document", Freshness::kNoExpiry, ""},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(c.freshness, DocumentFreshness(c.document, "soft_info.expires", 0, &expires)) << c.document;
    EXPECT_EQ(c.expires, expires) << c.document;
  }
}

FileSignature Verdict(LONG trust, const std::string& pin = "") {
  FileSignature signature;
  signature.trust = trust;
  signature.pin = pin;
  return signature;
}

TEST(UpdateSignature, OnlyTheVerdictAndThePinsDecide) {
  const std::string ours(64, 'a'), theirs(64, 'b');
  const PublisherPins pins{theirs + "0", ours};
  EXPECT_EQ(PublisherSignature::kNotChecked, JudgePublisherSignature(PublisherPins(), Verdict(TRUST_E_NOSIGNATURE)));
  EXPECT_EQ(PublisherSignature::kAccepted, JudgePublisherSignature(pins, Verdict(ERROR_SUCCESS, ours)));
  EXPECT_EQ(PublisherSignature::kOtherSigner, JudgePublisherSignature(pins, Verdict(ERROR_SUCCESS, theirs)));
  // A valid signature whose signer could not be read is never taken for ours.
  EXPECT_EQ(PublisherSignature::kUnreadable, JudgePublisherSignature(pins, Verdict(ERROR_SUCCESS)));
  for (LONG none : {TRUST_E_NOSIGNATURE, TRUST_E_SUBJECT_FORM_UNKNOWN, TRUST_E_PROVIDER_UNKNOWN}) {
    EXPECT_EQ(PublisherSignature::kNoSignature, JudgePublisherSignature(pins, Verdict(none))) << std::hex << none;
  }
  // A verdict that is no success refuses even with our pin beside it.
  for (LONG broken : {TRUST_E_BAD_DIGEST, CERT_E_UNTRUSTEDROOT, CERT_E_EXPIRED, TRUST_E_EXPLICIT_DISTRUST,
                      static_cast<LONG>(ERROR_FILE_NOT_FOUND)}) {
    EXPECT_EQ(PublisherSignature::kBadSignature, JudgePublisherSignature(pins, Verdict(broken, ours)))
        << std::hex << broken;
  }
}

template <typename Value>
bool ReadOf(const std::wstring& path, bool (*read)(HANDLE, Value*), Value* value) {
  ScopedFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  return file && read(file.get(), value);
}

bool FileVersionOf(const std::wstring& path, FileVersion* version) { return ReadOf(path, ReadFileVersion, version); }

TEST(UpdateVersionBlock, ReadThroughTheHandleAndNeverPastTheFile) {
  FileVersion version;
  ASSERT_TRUE(FileVersionOf(zan_test::BuildFolder() + L"tests-bin\\zsdriver.exe", &version));
  EXPECT_EQ(L"999.0.0.0", VersionText(version));
  ASSERT_TRUE(FileVersionOf(zan_test::BuildFolder() + L"tests-bin\\old\\zsdriver.exe", &version));
  EXPECT_EQ(L"0.0.0.1", VersionText(version));
  EXPECT_FALSE(FileVersionOf(PublisherFile(L"text.txt"), &version));
  // The machine field the same way: this flavour's, as the running program's.
  unsigned machine = 0;
  ASSERT_TRUE(ReadOf(zan_test::BuildFolder() + L"tests-bin\\zsdriver.exe", ReadFileMachine, &machine));
  EXPECT_EQ(sizeof(void*) == 8 ? 0x8664u : 0x014Cu, machine);
  EXPECT_EQ(machine, RunningMachine());
  EXPECT_FALSE(ReadOf(PublisherFile(L"text.txt"), ReadFileMachine, &machine));

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
