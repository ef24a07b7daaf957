// The zip reader over archives made by Debian's 7za, the archiver the packer
// runs, in the forms it writes: deflated, stored, with folders, UTF-8 names.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "scratch_folder.h"
#include "zip_reader.h"
#include "zip_test_support.h"

namespace quillet::zip {
namespace {

namespace fs = std::filesystem;
using testing::patterned;
using testing::readWhole;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A staging folder of its own, packed by 7za as the packer does.
class SevenZipArchive : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = scratch_.root();
    fs::create_directories(root_ / "stage");
    // 7za answers "i" with its formats; where it does not run, there is nothing to test.
    const std::string probe = "7za i > \"" + (root_ / "probe.txt").string() + "\" 2>&1";
    if (std::system(probe.c_str()) != 0)
      GTEST_SKIP() << "7za (Debian's p7zip-full) does not run here";
  }

  void file(const std::string& relative, const std::string& contents) {
    const fs::path path = root_ / "stage" / fs::u8path(relative);
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
    files_[relative] = contents;
  }
  void folder(const std::string& relative) { fs::create_directories(root_ / "stage" / relative); }

  // Packs the staging folder's contents; returns the archive's bytes.
  std::string pack(const std::string& options) {
    const fs::path zip = root_ / "out.zip";
    const std::string command = "7za a -tzip " + options + " \"" + zip.string() + "\" \"" +
                                (root_ / "stage").string() + "/*\" > \"" +
                                (root_ / "7za.log").string() + "\" 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << readFile(root_ / "7za.log");
    return readFile(zip);
  }

  // Every file entry reads back as written; folders are entries ending in "/".
  // Files that shrink are packed with `method` (7za stores what deflate
  // cannot shrink, such as a few bytes of text).
  void expectEverythingReadsBack(const std::string& bytes, std::uint16_t method) {
    MemorySource source(bytes);
    Reader reader;
    ASSERT_TRUE(reader.open(source)) << reader.message();
    std::map<std::string, std::string> found;
    for (std::size_t i = 0; i < reader.entries().size(); ++i) {
      const Entry& entry = reader.entries()[i];
      const std::string name = testing::nameOf(reader, i);
      SCOPED_TRACE(name);
      const std::optional<std::string> contents = readWhole(reader, i);
      ASSERT_TRUE(contents.has_value()) << reader.message();
      if (entry.folder) {
        EXPECT_TRUE(contents->empty());
        continue;
      }
      if (entry.size > 1000) {
        EXPECT_EQ(entry.method, method);
      }
      found[name] = *contents;
    }
    EXPECT_TRUE(found == files_) << "the archive's files differ from the staging folder's";
  }

  zarvo::testing::ScratchFolder scratch_;
  fs::path root_;
  std::map<std::string, std::string> files_;
};

TEST_F(SevenZipArchive, DeflatedFilesInFoldersWithUtf8NamesReadBack) {
  file("a.txt", "hello\n");
  file("sub/deep/b.bin", patterned(300000));
  file("sub/empty.txt", "");
  file(
      "\xc3\xbc"
      "ber/gr\xc3\xb6\xc3\x9f"
      "e.txt",
      "umlauts");
  file("\xe6\x97\xa5\xe6\x9c\xac.txt", "cjk");
  folder("empty-folder");
  const std::string bytes = pack("");
  expectEverythingReadsBack(bytes, 8);

  MemorySource source(bytes);
  Reader reader;
  ASSERT_TRUE(reader.open(source));
  std::vector<std::string> folders;
  for (std::size_t i = 0; i < reader.entries().size(); ++i) {
    const Entry& entry = reader.entries()[i];
    const std::string name = testing::nameOf(reader, i);
    SCOPED_TRACE(name);
    if (entry.folder) folders.emplace_back(name);
    // 7za marks non-ASCII names as UTF-8 (flag bit 11).
    const std::string raw = testing::storedName(source, entry);
    const bool ascii = std::all_of(raw.begin(), raw.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (!ascii) {
      EXPECT_FALSE(entry.legacyName);
    }
  }
  EXPECT_THAT(folders, ::testing::UnorderedElementsAre("empty-folder/", "sub/", "sub/deep/",
                                                       "\xc3\xbc"
                                                       "ber/"));
}

TEST_F(SevenZipArchive, StoredFilesReadBack) {
  file("a.txt", "hello\n");
  file("sub/b.bin", patterned(200000));
  expectEverythingReadsBack(pack("-mx=0"), 0);
}

// Every cut of a real archive fails cleanly (or, cut in the comment-free
// tail, is no archive at all): never a crash, never success.
TEST_F(SevenZipArchive, EveryTruncationFailsCleanly) {
  file("a.txt", "hello\n");
  file("sub/b.bin", patterned(5000));
  const std::string bytes = pack("");
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    MemorySource source(bytes.substr(0, cut));
    Reader reader;
    bool whole = reader.open(source);
    for (std::size_t i = 0; whole && i < reader.entries().size(); ++i) {
      whole = readWhole(reader, i).has_value();
    }
    EXPECT_FALSE(whole) << "cut at " << cut;
    EXPECT_FALSE(reader.message().empty()) << "cut at " << cut;
  }
}

}  // namespace
}  // namespace quillet::zip
