// quillet-check --diff: both releases checked, one after the other, then
// compared (release_diff.h), the report written as it is known: the old
// release's check before the new one is read, so that nothing of its
// findings is held while the second check runs.
//
// The text report: a line for each release's check, naming it, with that
// check's problems as its own report says them; then the differences: the
// counts, one line per change ("+" added, "-" removed, "~" changed, ">"
// moved; names in the list's form), whether the configuration file and the
// file list's order changed, and the verdict. The JSON report: one object,
// each check's own JSON report as "oldCheck" and "newCheck".
#pragma once

#include <string>

#include "progress_line.h"
#include "report.h"

namespace quillet::check {

struct DiffRequest {
  std::string oldPath;
  std::string newPath;
  bool json = false;
  bool exitOnDifference = false;  // --exit-code: kExitReleasesDiffer when both pass and differ
};

// Checks both releases, compares them and writes the report to `out`;
// returns the exit code: the lower non-zero one of the two checks', else
// kExitReleasesDiffer or kExitPassed. `progress`, when given, counts both
// checks' contents on one line, and is wiped before the report is written.
int diffPaths(const DiffRequest& request, const ReportOut& out, ProgressLine* progress = nullptr);

}  // namespace quillet::check
