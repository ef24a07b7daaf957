#include "content_digest.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fake_platform.h"
#include "file_list.h"
#include "platform.h"
#include "release_files.h"

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
  ContentDigest recorded_;  // what the last digest recorded
  void SetUp() override { scratch_.folder("FlashDrive"); }

  // The digest over `paths` (backslash-separated, as the list holds them);
  // its console output goes to `console_`.
  int digest(const std::vector<std::string>& paths) {
    LoadedList list(paths);
    ::testing::internal::CaptureStdout();
    const int result = calculateMd5(&recorded_);
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

TEST_F(ContentDigestOnDisk, RecordsEachListedFilesSizeAndCrcInListOrder) {
  scratch_.file("FlashDrive/check.txt", "123456789");
  scratch_.file("FlashDrive/empty.txt", "");
  scratch_.file("FlashDrive/$FileList-cfg.txt", "skipped");

  ASSERT_EQ(
      digest({"FlashDrive\\check.txt", "FlashDrive\\$FileList-cfg.txt", "FlashDrive\\empty.txt"}),
      1);
  const std::vector<DigestedFile>& files = recorded_.files;
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[0].path, u"FlashDrive\\check.txt");
  EXPECT_TRUE(files[0].digested);
  EXPECT_EQ(files[0].size, 9u);
  EXPECT_EQ(files[0].crc32, 0xCBF43926u);  // the CRC-32 check value of "123456789"
  EXPECT_EQ(files[1].path, u"FlashDrive\\$FileList-cfg.txt");
  EXPECT_FALSE(files[1].digested);
  EXPECT_EQ(files[1].size, 0u);
  EXPECT_EQ(files[2].path, u"FlashDrive\\empty.txt");
  EXPECT_TRUE(files[2].digested);
  EXPECT_EQ(files[2].crc32, 0u);
  EXPECT_EQ(hex(std::string(reinterpret_cast<const char*>(recorded_.bytes), kMd5DigestBytes)),
            storedDigest());

  // A failed digest records nothing to check an archive against.
  recorded_ = ContentDigest();
  EXPECT_EQ(digest({"FlashDrive\\check.txt", "FlashDrive\\missing.txt"}), 0);
  EXPECT_TRUE(recorded_.files.empty());
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
  ContentDigest recorded_;  // what the last digest recorded
  void SetUp() override {
    fake_.addFolder("FlashDrive");
    fake_.addFile("FlashDrive/a.bin", std::string(3000, 'a'));
    fake_.addFile("FlashDrive/b.bin", "b");
  }

  testing::FakePlatform fake_;
  ScopedPlatform useFake_{fake_};
};

TEST_F(ContentDigestFaults, ReadErrorInsideAListedFileFailsTheDigest) {
  fake_.faults.readFailsAfter["a.bin"] = 2048;
  LoadedList list({"FlashDrive\\a.bin", "FlashDrive\\b.bin"});

  EXPECT_EQ(calculateMd5(&recorded_), 0);
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

  EXPECT_EQ(calculateMd5(&recorded_), 0);
  EXPECT_NE(fake_.console.find("The file 'FlashDrive\\$md5.bin' was not opened"),
            std::string::npos);
  EXPECT_EQ(fake_.fileBytes("FlashDrive/$md5.bin"), "stale");
}

TEST_F(ContentDigestFaults, ShortWriteOfTheDigestFailsAndRemovesThePartialFile) {
  fake_.faults.writeFailsAfter["$md5.bin"] = 10;
  LoadedList list({"FlashDrive\\b.bin"});

  EXPECT_EQ(calculateMd5(&recorded_), 0);
  EXPECT_EQ(fake_.console,
            "[MD5](0)calculateMd5_AddOneFile(FlashDrive\\b.bin)\r\n"
            "Write 'FlashDrive\\$md5.bin' failed\r\n");
  EXPECT_FALSE(fake_.exists("FlashDrive/$md5.bin"));
}

TEST_F(ContentDigestFaults, FailedCloseOfTheDigestFailsAndRemovesTheFile) {
  fake_.faults.closeFails.insert("FlashDrive/$md5.bin");
  LoadedList list({"FlashDrive\\b.bin"});

  EXPECT_EQ(calculateMd5(&recorded_), 0);
  EXPECT_EQ(fake_.console,
            "[MD5](0)calculateMd5_AddOneFile(FlashDrive\\b.bin)\r\n"
            "Write 'FlashDrive\\$md5.bin' failed\r\n");
  EXPECT_FALSE(fake_.exists("FlashDrive/$md5.bin"));
}

TEST_F(ContentDigestFaults, CountWithoutSlotsReadsNothing) {
  fileListCount = 3;  // a count no load has filled slots for
  pathSlots = nullptr;
  EXPECT_EQ(calculateMd5(&recorded_), 0);
  fileListCount = 0;
  EXPECT_EQ(fake_.console, "The file list is not loaded\r\n");
  EXPECT_EQ(fake_.calls.openFile, 0);
}

// --- Reading ahead: the same digest, lines, failures and records whatever
// the readers and their memory, including none (each file read at its turn).

struct ReadAheadCase {
  const char* name;
  DigestReadAhead settings;
};

class DigestUnderReadAhead : public ::testing::TestWithParam<ReadAheadCase> {
 protected:
  ContentDigest recorded_;  // what the last digest recorded
  void SetUp() override {
    fake_.addFolder("FlashDrive");
    setDigestReadAhead(GetParam().settings);
  }
  void TearDown() override { setDigestReadAhead(previous_); }

  // A listed file with `bytes`; its list line is returned.
  std::string add(const std::string& name, const std::string& bytes) {
    fake_.addFile("FlashDrive/" + name, bytes);
    sizes_.push_back(bytes.size());
    all_ += bytes;
    return "FlashDrive\\" + name;
  }

  static std::string randomBytes(std::size_t length, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(length, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
  }
  static std::string md5Of(const std::string& bytes) {
    Md5Context context;
    md5Start(&context);
    md5AddBytes(&context, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    std::uint8_t digest[kMd5DigestBytes];
    md5Finish(digest, &context);
    return hex(std::string(reinterpret_cast<const char*>(digest), sizeof digest));
  }
  static std::uint32_t crcOf(const std::string& bytes) {
    return static_cast<std::uint32_t>(
        ::crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
  }
  static std::string line(std::size_t index, const std::string& path) {
    return "[MD5](" + std::to_string(index) + ")calculateMd5_AddOneFile(" + path + ")\r\n";
  }
  std::string stored() const {
    const std::optional<std::string> bytes = fake_.fileBytes("FlashDrive/$md5.bin");
    return bytes ? hex(*bytes) : std::string("(none)");
  }

  DigestReadAhead previous_ = digestReadAhead();
  testing::FakePlatform fake_;
  ScopedPlatform useFake_{fake_};
  std::vector<std::size_t> sizes_;
  std::string all_;
};

TEST_P(DigestUnderReadAhead, LargeFileThenManySmallOnesGiveTheDigestAndRecordsInListOrder) {
  // More entries than the readers claim ahead at once, so their places are
  // reused; a large file that streams through the buffers; empty files; a
  // skipped configuration file that does not exist.
  std::vector<std::string> paths;
  std::vector<std::string> contents;
  std::string expectedConsole;
  auto list = [&](const std::string& path, const std::string& bytes) {
    expectedConsole += line(paths.size(), path);
    paths.push_back(path);
    contents.push_back(bytes);
  };
  list(add("large.bin", randomBytes(300000, 1)), all_);
  for (unsigned i = 0; i < 2500; ++i) {
    if (i == 1200) {
      expectedConsole += "[MD5](" + std::to_string(paths.size()) + ")";
      paths.push_back("FlashDrive\\Cfg\\$FileList-cfg.txt");
      contents.push_back("");
      continue;
    }
    const std::string bytes = randomBytes((i * 37) % 3000, i + 2);
    list(add("s" + std::to_string(i) + ".bin", bytes), bytes);
  }
  contents[0] = fake_.fileBytes("FlashDrive/large.bin").value();
  LoadedList loaded(paths);

  ASSERT_EQ(calculateMd5(&recorded_), 1);
  EXPECT_EQ(stored(), md5Of(all_));
  EXPECT_EQ(fake_.console, expectedConsole);
  EXPECT_EQ(hex(std::string(reinterpret_cast<const char*>(recorded_.bytes), 16)), stored());
  const std::vector<DigestedFile>& files = recorded_.files;
  ASSERT_EQ(files.size(), paths.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(paths[i]);
    EXPECT_EQ(files[i].path, testing::u16(paths[i]));
    const bool skipped = paths[i].find("$FileList-cfg.txt") != std::string::npos;
    EXPECT_EQ(files[i].digested, !skipped);
    EXPECT_EQ(files[i].size, contents[i].size());
    EXPECT_EQ(files[i].crc32, skipped ? 0u : crcOf(contents[i]));
  }
}

// A file that cannot be opened (gone before its turn) or whose read fails
// in its middle, first, in the middle or last: reported at its own turn,
// nothing after it hashed, no digest file, no records.
TEST_P(DigestUnderReadAhead, FailingFileIsReportedAtItsTurnAndEndsTheDigest) {
  std::vector<std::string> paths;
  for (int i = 0; i < 6; ++i) paths.push_back(add("f" + std::to_string(i), randomBytes(5000, i)));
  for (const bool missing : {true, false}) {
    for (const std::size_t failing : {std::size_t{0}, std::size_t{3}, std::size_t{5}}) {
      SCOPED_TRACE((missing ? "missing f" : "read error in f") + std::to_string(failing));
      testing::FakePlatform fake;
      ScopedPlatform useFake(fake);
      fake.addFile("FlashDrive/$md5.bin", "old");
      for (std::size_t i = 0; i < paths.size(); ++i) {
        if (!(missing && i == failing)) {
          fake.addFile("FlashDrive/f" + std::to_string(i), randomBytes(5000, i));
        }
      }
      fake.console.clear();
      fake.faults.readFailsAfter["f" + std::to_string(failing)] = 2500;
      LoadedList loaded(paths);

      EXPECT_EQ(calculateMd5(&recorded_), 0);
      std::string expected;
      for (std::size_t i = 0; i <= failing; ++i) expected += line(i, paths[i]);
      expected += missing ? "The file '" + paths[failing] + "' was not opened\r\n"
                          : "Reading '" + paths[failing] + "' failed\r\n";
      EXPECT_EQ(fake.console, expected);
      EXPECT_FALSE(fake.exists("FlashDrive/$md5.bin"));
      EXPECT_TRUE(recorded_.files.empty());
      recorded_ = ContentDigest();
    }
  }
}

// The readers never hold more of the contents than their limit, and they do
// fill it: measured at each file's turn as the bytes read so far less the
// bytes of the files already hashed.
TEST_P(DigestUnderReadAhead, ContentsReadAheadStayWithinTheLimit) {
  const DigestReadAhead& settings = GetParam().settings;
  std::vector<std::string> paths{add("large.bin", randomBytes(200000, 9))};
  for (int i = 0; i < 200; ++i) paths.push_back(add(std::to_string(i), randomBytes(3000, i)));
  std::size_t hashedBefore = 0;  // bytes of the files before the current turn
  std::size_t turn = 0;
  std::size_t most = 0;  // the most read ahead at any turn
  const std::size_t filled = std::min(settings.bufferBytes / 2, all_.size());
  fake_.onPrint = [&](const std::string& text) {
    if (text.rfind("[MD5](", 0) != 0) return;
    if (turn > 0) hashedBefore += sizes_[turn - 1];
    if (turn++ == 0 && settings.readers > 0) {
      // Give the readers time to fill their memory; it must not overflow.
      const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (fake_.bytesRead < filled && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    most = std::max(most, fake_.bytesRead - hashedBefore);
  };
  LoadedList loaded(paths);

  ASSERT_EQ(calculateMd5(&recorded_), 1);
  EXPECT_EQ(stored(), md5Of(all_));
  if (settings.readers == 0) {
    EXPECT_EQ(most, 0u) << "nothing is read before its turn";
  } else {
    EXPECT_LE(most, std::max<std::size_t>(settings.bufferBytes, 2048));
    EXPECT_GE(most, filled);
  }
}

INSTANTIATE_TEST_SUITE_P(Readers, DigestUnderReadAhead,
                         ::testing::Values(ReadAheadCase{"EachFileAtItsTurn", {0, 32u << 20}},
                                           ReadAheadCase{"OneReader", {1, 32u << 20}},
                                           ReadAheadCase{"Default", DigestReadAhead()},
                                           ReadAheadCase{"ThreeReadersIn16KiB", {3, 16 * 1024}},
                                           ReadAheadCase{"TwoReadersInTwoPieces", {2, 1}}),
                         [](const ::testing::TestParamInfo<ReadAheadCase>& info) {
                           return info.param.name;
                         });

}  // namespace
}  // namespace quillet
