// Signatures by this program's publisher. The build pins the publisher's
// keys: SHA-256 of each certificate's SubjectPublicKeyInfo, as
// "openssl pkey -pubin -outform DER | sha256sum" prints it. The pin is the
// trust anchor; chains, dates and revocation are not consulted.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

namespace zan {

// Lower-case hexadecimal, 64 digits each.
using PublisherPins = std::vector<std::string>;

// The pins of a text that separates them by ";" or ",", blanks around them dropped, lower-cased.
PublisherPins ParsePins(const std::wstring& text);

// The pin of the certificate's key; empty when it cannot be computed.
std::string PublicKeyPin(PCCERT_CONTEXT cert);

// False for an empty pin, whatever the list holds.
bool IsPinned(const PublisherPins& pins, const std::string& pin);

enum class SignatureVerdict {
  kValid,     // a valid signature, by a pinned key
  kNotValid,  // no CMS signature, not SHA-256, not one signer, or not over these bytes
  kNotOurs,   // a valid signature by a key that is not pinned
};

// Checks a detached CMS signature (DER SignedData with the signer's
// certificate inside, one signer, SHA-256, with or without signed
// attributes) over exactly `content`. RSA keys; Wine 8 verifies no ECDSA
// message signatures.
SignatureVerdict CheckDetachedSignature(const std::string& content, const std::string& signature,
                                        const PublisherPins& pins);

}  // namespace zan
