#include "check_main.h"

#include <cstdio>
#include <memory>

#include "check_platform.h"
#include "progress_line.h"
#include "release_check.h"
#include "report.h"
#include "zarvo_version.h"

namespace quillet::check {
namespace {

constexpr char kUsage[] =
    "Usage: quillet-check [--list] [--json] [PATH]\n"
    "Checks a Zarvo release: PATH is the archive (default ZarvoEUupdate.zip) or a folder\n"
    "holding an extracted release.\n"
    "  --list  print both lists decoded as UTF-8 text, one line each\n"
    "  --json  write the report as one JSON object\n"
    "  --version  print the version and exit\n"
    "Exit codes: 0 passes, 1 passes but the report could not be written, 2 usage,\n"
    "3 cannot open or damaged, 4 malformed lists, 5 lists disagree with the contents,\n"
    "6 digest mismatch.\n";

void write(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

// `exitCode`, unless what was written to standard output is lost (a full
// disk, a closed pipe): a passing release then ends with kExitReportLost,
// never with 0; a failing one keeps its own code.
int written(int exitCode) {
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return exitCode;
  std::fprintf(stderr, "quillet-check: the report could not be written to standard output\n");
  return exitCode == kExitPassed ? kExitReportLost : exitCode;
}

}  // namespace

int checkMain(const std::vector<std::string>& arguments) {
  bool list = false;
  bool json = false;
  std::string path;
  bool pathGiven = false;
  for (const std::string& argument : arguments) {
    if (argument == "--list") {
      list = true;
    } else if (argument == "--json") {
      json = true;
    } else if (argument == "--version") {
      write("quillet-check " ZARVO_VERSION "\n");
      return written(kExitPassed);
    } else if (argument == "--help" || argument == "-h") {
      write(kUsage);
      return written(kExitPassed);
    } else if (!argument.empty() && argument[0] == '-' && argument != "-") {
      std::fprintf(stderr, "quillet-check: unknown option '%s'\n%s", argument.c_str(), kUsage);
      return kExitUsage;
    } else if (pathGiven) {
      std::fprintf(stderr, "quillet-check: more than one PATH\n%s", kUsage);
      return kExitUsage;
    } else {
      path = argument;
      pathGiven = true;
    }
  }
  if (!pathGiven) path = kDefaultRelease;
  if (path.empty()) {
    std::fprintf(stderr, "quillet-check: an empty PATH\n%s", kUsage);
    return kExitUsage;
  }

  CheckReport report;
  {
    ProgressLine progress(stderrIsTerminal(), stderr);
    report = checkPath(path, [&progress](std::uint64_t done, std::uint64_t total) {
      progress.update(done, total);
    });
  }
  const ReportOut out = [](std::string_view piece) {
    std::fwrite(piece.data(), 1, piece.size(), stdout);
  };
  if (json) {
    writeJsonReport(report, list, out);
  } else {
    if (list) writeTextLists(report, out);
    writeTextReport(report, out);
  }
  const int exitCode = written(report.exitCode());
  // The opened release (an archive's directory: an entry and a name for
  // each of up to 131,071 entries) is let go with the process: freeing its
  // names one by one took longer than writing the report. It stays
  // reachable from here, so leak checkers do not count it.
  static std::shared_ptr<ReleaseSource> lettingGo;
  lettingGo = report.release;
  return exitCode;
}

}  // namespace quillet::check
