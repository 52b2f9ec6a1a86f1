#include "sha256.h"

#include <climits>

namespace zan {

Sha256Context::Sha256Context() {
  failed_ = !BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&algorithm_, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
            !BCRYPT_SUCCESS(::BCryptCreateHash(algorithm_, &hash_, nullptr, 0, nullptr, 0, 0));
}

Sha256Context::~Sha256Context() {
  if (hash_) ::BCryptDestroyHash(hash_);
  if (algorithm_) ::BCryptCloseAlgorithmProvider(algorithm_, 0);
}

void Sha256Context::Add(const void* data, size_t size) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  // The call takes 32-bit lengths.
  while (!failed_ && size > 0) {
    ULONG piece = size > ULONG_MAX ? ULONG_MAX : static_cast<ULONG>(size);
    failed_ = !BCRYPT_SUCCESS(::BCryptHashData(hash_, const_cast<unsigned char*>(bytes), piece, 0));
    bytes += piece;
    size -= piece;
  }
}

bool Sha256Context::Finish(unsigned char digest[kDigestSize]) {
  return !failed_ && BCRYPT_SUCCESS(::BCryptFinishHash(hash_, digest, kDigestSize, 0));
}

}  // namespace zan
