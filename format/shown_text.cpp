#include "shown_text.h"

#include <algorithm>
#include <cstdint>

#include "utf.h"

namespace quillet {
namespace {

constexpr char kUpperDigits[] = "0123456789ABCDEF";
constexpr char kLowerDigits[] = "0123456789abcdef";

// `before`, `value` in `digits` upper-case hexadecimal digits, then ">".
void putCode(std::string& out, const char* before, std::uint32_t value, int digits = 2) {
  out += before;
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
    out.push_back(kUpperDigits[(value >> shift) & 0x0F]);
  }
  out.push_back('>');
}

// The bidirectional formatting character whose UTF-8 form begins at `at`
// (U+061C, U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069), or 0. Such
// a character reorders what follows it on screen, so that a name can look
// like another ("x\u202Etxt.exe" shows as "xexe.txt").
std::uint32_t bidiControlAt(std::string_view text, std::size_t at) {
  const auto byte = [&text, at](std::size_t k) {
    return at + k < text.size() ? static_cast<std::uint8_t>(text[at + k]) : 0;
  };
  if (byte(0) == 0xD8 && byte(1) == 0x9C) return 0x061C;
  if (byte(0) != 0xE2 || (byte(1) != 0x80 && byte(1) != 0x81)) return 0;
  const std::uint32_t code = 0x2000u | ((byte(1) & 0x3Fu) << 6) | (byte(2) & 0x3Fu);
  const bool bidi = code == 0x200E || code == 0x200F || (code >= 0x202A && code <= 0x202E) ||
                    (code >= 0x2066 && code <= 0x2069);
  return bidi ? code : 0;
}

}  // namespace

std::string shownText(std::string_view text) {
  const bool valid = isValidUtf8(text);
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t at = 0; at < text.size(); ++at) {
    const auto byte = static_cast<std::uint8_t>(text[at]);
    if (byte < 0x20 || byte == 0x7F) {
      putCode(shown, "<U+00", byte);
    } else if (!valid && byte >= 0x80) {
      putCode(shown, "<0x", byte);
    } else if (valid && byte == 0xC2 && (static_cast<std::uint8_t>(text[at + 1]) & 0xE0) == 0x80) {
      putCode(shown, "<U+00", static_cast<std::uint8_t>(text[++at]));  // C1: U+0080 to U+009F
    } else if (const std::uint32_t code = valid ? bidiControlAt(text, at) : 0; code != 0) {
      putCode(shown, "<U+", code, 4);
      at += code == 0x061C ? 1 : 2;
    } else {
      shown.push_back(text[at]);
    }
  }
  return shown;
}

std::string jsonString(std::string_view text) {
  const bool valid = isValidUtf8(text);
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<std::uint8_t>(c);
    if (!valid && byte >= 0x80) {
      out += "\\ufffd";
    } else if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      out += "\\u00" + hexBytes(&byte, 1);
    } else {
      out.push_back(c);
    }
  }
  return out + "\"";
}

std::string_view beginningOf(std::string_view text, std::size_t most) {
  std::size_t cut = std::min(most, text.size());
  while (cut > 0 && cut < text.size() && (static_cast<std::uint8_t>(text[cut]) & 0xC0) == 0x80) {
    --cut;
  }
  return text.substr(0, cut);
}

std::string hexBytes(const void* bytes, std::size_t size) {
  const auto* at = static_cast<const std::uint8_t*>(bytes);
  std::string text;
  text.reserve(2 * size);
  for (std::size_t i = 0; i < size; ++i) {
    text.push_back(kLowerDigits[at[i] >> 4]);
    text.push_back(kLowerDigits[at[i] & 0x0F]);
  }
  return text;
}

std::string hex32(std::uint32_t value) {
  const std::uint8_t bytes[4] = {
      static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
      static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
  return hexBytes(bytes, sizeof bytes);
}

}  // namespace quillet
