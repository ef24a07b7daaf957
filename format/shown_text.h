// Texts of a release (a name, a list line, a path) as they are shown: on a
// terminal, in JSON, and bytes in hexadecimal. Every program shows what a
// release names through these, so that no name can steer the terminal it
// is read on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillet {

// `text` as a terminal may show it: control characters (C0, DEL and C1) and
// the bidirectional formatting characters as <U+001B>, <U+202E>, and in a text that is not UTF-8,
// each byte beyond ASCII as <0xFF>; any other text as it is.
std::string shownText(std::string_view text);

// `text` as a JSON string literal: quotes, backslashes and control
// characters escaped; in a text that is not UTF-8, each byte beyond ASCII
// becomes U+FFFD (a caller that must tell such texts apart gives their
// bytes beside them, in hexadecimal).
std::string jsonString(std::string_view text);

// The beginning of `text`, at most `most` bytes, cut where a UTF-8
// character begins: enough to find a long name by.
std::string_view beginningOf(std::string_view text, std::size_t most);

// Bytes in lower-case hexadecimal, two digits each (digests, CRC-32s).
std::string hexBytes(const void* bytes, std::size_t size);
// A 32-bit value as 8 hexadecimal digits, most significant first.
std::string hex32(std::uint32_t value);

}  // namespace quillet
