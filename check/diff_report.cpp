#include "diff_report.h"

#include <algorithm>

#include "name_hash.h"
#include "release_diff.h"
#include "shown_text.h"

namespace quillet::check {
namespace {

std::string number(std::uint64_t value) { return std::to_string(value); }

// The worse of two checks' exit codes: the lower non-zero one.
int worseOf(int a, int b) {
  if (a == kExitPassed) return b;
  if (b == kExitPassed) return a;
  return std::min(a, b);
}

// `name` in the list's form ("\" between components).
std::string listForm(std::string_view name) {
  std::string line(name);
  std::replace(line.begin(), line.end(), '/', '\\');
  return line;
}

// "1 byte", "2 bytes".
std::string bytesText(std::uint64_t bytes) {
  return number(bytes) + (bytes == 1 ? " byte" : " bytes");
}

// One release's check: a line that names the release, with its counts and
// verdict, then its problems as its own text report says them.
void writeCheckText(const char* which, const CheckReport& report, const ReportOut& out) {
  const int code = report.exitCode();
  out(std::string(which) + " release " + shownText(report.path) + " (" + report.source +
      "): " + number(report.files) + " files, " + number(report.folders) + " folders, " +
      number(report.bytes) + " bytes; " + verdictText(code) + " (exit " + number(code) + ")\n");
  writeTextReport(report, [&out](std::string_view piece) {
    for (const std::string_view said : {"error: ", "warning: ", "note: "}) {
      if (piece.substr(0, said.size()) == said) return out(piece);
    }
  });
}

// One release's check as its own JSON report, on the line of the whole.
void writeCheckJson(const char* key, const CheckReport& report, const ReportOut& out) {
  out(std::string(",\"") + key + "\":");
  writeJsonReport(report, false, [&out](std::string_view piece) {
    // (the report's one line end is its last character: JSON strings
    // escape theirs)
    if (!piece.empty() && piece.back() == '\n') piece.remove_suffix(1);
    out(piece);
  });
}

// Which release a check is of: its words in the text report, its key in
// the JSON one.
struct Which {
  const char* words;
  const char* key;
};
constexpr Which kOld{"Old", "oldCheck"};
constexpr Which kNew{"New", "newCheck"};

// Checks the release at `path` and writes its check; what the comparison
// needs of it, and no more, is returned. Its bytes of contents are added
// to `counted` for the progress of the next.
ReleaseFiles checkOne(const std::string& path, const Which& which, bool json,
                      ProgressLine* progress, std::uint64_t* counted, const ReportOut& out) {
  const std::uint64_t before = *counted;
  ReleaseNames names;
  const CheckReport report = checkPath(
      path,
      [&](std::uint64_t done, std::uint64_t total) {
        if (progress != nullptr) progress->update(before + done, before + total);
      },
      &names);
  if (progress != nullptr) progress->wipe();
  if (json) {
    writeCheckJson(which.key, report, out);
  } else {
    writeCheckText(which.words, report, out);
  }
  *counted += report.bytes;
  return keptOf(report, std::move(names));
}

const char* kindWord(ChangeKind kind) {
  switch (kind) {
    case ChangeKind::kAdded:
      return "added";
    case ChangeKind::kRemoved:
      return "removed";
    case ChangeKind::kChanged:
      return "changed";
    case ChangeKind::kMoved:
      return "moved";
  }
  return "";
}

// The two releases' files, and the names of what changed, read back. The
// old release is opened again for the first name asked of it; a name that
// does not read back as the check read it (by its hash) is not said, and
// the comparison fails: the release changed since it was checked.
class Compared {
 public:
  Compared(ReleaseFiles& before, ReleaseFiles& after) : before_(before), after_(after) {}

  const ReleaseFiles& before() const { return before_; }
  const ReleaseFiles& after() const { return after_; }
  const ListedFile* oldFile(const Change& change) const {
    return change.before >= 0 ? &before_.files[static_cast<std::size_t>(change.before)] : nullptr;
  }
  const ListedFile* newFile(const Change& change) const {
    return change.after >= 0 ? &after_.files[static_cast<std::size_t>(change.after)] : nullptr;
  }
  std::string oldName(const Change& change) { return nameOf(before_, *oldFile(change)); }
  std::string newName(const Change& change) { return nameOf(after_, *newFile(change)); }
  // Why names could not be said, or empty.
  const std::string& lost() const { return lost_; }

 private:
  std::string nameOf(ReleaseFiles& files, const ListedFile& file) {
    if (files.release == nullptr && lost_.empty()) {
      SourceFailure failure = SourceFailure::kNone;
      std::string message;
      files.release = openRelease(files.path, &failure, &message);
      if (files.release == nullptr || files.release->count() != files.entries) {
        files.release = nullptr;
        lost_ = shownText(files.path) + " could not be read again for its names: " +
                (message.empty() ? std::string("it changed since it was checked") : message);
      }
    }
    if (files.release != nullptr) {
      const std::string_view name = files.release->nameOf(file.entry, scratch_);
      if (nameHash(name) == file.exact) return listForm(name);
      lost_ = shownText(files.path) + " changed since it was checked: its names are not said";
    }
    return "(not read)";
  }

  ReleaseFiles& before_;
  ReleaseFiles& after_;
  std::string scratch_;
  std::string lost_;
};

void writeChangeText(Compared& two, const Change& change, const ReportOut& out) {
  const ListedFile* old = two.oldFile(change);
  const ListedFile* now = two.newFile(change);
  switch (change.kind) {
    case ChangeKind::kAdded:
      return out("+ " + shownText(two.newName(change)) + " (" + bytesText(now->size) + ")\n");
    case ChangeKind::kRemoved:
      return out("- " + shownText(two.oldName(change)) + " (" + bytesText(old->size) + ")\n");
    case ChangeKind::kMoved:
      return out("> " + shownText(two.oldName(change)) + " -> " + shownText(two.newName(change)) +
                 "\n");
    case ChangeKind::kChanged: {
      // (a change of case with the contents says the old spelling too)
      const std::string was =
          old->exact != now->exact ? "; was " + shownText(two.oldName(change)) : "";
      return out("~ " + shownText(two.newName(change)) + " (" + number(old->size) + " -> " +
                 number(now->size) + " bytes" + was + ")\n");
    }
  }
}

void writeChangeJson(Compared& two, const Change& change, bool first, const ReportOut& out) {
  const ListedFile* old = two.oldFile(change);
  const ListedFile* now = two.newFile(change);
  // (names a list line names are UTF-8: the lines are UTF-16 text)
  const std::string name = now != nullptr ? two.newName(change) : two.oldName(change);
  const bool renamed = old != nullptr && now != nullptr && old->exact != now->exact;
  out(std::string(first ? "" : ",") + "{\"kind\":\"" + kindWord(change.kind) + "\",\"name\":" +
      jsonString(name) + ",\"oldName\":" + (renamed ? jsonString(two.oldName(change)) : "null") +
      ",\"oldSize\":" + (old != nullptr ? number(old->size) : "null") +
      ",\"newSize\":" + (now != nullptr ? number(now->size) : "null") + "}");
}

std::string digestText(const std::string& digest) { return digest.empty() ? "(none)" : digest; }

void writeDiffText(Compared& two, const ReleaseDiff& diff, bool failing, const ReportOut& out) {
  const DiffSummary& s = diff.summary;
  out(failing ? "Differences, comparing a release that fails its check:\n" : "Differences:\n");
  out("Files: " + number(s.added) + " added, " + number(s.removed) + " removed, " +
      number(s.changed) + " changed, " + number(s.moved) + " moved, " + number(s.unchanged) +
      " unchanged\n");
  out("Bytes: " + number(s.bytesAdded) + " added, " + number(s.bytesRemoved) + " removed\n");
  out("Folders: " + number(s.foldersAdded) + " added, " + number(s.foldersRemoved) + " removed\n");
  out("Digest: " +
      (s.digestChanged ? digestText(two.before().digest) + " -> " + digestText(two.after().digest) +
                             " (changed)"
                       : digestText(two.after().digest) + " in both") +
      "\n");
  for (const Change& change : diff.changes) writeChangeText(two, change, out);
  out(std::string("Configuration: ") + kConfigurationMark +
      (s.configChanged ? " changed\n" : " unchanged\n"));
  out(std::string("File list order: ") +
      (s.orderChanged ? "changed for files in both\n" : "the same for files in both\n"));
}

void writeDiffJson(Compared& two, const ReleaseDiff& diff, const ReportOut& out) {
  const DiffSummary& s = diff.summary;
  const auto flag = [](bool value) { return std::string(value ? "true" : "false"); };
  const auto digest = [](const std::string& hex) {
    return hex.empty() ? std::string("null") : jsonString(hex);
  };
  out(",\"compared\":true,\"summary\":{\"added\":" + number(s.added) +
      ",\"removed\":" + number(s.removed) + ",\"changed\":" + number(s.changed) +
      ",\"moved\":" + number(s.moved) + ",\"unchanged\":" + number(s.unchanged) +
      ",\"bytesAdded\":" + number(s.bytesAdded) + ",\"bytesRemoved\":" + number(s.bytesRemoved) +
      ",\"foldersAdded\":" + number(s.foldersAdded) + ",\"foldersRemoved\":" +
      number(s.foldersRemoved) + ",\"digestChanged\":" + flag(s.digestChanged) +
      ",\"configChanged\":" + flag(s.configChanged) + ",\"orderChanged\":" + flag(s.orderChanged) +
      ",\"differ\":" + flag(s.differ()) + ",\"oldDigest\":" + digest(two.before().digest) +
      ",\"newDigest\":" + digest(two.after().digest) + "},\"changes\":[");
  bool first = true;
  for (const Change& change : diff.changes) {
    writeChangeJson(two, change, first, out);
    first = false;
  }
  out("]");
}

// Which release fails its check, in words.
const char* whichFails(const ReleaseFiles& before, const ReleaseFiles& after) {
  if (before.exitCode != kExitPassed && after.exitCode != kExitPassed) {
    return "both releases fail their checks";
  }
  return before.exitCode != kExitPassed ? "the old release fails its check"
                                        : "the new release fails its check";
}

}  // namespace

int diffPaths(const DiffRequest& request, const ReportOut& out, ProgressLine* progress) {
  if (request.json) {
    out("{\"old\":" + jsonString(request.oldPath) + ",\"new\":" + jsonString(request.newPath));
  }
  std::uint64_t counted = 0;
  ReleaseFiles before = checkOne(request.oldPath, kOld, request.json, progress, &counted, out);
  before.release = nullptr;  // (held no longer than its check: opened again for names)
  ReleaseFiles after = checkOne(request.newPath, kNew, request.json, progress, &counted, out);
  int failed = worseOf(before.exitCode, after.exitCode);

  bool differ = false;
  if (before.compared && after.compared) {
    const ReleaseDiff diff = diffReleases(before, after);
    differ = diff.summary.differ();
    Compared two(before, after);
    if (request.json) {
      writeDiffJson(two, diff, out);
      if (!two.lost().empty()) out(",\"namesLost\":" + jsonString(two.lost()));
    } else {
      writeDiffText(two, diff, failed != kExitPassed, out);
      if (!two.lost().empty()) out("error: " + two.lost() + "\n");
    }
    if (!two.lost().empty()) failed = worseOf(failed, kExitDamaged);
  } else if (request.json) {
    out(",\"compared\":false,\"summary\":null,\"changes\":[]");
  } else {
    const char* which = !before.compared && !after.compared ? "of neither release"
                        : !before.compared                  ? "of the old release"
                                                            : "of the new release";
    out(std::string("No differences shown: the file list ") + which + " could not be read\n");
  }

  const int code = failed != kExitPassed                ? failed
                   : differ && request.exitOnDifference ? kExitReleasesDiffer
                                                        : kExitPassed;
  if (request.json) {
    out(std::string(",\"verdict\":") + (failed == kExitPassed ? "\"pass\"" : "\"fail\"") +
        ",\"exitCode\":" + number(code) + "}\n");
  } else if (failed != kExitPassed) {
    out(std::string("Verdict: FAIL: ") + whichFails(before, after) + " (exit " + number(code) +
        ")\n");
  } else {
    out(std::string("Verdict: both releases pass; they ") + (differ ? "differ" : "do not differ") +
        " (exit " + number(code) + ")\n");
  }
  return code;
}

}  // namespace quillet::check
