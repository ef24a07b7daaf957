// CRC-32 through zlib, for the Windows build: Debian packages no libdeflate
// for mingw-w64.
#include <zlib.h>

#include "crc32.h"

std::uint32_t crc32Add(std::uint32_t crc, const void* bytes, std::size_t size) {
  return static_cast<std::uint32_t>(::crc32_z(crc, static_cast<const Bytef*>(bytes), size));
}
