// The zip format as the reader's files share it: signatures, record sizes,
// flags and marks, little-endian fields, and the helpers that read extra
// fields and word messages. Private to the reader (zip_reader.cpp,
// zip_directory.cpp, zip_entry_data.cpp); its users see only zip_reader.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "zip_reader.h"

namespace quillet::zip::format {

constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kDescriptorSignature = 0x08074b50;

constexpr std::size_t kLocalHeaderSize = 30;
constexpr std::size_t kCentralHeaderSize = 46;
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kZip64EndSize = 56;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::size_t kMaxComment = 0xFFFF;
constexpr std::size_t kMinDescriptorSize = 12;  // CRC-32 and two 32-bit sizes, no signature

constexpr std::uint16_t kZip64ExtraId = 0x0001;
constexpr std::uint16_t kUnicodePathExtraId = 0x7075;

constexpr std::uint16_t kFlagEncrypted = 1u << 0;
constexpr std::uint16_t kFlagDescriptor = 1u << 3;
constexpr std::uint16_t kFlagStrongEncryption = 1u << 6;
constexpr std::uint16_t kFlagUtf8 = 1u << 11;
constexpr std::uint16_t kFlagMaskedDirectory = 1u << 13;

constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflate = 8;

constexpr std::uint16_t kMark16 = 0xFFFF;
constexpr std::uint32_t kMark32 = 0xFFFFFFFF;

// The central directory's window holds any one central header with its name
// and extra field (46 + 2 * 65535 bytes); entry data uses its first chunk.
constexpr std::size_t kWindowSize = 3 * Reader::kChunkSize;
static_assert(kWindowSize >= kCentralHeaderSize + 2 * 0xFFFF, "a central header must fit");
static_assert(kWindowSize >= kEndSize + kMaxComment, "the end record's search must fit");

inline std::uint16_t get16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t get64(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(get32(p)) | (static_cast<std::uint64_t>(get32(p + 4)) << 32);
}

// True when [offset, offset + size) lies within [0, limit).
inline bool fits(std::uint64_t offset, std::uint64_t size, std::uint64_t limit) {
  return offset <= limit && size <= limit - offset;
}

inline std::string num(std::uint64_t value) { return std::to_string(value); }

// The extra fields of a header, one (id, data) at a time: `field` gets the
// first with `id`. False when a field's length runs past the end of the
// block; fewer than four bytes left over (padding some writers add) end the
// walk.
bool findExtra(std::string_view extra, std::uint16_t id, std::optional<std::string_view>& field);

// Takes the Zip64 values for the fields that carry the 32-bit (or 16-bit)
// mark, in the order the format fixes. False when the field is too short.
bool applyZip64(std::string_view field, std::uint64_t& size, std::uint64_t& compressed,
                std::uint64_t* offset, std::uint32_t* disk);

}  // namespace quillet::zip::format
