#include "md5.h"

#include <cstring>

#include "string_util.h"

namespace zan {
namespace {

// T[i] = floor(abs(sin(i + 1)) * 2^32), as RFC 1321 lists them.
const uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

inline uint32_t RotateLeft(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// Windows runs only little-endian, so the block's words are its bytes as
// they lie; memcpy lets the compiler read them in place, aligned or not.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "Word() reads the RFC's little-endian words in place"
#endif
inline uint32_t Word(const unsigned char* block, int index) {
  uint32_t word;
  memcpy(&word, block + 4 * index, sizeof(word));
  return word;
}

// The four rounds' steps, each a = b + ((a + f(b, c, d) + X[k] + T[i]) <<< s).
// F and G are the RFC's (b & c) | (~b & d) and (b & d) | (c & ~d) in forms
// that take one operation fewer.
template <int S>
inline void Step1(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t) {
  a = b + RotateLeft(a + (d ^ (b & (c ^ d))) + x + t, S);
}
template <int S>
inline void Step2(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t) {
  a = b + RotateLeft(a + (c ^ (d & (b ^ c))) + x + t, S);
}
template <int S>
inline void Step3(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t) {
  a = b + RotateLeft(a + (b ^ c ^ d) + x + t, S);
}
template <int S>
inline void Step4(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t) {
  a = b + RotateLeft(a + (c ^ (b | ~d)) + x + t, S);
}

inline void StoreLittleEndian(uint32_t value, unsigned char* p) {
  p[0] = static_cast<unsigned char>(value);
  p[1] = static_cast<unsigned char>(value >> 8);
  p[2] = static_cast<unsigned char>(value >> 16);
  p[3] = static_cast<unsigned char>(value >> 24);
}

}  // namespace

void Md5Context::Start() {
  state_[0] = 0x67452301;
  state_[1] = 0xefcdab89;
  state_[2] = 0x98badcfe;
  state_[3] = 0x10325476;
  countLow_ = 0;
  countHigh_ = 0;
}

// Every step written out, with its shift and word index as constants: the
// digest of a large file spends nearly all its time here.
void Md5Context::Transform(const unsigned char* blocks, size_t count) {
  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  for (const unsigned char* block = blocks; count > 0; --count, block += 64) {
    const uint32_t oldA = a, oldB = b, oldC = c, oldD = d;
    // Round 1: the words in order.
    Step1<7>(a, b, c, d, Word(block, 0), kSine[0]);
    Step1<12>(d, a, b, c, Word(block, 1), kSine[1]);
    Step1<17>(c, d, a, b, Word(block, 2), kSine[2]);
    Step1<22>(b, c, d, a, Word(block, 3), kSine[3]);
    Step1<7>(a, b, c, d, Word(block, 4), kSine[4]);
    Step1<12>(d, a, b, c, Word(block, 5), kSine[5]);
    Step1<17>(c, d, a, b, Word(block, 6), kSine[6]);
    Step1<22>(b, c, d, a, Word(block, 7), kSine[7]);
    Step1<7>(a, b, c, d, Word(block, 8), kSine[8]);
    Step1<12>(d, a, b, c, Word(block, 9), kSine[9]);
    Step1<17>(c, d, a, b, Word(block, 10), kSine[10]);
    Step1<22>(b, c, d, a, Word(block, 11), kSine[11]);
    Step1<7>(a, b, c, d, Word(block, 12), kSine[12]);
    Step1<12>(d, a, b, c, Word(block, 13), kSine[13]);
    Step1<17>(c, d, a, b, Word(block, 14), kSine[14]);
    Step1<22>(b, c, d, a, Word(block, 15), kSine[15]);
    // Round 2: word 1 + 5i mod 16 at step i.
    Step2<5>(a, b, c, d, Word(block, 1), kSine[16]);
    Step2<9>(d, a, b, c, Word(block, 6), kSine[17]);
    Step2<14>(c, d, a, b, Word(block, 11), kSine[18]);
    Step2<20>(b, c, d, a, Word(block, 0), kSine[19]);
    Step2<5>(a, b, c, d, Word(block, 5), kSine[20]);
    Step2<9>(d, a, b, c, Word(block, 10), kSine[21]);
    Step2<14>(c, d, a, b, Word(block, 15), kSine[22]);
    Step2<20>(b, c, d, a, Word(block, 4), kSine[23]);
    Step2<5>(a, b, c, d, Word(block, 9), kSine[24]);
    Step2<9>(d, a, b, c, Word(block, 14), kSine[25]);
    Step2<14>(c, d, a, b, Word(block, 3), kSine[26]);
    Step2<20>(b, c, d, a, Word(block, 8), kSine[27]);
    Step2<5>(a, b, c, d, Word(block, 13), kSine[28]);
    Step2<9>(d, a, b, c, Word(block, 2), kSine[29]);
    Step2<14>(c, d, a, b, Word(block, 7), kSine[30]);
    Step2<20>(b, c, d, a, Word(block, 12), kSine[31]);
    // Round 3: word 5 + 3i mod 16.
    Step3<4>(a, b, c, d, Word(block, 5), kSine[32]);
    Step3<11>(d, a, b, c, Word(block, 8), kSine[33]);
    Step3<16>(c, d, a, b, Word(block, 11), kSine[34]);
    Step3<23>(b, c, d, a, Word(block, 14), kSine[35]);
    Step3<4>(a, b, c, d, Word(block, 1), kSine[36]);
    Step3<11>(d, a, b, c, Word(block, 4), kSine[37]);
    Step3<16>(c, d, a, b, Word(block, 7), kSine[38]);
    Step3<23>(b, c, d, a, Word(block, 10), kSine[39]);
    Step3<4>(a, b, c, d, Word(block, 13), kSine[40]);
    Step3<11>(d, a, b, c, Word(block, 0), kSine[41]);
    Step3<16>(c, d, a, b, Word(block, 3), kSine[42]);
    Step3<23>(b, c, d, a, Word(block, 6), kSine[43]);
    Step3<4>(a, b, c, d, Word(block, 9), kSine[44]);
    Step3<11>(d, a, b, c, Word(block, 12), kSine[45]);
    Step3<16>(c, d, a, b, Word(block, 15), kSine[46]);
    Step3<23>(b, c, d, a, Word(block, 2), kSine[47]);
    // Round 4: word 7i mod 16.
    Step4<6>(a, b, c, d, Word(block, 0), kSine[48]);
    Step4<10>(d, a, b, c, Word(block, 7), kSine[49]);
    Step4<15>(c, d, a, b, Word(block, 14), kSine[50]);
    Step4<21>(b, c, d, a, Word(block, 5), kSine[51]);
    Step4<6>(a, b, c, d, Word(block, 12), kSine[52]);
    Step4<10>(d, a, b, c, Word(block, 3), kSine[53]);
    Step4<15>(c, d, a, b, Word(block, 10), kSine[54]);
    Step4<21>(b, c, d, a, Word(block, 1), kSine[55]);
    Step4<6>(a, b, c, d, Word(block, 8), kSine[56]);
    Step4<10>(d, a, b, c, Word(block, 15), kSine[57]);
    Step4<15>(c, d, a, b, Word(block, 6), kSine[58]);
    Step4<21>(b, c, d, a, Word(block, 13), kSine[59]);
    Step4<6>(a, b, c, d, Word(block, 4), kSine[60]);
    Step4<10>(d, a, b, c, Word(block, 11), kSine[61]);
    Step4<15>(c, d, a, b, Word(block, 2), kSine[62]);
    Step4<21>(b, c, d, a, Word(block, 9), kSine[63]);
    a += oldA;
    b += oldB;
    c += oldC;
    d += oldD;
  }
  state_[0] = a;
  state_[1] = b;
  state_[2] = c;
  state_[3] = d;
}

void Md5Context::Add(const void* data, size_t size) {
  const unsigned char* input = static_cast<const unsigned char*>(data);
  size_t used = (countLow_ >> 3) & 63;

  uint64_t bits = static_cast<uint64_t>(size) << 3;
  uint32_t oldLow = countLow_;
  countLow_ += static_cast<uint32_t>(bits);
  if (countLow_ < oldLow) ++countHigh_;
  countHigh_ += static_cast<uint32_t>(bits >> 32);

  if (used > 0) {
    size_t take = 64 - used;
    if (size < take) {
      memcpy(buffer_ + used, input, size);
      return;
    }
    memcpy(buffer_ + used, input, take);
    Transform(buffer_, 1);
    input += take;
    size -= take;
  }
  size_t whole = size / 64;
  Transform(input, whole);
  input += whole * 64;
  size -= whole * 64;
  if (size > 0) memcpy(buffer_, input, size);
}

void Md5Context::Finish(unsigned char digest[kDigestSize]) {
  unsigned char length[8];
  StoreLittleEndian(countLow_, length);
  StoreLittleEndian(countHigh_, length + 4);

  // One 0x80 byte, then zeros up to 56 bytes modulo 64.
  static const unsigned char kPadding[64] = {0x80};
  size_t used = (countLow_ >> 3) & 63;
  Add(kPadding, used < 56 ? 56 - used : 120 - used);
  Add(length, sizeof(length));

  for (int i = 0; i < 4; ++i) StoreLittleEndian(state_[i], digest + 4 * i);
}

std::string Md5DigestText(const unsigned char digest[Md5Context::kDigestSize]) {
  return HexText(digest, Md5Context::kDigestSize);
}

}  // namespace zan
