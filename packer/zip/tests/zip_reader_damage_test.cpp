// Hostile and damaged archives: each tampered archive must end in its
// failure with a message that says what is wrong and names the entry, at the
// step where the fault shows (opening, the local header, the data).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "zip_reader.h"
#include "zip_test_support.h"
#include "zip_writer.h"

namespace quillet::zip {
namespace {

using ::testing::HasSubstr;
using testing::patterned;
using testing::put16;
using testing::put32;
using testing::readWhole;
using testing::WriterEntry;
using testing::writeZip;
using testing::WrittenZip;

// Field offsets inside the headers.
constexpr std::uint64_t kLocalFlags = 6, kLocalMethod = 8, kLocalCrc = 14, kLocalCompressed = 18,
                        kLocalSize = 22, kLocalName = 30;
constexpr std::uint64_t kCentralFlags = 8, kCentralMethod = 10, kCentralCrc = 16,
                        kCentralCompressed = 20, kCentralSize = 24, kCentralExtraLength = 30,
                        kCentralDisk = 34, kCentralOffset = 42, kCentralName = 46;
constexpr std::uint64_t kEndDisk = 4, kEndDiskEntries = 8, kEndEntries = 10, kEndDirectorySize = 12,
                        kEndDirectoryOffset = 16;

// The archive every case starts from: a stored, a large deflated and a small
// deflated entry (with an extra field of its own).
const std::string kBigData = patterned(100000);
std::vector<WriterEntry> baseEntries() {
  WriterEntry third{"c.txt", std::string(120, 'c'), 8};
  third.extra = std::string(
      "\xfe\xca\x04\x00"
      "abcd",
      8);
  return {{"a.txt", "hello, world\n", 0}, {"sub/b.bin", kBigData, 8}, third};
}

enum class Step { kOpen, kLocalHeader, kRead };

struct DamageCase {
  const char* title;
  bool zip64;  // the base archive with Zip64 records and fields
  std::function<void(WrittenZip&)> tamper;
  Step step;
  std::size_t entry;  // the entry checked or read at that step
  Failure failure;
  std::vector<std::string> message;  // pieces the message holds
};

// Sets a 32-bit field in an entry's central header and local header alike.
void putBoth(WrittenZip& zip, std::size_t entry, std::uint64_t central, std::uint64_t local,
             std::uint32_t value) {
  put32(zip.bytes, zip.central[entry] + central, value);
  put32(zip.bytes, zip.local[entry] + local, value);
}

std::uint32_t get32(const std::string& bytes, std::uint64_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<std::uint8_t>(bytes.at(at + i));
  return value;
}

class DamagedArchive : public ::testing::TestWithParam<DamageCase> {};

TEST_P(DamagedArchive, FailsWithAClearMessageAtTheStepWhereTheFaultShows) {
  const DamageCase& c = GetParam();
  WrittenZip zip = writeZip(baseEntries(), c.zip64);
  c.tamper(zip);
  MemorySource source(zip.bytes);
  Reader reader;
  const bool opened = reader.open(source);
  if (c.step == Step::kOpen) {
    ASSERT_FALSE(opened);
  } else {
    ASSERT_TRUE(opened) << reader.message();
    if (c.step == Step::kLocalHeader) {
      ASSERT_FALSE(reader.checkLocalHeader(c.entry));
    } else {
      // The entries before the damaged one still read whole.
      for (std::size_t i = 0; i < c.entry; ++i) {
        EXPECT_TRUE(readWhole(reader, i) == baseEntries()[i].data) << reader.message();
      }
      ASSERT_TRUE(reader.checkLocalHeader(c.entry)) << reader.message();
      std::uint64_t delivered = 0;
      ASSERT_FALSE(reader.readEntry(c.entry, [&](const std::uint8_t*, std::size_t size) {
        delivered += size;
        return true;
      }));
      // Never more than the declared size reaches the caller.
      EXPECT_LE(delivered, reader.entries()[c.entry].size);
    }
  }
  EXPECT_EQ(reader.failure(), c.failure) << reader.message();
  for (const std::string& piece : c.message) EXPECT_THAT(reader.message(), HasSubstr(piece));
}

const DamageCase kCases[] = {
    // Finding the directory.
    {"TruncatedEndRecord",
     false,
     [](WrittenZip& z) { z.bytes.pop_back(); },
     Step::kOpen,
     0,
     Failure::kNotAZip,
     {"no end-of-central-directory record"}},
    {"TruncatedInTheMiddle",
     false,
     [](WrittenZip& z) { z.bytes.resize(z.local[2] + 3); },
     Step::kOpen,
     0,
     Failure::kNotAZip,
     {"not a zip archive"}},
    {"DirectoryOffsetBeyondTheFile",
     false,
     [](WrittenZip& z) { put32(z.bytes, z.end + kEndDirectoryOffset, 0x7FFFFFF0); },
     Step::kOpen,
     0,
     Failure::kDamaged,
     {"central directory", "2147483632"}},
    {"DirectorySizeBeyondTheEndRecord",
     false,
     [](WrittenZip& z) { put32(z.bytes, z.end + kEndDirectorySize, 0xFFFFFFF0); },
     Step::kOpen,
     0,
     Failure::kDamaged,
     {"central directory"}},
    {"EntryCountFarBeyondTheFile",
     false,
     [](WrittenZip& z) {
       put16(z.bytes, z.end + kEndDiskEntries, 0xFFFF);
       put16(z.bytes, z.end + kEndEntries, 0xFFFF);
     },
     Step::kOpen,
     0,
     Failure::kDamaged,
     {"declares 65535 entries", "room for at most"}},
    {"FewerEntriesDeclaredThanTheDirectoryHolds",
     false,
     [](WrittenZip& z) {
       put16(z.bytes, z.end + kEndDiskEntries, 2);
       put16(z.bytes, z.end + kEndEntries, 2);
     },
     Step::kOpen,
     0,
     Failure::kDamaged,
     {"bytes after its 2 entries"}},
    {"SplitOverDisks",
     false,
     [](WrittenZip& z) { put16(z.bytes, z.end + kEndDisk, 1); },
     Step::kOpen,
     0,
     Failure::kUnsupported,
     {"not supported", "disks"}},
    // The central directory's entries.
    {"CentralSignatureBroken",
     false,
     [](WrittenZip& z) { put32(z.bytes, z.central[1], 0); },
     Step::kOpen,
     1,
     Failure::kDamaged,
     {"entry #2", "central header signature"}},
    {"ExtraFieldRunsPastItsBlock",
     false,
     [](WrittenZip& z) { put16(z.bytes, z.central[2] + kCentralName + 5 + 2, 200); },
     Step::kOpen,
     2,
     Failure::kDamaged,
     {"entry #3 \"c.txt\"", "extra fields"}},
    {"ExtraBlockRunsPastTheDirectory",
     false,
     [](WrittenZip& z) { put16(z.bytes, z.central[2] + kCentralExtraLength, 4000); },
     Step::kOpen,
     2,
     Failure::kDamaged,
     {"entry #3", "runs past the end of the central directory"}},
    {"NulByteInName",
     false,
     [](WrittenZip& z) {
       z.bytes[z.central[0] + kCentralName + 1] = '\0';
       z.bytes[z.local[0] + kLocalName + 1] = '\0';
     },
     Step::kOpen,
     0,
     Failure::kDamaged,
     {"entry #1 \"a\\x00txt\"", "NUL byte"}},
    {"MarkedUtf8ButNot",
     false,
     [](WrittenZip& z) {
       putBoth(z, 0, kCentralFlags, kLocalFlags, 0x0800);
       z.bytes[z.central[0] + kCentralName] = '\xff';
     },
     Step::kOpen,
     0,
     Failure::kDamaged,
     {"entry #1", "marked UTF-8"}},
    {"Encrypted",
     false,
     [](WrittenZip& z) { put16(z.bytes, z.central[1] + kCentralFlags, 0x0001); },
     Step::kOpen,
     1,
     Failure::kUnsupported,
     {"entry #2 \"sub/b.bin\"", "encrypted"}},
    {"MethodBzip2",
     false,
     [](WrittenZip& z) { put16(z.bytes, z.central[1] + kCentralMethod, 12); },
     Step::kOpen,
     1,
     Failure::kUnsupported,
     {"entry #2 \"sub/b.bin\"", "method 12"}},
    {"EntryOnAnotherDisk",
     false,
     [](WrittenZip& z) { put16(z.bytes, z.central[0] + kCentralDisk, 1); },
     Step::kOpen,
     0,
     Failure::kUnsupported,
     {"entry #1 \"a.txt\"", "disk 1"}},
    {"StoredSizesDiffer",
     false,
     [](WrittenZip& z) { put32(z.bytes, z.central[0] + kCentralCompressed, 14); },
     Step::kOpen,
     0,
     Failure::kDamaged,
     {"entry #1 \"a.txt\"", "stored"}},
    {"LocalOffsetOutsideTheFile",
     false,
     [](WrittenZip& z) { put32(z.bytes, z.central[1] + kCentralOffset, 0x7FFFFFFF); },
     Step::kOpen,
     1,
     Failure::kDamaged,
     {"entry #2 \"sub/b.bin\"", "local header offset"}},
    {"TwoEntriesShareALocalHeader",
     false,
     [](WrittenZip& z) { put32(z.bytes, z.central[2] + kCentralOffset, z.local[1]); },
     Step::kOpen,
     2,
     Failure::kDamaged,
     {"entry #3 \"c.txt\"", "shares its local header", "entry #2"}},
    // Local headers against the directory.
    {"LocalOffsetIntoAnotherEntrysData",
     false,
     [](WrittenZip& z) { put32(z.bytes, z.central[2] + kCentralOffset, z.local[1] + 200); },
     Step::kLocalHeader,
     2,
     Failure::kDamaged,
     {"entry #3 \"c.txt\"", "local header signature"}},
    {"DataOverlapsAHeaderPlacedInsideIt",
     false,
     [](WrittenZip& z) { put32(z.bytes, z.central[2] + kCentralOffset, z.local[1] + 200); },
     Step::kLocalHeader,
     1,
     Failure::kDamaged,
     {"entry #2 \"sub/b.bin\"", "runs into the next"}},
    {"StoredDataRunsIntoTheNextHeader",
     false,
     [](WrittenZip& z) {
       putBoth(z, 0, kCentralCompressed, kLocalCompressed, 100);
       putBoth(z, 0, kCentralSize, kLocalSize, 100);
     },
     Step::kLocalHeader,
     0,
     Failure::kDamaged,
     {"entry #1 \"a.txt\"", "next local header"}},
    {"LastDataRunsIntoTheDirectory",
     false,
     [](WrittenZip& z) { putBoth(z, 2, kCentralCompressed, kLocalCompressed, 5000); },
     Step::kLocalHeader,
     2,
     Failure::kDamaged,
     {"entry #3 \"c.txt\"", "central directory"}},
    {"LocalSignatureBroken",
     false,
     [](WrittenZip& z) { put32(z.bytes, z.local[1], 0x04034b51); },
     Step::kLocalHeader,
     1,
     Failure::kDamaged,
     {"entry #2", "local header signature"}},
    {"LocalNameDiffers",
     false,
     [](WrittenZip& z) { z.bytes[z.local[0] + kLocalName] = 'b'; },
     Step::kLocalHeader,
     0,
     Failure::kDamaged,
     {"entry #1 \"a.txt\"", "names it \"b.txt\""}},
    {"LocalMethodDiffers",
     false,
     [](WrittenZip& z) { put16(z.bytes, z.local[2] + kLocalMethod, 0); },
     Step::kLocalHeader,
     2,
     Failure::kDamaged,
     {"entry #3 \"c.txt\"", "method 0"}},
    {"LocalFlagsDiffer",
     false,
     [](WrittenZip& z) { put16(z.bytes, z.local[1] + kLocalFlags, 0x0800); },
     Step::kLocalHeader,
     1,
     Failure::kDamaged,
     {"entry #2", "flags 0x0800"}},
    {"LocalSizeDiffers",
     false,
     [](WrittenZip& z) { put32(z.bytes, z.local[1] + kLocalSize, 99999); },
     Step::kLocalHeader,
     1,
     Failure::kDamaged,
     {"entry #2", "sizes"}},
    {"LocalCrcDiffers",
     false,
     [](WrittenZip& z) { put32(z.bytes, z.local[1] + kLocalCrc, 1); },
     Step::kLocalHeader,
     1,
     Failure::kDamaged,
     {"entry #2", "CRC-32"}},
    // The data.
    {"StoredByteFlipped",
     false,
     [](WrittenZip& z) { z.bytes[z.local[0] + kLocalName + 5 + 3] ^= 1; },
     Step::kRead,
     0,
     Failure::kCrcMismatch,
     {"entry #1 \"a.txt\"", "CRC-32"}},
    {"DeflatedCrcLies",
     false,
     [](WrittenZip& z) { putBoth(z, 1, kCentralCrc, kLocalCrc, 0x12345678); },
     Step::kRead,
     1,
     Failure::kCrcMismatch,
     {"entry #2 \"sub/b.bin\"", "12345678"}},
    {"DeclaredSizeSmallerThanTheInflatedData",
     false,
     [](WrittenZip& z) { putBoth(z, 1, kCentralSize, kLocalSize, 1000); },
     Step::kRead,
     1,
     Failure::kSizeMismatch,
     {"entry #2 \"sub/b.bin\"", "more than its declared size of 1000"}},
    {"DeclaredSizeLargerThanTheInflatedData",
     false,
     [](WrittenZip& z) { putBoth(z, 1, kCentralSize, kLocalSize, 100001); },
     Step::kRead,
     1,
     Failure::kSizeMismatch,
     {"entry #2 \"sub/b.bin\"", "inflates to 100000 bytes"}},
    {"DeflateStreamCutShort",
     false,
     [](WrittenZip& z) {
       const std::uint32_t size = get32(z.bytes, z.central[1] + kCentralCompressed);
       putBoth(z, 1, kCentralCompressed, kLocalCompressed, size - 10);
     },
     Step::kRead,
     1,
     Failure::kSizeMismatch,
     {"entry #2 \"sub/b.bin\"", "ends before the stream"}},
    {"InvalidDeflateBlock",
     false,
     [](WrittenZip& z) { z.bytes[z.local[2] + kLocalName + 5 + 8] = '\x07'; },
     Step::kRead,
     2,
     Failure::kDamaged,
     {"entry #3 \"c.txt\"", "deflate data is invalid"}},
    // Zip64 records and fields.
    {"Zip64LocatorPointsOutside",
     true,
     [](WrittenZip& z) { put32(z.bytes, z.end - 20 + 8, 0x7FFFFFFF); },
     Step::kOpen,
     0,
     Failure::kDamaged,
     {"Zip64 end record"}},
    {"Zip64RecordDisagrees",
     true,
     [](WrittenZip& z) {
       put16(z.bytes, z.end + kEndDiskEntries, 2);
       put16(z.bytes, z.end + kEndEntries, 2);
     },
     Step::kOpen,
     0,
     Failure::kDamaged,
     {"disagree"}},
    {"Zip64SplitOverDisks",
     true,
     [](WrittenZip& z) { put32(z.bytes, z.end - 20 + 16, 2); },
     Step::kOpen,
     0,
     Failure::kUnsupported,
     {"split over 2 disks"}},
    {"Zip64FieldTooShort",
     true,
     [](WrittenZip& z) { put16(z.bytes, z.central[0] + kCentralDisk, 0xFFFF); },
     Step::kOpen,
     0,
     Failure::kDamaged,
     {"entry #1 \"a.txt\"", "Zip64 extra field is too short"}},
};

INSTANTIATE_TEST_SUITE_P(Tampered, DamagedArchive, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return info.param.title; });

// The entry count is refused only when the directory cannot hold it: at
// most one entry per 46 bytes.
TEST(EntryCountLimit, IsTheDirectorySizeOver46AtItAndOnePast) {
  WrittenZip zip = writeZip({{"a", "1", 0}, {"b", "2", 0}, {"c", "3", 0}});
  ASSERT_EQ(zip.end - zip.directoryOffset, 3u * 47);  // room for 3 entries of at least 46 bytes
  {
    MemorySource source(zip.bytes);
    Reader reader;
    ASSERT_TRUE(reader.open(source)) << reader.message();
  }
  put16(zip.bytes, zip.end + kEndDiskEntries, 4);
  put16(zip.bytes, zip.end + kEndEntries, 4);
  MemorySource source(zip.bytes);
  Reader reader;
  EXPECT_FALSE(reader.open(source));
  EXPECT_EQ(reader.failure(), Failure::kDamaged);
  EXPECT_THAT(reader.message(), HasSubstr("room for at most 3"));
}

// A stream must inflate to its declared size exactly: at it it reads, one
// byte less is refused before the extra byte reaches the caller.
TEST(DeclaredSizeLimit, InflatingToExactlyTheSizeReadsAndOneByteMoreFails) {
  const std::string data = patterned(5000);
  for (const std::uint32_t declared : {5000u, 4999u}) {
    SCOPED_TRACE(declared);
    WrittenZip zip = writeZip({{"d.bin", data, 8}});
    putBoth(zip, 0, kCentralSize, kLocalSize, declared);
    MemorySource source(zip.bytes);
    Reader reader;
    ASSERT_TRUE(reader.open(source)) << reader.message();
    std::uint64_t delivered = 0;
    const bool read = reader.readEntry(0, [&](const std::uint8_t*, std::size_t size) {
      delivered += size;
      return true;
    });
    EXPECT_LE(delivered, declared);
    if (declared == data.size()) {
      EXPECT_TRUE(read) << reader.message();
    } else {
      EXPECT_FALSE(read);
      EXPECT_EQ(reader.failure(), Failure::kSizeMismatch);
    }
  }
}

// A deflate bomb: 16 MiB of zeros in about 16 KiB, declared as 1 KiB.
TEST(DeclaredSizeLimit, AHighlyCompressedStreamStopsAtItsDeclaredSize) {
  WrittenZip zip = writeZip({{"bomb.bin", std::string(16 << 20, '\0'), 8}});
  putBoth(zip, 0, kCentralSize, kLocalSize, 1024);
  MemorySource source(zip.bytes);
  Reader reader;
  ASSERT_TRUE(reader.open(source));
  std::uint64_t delivered = 0;
  EXPECT_FALSE(reader.readEntry(0, [&](const std::uint8_t*, std::size_t size) {
    delivered += size;
    return true;
  }));
  EXPECT_EQ(reader.failure(), Failure::kSizeMismatch);
  EXPECT_EQ(delivered, 0u);  // the first chunk already exceeds 1 KiB
}

TEST(DamageMessages, ShowControlBytesInNamesEscaped) {
  WrittenZip zip = writeZip({{"evil\x1b[2J\n.txt", "x", 0}});
  put32(zip.bytes, zip.central[0] + kCentralCrc, 1);
  MemorySource source(zip.bytes);
  Reader reader;
  ASSERT_TRUE(reader.open(source));
  EXPECT_FALSE(reader.checkLocalHeader(0));
  EXPECT_THAT(reader.message(), HasSubstr("\"evil\\x1b[2J\\x0a.txt\""));
  EXPECT_EQ(reader.message().find('\x1b'), std::string::npos);
}

TEST(DamageMessages, AnEntryThatIsNotThereIsRefused) {
  MemorySource source(writeZip({{"a", "1", 0}}).bytes);
  Reader reader;
  ASSERT_TRUE(reader.open(source));
  EXPECT_FALSE(reader.readEntry(1, [](const std::uint8_t*, std::size_t) { return true; }));
  EXPECT_THAT(reader.message(), HasSubstr("no entry #2"));
}

}  // namespace
}  // namespace quillet::zip
