#include "utf.h"

#include <cstdint>

namespace quillet {
namespace {

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Converts; an unpaired surrogate yields nothing, or U+FFFD when `lenient`.
std::optional<std::string> fromUtf16(std::u16string_view text, bool lenient) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      if (!lenient) return std::nullopt;
      c = 0xFFFD;
    }
    appendUtf8(out, c);
  }
  return out;
}

// The character that begins at `text[at]`, and how many bytes it takes; 0
// bytes for an overlong form, a surrogate, a value above U+10FFFF or a
// truncated or stray byte.
std::size_t decodeUtf8(std::string_view text, std::size_t at, char32_t* c) {
  const auto lead = static_cast<std::uint8_t>(text[at]);
  std::size_t extra;
  char32_t minimum;
  if (lead < 0x80) {
    *c = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    *c = lead & 0x1F, extra = 1, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    *c = lead & 0x0F, extra = 2, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    *c = lead & 0x07, extra = 3, minimum = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - at - 1 < extra) return 0;
  for (std::size_t k = 1; k <= extra; ++k) {
    const auto follow = static_cast<std::uint8_t>(text[at + k]);
    if ((follow & 0xC0) != 0x80) return 0;
    *c = (*c << 6) | (follow & 0x3F);
  }
  if (*c < minimum || *c > 0x10FFFF || (*c >= 0xD800 && *c <= 0xDFFF)) return 0;
  return extra + 1;
}

}  // namespace

std::optional<std::u16string> utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char32_t c = 0;
    const std::size_t taken = decodeUtf8(text, i, &c);
    if (taken == 0) return std::nullopt;
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
    i += taken;
  }
  return out;
}

bool isValidUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    if (static_cast<std::uint8_t>(text[i]) < 0x80) {  // (ASCII, most names' whole text)
      ++i;
      continue;
    }
    char32_t c = 0;
    const std::size_t taken = decodeUtf8(text, i, &c);
    if (taken == 0) return false;
    i += taken;
  }
  return true;
}

std::optional<std::string> utf16ToUtf8(std::u16string_view text) { return fromUtf16(text, false); }

bool appendUtf16AsUtf8(std::u16string_view text, std::string& out) {
  const std::size_t before = out.size();
  std::size_t i = 0;
  // ASCII, most lines' whole text, a unit to a byte.
  while (i < text.size() && text[i] < 0x80) ++i;
  out.resize(before + i);
  char* ascii = out.data() + before;
  for (std::size_t k = 0; k < i; ++k) ascii[k] = static_cast<char>(text[k]);
  if (i == text.size()) return true;
  std::optional<std::string> rest = fromUtf16(text.substr(i), false);
  if (!rest) {
    out.resize(before);
    return false;
  }
  out += *rest;
  return true;
}

std::string utf16ToUtf8Lenient(const std::u16string& text) { return *fromUtf16(text, true); }

}  // namespace quillet
