// The check's report, as text for a person and as one JSON object for scripts.
#pragma once

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

// The verdict's words for an exit code, and the JSON report's kind of a
// problem.
const char* verdictText(int exitCode);
const char* kindName(int exitCode);
// The verdict's words for the report: verdictText's, but for a release
// whose only kExitDamaged errors say it is not supported.
const char* verdictText(const CheckReport& report);

// A list's line `line` (from 1) as a finding's place: "$FileList.txt line 3".
std::string lineWhere(const char* list, std::uint64_t line);

}  // namespace quillet::check
