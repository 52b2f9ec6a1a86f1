// The decision on an update's signature from the two verdicts: the cases the
// end-to-end tests cannot bring about under Wine (a valid signature whose
// signer cannot be read, the other "no signature" verdicts, a broken chain).
#include <gtest/gtest.h>

#include <windows.h>
#include <wintrust.h>

#include "setup/driver/update_signature.h"

namespace zan {
namespace {

const char kOurs[] = "d16f88f7ecc3598831e055cb3dc66b911592e098";
const char kTheirs[] = "c68da9c27e24a1f189a4f2275779b3179fd55a51";

FileSignature Verdict(LONG trust, const char* thumbprint = "") {
  FileSignature signature;
  signature.trust = trust;
  signature.thumbprint = thumbprint;
  return signature;
}

TEST(UpdateSignature, AProgramWithoutAValidSignatureOfItsOwnChecksNothing) {
  const LONG kNotValid[] = {TRUST_E_NOSIGNATURE, TRUST_E_SUBJECT_FORM_UNKNOWN, TRUST_E_PROVIDER_UNKNOWN,
                            TRUST_E_BAD_DIGEST, CERT_E_UNTRUSTEDROOT, CERT_E_EXPIRED};
  for (LONG own : kNotValid) {
    EXPECT_EQ(UpdateSignature::kNotChecked, JudgeUpdateSignature(Verdict(own), Verdict(ERROR_SUCCESS, kTheirs)))
        << std::hex << own;
    EXPECT_EQ(UpdateSignature::kNotChecked, JudgeUpdateSignature(Verdict(own), Verdict(TRUST_E_NOSIGNATURE)))
        << std::hex << own;
  }
}

TEST(UpdateSignature, ASignedProgramAcceptsOnlyItsOwnCertificate) {
  const FileSignature own = Verdict(ERROR_SUCCESS, kOurs);
  EXPECT_EQ(UpdateSignature::kAccepted, JudgeUpdateSignature(own, Verdict(ERROR_SUCCESS, kOurs)));
  EXPECT_EQ(UpdateSignature::kOtherSigner, JudgeUpdateSignature(own, Verdict(ERROR_SUCCESS, kTheirs)));
  // Whatever no signature format knows carries none either.
  for (LONG none : {TRUST_E_NOSIGNATURE, TRUST_E_SUBJECT_FORM_UNKNOWN, TRUST_E_PROVIDER_UNKNOWN}) {
    EXPECT_EQ(UpdateSignature::kNoSignature, JudgeUpdateSignature(own, Verdict(none))) << std::hex << none;
  }
  // A verdict that is no success refuses even with our thumbprint beside it.
  for (LONG broken : {TRUST_E_BAD_DIGEST, CERT_E_UNTRUSTEDROOT, CERT_E_EXPIRED, TRUST_E_EXPLICIT_DISTRUST,
                      static_cast<LONG>(ERROR_FILE_NOT_FOUND)}) {
    EXPECT_EQ(UpdateSignature::kBadSignature, JudgeUpdateSignature(own, Verdict(broken, kOurs)))
        << std::hex << broken;
  }
}

TEST(UpdateSignature, ASignerThatCannotBeReadIsNeverTakenForOurs) {
  // Two empty thumbprints are equal texts: neither side may pass on that.
  EXPECT_EQ(UpdateSignature::kUnreadable,
            JudgeUpdateSignature(Verdict(ERROR_SUCCESS), Verdict(ERROR_SUCCESS)));
  EXPECT_EQ(UpdateSignature::kUnreadable,
            JudgeUpdateSignature(Verdict(ERROR_SUCCESS, kOurs), Verdict(ERROR_SUCCESS)));
  EXPECT_EQ(UpdateSignature::kUnreadable,
            JudgeUpdateSignature(Verdict(ERROR_SUCCESS), Verdict(ERROR_SUCCESS, kOurs)));
}

}  // namespace
}  // namespace zan
