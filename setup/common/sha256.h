// SHA-256 digests through the platform's CNG provider.
#pragma once

#include <windows.h>
#include <bcrypt.h>

#include <cstddef>

namespace zan {

// The running state of one digest: Add as often as needed, then Finish once.
// A context whose provider could not be opened, or one whose Add failed,
// finishes with false and never matches anything.
class Sha256Context {
 public:
  static constexpr size_t kDigestSize = 32;

  Sha256Context();
  ~Sha256Context();
  Sha256Context(const Sha256Context&) = delete;
  Sha256Context& operator=(const Sha256Context&) = delete;

  void Add(const void* data, size_t size);
  bool Finish(unsigned char digest[kDigestSize]);

 private:
  BCRYPT_ALG_HANDLE algorithm_ = nullptr;
  BCRYPT_HASH_HANDLE hash_ = nullptr;
  bool failed_ = false;
};

}  // namespace zan
