// MD5 digests (RFC 1321).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zan {

// The running state of one digest: Start, Add as often as needed, Finish.
class Md5Context {
 public:
  static constexpr size_t kDigestSize = 16;

  Md5Context() { Start(); }

  void Start();
  void Add(const void* data, size_t size);
  // Pads, appends the bit count and writes the digest; Start again before
  // reusing the context.
  void Finish(unsigned char digest[kDigestSize]);

 private:
  // Folds `count` consecutive 64-byte blocks into the state.
  void Transform(const unsigned char* blocks, size_t count);

  uint32_t state_[4];
  // Message length in bits, as the two 32-bit words the padding appends.
  uint32_t countLow_;
  uint32_t countHigh_;
  unsigned char buffer_[64];
};

// The 16 bytes as 32 lower-case hexadecimal digits.
std::string Md5DigestText(const unsigned char digest[Md5Context::kDigestSize]);

}  // namespace zan
