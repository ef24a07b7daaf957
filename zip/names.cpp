// Name text of zip entries: the legacy code page 437 and UTF-8 validation.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "zip_reader.h"

namespace quillet::zip {
namespace {

// Code page 437, bytes 0x80 to 0xFF, as Unicode code points.
constexpr std::uint16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,  // 0x80
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,  // 0x88
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,  // 0x90
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,  // 0x98
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,  // 0xA0
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,  // 0xA8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,  // 0xB0
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,  // 0xB8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,  // 0xC0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,  // 0xC8
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,  // 0xD0
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,  // 0xD8
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,  // 0xE0
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,  // 0xE8
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,  // 0xF0
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,  // 0xF8
};

// Every byte's UTF-8 (one to three bytes), worked out once: a name read
// back from the archive is decoded each time it is asked for.
struct Utf8Of {
  std::uint8_t size;
  char bytes[3];
};

constexpr std::array<Utf8Of, 256> kUtf8OfByte = [] {
  std::array<Utf8Of, 256> table{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    const std::uint32_t code = byte < 0x80 ? byte : kCp437High[byte - 0x80];
    Utf8Of& utf8 = table[byte];
    if (code < 0x80) {
      utf8 = {1, {static_cast<char>(code), 0, 0}};
    } else if (code < 0x800) {
      utf8 = {2,
              {static_cast<char>(0xC0 | (code >> 6)), static_cast<char>(0x80 | (code & 0x3F)), 0}};
    } else {
      utf8 = {
          3,
          {static_cast<char>(0xE0 | (code >> 12)), static_cast<char>(0x80 | ((code >> 6) & 0x3F)),
           static_cast<char>(0x80 | (code & 0x3F))}};
    }
  }
  return table;
}();

}  // namespace

std::optional<std::string> cp437ToUtf8(std::string_view raw) {
  const bool ascii = std::all_of(raw.begin(), raw.end(),
                                 [](char c) { return static_cast<std::uint8_t>(c) < 0x80; });
  if (ascii) return std::string(raw);
  std::string out(raw.size() * 3, '\0');
  char* end = out.data();
  for (const char c : raw) {
    const Utf8Of& utf8 = kUtf8OfByte[static_cast<std::uint8_t>(c)];
    std::memcpy(end, utf8.bytes, 3);
    end += utf8.size;
  }
  out.resize(static_cast<std::size_t>(end - out.data()));
  return out;
}

bool isValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<std::uint8_t>(text[i]);
    std::size_t length = 0;
    std::uint32_t code = 0;
    std::uint32_t minimum = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, code = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, code = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, code = lead & 0x07, minimum = 0x10000;
    } else {
      return false;  // a continuation byte or 0xF8..0xFF as a lead
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<std::uint8_t>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

}  // namespace quillet::zip
