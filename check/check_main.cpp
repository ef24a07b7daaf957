#include "check_main.h"

#include <algorithm>
#include <cstdio>

#include "diff_report.h"
#include "progress_line.h"
#include "release_check.h"
#include "release_diff.h"
#include "report.h"
#include "shown_text.h"
#include "system_files.h"
#include "zarvo_version.h"

namespace quillet::check {
namespace {

constexpr char kUsage[] =
    "Usage: quillet-check [--list] [--json] [PATH]\n"
    "       quillet-check --diff [--json] [--exit-code] OLD NEW\n"
    "Checks a Zarvo release: PATH is the archive (default ZarvoEUupdate.zip) or a folder\n"
    "holding an extracted release.\n"
    "  --list       print both lists decoded as UTF-8 text, one line each\n"
    "  --json       write the report as one JSON object\n"
    "  --diff       check the releases OLD and NEW (archives or folders), then say what\n"
    "               an update from OLD to NEW changes: files added (+), removed (-),\n"
    "               changed (~) and moved (>), the configuration file, the list's order\n"
    "  --exit-code  with --diff: exit 8 when both releases pass and differ\n"
    "  --version    print the version and exit\n"
    "  --           what follows is a path, even one that begins with '-'\n"
    "Exit codes: 0 passes, 1 passes but the report could not be written, 2 usage,\n"
    "3 cannot open or damaged, 4 malformed lists, 5 lists disagree with the contents,\n"
    "6 digest mismatch, 7 names or files the device cannot hold, 8 the releases differ\n"
    "(--diff --exit-code). With --diff, a release that fails gives its own code (the\n"
    "lower of two), whatever they differ by.\n";

void write(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

// `exitCode`, unless what was written to standard output is lost (a full
// disk, a closed pipe): a passing release (two that pass, differing or not)
// then ends with kExitReportLost, never with 0; a failing one keeps its own
// code.
int written(int exitCode) {
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return exitCode;
  std::fprintf(stderr, "quillet-check: the report could not be written to standard output\n");
  return exitCode == kExitPassed || exitCode == kExitReleasesDiffer ? kExitReportLost : exitCode;
}

int usage(const char* why) {
  std::fprintf(stderr, "quillet-check: %s\n%s", why, kUsage);
  return kExitUsage;
}

}  // namespace

int checkMain(const std::vector<std::string>& arguments) {
  bool list = false;
  bool json = false;
  bool diff = false;
  bool exitOnDifference = false;
  bool optionsEnded = false;
  std::vector<std::string> paths;
  for (const std::string& argument : arguments) {
    if (optionsEnded) {
      paths.push_back(argument);
    } else if (argument == "--") {
      optionsEnded = true;
    } else if (argument == "--list") {
      list = true;
    } else if (argument == "--json") {
      json = true;
    } else if (argument == "--diff") {
      diff = true;
    } else if (argument == "--exit-code") {
      exitOnDifference = true;
    } else if (argument == "--version") {
      write("quillet-check " ZARVO_VERSION "\n");
      return written(kExitPassed);
    } else if (argument == "--help" || argument == "-h") {
      write(kUsage);
      return written(kExitPassed);
    } else if (!argument.empty() && argument[0] == '-' && argument != "-") {
      return usage(("unknown option '" + shownText(argument) + "'").c_str());
    } else {
      paths.push_back(argument);
    }
  }
  if (std::find(paths.begin(), paths.end(), "") != paths.end()) return usage("an empty PATH");
  if (diff) {
    if (list) return usage("--list cannot be used with --diff");
    if (paths.size() != 2) return usage("--diff compares two releases: OLD and NEW");
    ProgressLine progress(stderrIsTerminal(), stderr);  // (wiped after each check)
    return written(diffPaths(
        DiffRequest{paths[0], paths[1], json, exitOnDifference},
        [](std::string_view piece) { std::fwrite(piece.data(), 1, piece.size(), stdout); },
        &progress));
  }
  if (exitOnDifference) return usage("--exit-code is for --diff");
  if (paths.size() > 1) return usage("more than one PATH");
  const std::string path = paths.empty() ? std::string(kDefaultRelease) : paths[0];

  CheckReport report;
  {
    ProgressLine progress(stderrIsTerminal(), stderr);
    report = checkPath(path, [&progress](std::uint64_t done, std::uint64_t total) {
      progress.update(done, total);
    });
  }
  if (json) {
    writeJsonReport(report, list, write);
  } else {
    if (list) writeTextLists(report, write);
    writeTextReport(report, write);
  }
  return written(report.exitCode());
}

}  // namespace quillet::check
