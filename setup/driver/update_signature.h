// Whether a downloaded update comes from this program's own publisher. A
// signed build starts only what its own certificate signed; an unsigned
// build asks nothing of its updates, as before.
#pragma once

#include <windows.h>

#include <string>

namespace zan {

// WinVerifyTrust's verdict on one file and, when the signature holds, the
// SHA-1 thumbprint of the certificate that made it.
struct FileSignature {
  LONG trust = TRUST_E_NOSIGNATURE;
  // Lower-case hexadecimal; empty when no verified signer certificate could
  // be had.
  std::string thumbprint;
};

enum class UpdateSignature {
  kNotChecked,    // this program carries no valid signature itself
  kAccepted,      // valid, and made with this program's own certificate
  kNoSignature,
  kBadSignature,  // a signature that does not hold (tampered, broken, untrusted)
  kOtherSigner,
  kUnreadable,    // a valid signature whose signer certificate could not be had
};

// Verifies the signature embedded in the file at `path`: generic verify
// action, no UI, no revocation check. When `file` is not null it is an open
// handle to that file and the check reads through it.
FileSignature VerifyFileSignature(const std::wstring& path, HANDLE file);

// The same for this program's own file.
FileSignature VerifyOwnSignature();

// Whether a verdict says the file carries no signature at all, rather than
// one that does not hold.
bool IsUnsignedVerdict(LONG trust);

// The decision from the two verdicts; `update` is not looked at when this
// program's own signature does not hold.
UpdateSignature JudgeUpdateSignature(const FileSignature& own, const FileSignature& update);

// Checks the update at `path`, held open as `file`, against this program's
// own signature and logs the outcome. True when the update may be started.
bool CheckUpdateSignature(const std::wstring& path, HANDLE file);

}  // namespace zan
