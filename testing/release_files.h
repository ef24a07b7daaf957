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

// Runs as the unprivileged user nobody (setpriv): the prefix of a shell
// command line, for tests that run as root. A program built below a folder
// nobody cannot enter (root's home) cannot be run that way from there: the
// cases run `runnableCopy` of it, in a scratch folder of their own.
inline constexpr char kAsNobody[] = "setpriv --reuid=65534 --regid=65534 --clear-groups";
// A copy of `program` in `folder` (made if missing) that every user may
// run; empty, with the reason in `whyNot`, when nobody cannot run it there
// (a scratch folder below one nobody cannot enter) or setpriv is missing.
std::filesystem::path runnableCopy(const std::filesystem::path& program,
                                   const std::filesystem::path& folder, std::string* whyNot);

// The tree below `top`: every path (relative to it) with its contents, "/"
// for a folder, "-> target" for a link, "special" for anything else, "(N
// bytes)" for a file of more than 64 MiB; links are not followed.
std::map<std::string, std::string> treeSnapshot(const std::filesystem::path& top);

}  // namespace quillet::testing
