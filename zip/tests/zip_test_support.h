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
