// The release's folders as the check sees them: every folder on the way to
// an entry (whether or not the archive holds an entry for it), and those
// that hold an entry, which the folder list must name exactly.
#pragma once

#include <cstddef>
#include <map>
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
  // The names must outlive this object.
  void note(std::string_view name, bool folder);
  // Every folder noted, no "/" at the end.
  std::size_t count() const { return folders_.size(); }
  bool isFolder(const std::string& name) const { return folders_.count(name) != 0; }

  // Matches the folder list's lines against the folders that hold an entry:
  // each line names one ("FlashDrive\\" and then the folder, "\\" between
  // components; one matching only when case is ignored is taken, with a
  // warning), and each such folder has a line.
  void matchLines(const TextLines& lines, CheckReport& report) const;

 private:
  std::set<std::string> folders_;   // every folder
  std::set<std::string> nonEmpty_;  // folders holding an entry
  std::string_view lastParent_;     // the folder of the entry noted before
};

}  // namespace quillet::check
