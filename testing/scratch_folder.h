// A fresh folder of a test's own, removed with everything in it when the
// object goes. Its name is new on the machine, so tests that run at the same
// time (ctest -j, or two checkouts) never share one.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace zarvo::testing {

class ScratchFolder {
 public:
  // A new, empty folder in the system's temporary folder.
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& root() const { return root_; }
  const std::filesystem::path& path() const { return root_; }

  // Paths below the folder, "/" between components, in UTF-8.
  void folder(const std::string& relative) const {
    std::filesystem::create_directories(root_ / std::filesystem::u8path(relative));
  }
  void file(const std::string& relative, const std::string& contents = "x") const {
    const std::filesystem::path path = root_ / std::filesystem::u8path(relative);
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
  }
  bool exists(const std::string& relative) const {
    return std::filesystem::exists(
        std::filesystem::symlink_status(root_ / std::filesystem::u8path(relative)));
  }
  std::string read(const std::string& relative) const {
    std::ifstream in(root_ / std::filesystem::u8path(relative), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::filesystem::path root_;
};

// A scratch folder that is the process's working folder while it lives; the
// working folder before it is restored afterwards.
class ScratchWorkingFolder : public ScratchFolder {
 public:
  ScratchWorkingFolder();
  ~ScratchWorkingFolder();

 private:
  std::filesystem::path previous_;
};

}  // namespace zarvo::testing
