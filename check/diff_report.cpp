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

// One release's check: a line that names the release, with its counts and
// verdict, then its problems as its own text report says them.
void writeCheckText(const char* which, const CheckReport& report, const ReportOut& out) {
  const int code = report.exitCode();
  out(std::string(which) + " release " + shownText(report.path) + " (" + report.source +
      "): " + number(report.files) + " files, " + number(report.folders) + " folders, " +
      number(report.bytes) + " bytes; " + verdictText(report) + " (exit " + number(code) + ")\n");
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

// A change's word in the counts and the JSON report, by ChangeKind.
constexpr const char* kKindWords[] = {"added", "removed", "changed", "moved"};

// The names of what changed, read back. The old release is opened again
// for the first name asked of it; a name that does not read back as the
// check read it (by its hash) is not said, and the comparison fails: the
// release changed since it was checked.
class NamesReadBack {
 public:
  // `file`'s name in the list's form ("\" between components).
  std::string of(ReleaseFiles& files, const ListedFile& file) {
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
      std::string name(files.release->nameOf(file.entry, scratch_));
      if (nameHash(name) == file.exact) {
        std::replace(name.begin(), name.end(), '/', '\\');
        return name;
      }
      lost_ = shownText(files.path) + " changed since it was checked: its names are not said";
    }
    return "(not read)";
  }
  // Why names could not be said, or empty.
  const std::string& lost() const { return lost_; }

 private:
  std::string scratch_;
  std::string lost_;
};

// The comparison's part of the report: the counts, the changes, the
// configuration file and the order. False when names could not be said.
bool writeDiff(const ReleaseDiff& diff, ReleaseFiles& before, ReleaseFiles& after, bool json,
               bool failing, const ReportOut& out) {
  const auto digest = [json](const std::string& hex) {
    if (hex.empty()) return std::string(json ? "null" : "(none)");
    return json ? jsonString(hex) : hex;
  };
  const auto flag = [](bool value) { return std::string(value ? "true" : "false"); };
  if (json) {
    std::string summary = ",\"compared\":true,\"summary\":{";
    for (std::size_t k = 0; k < 4; ++k) {
      summary += "\"" + std::string(kKindWords[k]) + "\":" + number(diff.files[k]) + ",";
    }
    out(summary + "\"unchanged\":" + number(diff.unchanged) + ",\"bytesAdded\":" +
        number(diff.bytesAdded) + ",\"bytesRemoved\":" + number(diff.bytesRemoved) +
        ",\"foldersAdded\":" + number(diff.foldersAdded) + ",\"foldersRemoved\":" +
        number(diff.foldersRemoved) + ",\"digestChanged\":" + flag(diff.digestChanged) +
        ",\"configChanged\":" + flag(diff.configChanged) +
        ",\"orderChanged\":" + flag(diff.orderChanged) + ",\"differ\":" + flag(diff.differ()) +
        ",\"oldDigest\":" + digest(before.digest) + ",\"newDigest\":" + digest(after.digest) +
        "},\"changes\":[");
  } else {
    std::string files = "Files: ";
    for (std::size_t k = 0; k < 4; ++k) files += number(diff.files[k]) + " " + kKindWords[k] + ", ";
    out(std::string(failing ? "Differences, comparing a release that fails its check:\n"
                            : "Differences:\n") +
        files + number(diff.unchanged) + " unchanged\nBytes: " + number(diff.bytesAdded) +
        " added, " + number(diff.bytesRemoved) + " removed\nFolders: " + number(diff.foldersAdded) +
        " added, " + number(diff.foldersRemoved) + " removed\nDigest: " +
        (diff.digestChanged ? digest(before.digest) + " -> " + digest(after.digest) + " (changed)"
                            : digest(after.digest) + " in both") +
        "\n");
  }

  NamesReadBack names;
  for (const Change& change : diff.changes) {
    const ListedFile* old = change.before;
    const ListedFile* now = change.after;
    // (names a list line names are UTF-8: the lines are UTF-16 text)
    const std::string name = now != nullptr ? names.of(after, *now) : names.of(before, *old);
    // The old spelling where it differs, and in a text move line always
    // (of two new files differing only in case, a failing release's, the
    // second may move from an old file of its own spelling).
    const bool renamed = old != nullptr && now != nullptr && old->exact != now->exact;
    const bool oldSaid = renamed || (!json && change.kind == ChangeKind::kMoved);
    const std::string oldName = oldSaid ? names.of(before, *old) : "";
    const bool unread = change.kind == ChangeKind::kChanged && (old->unread || now->unread);
    if (json) {
      out(std::string(&change == &diff.changes.front() ? "" : ",") + "{\"kind\":\"" +
          kKindWords[static_cast<std::size_t>(change.kind)] + "\",\"name\":" + jsonString(name) +
          ",\"oldName\":" + (renamed ? jsonString(oldName) : "null") +
          ",\"oldSize\":" + (old != nullptr ? number(old->size) : "null") +
          ",\"newSize\":" + (now != nullptr ? number(now->size) : "null") +
          (unread ? ",\"notReadWhole\":true}" : "}"));
    } else if (change.kind == ChangeKind::kMoved) {
      out("> " + shownText(oldName) + " -> " + shownText(name) + "\n");
    } else if (change.kind == ChangeKind::kChanged) {
      out("~ " + shownText(name) + " (" + number(old->size) + " -> " + number(now->size) +
          " bytes" + (renamed ? "; was " + shownText(oldName) : "") +
          (unread ? "; not read whole" : "") + ")\n");
    } else {
      const std::uint64_t bytes = (now != nullptr ? now : old)->size;
      out((now != nullptr ? "+ " : "- ") + shownText(name) + " (" + number(bytes) +
          (bytes == 1 ? " byte)\n" : " bytes)\n"));
    }
  }

  if (json) {
    out("]");
    if (!names.lost().empty()) out(",\"namesLost\":" + jsonString(names.lost()));
  } else {
    out(std::string("Configuration: ") + kConfigurationMark +
        (diff.configChanged ? " changed\n" : " unchanged\n") + "File list order: " +
        (diff.orderChanged ? "changed for files in both\n" : "the same for files in both\n"));
    if (!names.lost().empty()) out("error: " + names.lost() + "\n");
  }
  return names.lost().empty();
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
    differ = diff.differ();
    if (!writeDiff(diff, before, after, request.json, failed != kExitPassed, out)) {
      failed = worseOf(failed, kExitDamaged);
    }
  } else if (request.json) {
    out(",\"compared\":false,\"summary\":null,\"changes\":[]");
  } else {
    const char* which = !before.compared && !after.compared ? "lists of both releases"
                        : !before.compared                  ? "list of the old release"
                                                            : "list of the new release";
    out(std::string("No differences shown: the file ") + which + " could not be read\n");
  }

  const int code = failed != kExitPassed                ? failed
                   : differ && request.exitOnDifference ? kExitReleasesDiffer
                                                        : kExitPassed;
  if (request.json) {
    out(std::string(",\"verdict\":") + (failed == kExitPassed ? "\"pass\"" : "\"fail\"") +
        ",\"exitCode\":" + number(code) + "}\n");
  } else if (failed != kExitPassed) {
    // (both checks may pass and the comparison fail: a release that
    // changed before the names of what changed were read back)
    const bool oldFails = before.exitCode != kExitPassed;
    const bool newFails = after.exitCode != kExitPassed;
    const char* which = oldFails && newFails ? "both releases fail their checks"
                        : oldFails           ? "the old release fails its check"
                        : newFails           ? "the new release fails its check"
                                             : "a release changed since it was checked";
    out(std::string("Verdict: FAIL: ") + which + " (exit " + number(code) + ")\n");
  } else {
    out(std::string("Verdict: both releases pass; they ") + (differ ? "differ" : "do not differ") +
        " (exit " + number(code) + ")\n");
  }
  return code;
}

}  // namespace quillet::check
