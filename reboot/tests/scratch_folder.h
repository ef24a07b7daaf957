// A fresh folder of a test's own, removed with everything in it when the
// object goes. Its name is new on the machine, so tests that run at the same
// time (ctest -j, or two checkouts) never share one.
#pragma once

#include <filesystem>

namespace ostrel::testing {

class ScratchFolder {
 public:
  // A new, empty folder in GoogleTest's temporary folder.
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace ostrel::testing
