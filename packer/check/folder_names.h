// The release's folders as the check sees them: every folder on the way to
// an entry (whether or not the archive holds an entry for it), and those
// that hold an entry, which the folder list must name exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "release_check.h"
#include "text_lines.h"

namespace quillet::check {

class FolderNames {
 public:
  // Notes an entry of the release, in the source's order: the folders on
  // its way, and the folder itself for a folder entry (`name` ends in "/").
  // The folders are kept as views of the names, which must outlive this
  // object. False (once) when that makes more folders than the packer's
  // walk scans (kFoldersMax): nothing more is noted then, so that a hostile
  // archive of deep paths cannot claim memory and time for each of their
  // folders.
  bool note(std::string_view name, bool folder);
  // Every folder noted, no "/" at the end.
  std::size_t count() const { return folders_.size(); }
  bool isFolder(std::string_view name) const { return folders_.count(name) != 0; }
  bool tooMany() const { return tooMany_; }

  // Matches the folder list's lines against the folders that hold an entry:
  // each line names one ("FlashDrive\\" and then the folder, "\\" between
  // components; one matching only when case is ignored is taken, with a
  // warning), and each such folder has a line.
  void matchLines(const TextLines& lines, CheckReport& report) const;

 private:
  // Adds a folder; false when it was there already.
  bool add(std::string_view folder);

  std::set<std::string_view> folders_;   // every folder
  std::set<std::string_view> nonEmpty_;  // folders holding an entry
  std::string_view lastParent_;          // the folder of the entry noted before
  bool tooMany_ = false;
};

}  // namespace quillet::check
