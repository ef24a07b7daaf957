// The lines of a list, where a line that names an entry exactly (with "\"
// where the entry has "/") is kept as that entry's number, a folder list's
// line that names a folder holding an entry as that folder's, and only the
// others as text: the release holds the names already, and a file list of
// 65,535 long names would otherwise hold each a second time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "release_source.h"

namespace quillet::check {

class FolderSet;

class ListLines {
 public:
  // The most text the lines kept as text may take: every such line is
  // said in the report, but a list of 65,535 lines of 511 characters would
  // take 100 MB. Past it a line's text is not kept, and the list is
  // refused (overflowed()).
  static constexpr std::size_t kTextBytesMax = 4u << 20;

  // Lines of entries and folders are said with the names of `source` and
  // `folders`, which must outlive this object.
  void setNames(ReleaseSource* source, const FolderSet* folders) {
    source_ = source;
    folders_ = folders;
  }

  void pushEntry(std::size_t entry) {
    lines_.push_back(static_cast<std::uint32_t>(entry) | kEntry);
  }
  void pushFolder(std::size_t folder) {
    lines_.push_back(static_cast<std::uint32_t>(folder) | kFolder);
  }
  void pushText(std::string_view text);
  // Whether a line's text was not kept (kTextBytesMax).
  bool overflowed() const { return overflowed_; }

  std::size_t size() const { return lines_.size(); }
  // The entry line `i` names, or -1 for a line kept otherwise.
  std::int64_t entryOf(std::size_t i) const {
    return (lines_[i] & kKind) == kEntry ? static_cast<std::int64_t>(lines_[i] & ~kKind) : -1;
  }
  // The folder line `i` names, or -1.
  std::int64_t folderOf(std::size_t i) const {
    return (lines_[i] & kKind) == kFolder ? static_cast<std::int64_t>(lines_[i] & ~kKind) : -1;
  }
  // Whether line `i` is kept as text, and that text.
  bool isText(std::size_t i) const { return (lines_[i] & kKind) == 0; }
  std::string_view textOf(std::size_t i) const;
  // Line `i` as it reads in the list (UTF-8).
  std::string operator[](std::size_t i) const;

 private:
  static constexpr std::uint32_t kEntry = 0x80000000u;
  static constexpr std::uint32_t kFolder = 0x40000000u;
  static constexpr std::uint32_t kKind = kEntry | kFolder;

  ReleaseSource* source_ = nullptr;
  const FolderSet* folders_ = nullptr;
  std::vector<std::uint32_t> lines_;  // an entry | kEntry, a folder | kFolder, or a text's number
  std::string text_;                  // the text lines, end to end
  std::vector<std::uint32_t> ends_;   // where each text line ends in text_
  bool overflowed_ = false;
};

}  // namespace quillet::check
