#include "name_hash.h"

#include <cstring>
#include <random>

namespace quillet {
namespace {

std::uint64_t seed() {
  static const std::uint64_t value = [] {
    std::random_device random;
    return (static_cast<std::uint64_t>(random()) << 32) ^ random();
  }();
  return value;
}

}  // namespace

std::uint64_t nameHash(std::string_view bytes) {
  constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15u;
  const std::uint64_t key = seed();
  std::uint64_t hash = key ^ (bytes.size() * kMultiplier);
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
  mix(key);
  hash = (hash ^ (hash >> 31)) * kMultiplier;
  return hash ^ (hash >> 32);
}

}  // namespace quillet
