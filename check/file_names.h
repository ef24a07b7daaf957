// The release's files by name, for the check: exactly, and with ASCII case
// ignored as the device's FAT file system compares names (the first file of
// each name), and the look-up of a whole file list in them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "name_index.h"
#include "release_source.h"
#include "text_lines.h"

namespace quillet::check {

class FileNames {
 public:
  // A file list this long is looked up on two threads.
  static constexpr std::size_t kLinesForTwoThreads = 4096;

  explicit FileNames(EntryNames names)
      : exact_(names, NameIndex::Compare::kExact),
        folded_(names, NameIndex::Compare::kIgnoringAsciiCase) {}

  // Room for `count` names in each table before it grows.
  void reserve(std::size_t count) {
    exact_.reserve(count);
    folded_.reserve(count);
  }

  // Lets go of both tables.
  void clear() {
    exact_.clear();
    folded_.clear();
  }

  // The entries' names in order, each with its hashes in both tables, whose
  // slots are fetched a few entries ahead of the one surveyed.
  class Ahead {
   public:
    static constexpr std::size_t kAhead = 8;
    struct Name {
      std::string_view name;  // valid until the next call
      std::uint32_t exactHash;
      std::uint32_t foldedHash;
    };
    Ahead(const FileNames& tables, const EntryNames& names) : tables_(tables), names_(names) {
      for (std::size_t at = 0; at < kAhead && at < names.entries().size(); ++at) fetch(at);
    }
    // The next entry's name (call once per entry).
    Name next() {
      const Name name = ring_[next_ % (kAhead + 1)];
      if (next_ + kAhead < names_.entries().size()) fetch(next_ + kAhead);
      ++next_;
      return name;
    }

   private:
    // (A place more than the entries ahead: the one surveyed keeps its own.)
    void fetch(std::size_t at) {
      Name& name = ring_[at % (kAhead + 1)];
      name.name = names_.of(at, read_[at % (kAhead + 1)]);
      NameIndex::hashBoth(name.name, &name.exactHash, &name.foldedHash);
      tables_.exact_.prefetch(name.exactHash, 0);
      tables_.folded_.prefetch(name.foldedHash, 0);
    }
    const FileNames& tables_;
    const EntryNames& names_;
    Name ring_[kAhead + 1] = {};
    std::string read_[kAhead + 1];  // names read back from the archive
    std::size_t next_ = 0;
  };

  // The tables, for the survey that fills them.
  NameIndex& exact() { return exact_; }
  NameIndex& folded() { return folded_; }
  const NameIndex& exact() const { return exact_; }

  // A file of the release by name, or -1. `loose` says whether it matched
  // only when case is ignored.
  int find(std::string_view name, bool* loose) const {
    return find(name, exact_.hashOf(name), loose);
  }
  int find(std::string_view name, std::uint32_t hash, bool* loose) const {
    *loose = false;
    const int exact = exact_.find(name, hash);
    if (exact >= 0) return exact;
    const int folded = folded_.find(name);
    *loose = folded >= 0;
    return folded;
  }

  // The file each of `lines` names ("\\" between components), and whether
  // it matched only when case is ignored. The lines name files all over the
  // release, so the look-ups spend their time fetching from memory; they
  // only read the tables, and a long list is looked up on two threads, half
  // each.
  void findLines(const TextLines& lines, std::vector<int>* found,
                 std::vector<std::uint8_t>* loose) const {
    found->assign(lines.size(), -1);
    loose->assign(lines.size(), 0);
    const std::size_t half = lines.size() >= kLinesForTwoThreads ? lines.size() / 2 : lines.size();
    std::thread second;
    if (half < lines.size()) {
      second = std::thread([&] { findLineRange(lines, half, lines.size(), found, loose); });
    }
    findLineRange(lines, 0, half, found, loose);
    if (second.joinable()) second.join();
  }

 private:
  void findLineRange(const TextLines& lines, std::size_t from, std::size_t to,
                     std::vector<int>* found, std::vector<std::uint8_t>* loose) const {
    std::string name;
    // A group of lines at a time: their names hashed, what their look-ups
    // need fetched, then the look-ups.
    constexpr std::size_t kGroup = 32;
    std::uint32_t hashes[kGroup];
    for (std::size_t group = from; group < to; group += kGroup) {
      const std::size_t count = std::min(kGroup, to - group);
      for (std::size_t k = 0; k < count; ++k) hashes[k] = exact_.hashOf(lines[group + k]);
      exact_.prefetchAll(hashes, count);
      for (std::size_t k = 0; k < count; ++k) {
        const std::size_t i = group + k;
        name.assign(lines[i]);
        std::replace(name.begin(), name.end(), '\\', '/');
        bool matchedLoosely = false;
        (*found)[i] = find(name, hashes[k], &matchedLoosely);
        (*loose)[i] = matchedLoosely ? 1 : 0;
      }
    }
  }

  NameIndex exact_;   // file name -> entry
  NameIndex folded_;  // its name, case ignored -> the first file of that name
};

}  // namespace quillet::check
