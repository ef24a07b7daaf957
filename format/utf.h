// UTF-8 / UTF-16 conversion, strict where a path must round-trip.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillet {

// Well-formed UTF-8 to UTF-16. Nothing for overlong forms, surrogates,
// values above U+10FFFF and truncated or stray bytes.
std::optional<std::u16string> utf8ToUtf16(std::string_view text);

// Whether `text` is well-formed UTF-8, as utf8ToUtf16 takes it.
bool isValidUtf8(std::string_view text);

// Well-formed UTF-16 to UTF-8. Nothing for an unpaired surrogate.
std::optional<std::string> utf16ToUtf8(std::u16string_view text);

// Well-formed UTF-16 appended to `out` as UTF-8; false, with `out` as it
// was, for an unpaired surrogate. Spares a caller that keeps many lines in
// one buffer a string per line.
bool appendUtf16AsUtf8(std::u16string_view text, std::string& out);

// UTF-16 to UTF-8 for display: an unpaired surrogate becomes U+FFFD.
std::string utf16ToUtf8Lenient(const std::u16string& text);

}  // namespace quillet
