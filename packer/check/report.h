// The check's report, as text for a person and as one JSON object for scripts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "release_check.h"

namespace quillet::check {

// What the check looked at, in words (the first lines of the text report).
std::string textReport(const CheckReport& report);
// Both lists decoded as UTF-8 text, one line each, under a heading per list.
std::string textLists(const CheckReport& report);
// The same report as one JSON object (with the lists when `withLists`), one line.
std::string jsonReport(const CheckReport& report, bool withLists);
// A string as a JSON string literal: quotes, backslashes and control
// characters escaped; bytes that are not UTF-8 become U+FFFD.
std::string jsonString(const std::string& text);

// Bytes in lower-case hexadecimal, two digits each (digests, CRC-32s).
std::string hexBytes(const std::uint8_t* bytes, std::size_t size);

// The verdict's words for an exit code.
const char* verdictText(int exitCode);

}  // namespace quillet::check
