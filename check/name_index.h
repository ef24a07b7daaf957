// The release check's tables of entry names: entry numbers by name, in one
// flat array (open addressing), the names themselves left in the entries.
// A release holds up to 65,535 files, each looked up a few times: a table of
// nodes, each with a copy of its name, cost more in allocations and cache
// misses than everything else the check does per entry.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "release_source.h"

namespace quillet::check {

class NameIndex {
 public:
  // Names compared as they are, or with ASCII letters folded to lower case
  // (as the device's FAT file system compares them).
  enum class Compare { kExact, kIgnoringAsciiCase };

  // An index over the entries of `names`, which must outlive it unchanged,
  // with room for `count` names before it grows.
  NameIndex(EntryNames names, Compare compare, std::size_t count = 0)
      : names_(names), compare_(compare) {
    resize(count);
  }

  // Room for `count` names before the table grows.
  void reserve(std::size_t count) { resize(count); }
  // Holds no name any more, and lets go of its room but the least.
  void clear() {
    slots_ = std::vector<Slot>(16);
    used_ = 0;
  }

  // Adds entry `index` under its name; -1 when the name is new, else the
  // entry already there (which stays).
  int insert(int index) {
    std::string scratch;
    return insert(index, hashOf(names_.of(static_cast<std::size_t>(index), scratch)));
  }

  // insert() with the hash of the entry's name at hand. (The name itself
  // is read only when another of the same hash is met.)
  int insert(int index, std::uint32_t hash) {
    if (4 * (used_ + 1) > 3 * slots_.size()) resize(slots_.size());
    std::string scratch;
    std::string_view name;
    bool named = false;
    std::size_t at = hash & (slots_.size() - 1);
    for (; slots_[at].index >= 0; at = (at + 1) & (slots_.size() - 1)) {
      if (slots_[at].hash != hash) continue;
      if (!named) {
        name = names_.of(static_cast<std::size_t>(index), scratch);
        named = true;
      }
      if (same(slots_[at].index, name)) return slots_[at].index;
    }
    slots_[at] = Slot{hash, index};
    ++used_;
    return -1;
  }

  // The entry named `name`, or -1.
  int find(std::string_view name) const { return find(name, hashOf(name)); }

  // A name's hash, for find() and the prefetches. `name` may have "\\" where
  // the entry has "/" (a list line): it hashes as the entry's name.
  std::uint32_t hashOf(std::string_view name) const {
    std::uint32_t exact = 0;
    std::uint32_t folded = 0;
    hashBoth(name, &exact, &folded);
    return compare_ == Compare::kExact ? exact : folded;
  }

  // A name's hash in an exact table and in one that ignores case, at once.
  // Eight bytes at a time: "\\" made "/" (and, for the second, ASCII
  // capitals made small) in all eight together, then mixed in; the names of
  // a release of 65,535 files are hashed twice each, the lines once.
  static void hashBoth(std::string_view name, std::uint32_t* exact, std::uint32_t* folded) {
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Fu;
    constexpr std::uint64_t kHigh = 0x8080808080808080u;
    std::uint64_t hashExact = seed() ^ name.size();
    std::uint64_t hashFolded = hashExact;
    for (std::size_t at = 0; at < name.size(); at += 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, name.data() + at, std::min<std::size_t>(8, name.size() - at));
      word = slashed(word);
      // Bytes from "A" to "Z" (below 0x80): the high bit of each set.
      const std::uint64_t low = word & kLow7;
      const std::uint64_t capitals =
          (low + (0x80u - 0x41u) * kOnes) & ~(low + (0x80u - 0x5Bu) * kOnes) & ~word & kHigh;
      hashExact = mix(hashExact ^ word);
      hashFolded = mix(hashFolded ^ (word | (capitals >> 2)));
    }
    *exact = finish(hashExact);
    *folded = finish(hashFolded);
  }

  // For a caller that knows which names it will look up next: has the
  // processor fetch, for the name of `hash`, its slot (step 0), then, once
  // the slot is at hand, the entry it names (step 1), then that entry's name
  // (step 2), so that the find() that follows waits for none of them.
  //
  // Always inlined: a function that does nothing but prefetch looks free of
  // effects to the compiler, which drops the calls to it that it does not
  // inline.
  [[gnu::always_inline]] void prefetch(std::uint32_t hash, int step) const {
    const Slot& slot = slots_[hash & (slots_.size() - 1)];
    if (step == 0) {
      __builtin_prefetch(&slot);
    } else if (slot.index >= 0 && slot.hash == hash) {
      const ReleaseEntry& entry = names_.entries()[static_cast<std::size_t>(slot.index)];
      __builtin_prefetch(step == 1 ? static_cast<const void*>(&entry) : entry.name.data());
    }
  }

  // prefetch() of all three steps for the `count` names of `hashes`, a step
  // at a time over all of them: the fetches of one step are independent of
  // each other, so the processor has them under way together.
  [[gnu::always_inline]] void prefetchAll(const std::uint32_t* hashes, std::size_t count) const {
    for (int step = 0; step < 3; ++step) {
      for (std::size_t i = 0; i < count; ++i) prefetch(hashes[i], step);
    }
  }

  // The entry a list line names exactly: the line has "\\" where the
  // entry's name has "/". `hash` is hashOf(line). -1 when none.
  int findLine(std::string_view line, std::uint32_t hash) const {
    for (std::size_t at = hash & (slots_.size() - 1); slots_[at].index >= 0;
         at = (at + 1) & (slots_.size() - 1)) {
      if (slots_[at].hash == hash && sameAsLine(slots_[at].index, line)) return slots_[at].index;
    }
    return -1;
  }

  const EntryNames& names() const { return names_; }

  // find() with the name's hash at hand.
  int find(std::string_view name, std::uint32_t hash) const {
    for (std::size_t at = hash & (slots_.size() - 1); slots_[at].index >= 0;
         at = (at + 1) & (slots_.size() - 1)) {
      if (slots_[at].hash == hash && same(slots_[at].index, name)) return slots_[at].index;
    }
    return -1;
  }

 private:
  struct Slot {
    std::uint32_t hash = 0;
    int index = -1;  // the entry; -1 for a free slot
  };

  // A value of this run's own: names made to collide in one run's tables
  // (to make a hostile archive's look-ups slow) do not in another's. Where
  // the program and its stack lie (placed at random by the system) and the
  // time it started.
  static std::uint64_t seed() {
    static const std::uint64_t value = [] {
      const int local = 0;
      const auto here = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&local));
      const auto code = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&seed));
      const auto now =
          static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
      return mix(mix(0x9E3779B97F4A7C15u ^ here) ^ code) ^ mix(now);
    }();
    return value;
  }

  static std::uint64_t mix(std::uint64_t hash) {
    hash *= 0xFF51AFD7ED558CCDu;
    return hash ^ (hash >> 32);
  }
  static std::uint32_t finish(std::uint64_t hash) {
    hash ^= hash >> 33;
    hash *= 0xC4CEB9FE1A85EC53u;
    hash ^= hash >> 29;
    return static_cast<std::uint32_t>(hash);
  }

  char fold(char c) const {
    return compare_ == Compare::kIgnoringAsciiCase && c >= 'A' && c <= 'Z'
               ? static_cast<char>(c - 'A' + 'a')
               : c;
  }

  bool same(int index, std::string_view name) const {
    if (names_.sizeOf(static_cast<std::size_t>(index)) != name.size()) return false;
    std::string scratch;
    const std::string_view held = names_.of(static_cast<std::size_t>(index), scratch);
    if (held.size() != name.size()) return false;
    if (compare_ == Compare::kExact) return held == name;
    for (std::size_t i = 0; i < name.size(); ++i) {
      if (fold(held[i]) != fold(name[i])) return false;
    }
    return true;
  }

  // Whether entry `index`'s name reads as `line` with each "\\" of the
  // line made "/"; exact comparison only. Eight bytes at a time, as the
  // names are hashed.
  bool sameAsLine(int index, std::string_view line) const {
    if (names_.sizeOf(static_cast<std::size_t>(index)) != line.size()) return false;
    std::string scratch;
    const std::string_view held = names_.of(static_cast<std::size_t>(index), scratch);
    if (held.size() != line.size()) return false;
    std::size_t at = 0;
    for (; at + 8 <= line.size(); at += 8) {
      std::uint64_t word = 0;
      std::uint64_t heldWord = 0;
      std::memcpy(&word, line.data() + at, 8);
      std::memcpy(&heldWord, held.data() + at, 8);
      if (slashed(word) != heldWord) return false;
    }
    for (; at < line.size(); ++at) {
      if ((line[at] == '\\' ? '/' : line[at]) != held[at]) return false;
    }
    return true;
  }

  // `word` with each of its eight bytes that is "\\" made "/".
  static std::uint64_t slashed(std::uint64_t word) {
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Fu;
    const std::uint64_t x = word ^ (0x5Cu * kOnes);
    const std::uint64_t backslashes = ~(((x & kLow7) + kLow7) | x | kLow7);
    const std::uint64_t mask = (backslashes >> 7) * 0xFFu;
    return (word & ~mask) | ((0x2Fu * kOnes) & mask);
  }

  // Room for `count` names with a quarter of the slots free at least (a power
  // of two); the names held move along.
  void resize(std::size_t count) {
    std::size_t size = 16;
    while (3 * size < 4 * count) size *= 2;
    if (size <= slots_.size()) return;
    std::vector<Slot> old(size);
    old.swap(slots_);
    for (const Slot& slot : old) {
      if (slot.index < 0) continue;
      std::size_t at = slot.hash & (slots_.size() - 1);
      while (slots_[at].index >= 0) at = (at + 1) & (slots_.size() - 1);
      slots_[at] = slot;
    }
  }

  EntryNames names_;
  Compare compare_;
  std::vector<Slot> slots_;
  std::size_t used_ = 0;
};

}  // namespace quillet::check
