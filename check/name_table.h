// Names found by their hash (name_hash.h): a table of numbers (entries,
// folders) placed by the hash of their names. A hash stands for its name:
// two names that share one are taken for the same (a chance of one in
// 2^64, with a seed no archive can know ahead of the run).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "name_hash.h"

namespace quillet::check {

// `name` (UTF-8) as the device compares names (device_rules.h), as bytes to
// hash: a name of the release that is not UTF-8 (a folder's on POSIX)
// compares as its bytes, with ASCII case folded.
std::string foldedKey(std::string_view name);

class NameTable {
 public:
  // A table with room for `count` numbers: a third more places (a power of
  // two, at least 16), so that a look-up meets few others. No more may be
  // placed.
  explicit NameTable(std::size_t count = 0);

  // The number placed with `hash`, or -1.
  std::int64_t find(std::uint64_t hash) const;
  // Places `number` with `hash` unless one is there already: that one is
  // returned then, and -1 otherwise.
  std::int64_t insert(std::uint64_t hash, std::uint32_t number);

 private:
  static constexpr std::uint32_t kEmpty = UINT32_MAX;
  struct Place {
    std::uint64_t hash = 0;
    std::uint32_t number = kEmpty;
  };
  std::vector<Place> places_;
  std::size_t mask_ = 0;
};

}  // namespace quillet::check
