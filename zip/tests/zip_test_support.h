// Helpers shared by the zip reader's tests.
#ifndef QUILLET_ZIP_TESTS_ZIP_TEST_SUPPORT_H
#define QUILLET_ZIP_TESTS_ZIP_TEST_SUPPORT_H

#include <cstdint>
#include <optional>
#include <string>

#include "zip_reader.h"

namespace quillet::zip::testing {

// The whole contents of entry `index`, or nothing when reading it fails.
inline std::optional<std::string> readWhole(Reader& reader, std::size_t index) {
  std::string contents;
  const bool read = reader.readEntry(index, [&](const std::uint8_t* data, std::size_t size) {
    contents.append(reinterpret_cast<const char*>(data), size);
    return true;
  });
  if (!read) return std::nullopt;
  return contents;
}

// Entry `index`'s name, read back (empty when it cannot be).
inline std::string nameOf(Reader& reader, std::size_t index) {
  std::string scratch;
  return std::string(reader.nameOf(index, scratch));
}

// The name of `entry` as `source` stores it in the central directory.
inline std::string storedName(ByteSource& source, const Entry& entry) {
  std::string stored(entry.storedNameSize, '\0');
  if (!source.readAt(entry.storedNameAt, stored.data(), stored.size())) return "";
  return stored;
}

// Data that deflate shrinks but that is not all one byte.
inline std::string patterned(std::size_t size, std::uint32_t seed = 1) {
  std::string data(size, '\0');
  std::uint32_t state = seed;
  for (std::size_t i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    data[i] = static_cast<char>('a' + ((state >> 16) % 8));
  }
  return data;
}

}  // namespace quillet::zip::testing

#endif  // QUILLET_ZIP_TESTS_ZIP_TEST_SUPPORT_H
