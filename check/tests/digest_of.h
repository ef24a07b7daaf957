// The MD5 digest of some bytes, as the 16 bytes $md5.bin holds: for the
// check's tests that lay out releases.
#pragma once

#include <cstdint>
#include <string>

#include "md5.h"

namespace quillet::check::testing {

inline std::string digestOf(const std::string& bytes) {
  Md5Context context;
  md5Start(&context);
  md5AddBytes(&context, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  std::uint8_t digest[kMd5DigestBytes];
  md5Finish(digest, &context);
  return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

}  // namespace quillet::check::testing
