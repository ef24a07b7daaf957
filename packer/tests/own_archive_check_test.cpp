// The packer's check of its own archive, on archives written by the zip
// reader's test writer against digest records the tests make.
#include "own_archive_check.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
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

// The check's result on the packed archive of the table below, changed as
// `difference` says; `files` gets how many files the run listed.
OwnArchiveResult checkChanged(const Difference& difference, std::size_t* files) {
  std::vector<WriterEntry> entries = {
      WriterEntry("$FileList.txt", "list"),
      WriterEntry("$md5.bin", kDigest, 0),
      WriterEntry("BSP/", "", 0),
      WriterEntry("BSP/NK.bin", std::string(300, 'k')),
      WriterEntry("$FileList-cfg.txt", "cfg"),
  };
  std::vector<DigestedFile> listed = {
      record(u"FlashDrive\\$FileList.txt", "list"),
      record(u"FlashDrive\\BSP\\NK.bin", std::string(300, 'k')),
      record(u"FlashDrive\\$FileList-cfg.txt", "", false),
  };
  if (difference.change) difference.change(entries, listed);
  const zip::testing::WrittenZip written = zip::testing::writeZip(entries);
  std::string bytes = written.bytes;
  if (difference.damage) difference.damage(bytes, written);
  MemorySource archive(bytes);
  *files = listed.size();
  ContentDigest digest = digested(listed);
  digest.folders = {u"FlashDrive\\BSP"};
  return checkArchiveAgainst(archive, digest);
}

class OwnArchiveCheck : public ::testing::TestWithParam<Difference> {};

TEST_P(OwnArchiveCheck, ComparesEveryEntryWithTheDigestsRecords) {
  const Difference& difference = GetParam();
  std::size_t files = 0;
  const OwnArchiveResult result = checkChanged(difference, &files);
  if (std::string(difference.problem).empty()) {
    EXPECT_TRUE(result.passed) << ::testing::PrintToString(result.problems);
    EXPECT_EQ(result.files, files);
  } else {
    EXPECT_FALSE(result.passed);
    ASSERT_FALSE(result.problems.empty());
    EXPECT_THAT(result.problems.front(), HasSubstr(difference.problem));
  }
}

const Difference kDifferences[] = {
    Difference{"AsPacked", nullptr, nullptr, ""},
    Difference{"ConfigurationFileDiffers",
               [](auto& entries, auto&) { entries[4].data = "another configuration"; }, nullptr,
               ""},
    Difference{"ListedFileDiffers", [](auto& entries, auto&) { entries[3].data[7] = 'x'; }, nullptr,
               "entry 'BSP/NK.bin' holds 300 bytes with CRC-32"},
    Difference{"ListedFileLonger", [](auto& entries, auto&) { entries[3].data += "k"; }, nullptr,
               "holds 301 bytes"},
    Difference{"ListedFilePastTheDevicesLimit",
               [](auto&, auto& listed) { listed[1].size = 0x100000000u; }, nullptr,
               "'FlashDrive\\BSP\\NK.bin' grew after the walk to 4294967296 bytes; the device's"},
    Difference{"ListedFileAtTheDevicesLimit",
               [](auto&, auto& listed) { listed[1].size = 0xFFFFFFFFu; }, nullptr,
               "entry 'BSP/NK.bin' holds 300 bytes with CRC-32"},
    Difference{"ListedFileMissing",
               [](auto& entries, auto&) { entries.erase(entries.begin() + 3); }, nullptr,
               "the listed file 'FlashDrive\\BSP\\NK.bin' is not in the archive"},
    Difference{"EntryNotListed",
               [](auto& entries, auto&) { entries.emplace_back("BSP/extra.bin", "x"); }, nullptr,
               "entry 'BSP/extra.bin' is not listed"},
    Difference{"FolderEntryTwice",
               [](auto& entries, auto&) { entries.emplace_back("BSP/", "", 0); }, nullptr,
               "entry 'BSP/' appears more than once"},
    Difference{"FolderNotWalked",
               [](auto& entries, auto&) { entries.emplace_back("BSP/CON/", "", 0); }, nullptr,
               "entry 'BSP/CON/' is a folder that was not there when the staging folder was "
               "walked"},
    Difference{"FolderOfAListedFilesName",
               [](auto& entries, auto&) { entries.emplace_back("BSP/NK.bin/", "", 0); }, nullptr,
               "entry 'BSP/NK.bin/' appears more than once"},
    Difference{"ListedFileALink", [](auto& entries, auto&) { entries[3].unixMode = 0120777; },
               nullptr, "entry 'BSP/NK.bin' is a symbolic link"},
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
               "central"},
    Difference{"SeveralEntriesDamaged", [](auto& entries, auto&) { entries[1].data[0] = 'X'; },
               [](std::string& zip, const zip::testing::WrittenZip& written) {
                 zip[written.local[0] + 30 + 13 + 1] ^= 0x01;
                 zip[written.local[3] + 30 + 10 + 5] ^= 0x01;
                 zip[written.local[4] + 30 + 17 + 1] ^= 0x01;
               },
               "entry #1 \"$FileList.txt\": "},
};

INSTANTIATE_TEST_SUITE_P(PackedArchive, OwnArchiveCheck, ::testing::ValuesIn(kDifferences),
                         [](const ::testing::TestParamInfo<Difference>& info) {
                           return std::string(info.param.name);
                         });

// Each damaged entry is said in the directory's order, the digest entry's
// contents at its place among them.
TEST(OwnArchiveCheckOfDamagedEntries, SaysEachInTheDirectorysOrder) {
  std::size_t files = 0;
  const OwnArchiveResult result = checkChanged(kDifferences[std::size(kDifferences) - 1], &files);
  EXPECT_THAT(result.problems,
              ::testing::ElementsAre(HasSubstr("entry #1 "), HasSubstr("does not hold the digest"),
                                     HasSubstr("entry #4 "), HasSubstr("entry #5 ")));
}

// Sets how the check reads the entries for a test's lifetime.
class ScopedReading {
 public:
  explicit ScopedReading(OwnCheckReading reading) : before_(ownCheckReading()) {
    setOwnCheckReading(reading);
  }
  ~ScopedReading() { setOwnCheckReading(before_); }

 private:
  OwnCheckReading before_;
};

// A helper thread reads every other entry: what it finds is said as one
// thread says it, in the directory's order, the digest entry's too.
TEST(OwnArchiveCheckOnTwoThreads, ComparesEveryEntryWithTheDigestsRecordsAsOneThreadDoes) {
  for (const Difference& difference : kDifferences) {
    SCOPED_TRACE(difference.name);
    std::size_t files = 0;
    OwnArchiveResult one;
    {
      ScopedReading reading({1, 0});
      one = checkChanged(difference, &files);
    }
    ScopedReading reading({2, 0});
    const OwnArchiveResult two = checkChanged(difference, &files);
    EXPECT_EQ(two.problems, one.problems);
    EXPECT_EQ(two.passed, one.passed);
    EXPECT_EQ(two.files, one.files);
  }
}

// Memory that notes which threads read it.
class ThreadNotingSource final : public ByteSource {
 public:
  explicit ThreadNotingSource(std::string bytes) : memory_(std::move(bytes)) {}
  std::uint64_t size() const override { return memory_.size(); }
  bool readAt(std::uint64_t offset, void* buffer, std::size_t size) override {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      threads_.insert(std::this_thread::get_id());
    }
    return memory_.readAt(offset, buffer, size);
  }
  std::size_t threads() const { return threads_.size(); }

 private:
  MemorySource memory_;
  std::mutex mutex_;
  std::set<std::thread::id> threads_;
};

// The entries are shared once their bytes reach splitBytes, not before.
TEST(OwnArchiveCheckOnTwoThreads, SharesTheEntriesFromSplitBytesOn) {
  const std::string data(1000, 'd');
  const std::vector<WriterEntry> entries = {WriterEntry("$md5.bin", kDigest, 0),
                                            WriterEntry("a.bin", data)};
  const std::string bytes = zip::testing::writeZip(entries).bytes;
  const std::uint64_t held = kDigest.size() + data.size();
  for (const auto& [splitBytes, threads] :
       {std::pair<std::uint64_t, std::size_t>{held, 2}, {held + 1, 1}}) {
    ScopedReading reading({2, splitBytes});
    ThreadNotingSource archive(bytes);
    EXPECT_TRUE(
        checkArchiveAgainst(archive, digested({record(u"FlashDrive\\a.bin", data)})).passed);
    EXPECT_EQ(archive.threads(), threads) << "split at " << splitBytes;
  }
}

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

TEST(OwnArchiveCheckOfTheArchivesFile, RefusesALinkToAnArchiveThatPasses) {
  for (const bool link : {false, true}) {
    testing::FakePlatform fake('\\', "C:");
    fake.addFile("C:\\ZarvoEUupdate.zip",
                 zip::testing::writeZip({WriterEntry("$md5.bin", kDigest, 0)}).bytes);
    if (link) fake.setKind("C:\\ZarvoEUupdate.zip", EntryKind::kLink);
    fake.changeWorkingFolder("C:\\");
    ScopedPlatform useFake(fake);
    EXPECT_EQ(checkOwnArchive(digested({})), !link) << fake.console;
    EXPECT_EQ(fake.console.find("Checking ZarvoEUupdate.zip: it is a link, not the archive itself"),
              link ? 0 : std::string::npos)
        << fake.console;
  }
}

}  // namespace
}  // namespace quillet
