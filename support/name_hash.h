// A hash of names, seeded once per run from the system's random source: a
// file cannot be made whose names collide, as no one knows the seed ahead
// of the run. Equal hashes stand for equal names (two different names share
// one with a chance of one in 2^64).
#pragma once

#include <cstdint>
#include <string_view>

namespace quillet {

std::uint64_t nameHash(std::string_view bytes);

}  // namespace quillet
