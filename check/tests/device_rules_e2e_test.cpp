// The device's rules on names and paths, run through both programs: every
// name the packer refuses, the check flags as an error (exit 7); every name
// the packer packs, the check passes without a warning. The built programs
// are run as a user runs them, with the system's 7za.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "digest_of.h"
#include "list_format.h"
#include "release_files.h"
#include "zip_writer.h"

namespace quillet {
namespace {

namespace fs = std::filesystem;
using quillet::testing::ScratchFolder;
using quillet::testing::shellQuote;
using quillet::testing::u16;
using ::testing::HasSubstr;
using ::testing::Not;

struct Ran {
  int exitCode = -1;
  std::string out;
};

Ran run(const fs::path& folder, const std::string& command) {
  const fs::path out = folder.parent_path() / (folder.filename().string() + ".out");
  const int status = std::system(("cd " + shellQuote(folder.string()) + " && " + command + " >" +
                                  shellQuote(out.string()) + " 2>&1 </dev/null")
                                     .c_str());
  std::ifstream in(out, std::ios::binary);
  Ran ran{WIFEXITED(status) ? WEXITSTATUS(status) : -1,
          std::string(std::istreambuf_iterator<char>(in), {})};
  fs::remove(out);
  return ran;
}

// `count` characters `unit` (UTF-8), in folders of `perFolder` at most:
// a path of that many UTF-16 units below the staging folder.
std::string pathOf(std::size_t count, const std::string& unit, std::size_t perFolder) {
  std::string path;
  std::size_t left = count;
  while (left > perFolder + 1) {
    for (std::size_t i = 0; i < perFolder; ++i) path += unit;
    path += "/";
    left -= perFolder + 1;
  }
  for (std::size_t i = 0; i < left; ++i) path += unit;
  return path;
}

struct RuleCase {
  const char* title;
  std::vector<std::string> paths;  // below the staging folder, "/" between components
  const char* why;                 // what both programs say; nullptr: the device holds them
};

void PrintTo(const RuleCase& c, std::ostream* out) { *out << c.title; }

// The release the packer would make of `paths`, written by our own zip
// writer: lists and digest right, so that only the names are at fault.
std::string releaseOf(const std::vector<std::string>& paths) {
  std::vector<std::u16string> fileLines = {u16("$FileList.txt"), u16("$FolderList.txt")};
  std::vector<std::u16string> folderLines;
  for (const std::string& path : paths) {
    std::string line = path;
    for (char& c : line) c = c == '/' ? '\\' : c;
    fileLines.push_back(u16(line));
    // A line for every folder on the way, one holding only a folder too.
    for (std::size_t slash = line.find('\\'); slash != std::string::npos;
         slash = line.find('\\', slash + 1)) {
      const std::u16string folder = u16("FlashDrive\\" + line.substr(0, slash));
      if (std::find(folderLines.begin(), folderLines.end(), folder) == folderLines.end()) {
        folderLines.push_back(folder);
      }
    }
  }
  const std::string fileList = encodeList(fileLines);
  const std::string folderList = encodeList(folderLines);
  std::string listed = fileList + folderList;
  std::vector<zip::testing::WriterEntry> entries = {{"$FileList.txt", fileList},
                                                    {"$FolderList.txt", folderList}};
  for (const std::string& path : paths) {
    entries.emplace_back(path, "x", 0, 0x0800);
    listed += "x";
  }
  entries.emplace_back("$md5.bin", check::testing::digestOf(listed), 0);
  return zip::testing::writeZip(entries).bytes;
}

class DeviceRules : public ::testing::TestWithParam<RuleCase> {};

TEST_P(DeviceRules, TheCheckFlagsWhatThePackerRefusesAndPassesWhatItPacks) {
  if (!fs::exists("/usr/bin/7za")) GTEST_SKIP() << "p7zip-full's 7za is not installed";
  const RuleCase& c = GetParam();
  ScratchFolder scratch;
  for (const std::string& path : c.paths) scratch.file("FlashDrive/" + path, "x");
  fs::create_symlink("/usr/bin/7za", scratch.root() / "7za");
  const Ran packed = run(scratch.root(), QUILLET_EXE);
  const std::string check = std::string(QUILLET_CHECK_EXE) + " ";
  if (c.why == nullptr) {
    ASSERT_EQ(packed.exitCode, 0) << packed.out;
    const Ran checked = run(scratch.root(), check + "ZarvoEUupdate.zip");
    EXPECT_EQ(checked.exitCode, 0) << checked.out;
    EXPECT_THAT(checked.out, Not(HasSubstr("warning:")));
    return;
  }
  EXPECT_EQ(packed.exitCode, 2) << packed.out;
  EXPECT_THAT(packed.out, HasSubstr("Refused '"));
  EXPECT_THAT(packed.out, HasSubstr(c.why));
  scratch.file("release.zip", releaseOf(c.paths));
  const Ran checked = run(scratch.root(), check + "release.zip");
  EXPECT_EQ(checked.exitCode, 7) << checked.out;
  EXPECT_THAT(checked.out, HasSubstr(c.why));
  EXPECT_THAT(checked.out, HasSubstr("error: "));
}

const std::string kCjk = "\xe5\x9c\xb0";  // one unit, three bytes
const std::string kLatin = "\xc3\xa9";    // one unit, two bytes
const char kTooLong[] = "takes 256 characters, more than the 255 the device holds";

// A path of 244 units below the staging folder is one of 255 with
// "FlashDrive\" before it: the most the device holds.
INSTANTIATE_TEST_SUITE_P(
    BothPrograms, DeviceRules,
    ::testing::Values(
        RuleCase{"PlainNames", {"NAVI/Maps/roads.dat", "BSP/NK.bin"}, nullptr},
        RuleCase{"ControlCharacter",
                 {"a\x01"
                  "b.txt"},
                 "holds a control character"},
        RuleCase{"Less", {"a<b"}, "holds one of < > : \" | ? *"},
        RuleCase{"Greater", {"a>b"}, "holds one of < > : \" | ? *"},
        RuleCase{"Colon", {"ab:c"}, "holds one of < > : \" | ? *"},
        RuleCase{"Quote", {"a\"b"}, "holds one of < > : \" | ? *"},
        RuleCase{"Bar", {"a|b"}, "holds one of < > : \" | ? *"},
        RuleCase{"Question", {"NAVI/what?.txt"}, "holds one of < > : \" | ? *"},
        RuleCase{"Star", {"a*"}, "holds one of < > : \" | ? *"},
        RuleCase{"TrailingDot", {"name."}, "ends with a dot"},
        RuleCase{"FolderWithTrailingDot", {"dir./a.txt"}, "ends with a dot"},
        RuleCase{"TrailingSpace", {"name "}, "ends with a space"},
        RuleCase{"ReservedName", {"CON"}, "is a reserved device name"},
        RuleCase{"ReservedWithExtension", {"NAVI/nul.txt"}, "is a reserved device name"},
        RuleCase{"ReservedInAnyCase", {"com1.log"}, "is a reserved device name"},
        RuleCase{"ReservedWithDollar", {"clock$.x"}, "is a reserved device name"},
        RuleCase{"CaseTwinsAscii", {"Map.dat", "MAP.DAT"}, "differs only in case from"},
        RuleCase{"CaseTwinsLatin", {kLatin + ".txt", "\xc3\x89.txt"}, "differs only in case from"},
        RuleCase{"CaseTwinsGreek", {"\xce\xb1.txt", "\xce\x91.txt"}, "differs only in case from"},
        RuleCase{
            "CaseTwinsCyrillic", {"\xd0\xb0.txt", "\xd0\x90.txt"}, "differs only in case from"},
        RuleCase{"CaseTwinFolders", {"Maps/a.dat", "maps/b.dat"}, "differs only in case from"},
        RuleCase{"AsciiPathAtTheLimit", {pathOf(244, "a", 200)}, nullptr},
        RuleCase{"AsciiPathOnePast", {pathOf(245, "a", 200)}, kTooLong},
        RuleCase{"LatinPathAtTheLimit", {pathOf(244, kLatin, 120)}, nullptr},
        RuleCase{"LatinPathOnePast", {pathOf(245, kLatin, 120)}, kTooLong},
        RuleCase{"CjkPathAtTheLimit", {pathOf(244, kCjk, 80)}, nullptr},
        RuleCase{"CjkPathOnePast", {pathOf(245, kCjk, 80)}, kTooLong}),
    [](const ::testing::TestParamInfo<RuleCase>& info) { return std::string(info.param.title); });

}  // namespace
}  // namespace quillet
