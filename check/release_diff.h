// Two releases compared: what an update from the old one to the new one
// changes on the device. Both are checked first (release_check.h); the
// comparison takes the files their file lists name, matches them by name as
// the device compares names (case folded; the lists' "\" is the names' "/"),
// and compares their contents by size and CRC-32: an archive's from its
// directory, which the check verified against the data, a folder's as the
// check's one reading of each file found them.
//
// Lines of a file list that name nothing are left out: the checks report
// them. A line that names a file only when case is ignored names it, as the
// check takes it; a repeated line counts once, at its first place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "release_check.h"
#include "release_source.h"

namespace quillet::check {

// quillet-check --diff --exit-code: both releases pass, and they differ.
inline constexpr int kExitReleasesDiffer = 8;

// One file a release's file list names: 40 bytes, whatever its name.
struct ListedFile {
  std::uint64_t size = 0;
  std::uint64_t folded = 0;  // hash of its name as the device compares names
  std::uint64_t exact = 0;   // hash of its name as it is spelled
  std::uint32_t entry = 0;   // in the release
  std::uint32_t crc32 = 0;
  bool configuration = false;  // its name holds kConfigurationMark
  bool unread = false;         // its check could not read it whole: its CRC-32 is not known
};

// What the comparison keeps of a checked release, and nothing of its
// check's findings, lists or folder tables: the files its file list names,
// in list order, each once; its folders' names folded (hashes, sorted, each
// once); the digest $md5.bin holds and the check's exit code; and its
// source, to read the names of what changed, which the old release's
// comparison lets go while the new one is checked (diff_report.cpp opens
// it again, and knows it by its names' hashes).
struct ReleaseFiles {
  std::shared_ptr<ReleaseSource> release;
  std::string path;
  std::size_t entries = 0;  // of the release as it was checked
  int exitCode = kExitPassed;
  bool compared = false;  // its file list decoded: it has files to compare
  std::string digest;     // hex, or empty when $md5.bin could not be read
  std::vector<ListedFile> files;
  std::vector<std::uint64_t> folders;
};

// What a comparison keeps of `report`, with the names its check kept.
ReleaseFiles keptOf(const CheckReport& report, ReleaseNames&& names);

// In the order the reports count them.
enum class ChangeKind : std::uint8_t { kAdded, kRemoved, kChanged, kMoved };

// One change: the file of each release it concerns, in their `files`.
struct Change {
  ChangeKind kind = ChangeKind::kAdded;
  const ListedFile* before = nullptr;  // none for an added file
  const ListedFile* after = nullptr;   // none for a removed file
};

struct ReleaseDiff {
  std::uint64_t files[4] = {};  // the changes of each ChangeKind
  std::uint64_t unchanged = 0;
  // What the update writes that the old release did not hold (added files,
  // and the new contents of changed ones), and what it takes away (removed
  // files, and the old contents of changed ones). A move writes nothing new.
  std::uint64_t bytesAdded = 0;
  std::uint64_t bytesRemoved = 0;
  std::uint64_t foldersAdded = 0;
  std::uint64_t foldersRemoved = 0;
  bool digestChanged = false;
  bool configChanged = false;  // a configuration file added, removed, changed or moved
  bool orderChanged = false;   // files of the same name in both follow another order
  // In the new file list's order; then the removed files, in the old one's.
  std::vector<Change> changes;

  bool differ() const {
    return !changes.empty() || foldersAdded + foldersRemoved > 0 || digestChanged || orderChanged;
  }
};

// A file of `after` whose name (folded) `before` holds is the same file:
// unchanged, changed (other contents, or contents either check could not
// read whole), or moved (a change of case alone). A file not read whole
// is never moved.
// A file of neither name is moved from a file of the same size and CRC-32
// whose name is gone (the first such, in the old list's order), or added;
// the rest of `before` is removed. The changes point into both releases'
// `files`.
ReleaseDiff diffReleases(const ReleaseFiles& before, const ReleaseFiles& after);

}  // namespace quillet::check
