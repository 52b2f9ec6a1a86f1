// Authenticode signatures of programs, judged against the publisher pins:
// the update of the setup program and the copy the elevated launcher runs.
#pragma once

#include <windows.h>

#include <string>

#include "publisher_signature.h"

namespace zan {

// WinVerifyTrust's verdict on one file and, when the signature holds, the
// pin of the key that made it.
struct FileSignature {
  LONG trust = TRUST_E_NOSIGNATURE;
  // Empty when no verified signer certificate could be had.
  std::string pin;
};

enum class PublisherSignature {
  kNotChecked,    // this build pins no key
  kAccepted,      // valid, made with a pinned key
  kNoSignature,
  kBadSignature,  // a signature that does not hold (tampered, broken, untrusted)
  kOtherSigner,
  kUnreadable,    // a valid signature whose signer certificate could not be had
};

// Verifies the signature embedded in the file at `path`, held open as
// `file` (the check reads through the handle): generic verify action, no
// UI, no revocation check.
FileSignature VerifyFileSignature(const std::wstring& path, HANDLE file);

// Whether a verdict says the file carries no signature at all, rather than
// one that does not hold.
bool IsUnsignedVerdict(LONG trust);

PublisherSignature JudgePublisherSignature(const PublisherPins& pins, const FileSignature& update);

}  // namespace zan
