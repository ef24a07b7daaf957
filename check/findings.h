// The check's findings: what each says and what it concerns, kept in a
// few bytes each. A damaged release of 131,071 entries with long names may
// draw several findings on every entry and every line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace quillet::check {

enum class Severity : std::uint8_t { kWarning, kError };

// Something of the release a finding names without copying it: an entry
// (said "entry 'NAVI/x.dat'") or a line of a list (said in quotes). A
// release of 65,533 long names may have a finding on every entry.
struct Mention {
  // kEntryLabel: an entry as a source's message names it ("entry #4
  // \"NAVI/x.dat\"").
  // kFolder: a folder of the release (said "folder 'NAVI/Maps'"), one of
  // CheckReport::folderMentions.
  // kFileLineAt, kFolderLineAt: where a line stands ("$FileList.txt line 3").
  enum class Of : std::uint8_t {
    kNothing,
    kEntry,
    kFileLine,
    kFolderLine,
    kEntryLabel,
    kFolder,
    kFileLineAt,
    kFolderLineAt,
  };
  Of of = Of::kNothing;
  std::uint32_t index = 0;  // the entry's, or the line's counted from 0

  static Mention entry(std::size_t index) {
    return {Of::kEntry, static_cast<std::uint32_t>(index)};
  }
  static Mention entryLabel(std::size_t index) {
    return {Of::kEntryLabel, static_cast<std::uint32_t>(index)};
  }
  static Mention folder(std::size_t index) {
    return {Of::kFolder, static_cast<std::uint32_t>(index)};
  }
  static Mention fileLine(std::size_t index) {
    return {Of::kFileLine, static_cast<std::uint32_t>(index)};
  }
  static Mention folderLine(std::size_t index) {
    return {Of::kFolderLine, static_cast<std::uint32_t>(index)};
  }
  static Mention fileLineAt(std::size_t index) {
    return {Of::kFileLineAt, static_cast<std::uint32_t>(index)};
  }
  static Mention folderLineAt(std::size_t index) {
    return {Of::kFolderLineAt, static_cast<std::uint32_t>(index)};
  }
};

// Where a finding is: an entry, or words ("$FileList.txt line 3"), or nowhere.
struct Place {
  Place(std::string text = {}) : text(std::move(text)) {}  // NOLINT: words are a place
  Place(const char* text) : text(text) {}                  // NOLINT
  Place(Mention at) : at(at) {}                            // NOLINT
  Mention at;
  std::string text;
};

// What a finding says: words, with a mention said inside them at `quoteAt`.
struct Words {
  Words(std::string text) : text(std::move(text)) {}  // NOLINT: plain words
  Words(const char* text) : text(text) {}             // NOLINT
  Words(std::string before, Mention quote, const std::string& after)
      : text(std::move(before)), quote(quote), quoteAt(static_cast<std::uint32_t>(text.size())) {
    this->text += after;
  }
  std::string text;
  Mention quote;
  std::uint32_t quoteAt = 0;
};

// One problem, with the entry or list line it concerns. Its words are kept
// once in the report however many findings say them (a release of 65,533
// long names may have the same warning on every entry): CheckReport's
// whereText() and messageText() put it into words.
struct Finding {
  Severity severity = Severity::kError;
  std::uint8_t exitCode = 0;                    // the kind of failure of an error; 0 for a warning
  Mention::Of whereOf = Mention::Of::kNothing;  // where it is: a mention, or words
  Mention::Of quoteOf = Mention::Of::kNothing;  // what its message quotes, if anything
  std::uint32_t where = 0;  // the mention's index, or the words' number when whereOf is kNothing
  std::uint32_t quote = 0;  // the quoted mention's index
  std::uint32_t messageWords = 0;  // what it says
  std::uint32_t quoteAt = 0;       // where in it the quote stands

  Mention whereMention() const { return {whereOf, where}; }
  Mention quoteMention() const { return {quoteOf, quote}; }
};

// Findings in the order they were found, each packed into the bytes its
// numbers need (about 6 for a warning on an entry, against 20 unpacked),
// in blocks that are never moved.
class Findings {
 public:
  class const_iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = Finding;
    using difference_type = std::ptrdiff_t;
    using pointer = const Finding*;
    using reference = const Finding&;

    const_iterator(const Findings* findings, std::size_t index);
    const Finding& operator*() const { return current_; }
    const Finding* operator->() const { return &current_; }
    const_iterator& operator++();
    bool operator==(const const_iterator& other) const { return index_ == other.index_; }
    bool operator!=(const const_iterator& other) const { return index_ != other.index_; }

   private:
    const Findings* findings_;
    std::size_t index_;
    std::uint32_t at_ = 0;  // where finding index_ + 1 begins (block << 16 | offset)
    Finding current_;
  };

  void push_back(const Finding& finding);
  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  // Finding `i`, unpacked (from the nearest finding whose place is kept).
  Finding operator[](std::size_t i) const;
  const_iterator begin() const { return const_iterator(this, 0); }
  const_iterator end() const { return const_iterator(this, count_); }

 private:
  static constexpr std::size_t kBlockBytes = 64 * 1024;
  static constexpr std::size_t kPackedBytesMax = 2 + 4 * 5;  // two bytes and four numbers
  static constexpr std::size_t kPlaceEvery = 64;             // findings between kept places

  // Unpacks the finding at `at` into `finding`; returns where the next begins.
  std::uint32_t unpack(std::uint32_t at, Finding* finding) const;

  std::vector<std::unique_ptr<std::uint8_t[]>> blocks_;
  std::size_t used_ = kBlockBytes;     // bytes used in the last block
  std::vector<std::uint32_t> places_;  // where every kPlaceEvery-th finding begins
  std::size_t count_ = 0;
};

}  // namespace quillet::check
