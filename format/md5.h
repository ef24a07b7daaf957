// The MD5 message digest (RFC 1321): a caller-owned context and three
// operations, start, add bytes and finish, over a message that arrives in
// pieces of any length. No allocation, no input or output, no process-wide
// state.
#pragma once

#include <cstdint>

namespace quillet {

inline constexpr unsigned kMd5DigestBytes = 16;

struct Md5Context {
  std::uint32_t state[4];     // chaining words A, B, C, D
  std::uint32_t bitCount[2];  // message length in bits modulo 2^64, low word first
  std::uint8_t block[64];     // the current, incomplete block
};

// Sets the chaining words to their initial values and the count to 0.
void md5Start(Md5Context* context);

// Appends `length` bytes at `data` to the message; 0 changes nothing.
void md5AddBytes(Md5Context* context, const void* data, std::uint32_t length);

// Completes the message and writes the 16-byte digest (A, B, C, D, each least
// significant byte first) into `digest`, then overwrites every byte of the
// context with zero. The context must be started again before further use.
void md5Finish(std::uint8_t digest[kMd5DigestBytes], Md5Context* context);

}  // namespace quillet
