#include "name_table.h"

#include <cstring>
#include <random>

#include "device_rules.h"
#include "utf.h"

namespace quillet::check {
namespace {

std::uint64_t seed() {
  static const std::uint64_t value = [] {
    std::random_device random;
    return (static_cast<std::uint64_t>(random()) << 32) ^ random();
  }();
  return value;
}

}  // namespace

std::uint64_t hashOf(std::string_view bytes) {
  constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15u;
  std::uint64_t hash = seed() ^ (bytes.size() * kMultiplier);
  const auto mix = [&hash](std::uint64_t word) {
    hash = (hash ^ word) * kMultiplier;
    hash ^= hash >> 29;
  };
  std::size_t at = 0;
  for (; at + 8 <= bytes.size(); at += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes.data() + at, 8);
    mix(word);
  }
  if (at < bytes.size()) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes.data() + at, bytes.size() - at);
    mix(word);
  }
  mix(seed());
  return hash;
}

std::string foldedKey(std::string_view name) {
  std::u16string units;
  if (const auto wide = utf8ToUtf16(name)) {
    units = *wide;
  } else {
    units.assign(name.begin(), name.end());
    for (char16_t& unit : units) unit = static_cast<char16_t>(unit & 0xFF);
    for (char16_t& unit : units) {
      if (unit >= 0x80) unit = static_cast<char16_t>(0xF000 | unit);  // (no letter of any case)
    }
  }
  const std::u16string folded = foldedName(units);
  return std::string(reinterpret_cast<const char*>(folded.data()), 2 * folded.size());
}

NameTable::NameTable(std::size_t count) {
  std::size_t size = 16;
  while (size < 2 * count) size *= 2;
  places_.resize(size);
  mask_ = size - 1;
}

}  // namespace quillet::check
