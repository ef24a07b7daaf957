#include "format.h"

namespace fw {
namespace {

// The decimal digits of `value`, sign first, into `digits`; returns the count.
std::size_t Decimal(std::int32_t value, char16_t (&digits)[12]) {
  // Work with the magnitude as unsigned so the most negative value is exact.
  const bool negative = value < 0;
  std::uint32_t magnitude =
      negative ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
  char16_t reversed[10];
  std::size_t count = 0;
  do {
    reversed[count++] = static_cast<char16_t>(u'0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  std::size_t length = 0;
  if (negative) digits[length++] = u'-';
  while (count > 0) digits[length++] = reversed[--count];
  return length;
}

}  // namespace

int FormatText(char16_t* buffer, std::size_t capacity, const char16_t* format, std::int32_t value) {
  if (capacity == 0) return -1;
  std::size_t length = 0;
  auto put = [&](char16_t unit) {
    if (length + 1 >= capacity) return false;  // keep room for the final 0
    buffer[length++] = unit;
    return true;
  };
  auto fail = [&] {
    buffer[0] = 0;
    return -1;
  };
  for (const char16_t* at = format; *at != 0; ++at) {
    if (*at != u'%') {
      if (!put(*at)) return fail();
      continue;
    }
    ++at;
    if (*at == u'%') {
      if (!put(u'%')) return fail();
    } else if (*at == u'd') {
      char16_t digits[12];
      const std::size_t count = Decimal(value, digits);
      for (std::size_t i = 0; i < count; ++i) {
        if (!put(digits[i])) return fail();
      }
    } else {
      return fail();  // also a lone "%" at the end
    }
  }
  buffer[length] = 0;
  return static_cast<int>(length);
}

}  // namespace fw
