// Lines of text held end to end in one buffer. A list of 65,535 lines costs
// two growing allocations instead of one per line, and the lines lie in the
// order they are read, which is the order the check walks them in.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "list_format.h"
#include "release_source.h"

namespace quillet::check {

class TextLines {
 public:
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string_view;

    const_iterator(const TextLines* lines, std::size_t at) : lines_(lines), at_(at) {}
    std::string_view operator*() const { return (*lines_)[at_]; }
    const_iterator& operator++() {
      ++at_;
      return *this;
    }
    bool operator==(const const_iterator& other) const { return at_ == other.at_; }
    bool operator!=(const const_iterator& other) const { return at_ != other.at_; }

   private:
    const TextLines* lines_;
    std::size_t at_;
  };

  void reserve(std::size_t lines, std::size_t bytes = 0) {
    ends_.reserve(lines);
    text_.reserve(bytes);
  }
  // The text of every line so far, for a caller that appends the next line
  // to it itself and then calls endLine().
  std::string& text() { return text_; }
  // Ends the line at the text's end.
  void endLine() { ends_.push_back(text_.size()); }
  // Where the last line ends in text(): where the next one begins.
  std::size_t textEnd() const { return ends_.empty() ? 0 : ends_.back(); }
  void push_back(std::string_view line) {
    text_.append(line);
    endLine();
  }

  std::size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  std::string_view operator[](std::size_t i) const {
    const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(text_).substr(begin, ends_[i] - begin);
  }
  const_iterator begin() const { return const_iterator(this, 0); }
  const_iterator end() const { return const_iterator(this, ends_.size()); }
  void clear() {
    text_ = std::string();
    ends_ = std::vector<std::size_t>();
  }

 private:
  std::string text_;
  std::vector<std::size_t> ends_;  // where each line ends in text_
};

// The lines of a list, where a line that names an entry exactly (with "\\"
// where the entry has "/") is kept as that entry's number, and only the
// others as text: the source holds the release's names already, and a file
// list of 65,535 long names would otherwise hold each a second time.
class ListLines {
 public:
  // The most text the lines kept as text may take: a list's lines that name
  // nothing (or match only when case is ignored) are all said in the
  // report, but a list of 65,535 such lines of 511 characters would take
  // 100 MB. Past it, a line's text is not kept, and the list is refused
  // (overflowed()).
  static constexpr std::size_t kTextBytesMax = 4u << 20;
  // The most the text takes, when a line is appended before endLine()
  // finds it one too many (a line read is at most kListLineReadUnitsMax
  // units, three bytes each). The text is given this room at once: it
  // never moves to a larger buffer while the old one is still held, and
  // room never written to is never given memory by the system.
  static constexpr std::size_t kTextRoomBytes = kTextBytesMax + 3 * kListLineReadUnitsMax;

  // Lines of entries are said with the names of `names`, whose entries must
  // outlive this object.
  void setNames(const EntryNames& names) { names_ = names; }

  // Room for `lines` lines and text of `textBytes` (within kTextRoomBytes).
  void reserve(std::size_t lines, std::size_t textBytes = 0) {
    lines_.reserve(lines);
    text_.reserve(0, std::min(textBytes, kTextRoomBytes));
  }
  // The text of every text line so far, for a caller that appends the next
  // line to it itself and then calls endLine().
  std::string& text() { return text_.text(); }
  void endLine() {
    if (text().size() > kTextBytesMax) {
      text().resize(text_.textEnd());
      overflowed_ = true;
    }
    lines_.push_back(static_cast<std::uint32_t>(text_.size()));
    text_.endLine();
  }
  void push_back(std::string_view line) {
    if (text().size() + line.size() <= kTextBytesMax) {
      if (text().size() + line.size() > text().capacity()) text().reserve(kTextRoomBytes);
      text().append(line);
    } else {
      overflowed_ = true;
    }
    endLine();
  }
  // Whether a line's text was not kept (kTextBytesMax).
  bool overflowed() const { return overflowed_; }
  // A line that names entry `index` exactly.
  void pushEntry(std::size_t index) {
    lines_.push_back(static_cast<std::uint32_t>(index) | kEntryBit);
  }
  // A line that reads "FlashDrive\\" and then the first `length` bytes of
  // entry `entry`'s name ("\\" for "/"): a folder list's line that names
  // a folder exactly.
  void pushFolder(std::size_t entry, std::size_t length) {
    lines_.push_back(static_cast<std::uint32_t>(folders_.size()) | kFolderBit);
    folders_.emplace_back(static_cast<std::uint32_t>(entry), static_cast<std::uint32_t>(length));
  }
  // The folder line `i` names as pushFolder() gave it, or nothing.
  bool folderOf(std::size_t i, std::size_t* entry, std::size_t* length) const {
    if ((lines_[i] & kFolderBit) == 0) return false;
    *entry = folders_[lines_[i] & ~kFolderBit].first;
    *length = folders_[lines_[i] & ~kFolderBit].second;
    return true;
  }

  std::size_t size() const { return lines_.size(); }
  bool empty() const { return lines_.empty(); }
  // The entry line `i` names, or -1 for a line kept otherwise.
  int entryOf(std::size_t i) const {
    return (lines_[i] & kEntryBit) != 0 ? static_cast<int>(lines_[i] & ~kEntryBit) : -1;
  }
  // Whether line `i` is kept as text (neither an entry nor a folder).
  bool isText(std::size_t i) const { return (lines_[i] & (kEntryBit | kFolderBit)) == 0; }
  // The text of line `i`, which must be a text line, and where it stands
  // among textLines().
  std::string_view textOf(std::size_t i) const { return text_[lines_[i]]; }
  std::size_t textIndexOf(std::size_t i) const { return lines_[i]; }
  // The lines kept as text, in order.
  const TextLines& textLines() const { return text_; }
  // Line `i` as it reads in the list (UTF-8).
  std::string operator[](std::size_t i) const {
    if (isText(i)) return std::string(textOf(i));
    std::string scratch;
    std::string line;
    std::size_t entry = 0;
    std::size_t length = 0;
    if (folderOf(i, &entry, &length)) {
      line = "FlashDrive\\" + std::string(names_.of(entry, scratch).substr(0, length));
    } else {
      line = std::string(names_.of(static_cast<std::size_t>(entryOf(i)), scratch));
    }
    std::replace(line.begin(), line.end(), '/', '\\');
    return line;
  }
  // Whether line `i` holds `word`, which has no "\\" (so that a line of an
  // entry holds it where the entry's name does). Most lines hold no "$",
  // which is looked for first when `word` begins with one.
  bool holds(std::size_t i, std::string_view word) const {
    const int entry = entryOf(i);
    std::string scratch;
    if (entry < 0 && !isText(i)) {
      scratch = (*this)[i];
      return scratch.find(word) != std::string::npos;
    }
    const std::string_view text =
        entry >= 0 ? names_.of(static_cast<std::size_t>(entry), scratch) : textOf(i);
    if (!word.empty() && word[0] == '$' && text.find('$') == std::string_view::npos) return false;
    return text.find(word) != std::string_view::npos;
  }

 private:
  static constexpr std::uint32_t kEntryBit = 0x80000000u;
  static constexpr std::uint32_t kFolderBit = 0x40000000u;
  EntryNames names_;
  // Per line: an entry | kEntryBit, a folder | kFolderBit, or its text line.
  std::vector<std::uint32_t> lines_;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> folders_;  // entry, length
  bool overflowed_ = false;
  TextLines text_;
};

}  // namespace quillet::check
