#include "name_table.h"

#include "device_rules.h"
#include "utf.h"

namespace quillet::check {

std::string foldedKey(std::string_view name) {
  std::u16string units;
  if (const auto wide = utf8ToUtf16(name)) {
    units = *wide;
  } else {
    for (const char c : name) {
      const auto byte = static_cast<std::uint8_t>(c);
      units.push_back(static_cast<char16_t>(byte < 0x80 ? byte : 0xF000 | byte));  // no letter
    }
  }
  const std::u16string folded = foldedName(units);
  return std::string(reinterpret_cast<const char*>(folded.data()), 2 * folded.size());
}

NameTable::NameTable(std::size_t count) {
  std::size_t size = 16;
  while (3 * size < 4 * count) size *= 2;
  places_.resize(size);
  mask_ = size - 1;
}

std::int64_t NameTable::find(std::uint64_t hash) const {
  for (std::size_t at = hash & mask_; places_[at].number != kEmpty; at = (at + 1) & mask_) {
    if (places_[at].hash == hash) return places_[at].number;
  }
  return -1;
}

std::int64_t NameTable::insert(std::uint64_t hash, std::uint32_t number) {
  std::size_t at = hash & mask_;
  for (; places_[at].number != kEmpty; at = (at + 1) & mask_) {
    if (places_[at].hash == hash) return places_[at].number;
  }
  places_[at] = Place{hash, number};
  return -1;
}

}  // namespace quillet::check
