// Test support for the packer's and the check's tests: a scratch working
// folder, list files taken apart, and the tree below a folder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "scratch_folder.h"

namespace quillet::testing {

// The tests of both programs work in a scratch folder that is the working
// folder, as the packer's run needs.
using ScratchFolder = zarvo::testing::ScratchWorkingFolder;

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
// for a folder, "-> target" for a link, "special" for anything else, "(N
// bytes)" for a file of more than 64 MiB; links are not followed.
std::map<std::string, std::string> treeSnapshot(const std::filesystem::path& top);

}  // namespace quillet::testing
