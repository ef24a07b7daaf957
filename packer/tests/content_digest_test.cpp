#include "content_digest.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "file_list.h"
#include "platform.h"
#include "scratch_folder.h"

namespace quillet {
namespace {

constexpr const char* kEmptyDigest = "d41d8cd98f00b204e9800998ecf8427e";

std::string hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0f]);
  }
  return text;
}

// Holds the path slots the digest reads, filled as the loader fills them,
// and puts the process-wide list back to "not loaded" afterwards.
class LoadedList {
 public:
  explicit LoadedList(const std::vector<std::string>& paths) : slots_(paths.size()) {
    for (std::size_t i = 0; i < paths.size(); ++i) {
      std::memset(slots_[i].units, 0, sizeof slots_[i].units);
      const std::u16string path = testing::u16(paths[i]);
      std::copy(path.begin(), path.end(), slots_[i].units);
    }
    fileListCount = static_cast<std::uint16_t>(paths.size());
    pathSlots = slots_.empty() ? nullptr : &slots_[0].units;
  }
  ~LoadedList() {
    fileListCount = 0;
    pathSlots = nullptr;
  }

 private:
  struct Slot {
    PathSlot units;
  };
  std::vector<Slot> slots_;
};

// Runs the digest in a scratch working folder on the real file system.
class ContentDigestOnDisk : public ::testing::Test {
 protected:
  void SetUp() override { scratch_.folder("FlashDrive"); }

  // The digest over `paths` (backslash-separated, as the list holds them);
  // its console output goes to `console_`.
  int digest(const std::vector<std::string>& paths) {
    LoadedList list(paths);
    ::testing::internal::CaptureStdout();
    const int result = calculateMd5();
    std::fflush(stdout);
    console_ = ::testing::internal::GetCapturedStdout();
    return result;
  }

  std::string storedDigest() const {
    const std::string bytes = scratch_.read("FlashDrive/$md5.bin");
    EXPECT_EQ(bytes.size(), kMd5DigestBytes);
    return hex(bytes);
  }

  // md5sum's digest of `bytes`, as an independent reference.
  std::string md5sumOf(const std::string& bytes) const {
    scratch_.file("reference.bin", bytes);
    std::FILE* pipe = ::popen("md5sum reference.bin 2>/dev/null", "r");
    char line[128] = {};
    const bool got = pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr;
    if (pipe != nullptr) ::pclose(pipe);
    return got ? std::string(line, 32) : std::string();
  }

  testing::ScratchFolder scratch_;
  std::string console_;
};

TEST_F(ContentDigestOnDisk, EmptyListStoresTheDigestOfTheEmptyMessageAndPrintsNothing) {
  EXPECT_EQ(digest({}), 1);
  EXPECT_EQ(console_, "");
  EXPECT_EQ(storedDigest(), kEmptyDigest);
}

TEST_F(ContentDigestOnDisk, DigestsTheContentsOfTheListedFilesInListOrder) {
  scratch_.file("FlashDrive/a.txt", "abcdefgh");
  scratch_.file("FlashDrive/empty.txt", "");
  scratch_.file("FlashDrive/Sub/b.txt", "ijklmnopqrstuvwxyz");

  EXPECT_EQ(digest({"FlashDrive\\a.txt", "FlashDrive\\empty.txt", "FlashDrive\\Sub\\b.txt"}), 1);
  // MD5 of "abcdefghijklmnopqrstuvwxyz" (RFC 1321): contents only, no
  // names or separators of our own.
  EXPECT_EQ(storedDigest(), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(console_,
            "[MD5](0)calculateMd5_AddOneFile(FlashDrive\\a.txt)\r\n"
            "[MD5](1)calculateMd5_AddOneFile(FlashDrive\\empty.txt)\r\n"
            "[MD5](2)calculateMd5_AddOneFile(FlashDrive\\Sub\\b.txt)\r\n");

  EXPECT_EQ(digest({"FlashDrive\\Sub\\b.txt", "FlashDrive\\a.txt"}), 1);
  EXPECT_EQ(storedDigest(),
            "a7bf39b78ffb03bf5a7b5a833c3da5fd");  // md5sum of "ijklmnopqrstuvwxyzabcdefgh"
}

TEST_F(ContentDigestOnDisk, ReadsFilesOfEveryLengthToTheirEnd) {
  // Lengths around the 1024-byte read buffer, and files of many reads.
  std::mt19937 random(7);
  std::vector<std::string> paths;
  std::string all;
  for (std::size_t length : {1023, 1024, 1025, 2048, 0, 1, 70000, 4096}) {
    std::string contents(length, '\0');
    for (char& c : contents) c = static_cast<char>(random());
    const std::string name = "f" + std::to_string(paths.size()) + ".bin";
    scratch_.file("FlashDrive/" + name, contents);
    paths.push_back("FlashDrive\\" + name);
    all += contents;
  }
  const std::string reference = md5sumOf(all);
  if (reference.empty()) GTEST_SKIP() << "md5sum is not available";

  EXPECT_EQ(digest(paths), 1);
  EXPECT_EQ(storedDigest(), reference);
}

TEST_F(ContentDigestOnDisk, SkipsPathsHoldingTheConfigurationListNameCaseSensitively) {
  scratch_.file("FlashDrive/a.bin", "abc");
  scratch_.file("FlashDrive/$filelist-cfg.txt", "def");
  scratch_.file("FlashDrive/$FileList.txt", "ghi");
  // The skipped files need not even exist.
  EXPECT_EQ(digest({"FlashDrive\\a.bin", "FlashDrive\\$FileList-cfg.txt",
                    "FlashDrive\\A\\$FileList-cfg.txt", "FlashDrive\\old$FileList-cfg.txt.bak",
                    "FlashDrive\\$filelist-cfg.txt", "FlashDrive\\$FileList.txt"}),
            1);
  EXPECT_EQ(storedDigest(), "8aa99b1f439ff71293e95357bac6fd94");  // md5sum of "abcdefghi"
  EXPECT_EQ(console_,
            "[MD5](0)calculateMd5_AddOneFile(FlashDrive\\a.bin)\r\n"
            "[MD5](1)[MD5](2)[MD5](3)[MD5](4)calculateMd5_AddOneFile(FlashDrive\\$filelist-cfg."
            "txt)\r\n"
            "[MD5](5)calculateMd5_AddOneFile(FlashDrive\\$FileList.txt)\r\n");
}

TEST_F(ContentDigestOnDisk, EveryEntrySkippedGivesTheEmptyDigest) {
  EXPECT_EQ(digest({"FlashDrive\\$FileList-cfg.txt", "FlashDrive\\B\\$FileList-cfg.txt"}), 1);
  EXPECT_EQ(console_, "[MD5](0)[MD5](1)");
  EXPECT_EQ(storedDigest(), kEmptyDigest);
}

TEST_F(ContentDigestOnDisk, ReplacesAReadOnlyDigestFromAnEarlierRun) {
  scratch_.file("FlashDrive/$md5.bin", "an old digest of the wrong length");
  ASSERT_EQ(::chmod("FlashDrive/$md5.bin", 0444), 0);
  scratch_.file("FlashDrive/a.txt", "abc");

  EXPECT_EQ(digest({"FlashDrive\\a.txt"}), 1);
  EXPECT_EQ(storedDigest(), "900150983cd24fb0d6963f7d28e17f72");
}

TEST_F(ContentDigestOnDisk, VanishedFileStopsTheDigestAndLeavesNoDigestFile) {
  scratch_.file("FlashDrive/$md5.bin", "old");
  scratch_.file("FlashDrive/a.txt", "abc");
  scratch_.file("FlashDrive/c.txt", "ghi");

  EXPECT_EQ(digest({"FlashDrive\\a.txt", "FlashDrive\\gone.txt", "FlashDrive\\c.txt"}), 0);
  EXPECT_EQ(console_,
            "[MD5](0)calculateMd5_AddOneFile(FlashDrive\\a.txt)\r\n"
            "[MD5](1)calculateMd5_AddOneFile(FlashDrive\\gone.txt)\r\n"
            "The file 'FlashDrive\\gone.txt' was not opened\r\n");
  EXPECT_FALSE(scratch_.exists("FlashDrive/$md5.bin"));
}

TEST_F(ContentDigestOnDisk, DigestFileThatCannotBeCreatedFailsTheDigest) {
  scratch_.folder("FlashDrive/$md5.bin");  // a folder in its place
  EXPECT_EQ(digest({}), 0);
  EXPECT_EQ(console_, "The file 'FlashDrive\\$md5.bin' was not opened\r\n");
}

// Failures the real file system cannot be made to produce on demand.
class ContentDigestFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_.addFolder("FlashDrive");
    fake_.addFile("FlashDrive/a.bin", std::string(3000, 'a'));
    fake_.addFile("FlashDrive/b.bin", "b");
    setPlatform(&fake_);
  }
  void TearDown() override { setPlatform(nullptr); }

  testing::FakePlatform fake_;
};

TEST_F(ContentDigestFaults, ReadErrorInsideAListedFileFailsTheDigest) {
  fake_.faults.readFailsAfter["a.bin"] = 2048;
  LoadedList list({"FlashDrive\\a.bin", "FlashDrive\\b.bin"});

  EXPECT_EQ(calculateMd5(), 0);
  EXPECT_EQ(fake_.console,
            "[MD5](0)calculateMd5_AddOneFile(FlashDrive\\a.bin)\r\n"
            "Reading 'FlashDrive\\a.bin' failed\r\n");
  EXPECT_FALSE(fake_.exists("FlashDrive/$md5.bin"));
}

TEST_F(ContentDigestFaults, StaleDigestThatStaysIsNeverWrittenThrough) {
  // Created new or not at all: what could not be deleted keeps its bytes.
  fake_.addFile("FlashDrive/$md5.bin", "stale");
  fake_.faults.deleteFails.insert("FlashDrive/$md5.bin");
  LoadedList list({"FlashDrive\\b.bin"});

  EXPECT_EQ(calculateMd5(), 0);
  EXPECT_NE(fake_.console.find("The file 'FlashDrive\\$md5.bin' was not opened"),
            std::string::npos);
  EXPECT_EQ(fake_.fileBytes("FlashDrive/$md5.bin"), "stale");
}

TEST_F(ContentDigestFaults, ShortWriteOfTheDigestFailsAndRemovesThePartialFile) {
  fake_.faults.writeFailsAfter["$md5.bin"] = 10;
  LoadedList list({"FlashDrive\\b.bin"});

  EXPECT_EQ(calculateMd5(), 0);
  EXPECT_EQ(fake_.console,
            "[MD5](0)calculateMd5_AddOneFile(FlashDrive\\b.bin)\r\n"
            "Write 'FlashDrive\\$md5.bin' failed\r\n");
  EXPECT_FALSE(fake_.exists("FlashDrive/$md5.bin"));
}

TEST_F(ContentDigestFaults, FailedCloseOfTheDigestFailsAndRemovesTheFile) {
  fake_.faults.closeFails.insert("FlashDrive/$md5.bin");
  LoadedList list({"FlashDrive\\b.bin"});

  EXPECT_EQ(calculateMd5(), 0);
  EXPECT_EQ(fake_.console,
            "[MD5](0)calculateMd5_AddOneFile(FlashDrive\\b.bin)\r\n"
            "Write 'FlashDrive\\$md5.bin' failed\r\n");
  EXPECT_FALSE(fake_.exists("FlashDrive/$md5.bin"));
}

TEST_F(ContentDigestFaults, CountWithoutSlotsReadsNothing) {
  fileListCount = 3;  // a count no load has filled slots for
  pathSlots = nullptr;
  EXPECT_EQ(calculateMd5(), 0);
  fileListCount = 0;
  EXPECT_EQ(fake_.console, "The file list is not loaded\r\n");
  EXPECT_EQ(fake_.calls.openFile, 0);
}

}  // namespace
}  // namespace quillet
