#include "scratch_folder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace ostrel::testing {

ScratchFolder::ScratchFolder() {
  // As mkdtemp does, portably: a random name, taken only by the one
  // create_directory call that made it.
  const std::filesystem::path parent(::testing::TempDir());
  std::random_device seed;
  std::mt19937_64 random(seed() ^ static_cast<std::uint64_t>(
                                      std::chrono::steady_clock::now().time_since_epoch().count()));
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, "ostrel-%016llx", static_cast<unsigned long long>(random()));
    std::error_code error;
    if (std::filesystem::create_directory(parent / name, error)) {
      path_ = parent / name;
      return;
    }
  }
  throw std::runtime_error("cannot make a scratch folder in " + parent.string());
}

ScratchFolder::~ScratchFolder() {
  std::error_code error;
  std::filesystem::remove_all(path_, error);
}

}  // namespace ostrel::testing
