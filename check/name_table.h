// Names found by a hash: a table of numbers (entries, folders) placed by the
// hash of their names, each candidate confirmed by its caller (which reads
// the name back from the release). The hash is seeded once per run, so an
// archive cannot be made to put every name in one place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::check {

// The seeded hash of `bytes`.
std::uint64_t hashOf(std::string_view bytes);

// `name` (UTF-8) as the device compares names (device_rules.h), as bytes to
// hash and compare: a name of the release that is not UTF-8 (a folder's on
// POSIX) compares as its bytes, with ASCII case folded.
std::string foldedKey(std::string_view name);

class NameTable {
 public:
  // A table with room for `count` numbers: twice as many places, at least
  // 16, so that a look-up meets few others. No more may be placed.
  explicit NameTable(std::size_t count = 0);

  // The first number placed with `hash` for which `same(number)` holds, or
  // -1.
  template <typename Same>
  std::int64_t find(std::uint64_t hash, const Same& same) const {
    for (std::size_t at = hash & mask_; places_[at].number != kEmpty; at = (at + 1) & mask_) {
      if (places_[at].tag == tagOf(hash) && same(places_[at].number)) return places_[at].number;
    }
    return -1;
  }
  // Places `number` with `hash` unless a number for which `same` holds is
  // there already: that one is returned then, and -1 otherwise.
  template <typename Same>
  std::int64_t insert(std::uint64_t hash, std::uint32_t number, const Same& same) {
    std::size_t at = hash & mask_;
    for (; places_[at].number != kEmpty; at = (at + 1) & mask_) {
      if (places_[at].tag == tagOf(hash) && same(places_[at].number)) return places_[at].number;
    }
    places_[at] = Place{number, tagOf(hash)};
    return -1;
  }

 private:
  static constexpr std::uint32_t kEmpty = UINT32_MAX;
  struct Place {
    std::uint32_t number = kEmpty;
    std::uint32_t tag = 0;  // the hash's high bits: most others are told apart by it
  };
  static std::uint32_t tagOf(std::uint64_t hash) { return static_cast<std::uint32_t>(hash >> 32); }

  std::vector<Place> places_;
  std::size_t mask_ = 0;
};

}  // namespace quillet::check
