// MD5 as RFC 1321 defines it. The compression function is written out step
// by step, each line with its additive constant and rotation amount, so that
// it can be checked line by line against section 3.4 of the RFC.
#include "md5.h"

#include <cstddef>
#include <cstring>

namespace quillet {
namespace {

// The final pad block: 0x80, then zero bytes.
const std::uint8_t kPadBlock[64] = {0x80};

// The auxiliary functions of RFC 1321, in forms that shorten the chain of
// dependent operations on b, the word computed last:
//  - F(x, y, z) = (x & y) | (~x & z) selects the same bits as z ^ (x & (y ^ z));
//  - G(x, y, z) = (x & z) | (y & ~z): the two terms have no bit in common,
//    so "|" may be "+", and the half without b can be added before b is known;
//  - H with the terms without b grouped first, I as in the RFC.
#define F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define G(x, y, z) (((x) & (z)) + ((y) & ~(z)))
#define H(x, y, z) ((x) ^ ((y) ^ (z)))
#define I(x, y, z) ((y) ^ ((x) | ~(z)))

// a = b + ((a + f(b, c, d) + x + t) <<< s), with x + t added first: they do
// not wait for b.
#define STEP(f, a, b, c, d, x, t, s)        \
  (a) += (x) + UINT32_C(t);                 \
  (a) += f((b), (c), (d));                  \
  (a) = ((a) << (s)) | ((a) >> (32 - (s))); \
  (a) += (b);

// Word k of a block: bytes 4k to 4k + 3, least significant byte first.
inline std::uint32_t wordAt(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
         (static_cast<std::uint32_t>(bytes[2]) << 16) |
         (static_cast<std::uint32_t>(bytes[3]) << 24);
}

// `count` words as bytes, each least significant byte first.
void putWords(std::uint8_t* bytes, const std::uint32_t* words, int count) {
  for (int k = 0; k < 4 * count; ++k) {
    bytes[k] = static_cast<std::uint8_t>(words[k / 4] >> (8 * (k % 4)));
  }
}

// Compresses the 64 bytes at `bytes` into the four chaining words.
void md5TransformBlock(std::uint32_t state[4], const std::uint8_t* bytes) {
  std::uint32_t x[16];
  for (int k = 0; k < 16; ++k) x[k] = wordAt(bytes + 4 * k);

  std::uint32_t a = state[0];
  std::uint32_t b = state[1];
  std::uint32_t c = state[2];
  std::uint32_t d = state[3];

  // Round 1.
  /* 1 */ STEP(F, a, b, c, d, x[0], 0xd76aa478, 7)
  /* 2 */ STEP(F, d, a, b, c, x[1], 0xe8c7b756, 12)
  /* 3 */ STEP(F, c, d, a, b, x[2], 0x242070db, 17)
  /* 4 */ STEP(F, b, c, d, a, x[3], 0xc1bdceee, 22)
  /* 5 */ STEP(F, a, b, c, d, x[4], 0xf57c0faf, 7)
  /* 6 */ STEP(F, d, a, b, c, x[5], 0x4787c62a, 12)
  /* 7 */ STEP(F, c, d, a, b, x[6], 0xa8304613, 17)
  /* 8 */ STEP(F, b, c, d, a, x[7], 0xfd469501, 22)
  /* 9 */ STEP(F, a, b, c, d, x[8], 0x698098d8, 7)
  /* 10 */ STEP(F, d, a, b, c, x[9], 0x8b44f7af, 12)
  /* 11 */ STEP(F, c, d, a, b, x[10], 0xffff5bb1, 17)
  /* 12 */ STEP(F, b, c, d, a, x[11], 0x895cd7be, 22)
  /* 13 */ STEP(F, a, b, c, d, x[12], 0x6b901122, 7)
  /* 14 */ STEP(F, d, a, b, c, x[13], 0xfd987193, 12)
  /* 15 */ STEP(F, c, d, a, b, x[14], 0xa679438e, 17)
  /* 16 */ STEP(F, b, c, d, a, x[15], 0x49b40821, 22)

  // Round 2.
  /* 17 */ STEP(G, a, b, c, d, x[1], 0xf61e2562, 5)
  /* 18 */ STEP(G, d, a, b, c, x[6], 0xc040b340, 9)
  /* 19 */ STEP(G, c, d, a, b, x[11], 0x265e5a51, 14)
  /* 20 */ STEP(G, b, c, d, a, x[0], 0xe9b6c7aa, 20)
  /* 21 */ STEP(G, a, b, c, d, x[5], 0xd62f105d, 5)
  /* 22 */ STEP(G, d, a, b, c, x[10], 0x02441453, 9)
  /* 23 */ STEP(G, c, d, a, b, x[15], 0xd8a1e681, 14)
  /* 24 */ STEP(G, b, c, d, a, x[4], 0xe7d3fbc8, 20)
  /* 25 */ STEP(G, a, b, c, d, x[9], 0x21e1cde6, 5)
  /* 26 */ STEP(G, d, a, b, c, x[14], 0xc33707d6, 9)
  /* 27 */ STEP(G, c, d, a, b, x[3], 0xf4d50d87, 14)
  /* 28 */ STEP(G, b, c, d, a, x[8], 0x455a14ed, 20)
  /* 29 */ STEP(G, a, b, c, d, x[13], 0xa9e3e905, 5)
  /* 30 */ STEP(G, d, a, b, c, x[2], 0xfcefa3f8, 9)
  /* 31 */ STEP(G, c, d, a, b, x[7], 0x676f02d9, 14)
  /* 32 */ STEP(G, b, c, d, a, x[12], 0x8d2a4c8a, 20)

  // Round 3.
  /* 33 */ STEP(H, a, b, c, d, x[5], 0xfffa3942, 4)
  /* 34 */ STEP(H, d, a, b, c, x[8], 0x8771f681, 11)
  /* 35 */ STEP(H, c, d, a, b, x[11], 0x6d9d6122, 16)
  /* 36 */ STEP(H, b, c, d, a, x[14], 0xfde5380c, 23)
  /* 37 */ STEP(H, a, b, c, d, x[1], 0xa4beea44, 4)
  /* 38 */ STEP(H, d, a, b, c, x[4], 0x4bdecfa9, 11)
  /* 39 */ STEP(H, c, d, a, b, x[7], 0xf6bb4b60, 16)
  /* 40 */ STEP(H, b, c, d, a, x[10], 0xbebfbc70, 23)
  /* 41 */ STEP(H, a, b, c, d, x[13], 0x289b7ec6, 4)
  /* 42 */ STEP(H, d, a, b, c, x[0], 0xeaa127fa, 11)
  /* 43 */ STEP(H, c, d, a, b, x[3], 0xd4ef3085, 16)
  /* 44 */ STEP(H, b, c, d, a, x[6], 0x04881d05, 23)
  /* 45 */ STEP(H, a, b, c, d, x[9], 0xd9d4d039, 4)
  /* 46 */ STEP(H, d, a, b, c, x[12], 0xe6db99e5, 11)
  /* 47 */ STEP(H, c, d, a, b, x[15], 0x1fa27cf8, 16)
  /* 48 */ STEP(H, b, c, d, a, x[2], 0xc4ac5665, 23)

  // Round 4.
  /* 49 */ STEP(I, a, b, c, d, x[0], 0xf4292244, 6)
  /* 50 */ STEP(I, d, a, b, c, x[7], 0x432aff97, 10)
  /* 51 */ STEP(I, c, d, a, b, x[14], 0xab9423a7, 15)
  /* 52 */ STEP(I, b, c, d, a, x[5], 0xfc93a039, 21)
  /* 53 */ STEP(I, a, b, c, d, x[12], 0x655b59c3, 6)
  /* 54 */ STEP(I, d, a, b, c, x[3], 0x8f0ccc92, 10)
  /* 55 */ STEP(I, c, d, a, b, x[10], 0xffeff47d, 15)
  /* 56 */ STEP(I, b, c, d, a, x[1], 0x85845dd1, 21)
  /* 57 */ STEP(I, a, b, c, d, x[8], 0x6fa87e4f, 6)
  /* 58 */ STEP(I, d, a, b, c, x[15], 0xfe2ce6e0, 10)
  /* 59 */ STEP(I, c, d, a, b, x[6], 0xa3014314, 15)
  /* 60 */ STEP(I, b, c, d, a, x[13], 0x4e0811a1, 21)
  /* 61 */ STEP(I, a, b, c, d, x[4], 0xf7537e82, 6)
  /* 62 */ STEP(I, d, a, b, c, x[11], 0xbd3af235, 10)
  /* 63 */ STEP(I, c, d, a, b, x[2], 0x2ad7d2bb, 15)
  /* 64 */ STEP(I, b, c, d, a, x[9], 0xeb86d391, 21)

  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

void md5Start(Md5Context* context) {
  *context = Md5Context{{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476}, {0, 0}, {}};
}

void md5AddBytes(Md5Context* context, const void* data, std::uint32_t length) {
  const auto* input = static_cast<const std::uint8_t*>(data);

  // Bytes already waiting in the block, taken before the count changes.
  const std::uint32_t index = (context->bitCount[0] >> 3) & 0x3f;

  const std::uint32_t bits = length << 3;
  context->bitCount[0] += bits;
  if (context->bitCount[0] < bits) ++context->bitCount[1];
  context->bitCount[1] += length >> 29;

  const std::uint32_t room = 64 - index;
  if (length < room) {
    if (length != 0) std::memcpy(context->block + index, input, length);
    return;
  }
  std::memcpy(context->block + index, input, room);
  md5TransformBlock(context->state, context->block);
  std::uint32_t i = room;
  // Whole blocks straight from the caller's buffer. Written as a difference
  // so that it cannot wrap for lengths close to 2^32.
  for (; length - i >= 64; i += 64) md5TransformBlock(context->state, input + i);
  if (length != i) std::memcpy(context->block, input + i, length - i);
}

void md5Finish(std::uint8_t digest[kMd5DigestBytes], Md5Context* context) {
  std::uint8_t lengthField[8];
  putWords(lengthField, context->bitCount, 2);

  const std::uint32_t index = (context->bitCount[0] >> 3) & 0x3f;
  const std::uint32_t padLength = index < 56 ? 56 - index : 120 - index;
  md5AddBytes(context, kPadBlock, padLength);
  md5AddBytes(context, lengthField, sizeof lengthField);

  putWords(digest, context->state, 4);

  // Through a volatile pointer, so that the wipe cannot be left out even
  // when the context is never read again.
  volatile std::uint8_t* bytes = reinterpret_cast<volatile std::uint8_t*>(context);
  for (std::size_t k = 0; k < sizeof *context; ++k) bytes[k] = 0;
}

}  // namespace quillet
