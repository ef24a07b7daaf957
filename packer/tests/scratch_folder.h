// A fresh temporary working folder for tests that use the real file system.
// The process's working folder is moved into it and restored afterwards.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace quillet::testing {

class ScratchFolder {
 public:
  ScratchFolder() : previous_(std::filesystem::current_path()) {
    root_ = makeTempFolder();
    std::filesystem::current_path(root_);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
    std::filesystem::permissions(root_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(root_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& root() const { return root_; }

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
  static std::filesystem::path makeTempFolder();

  std::filesystem::path previous_;
  std::filesystem::path root_;
};

// A list file taken apart: its header count and its lines (without 0x000A).
struct ListFile {
  bool wellFormed = false;  // header present, every line ended by 0x000A
  std::uint16_t count = 0;
  std::vector<std::u16string> lines;
};
ListFile parseList(const std::string& bytes);

// The UTF-16 text of an ASCII or UTF-8 literal, for expectations.
std::u16string u16(const std::string& utf8);

// `text` quoted for a POSIX shell, whatever it holds.
std::string shellQuote(const std::string& text);

// The tree below `top`: every path (relative to it) with its contents, "/"
// for a folder, "-> target" for a link, "special" for anything else; links
// are not followed.
std::map<std::string, std::string> treeSnapshot(const std::filesystem::path& top);

}  // namespace quillet::testing
