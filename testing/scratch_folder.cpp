#include "scratch_folder.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <system_error>

namespace zarvo::testing {

ScratchFolder::ScratchFolder() {
  // As mkdtemp does, portably: a random name, taken only by the one
  // create_directory call that made it.
  const std::filesystem::path parent = std::filesystem::temp_directory_path();
  std::random_device seed;
  std::mt19937_64 random(seed() ^ static_cast<std::uint64_t>(
                                      std::chrono::steady_clock::now().time_since_epoch().count()));
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, "zarvo-%016llx", static_cast<unsigned long long>(random()));
    std::error_code error;
    if (std::filesystem::create_directory(parent / name, error)) {
      root_ = std::filesystem::canonical(parent / name);
      return;
    }
  }
  throw std::runtime_error("cannot make a scratch folder in " + parent.string());
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  // (a test may have taken its own permissions away)
  std::filesystem::permissions(root_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(root_, ignored);
}

ScratchWorkingFolder::ScratchWorkingFolder() : previous_(std::filesystem::current_path()) {
  std::filesystem::current_path(root());
}

ScratchWorkingFolder::~ScratchWorkingFolder() {
  std::error_code ignored;
  std::filesystem::current_path(previous_, ignored);
}

}  // namespace zarvo::testing
