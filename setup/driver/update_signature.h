// Whether a downloaded update of the setup program may start. A pinned
// build starts only what a pinned publisher key signed (Authenticode); an
// unpinned build asks no signature of it. Neither starts an update whose
// version block is not newer than its own build: no rollback.
#pragma once

#include <windows.h>

#include <string>

#include "setup/common/publisher_signature.h"
#include "setup/common/versions.h"

namespace zan {

// WinVerifyTrust's verdict on one file and, when the signature holds, the
// pin of the key that made it.
struct FileSignature {
  LONG trust = TRUST_E_NOSIGNATURE;
  // Empty when no verified signer certificate could be had.
  std::string pin;
};

enum class UpdateSignature {
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

UpdateSignature JudgeUpdateSignature(const PublisherPins& pins, const FileSignature& update);

// Checks the update at `path`, held open as `file`, against `pins` and logs
// the outcome. True when the update may be started.
bool CheckUpdateSignature(const std::wstring& path, HANDLE file, const PublisherPins& pins);

// True when the version block of the update held open as `file` is newer
// than `running`; otherwise logs why not.
bool CheckUpdateVersion(HANDLE file, const FileVersion& running);

}  // namespace zan
