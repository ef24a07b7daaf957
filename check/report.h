// The check's report, as text for a person and as one JSON object for scripts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "release_check.h"

namespace quillet::check {

// Where a report goes, piece by piece: a report of 65,533 findings is
// written as it is put into words, never held whole.
using ReportOut = std::function<void(std::string_view)>;

// What the check looked at, in words, its findings and its verdict.
void writeTextReport(const CheckReport& report, const ReportOut& out);
// Both lists decoded as UTF-8 text, one line each, under a heading per list.
void writeTextLists(const CheckReport& report, const ReportOut& out);
// The same report as one JSON object (with the lists when `withLists`), one line.
void writeJsonReport(const CheckReport& report, bool withLists, const ReportOut& out);

// The same, each as one string.
std::string textReport(const CheckReport& report);
std::string textLists(const CheckReport& report);
std::string jsonReport(const CheckReport& report, bool withLists);

// A string as a JSON string literal: quotes, backslashes and control
// characters escaped; bytes that are not UTF-8 become U+FFFD.
std::string jsonString(std::string_view text);

// A text of the release (a name, a list line, a path) as the text report
// shows it: control characters, which would steer the terminal the report
// is read on, as <U+001B>, and in a text that is not UTF-8, each byte
// beyond ASCII as <0xFF>; any other text as it is.
std::string shownText(std::string text);

// Bytes in lower-case hexadecimal, two digits each (digests, CRC-32s).
std::string hexBytes(const std::uint8_t* bytes, std::size_t size);

// The verdict's words for an exit code.
const char* verdictText(int exitCode);

}  // namespace quillet::check
