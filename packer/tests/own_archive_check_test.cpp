// The packer's check of its own archive, on archives written by the zip
// reader's test writer against digest records the tests make.
#include "own_archive_check.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "zip_writer.h"

namespace quillet {
namespace {

using ::testing::HasSubstr;
using zip::testing::WriterEntry;

const std::string kDigest = "0123456789abcdef";  // 16 bytes standing for a digest

// What the run digested: `files`, and kDigest.
ContentDigest digested(std::vector<DigestedFile> files) {
  ContentDigest digest;
  digest.files = std::move(files);
  std::copy(kDigest.begin(), kDigest.end(), digest.bytes);
  return digest;
}

DigestedFile record(const std::u16string& path, const std::string& contents, bool digested = true) {
  DigestedFile file;
  file.path = path;
  file.digested = digested;
  if (digested) {
    file.size = contents.size();
    file.crc32 = static_cast<std::uint32_t>(::crc32(
        0, reinterpret_cast<const Bytef*>(contents.data()), static_cast<uInt>(contents.size())));
  }
  return file;
}

// One way an archive can differ from what the run digested.
struct Difference {
  const char* name;
  std::function<void(std::vector<WriterEntry>&, std::vector<DigestedFile>&)> change;
  std::function<void(std::string& zip, const zip::testing::WrittenZip& written)> damage;
  const char* problem;  // "" when the archive passes
};

class OwnArchiveCheck : public ::testing::TestWithParam<Difference> {};

TEST_P(OwnArchiveCheck, ComparesEveryEntryWithTheDigestsRecords) {
  const Difference& difference = GetParam();
  std::vector<WriterEntry> entries = {
      WriterEntry("$FileList.txt", "list"),
      WriterEntry("$md5.bin", kDigest, 0),
      WriterEntry("BSP/", "", 0),
      WriterEntry("BSP/NK.bin", std::string(300, 'k')),
      WriterEntry("$FileList-cfg.txt", "cfg"),
  };
  std::vector<DigestedFile> files = {
      record(u"FlashDrive\\$FileList.txt", "list"),
      record(u"FlashDrive\\BSP\\NK.bin", std::string(300, 'k')),
      record(u"FlashDrive\\$FileList-cfg.txt", "", false),
  };
  if (difference.change) difference.change(entries, files);
  const zip::testing::WrittenZip written = zip::testing::writeZip(entries);
  std::string bytes = written.bytes;
  if (difference.damage) difference.damage(bytes, written);
  MemorySource archive(bytes);
  const OwnArchiveResult result = checkArchiveAgainst(archive, digested(files));
  if (std::string(difference.problem).empty()) {
    EXPECT_TRUE(result.passed) << ::testing::PrintToString(result.problems);
    EXPECT_EQ(result.files, files.size());
  } else {
    EXPECT_FALSE(result.passed);
    ASSERT_FALSE(result.problems.empty());
    EXPECT_THAT(result.problems.front(), HasSubstr(difference.problem));
  }
}

INSTANTIATE_TEST_SUITE_P(
    PackedArchive, OwnArchiveCheck,
    ::testing::Values(
        Difference{"AsPacked", nullptr, nullptr, ""},
        Difference{"ConfigurationFileDiffers",
                   [](auto& entries, auto&) { entries[4].data = "another configuration"; }, nullptr,
                   ""},
        Difference{"ListedFileDiffers", [](auto& entries, auto&) { entries[3].data[7] = 'x'; },
                   nullptr, "entry 'BSP/NK.bin' holds 300 bytes with CRC-32"},
        Difference{"ListedFileLonger", [](auto& entries, auto&) { entries[3].data += "k"; },
                   nullptr, "holds 301 bytes"},
        Difference{"ListedFileMissing",
                   [](auto& entries, auto&) { entries.erase(entries.begin() + 3); }, nullptr,
                   "the listed file 'FlashDrive\\BSP\\NK.bin' is not in the archive"},
        Difference{"EntryNotListed",
                   [](auto& entries, auto&) { entries.emplace_back("BSP/extra.bin", "x"); },
                   nullptr, "entry 'BSP/extra.bin' is not listed"},
        Difference{"DigestEntryDiffers", [](auto& entries, auto&) { entries[1].data[0] = 'X'; },
                   nullptr, "entry '$md5.bin' does not hold the digest 30313233"},
        Difference{"DigestEntryMissing",
                   [](auto& entries, auto&) { entries.erase(entries.begin() + 1); }, nullptr,
                   "entry '$md5.bin' is not in the archive"},
        Difference{"DataByteFlippedAfterTheDirectoryWasWritten", nullptr,
                   [](std::string& zip, const zip::testing::WrittenZip& written) {
                     zip[written.local[3] + 30 + 10 + 5] ^= 0x01;  // past the local header
                   },
                   "entry #4 \"BSP/NK.bin\": "},
        Difference{"LocalHeaderDamaged", nullptr,
                   [](std::string& zip, const zip::testing::WrittenZip& written) {
                     zip[written.local[3] + 30] ^= 0x20;  // a letter of the local name
                   },
                   "BSP/NK.bin"},
        Difference{"CentralDirectoryCut", nullptr,
                   [](std::string& zip, const zip::testing::WrittenZip& written) {
                     zip.erase(written.directoryOffset + 10, 20);
                   },
                   "central"}),
    [](const ::testing::TestParamInfo<Difference>& info) { return std::string(info.param.name); });

TEST(OwnArchiveCheckOfUnlistedEntries, NamesEachOnceInNameOrder) {
  const std::vector<WriterEntry> entries = {
      WriterEntry("$md5.bin", kDigest, 0), WriterEntry("b.bin", "b"), WriterEntry("z.bin", "z"),
      WriterEntry("a.bin", "a"),           WriterEntry("z.bin", "z"),
  };
  MemorySource archive(zip::testing::writeZip(entries).bytes);
  const OwnArchiveResult result =
      checkArchiveAgainst(archive, digested({record(u"FlashDrive\\b.bin", "b")}));
  EXPECT_FALSE(result.passed);
  EXPECT_THAT(result.problems,
              ::testing::ElementsAre("entry 'z.bin' appears more than once",
                                     "entry 'a.bin' is not listed", "entry 'z.bin' is not listed"));
}

TEST(OwnArchiveCheckWithoutArchive, SaysThereIsNone) {
  testing::FakePlatform fake('\\', "C:");
  fake.changeWorkingFolder("C:\\");
  ScopedPlatform useFake(fake);
  EXPECT_FALSE(checkOwnArchive(digested({})));
  EXPECT_THAT(fake.console, HasSubstr("Checking ZarvoEUupdate.zip: there is no archive ("));
}

}  // namespace
}  // namespace quillet
