// UTF-16 text formatting into a caller's fixed buffer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fw {

// Formats `format` into `buffer` (room for `capacity` units, the final 0
// included): "%d" takes `value` as signed decimal, "%%" writes "%", every
// other unit is copied. Returns the number of units written before the 0,
// or -1, with `buffer` holding an empty text, when the result does not fit
// or the format holds any other conversion. Never writes past `capacity`.
int FormatText(char16_t* buffer, std::size_t capacity, const char16_t* format, std::int32_t value);

template <std::size_t N>
int FormatText(char16_t (&buffer)[N], const char16_t* format, std::int32_t value) {
  return FormatText(buffer, N, format, value);
}

}  // namespace fw
