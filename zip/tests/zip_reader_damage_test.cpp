// Hostile and damaged archives: each tampered archive must end in its
// failure with a message that says what is wrong and names the entry, at the
// step where the fault shows (opening, the local header, the data).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
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
constexpr std::uint64_t kEndDisk = 4, kEndDiskEntries = 8, kEndEntries = 10,
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
  Step step;
  std::size_t entry;  // the entry checked or read at that step
  Failure failure;
  std::vector<std::string> message;  // pieces the message holds
  std::function<void(WrittenZip&)> tamper;
};

// Cases show as their titles in failures and test lists.
void PrintTo(const DamageCase& c, std::ostream* out) { *out << c.title; }

// Sets a 32-bit field in an entry's central header and local header alike.
void putBoth(WrittenZip& zip, std::size_t entry, std::uint64_t central, std::uint64_t local,
             std::uint32_t value) {
  put32(zip.bytes, zip.central[entry] + central, value);
  put32(zip.bytes, zip.local[entry] + local, value);
}

// Sets the entry count of the end record (on this disk and in all).
void putCount(WrittenZip& zip, std::uint16_t count) {
  put16(zip.bytes, zip.end + kEndDiskEntries, count);
  put16(zip.bytes, zip.end + kEndEntries, count);
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

// One line of title and expectations per case, then the tampering.
// clang-format off
const DamageCase kCases[] = {
    // Finding the directory.
    {"TruncatedEndRecord", false, Step::kOpen, 0, Failure::kNotAZip, {"no end-of-central-directory record"},
     [](WrittenZip& z) { z.bytes.pop_back(); }},
    {"TruncatedInTheMiddle", false, Step::kOpen, 0, Failure::kNotAZip, {"not a zip archive"},
     [](WrittenZip& z) { z.bytes.resize(z.local[2] + 3); }},
    {"DirectoryOffsetBeyondTheFile", false, Step::kOpen, 0, Failure::kDamaged, {"central directory", "2147483632"},
     [](WrittenZip& z) { put32(z.bytes, z.end + kEndDirectoryOffset, 0x7FFFFFF0); }},
    {"EntryCountFarBeyondTheFile", false, Step::kOpen, 0, Failure::kDamaged, {"declares 65535 entries", "room for at most"},
     [](WrittenZip& z) { putCount(z, 0xFFFF); }},
    {"FewerEntriesDeclaredThanTheDirectoryHolds", false, Step::kOpen, 0, Failure::kDamaged, {"bytes after its 2 entries"},
     [](WrittenZip& z) { putCount(z, 2); }},
    {"SplitOverDisks", false, Step::kOpen, 0, Failure::kUnsupported, {"not supported", "disks"},
     [](WrittenZip& z) { put16(z.bytes, z.end + kEndDisk, 1); }},
    // The central directory's entries.
    {"CentralSignatureBroken", false, Step::kOpen, 1, Failure::kDamaged, {"entry #2", "central header signature"},
     [](WrittenZip& z) { put32(z.bytes, z.central[1], 0); }},
    {"ExtraFieldRunsPastItsBlock", false, Step::kOpen, 2, Failure::kDamaged, {"entry #3 \"c.txt\"", "extra fields"},
     [](WrittenZip& z) { put16(z.bytes, z.central[2] + kCentralName + 5 + 2, 200); }},
    {"HeaderRunsPastTheDirectory", false, Step::kOpen, 2, Failure::kDamaged, {"entry #3", "runs past the end of the central directory"},
     [](WrittenZip& z) { put16(z.bytes, z.central[2] + kCentralExtraLength, 4000); }},
    {"NulByteInName", false, Step::kOpen, 0, Failure::kDamaged, {"entry #1 \"a<U+0000>txt\"", "NUL byte"},
     [](WrittenZip& z) { z.bytes[z.central[0] + kCentralName + 1] = z.bytes[z.local[0] + kLocalName + 1] = '\0'; }},
    {"MarkedUtf8ButNot", false, Step::kOpen, 0, Failure::kDamaged, {"entry #1", "marked UTF-8"},
     [](WrittenZip& z) { putBoth(z, 0, kCentralFlags, kLocalFlags, 0x0800); z.bytes[z.central[0] + kCentralName] = '\xff'; }},
    {"Encrypted", false, Step::kOpen, 1, Failure::kUnsupported, {"entry #2 \"sub/b.bin\"", "encrypted"},
     [](WrittenZip& z) { put16(z.bytes, z.central[1] + kCentralFlags, 0x0001); }},
    {"MethodBzip2", false, Step::kOpen, 1, Failure::kUnsupported, {"entry #2 \"sub/b.bin\"", "method 12, bzip2 (only"},
     [](WrittenZip& z) { put16(z.bytes, z.central[1] + kCentralMethod, 12); }},
    {"EntryOnAnotherDisk", false, Step::kOpen, 0, Failure::kUnsupported, {"entry #1 \"a.txt\"", "disk 1"},
     [](WrittenZip& z) { put16(z.bytes, z.central[0] + kCentralDisk, 1); }},
    {"StoredSizesDiffer", false, Step::kOpen, 0, Failure::kDamaged, {"entry #1 \"a.txt\"", "stored"},
     [](WrittenZip& z) { put32(z.bytes, z.central[0] + kCentralCompressed, 14); }},
    {"FolderWithData", false, Step::kOpen, 2, Failure::kDamaged, {"entry #3 \"c.tx/\"", "folder", "declares 120 bytes"},
     [](WrittenZip& z) { z.bytes[z.central[2] + kCentralName + 4] = z.bytes[z.local[2] + kLocalName + 4] = '/'; }},
    {"LocalOffsetOutsideTheFile", false, Step::kOpen, 1, Failure::kDamaged, {"entry #2 \"sub/b.bin\"", "local header offset"},
     [](WrittenZip& z) { put32(z.bytes, z.central[1] + kCentralOffset, 0x7FFFFFFF); }},
    {"TwoEntriesShareALocalHeader", false, Step::kOpen, 2, Failure::kDamaged, {"entry #3 \"c.txt\"", "shares its local header", "entry #2"},
     [](WrittenZip& z) { put32(z.bytes, z.central[2] + kCentralOffset, z.local[1]); }},
    // Local headers against the directory.
    {"LocalOffsetIntoAnotherEntrysData", false, Step::kLocalHeader, 2, Failure::kDamaged, {"entry #3 \"c.txt\"", "local header signature"},
     [](WrittenZip& z) { put32(z.bytes, z.central[2] + kCentralOffset, z.local[1] + 200); }},
    {"HeaderOverlapsAHeaderPlacedInsideIt", false, Step::kLocalHeader, 1, Failure::kDamaged, {"entry #2 \"sub/b.bin\"", "its local header runs into the next local header"},
     [](WrittenZip& z) { put32(z.bytes, z.central[2] + kCentralOffset, z.local[1] + 10); }},
    {"DataOverlapsAHeaderPlacedInsideIt", false, Step::kLocalHeader, 1, Failure::kDamaged, {"entry #2 \"sub/b.bin\"", "runs into the next"},
     [](WrittenZip& z) { put32(z.bytes, z.central[2] + kCentralOffset, z.local[1] + 200); }},
    {"StoredDataRunsIntoTheNextHeader", false, Step::kLocalHeader, 0, Failure::kDamaged, {"entry #1 \"a.txt\"", "next local header"},
     [](WrittenZip& z) { putBoth(z, 0, kCentralCompressed, kLocalCompressed, 100); putBoth(z, 0, kCentralSize, kLocalSize, 100); }},
    {"LastDataRunsIntoTheDirectory", false, Step::kLocalHeader, 2, Failure::kDamaged, {"entry #3 \"c.txt\"", "central directory"},
     [](WrittenZip& z) { putBoth(z, 2, kCentralCompressed, kLocalCompressed, 5000); }},
    {"LocalNameDiffers", false, Step::kLocalHeader, 0, Failure::kDamaged, {"entry #1 \"a.txt\"", "names it \"b.txt\""},
     [](WrittenZip& z) { z.bytes[z.local[0] + kLocalName] = 'b'; }},
    {"LocalMethodDiffers", false, Step::kLocalHeader, 2, Failure::kDamaged, {"entry #3 \"c.txt\"", "method 0"},
     [](WrittenZip& z) { put16(z.bytes, z.local[2] + kLocalMethod, 0); }},
    {"LocalFlagsDiffer", false, Step::kLocalHeader, 1, Failure::kDamaged, {"entry #2", "flags 0x0800"},
     [](WrittenZip& z) { put16(z.bytes, z.local[1] + kLocalFlags, 0x0800); }},
    {"LocalSizeDiffers", false, Step::kLocalHeader, 1, Failure::kDamaged, {"entry #2", "sizes"},
     [](WrittenZip& z) { put32(z.bytes, z.local[1] + kLocalSize, 99999); }},
    {"LocalCrcDiffers", false, Step::kLocalHeader, 1, Failure::kDamaged, {"entry #2", "CRC-32"},
     [](WrittenZip& z) { put32(z.bytes, z.local[1] + kLocalCrc, 1); }},
    // The data.
    {"StoredByteFlipped", false, Step::kRead, 0, Failure::kCrcMismatch, {"entry #1 \"a.txt\"", "CRC-32"},
     [](WrittenZip& z) { z.bytes[z.local[0] + kLocalName + 5 + 3] ^= 1; }},
    {"DeflatedCrcLies", false, Step::kRead, 1, Failure::kCrcMismatch, {"entry #2 \"sub/b.bin\"", "12345678"},
     [](WrittenZip& z) { putBoth(z, 1, kCentralCrc, kLocalCrc, 0x12345678); }},
    {"DeclaredSizeSmallerThanTheInflatedData", false, Step::kRead, 1, Failure::kSizeMismatch, {"entry #2 \"sub/b.bin\"", "more than its declared size of 1000"},
     [](WrittenZip& z) { putBoth(z, 1, kCentralSize, kLocalSize, 1000); }},
    {"DeclaredSizeLargerThanTheInflatedData", false, Step::kRead, 1, Failure::kSizeMismatch, {"entry #2 \"sub/b.bin\"", "inflates to 100000 bytes"},
     [](WrittenZip& z) { putBoth(z, 1, kCentralSize, kLocalSize, 100001); }},
    {"DeflateStreamCutShort", false, Step::kRead, 1, Failure::kSizeMismatch, {"entry #2 \"sub/b.bin\"", "ends before the stream"},
     [](WrittenZip& z) { putBoth(z, 1, kCentralCompressed, kLocalCompressed, get32(z.bytes, z.central[1] + kCentralCompressed) - 10); }},
    {"InvalidDeflateBlock", false, Step::kRead, 2, Failure::kDamaged, {"entry #3 \"c.txt\"", "deflate data is invalid"},
     [](WrittenZip& z) { z.bytes[z.local[2] + kLocalName + 5 + 8] = '\x07'; }},  // block type 3
    // Zip64 records and fields.
    {"Zip64LocatorPointsOutside", true, Step::kOpen, 0, Failure::kDamaged, {"Zip64 end record"},
     [](WrittenZip& z) { put32(z.bytes, z.end - 20 + 8, 0x7FFFFFFF); }},
    {"Zip64RecordDisagrees", true, Step::kOpen, 0, Failure::kDamaged, {"disagree"},
     [](WrittenZip& z) { putCount(z, 2); }},
    {"Zip64SplitOverDisks", true, Step::kOpen, 0, Failure::kUnsupported, {"split over 2 disks"},
     [](WrittenZip& z) { put32(z.bytes, z.end - 20 + 16, 2); }},
    {"Zip64FieldTooShort", true, Step::kOpen, 0, Failure::kDamaged, {"entry #1 \"a.txt\"", "Zip64 extra field is too short"},
     [](WrittenZip& z) { put16(z.bytes, z.central[0] + kCentralDisk, 0xFFFF); }},
};
// clang-format on

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
  putCount(zip, 4);
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

// A data descriptor must agree with the central directory as a local header
// does: its CRC-32 and both sizes, and a local CRC-32 or size the header
// gives though the descriptor follows.
struct DescriptorCase {
  const char* title;
  std::uint64_t at;  // what is changed: past the descriptor's signature, or in the local header
  bool inLocalHeader;
  const char* message;
};

void PrintTo(const DescriptorCase& c, std::ostream* out) { *out << c.title; }

class DisagreeingDescriptor : public ::testing::TestWithParam<DescriptorCase> {};

TEST_P(DisagreeingDescriptor, IsDamage) {
  const DescriptorCase& c = GetParam();
  WriterEntry entry{"map.dat", patterned(3000), 8, 0x0008};
  entry.descriptorSignature = true;
  WrittenZip zip = writeZip({entry, {"after.txt", "x", 0}});
  const std::uint64_t descriptor = zip.local[1] - 16;  // signature, CRC-32, two sizes
  const std::uint64_t at = c.inLocalHeader ? zip.local[0] + c.at : descriptor + c.at;
  put32(zip.bytes, at, get32(zip.bytes, at) + 1);
  MemorySource source(zip.bytes);
  Reader reader;
  ASSERT_TRUE(reader.open(source)) << reader.message();
  EXPECT_FALSE(reader.checkLocalHeader(0));
  EXPECT_EQ(reader.failure(), Failure::kDamaged);
  EXPECT_THAT(reader.message(), HasSubstr(std::string("entry #1 \"map.dat\": ") + c.message));
  EXPECT_TRUE(reader.checkLocalHeader(1)) << reader.message();
}

INSTANTIATE_TEST_SUITE_P(
    Fields, DisagreeingDescriptor,
    ::testing::Values(DescriptorCase{"Crc", 4, false,
                                     "its data descriptor does not give the directory's CRC-32"},
                      DescriptorCase{"CompressedSize", 8, false, "its data descriptor gives sizes"},
                      DescriptorCase{"Size", 12, false, "its data descriptor gives sizes"},
                      DescriptorCase{"LocalCrcBesideTheDescriptor", kLocalCrc, true,
                                     "its local header gives CRC-32 00000001, the directory"},
                      DescriptorCase{"LocalSizeBesideTheDescriptor", kLocalSize, true,
                                     "its local header gives sizes 0/1, the directory"}),
    [](const ::testing::TestParamInfo<DescriptorCase>& info) { return info.param.title; });

TEST(DamageMessages, ShowControlBytesInNamesEscaped) {
  WrittenZip zip = writeZip({{"evil\x1b[2J\n.txt", "x", 0}});
  put32(zip.bytes, zip.central[0] + kCentralCrc, 1);
  MemorySource source(zip.bytes);
  Reader reader;
  ASSERT_TRUE(reader.open(source));
  EXPECT_FALSE(reader.checkLocalHeader(0));
  EXPECT_THAT(reader.message(), HasSubstr("\"evil<U+001B>[2J<U+000A>.txt\""));
  EXPECT_EQ(reader.message().find('\x1b'), std::string::npos);
}

}  // namespace
}  // namespace quillet::zip
