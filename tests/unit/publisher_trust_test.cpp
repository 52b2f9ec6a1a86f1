// What decides that a document or an update comes from our publisher: the
// pin of a key, detached document signatures, the update's Authenticode
// verdict and its version block. The key pairs, the signatures (made by
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
