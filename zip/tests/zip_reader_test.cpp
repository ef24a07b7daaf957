// The zip reader over well-formed archives from the test writer: contents,
// order, Zip64, data descriptors, names, streaming and its limits.
#include "zip_reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "utf.h"
#include "zip_test_support.h"
#include "zip_writer.h"

namespace quillet::zip {
namespace {

using ::testing::HasSubstr;
using testing::nameOf;
using testing::patterned;
using testing::readWhole;
using testing::WriterEntry;
using testing::writeZip;

struct Opened {
  MemorySource source;
  Reader reader;
  explicit Opened(std::string bytes) : source(std::move(bytes)) {}
};

class WellFormedArchive : public ::testing::TestWithParam<bool> {};

// The same archive, written with and without Zip64 records and fields.
TEST_P(WellFormedArchive, GivesEveryEntryInDirectoryOrderWithItsContents) {
  const bool zip64 = GetParam();
  const std::vector<WriterEntry> written = {
      {"b-stored.txt", "hello\n", 0}, {"a-deflated.bin", patterned(200000), 8}, {"sub/", "", 0},
      {"sub/empty.txt", "", 8},       {"sub/z.txt", patterned(70000, 7), 0},
  };
  Opened zip(writeZip(written, zip64).bytes);
  ASSERT_TRUE(zip.reader.open(zip.source)) << zip.reader.message();
  EXPECT_EQ(zip.reader.usesZip64(), zip64);
  const std::vector<Entry>& entries = zip.reader.entries();
  ASSERT_EQ(entries.size(), written.size());
  for (std::size_t i = 0; i < written.size(); ++i) {
    SCOPED_TRACE(written[i].name);
    EXPECT_EQ(nameOf(zip.reader, i), written[i].name);
    EXPECT_EQ(entries[i].method, written[i].method);
    EXPECT_EQ(entries[i].size, written[i].data.size());
    EXPECT_EQ(entries[i].zip64, zip64);
    EXPECT_EQ(entries[i].folder, written[i].name.back() == '/');
    EXPECT_TRUE(readWhole(zip.reader, i) == written[i].data) << zip.reader.message();
  }
  // Entries read again, out of order: nothing carries over from the last one.
  EXPECT_TRUE(readWhole(zip.reader, 1) == written[1].data) << zip.reader.message();
  EXPECT_TRUE(readWhole(zip.reader, 0) == written[0].data) << zip.reader.message();
}

INSTANTIATE_TEST_SUITE_P(Zip64, WellFormedArchive, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Zip64" : "Classic"; });

// 7za writes a Zip64 end record once an archive has 65535 entries, and
// then marks only the count in the classic record: its directory's size and
// offset stay there as well, agreeing with the Zip64 record.
TEST(Zip64EndRecord, IsReadWhenTheClassicRecordKeepsTheValuesThatFit) {
  testing::WrittenZip zip = writeZip({{"a.txt", "one", 0}, {"b.txt", patterned(1000), 8}}, true);
  testing::put32(zip.bytes, zip.end + 12,
                 static_cast<std::uint32_t>(zip.end - 76 - zip.directoryOffset));
  testing::put32(zip.bytes, zip.end + 16, static_cast<std::uint32_t>(zip.directoryOffset));
  Opened opened(zip.bytes);
  ASSERT_TRUE(opened.reader.open(opened.source)) << opened.reader.message();
  ASSERT_EQ(opened.reader.entries().size(), 2u);
  EXPECT_TRUE(opened.reader.usesZip64());
  EXPECT_TRUE(readWhole(opened.reader, 1) == patterned(1000)) << opened.reader.message();

  // A classic value that is not the mark must agree with the Zip64 record.
  testing::put32(zip.bytes, zip.end + 16, static_cast<std::uint32_t>(zip.directoryOffset + 1));
  Opened disagreeing(zip.bytes);
  EXPECT_FALSE(disagreeing.reader.open(disagreeing.source));
  EXPECT_EQ(disagreeing.reader.failure(), Failure::kDamaged);
}

// Some writers add a Zip64 field to every entry: its values count only for
// the header fields that carry the mark.
TEST(Zip64EndRecord, AZip64FieldWithNothingMarkedChangesNothing) {
  WriterEntry entry{"a.txt", "contents", 0};
  entry.extra = std::string("\x01\x00\x08\x00\xe7\x03\x00\x00\x00\x00\x00\x00", 12);  // 999
  Opened zip(writeZip({entry}).bytes);
  ASSERT_TRUE(zip.reader.open(zip.source)) << zip.reader.message();
  EXPECT_FALSE(zip.reader.usesZip64());
  EXPECT_FALSE(zip.reader.entries()[0].zip64);
  EXPECT_EQ(zip.reader.entries()[0].size, 8u);
  EXPECT_EQ(readWhole(zip.reader, 0), "contents") << zip.reader.message();
}

// The largest headers the format allows: a name and an extra block of 65535
// bytes each, in the central directory and the local header alike, between
// two ordinary entries.
TEST(LargestHeaders, ANameAndAnExtraBlockOf65535BytesEachAreRead) {
  WriterEntry largest{std::string(0xFFFF, 'n'), patterned(5000), 8};
  largest.extra = std::string("\xfe\xca\xfb\xff", 4) + std::string(0xFFFF - 4, 'x');
  Opened zip(writeZip({{"first.txt", "1", 0}, largest, {"last.txt", "3", 0}}).bytes);
  ASSERT_TRUE(zip.reader.open(zip.source)) << zip.reader.message();
  ASSERT_EQ(zip.reader.entries().size(), 3u);
  EXPECT_EQ(nameOf(zip.reader, 1), largest.name);
  EXPECT_TRUE(readWhole(zip.reader, 1) == largest.data) << zip.reader.message();
  EXPECT_EQ(readWhole(zip.reader, 2), "3") << zip.reader.message();
}

// Names stay in the archive and are read back: many long ones and a legacy
// name of 65,535 bytes that decodes to twice as many read back whole, one
// at a time and in the one pass over the directory alike.
TEST(Names, ReadBackWholeOneAtATimeAndInOnePass) {
  std::vector<WriterEntry> written;
  for (int i = 0; i < 400; ++i) {
    written.emplace_back(std::to_string(i) + "-" + std::string(300 + i % 7, 'a' + i % 26),
                         std::to_string(i), 0);
  }
  written.emplace_back(std::string(0xFFFF, '\x81'), "long legacy", 0);
  written.emplace_back("last.txt", "after it", 0);
  Opened zip(writeZip(written).bytes);
  ASSERT_TRUE(zip.reader.open(zip.source)) << zip.reader.message();
  ASSERT_EQ(zip.reader.entries().size(), written.size());
  std::string umlauts;
  for (int i = 0; i < 0xFFFF; ++i) umlauts += "\xc3\xbc";
  std::vector<std::string> inOnePass;
  ASSERT_TRUE(zip.reader.forEachName(
      [&](std::size_t, std::string_view name) { inOnePass.emplace_back(name); }));
  ASSERT_EQ(inOnePass.size(), written.size());
  for (std::size_t i = 0; i < written.size(); ++i) {
    const std::string expected = i == 400 ? umlauts : written[i].name;
    EXPECT_EQ(testing::storedName(zip.source, zip.reader.entries()[i]), written[i].name) << i;
    EXPECT_EQ(nameOf(zip.reader, i), expected) << "entry " << i;
    EXPECT_EQ(inOnePass[i], expected) << "entry " << i;
  }
  EXPECT_TRUE(zip.reader.checkLocalHeader(400)) << zip.reader.message();
  EXPECT_EQ(zip.reader.namesLost(), "");
}

// A source whose bytes the test changes after the archive is opened.
class ChangingSource final : public ByteSource {
 public:
  explicit ChangingSource(std::string bytes) : bytes(std::move(bytes)) {}
  std::uint64_t size() const override { return bytes.size(); }
  bool readAt(std::uint64_t offset, void* buffer, std::size_t size) override {
    if (offset > bytes.size() || size > bytes.size() - offset) return false;
    std::copy_n(bytes.data() + offset, size, static_cast<char*>(buffer));
    return true;
  }
  std::string bytes;
};

// A name that no longer reads as it did (the archive changed on disk) is
// never taken for another: it reads as nothing, and the reader says which.
TEST(Names, ANameThatChangedAfterOpeningIsLostNotMisread) {
  const auto archive = writeZip({{"a.txt", "1", 0}, {"b.txt", "2", 0}});
  ChangingSource source(archive.bytes);
  Reader reader;
  ASSERT_TRUE(reader.open(source)) << reader.message();
  source.bytes[archive.central[1] + 46] = 'c';  // "c.txt" in the directory
  std::string scratch;
  EXPECT_EQ(reader.nameOf(0, scratch), "a.txt");
  EXPECT_EQ(reader.namesLost(), "");
  EXPECT_EQ(reader.nameOf(1, scratch), "");
  EXPECT_THAT(reader.namesLost(), HasSubstr("entry #2: its name no longer reads as it did"));
  source.bytes[archive.central[1] + 46] = 'b';
  source.bytes.resize(archive.local[0] + 10);  // and then cut short
  EXPECT_FALSE(reader.checkLocalHeader(0));
  EXPECT_EQ(reader.failure(), Failure::kCannotRead);
}

TEST(EntryStreaming, HandsOverChunksOfAtMost64KiBThatAddUpToTheEntry) {
  for (const std::uint16_t method : {0, 8}) {
    SCOPED_TRACE(method);
    const std::string data = patterned(3 * Reader::kChunkSize + 17);
    Opened zip(writeZip({{"big.bin", data, method}}).bytes);
    ASSERT_TRUE(zip.reader.open(zip.source));
    std::string joined;
    std::size_t largest = 0;
    ASSERT_TRUE(zip.reader.readEntry(0, [&](const std::uint8_t* chunk, std::size_t size) {
      joined.append(reinterpret_cast<const char*>(chunk), size);
      largest = std::max(largest, size);
      return true;
    }));
    EXPECT_TRUE(joined == data);
    EXPECT_LE(largest, Reader::kChunkSize);
  }
}

TEST(EntryStreaming, ASinkThatSaysNoStopsTheReadAndNamesTheEntry) {
  for (const std::uint16_t method : {0, 8}) {
    SCOPED_TRACE(method);
    Opened zip(writeZip({{"big.bin", patterned(3 * Reader::kChunkSize), method}}).bytes);
    ASSERT_TRUE(zip.reader.open(zip.source));
    int calls = 0;
    EXPECT_FALSE(zip.reader.readEntry(0, [&](const std::uint8_t*, std::size_t) {
      ++calls;
      return false;
    }));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(zip.reader.failure(), Failure::kStopped);
    EXPECT_THAT(zip.reader.message(), HasSubstr("\"big.bin\""));
  }
}

// Where each entry's space ends (the next local header in the file, or the
// directory) does not depend on the order the directory lists them in.
class DirectoryOrder : public ::testing::TestWithParam<std::vector<std::size_t>> {
 protected:
  // Entries in the file's order: two stored, one deflated, a folder last.
  std::vector<WriterEntry> written_ = {
      {"a.txt", "first", 0}, {"b.bin", patterned(3000), 8}, {"c.txt", "third", 0}, {"d/", "", 0}};

  // The archive with its directory's records in the order of the parameter
  // (indexes into written_); the local headers stay where they are.
  std::string reordered(const testing::WrittenZip& zip) const {
    std::string bytes = zip.bytes.substr(0, zip.directoryOffset);
    for (const std::size_t i : GetParam()) {
      const std::uint64_t end = i + 1 < zip.central.size() ? zip.central[i + 1] : zip.end;
      bytes += zip.bytes.substr(zip.central[i], end - zip.central[i]);
    }
    return bytes + zip.bytes.substr(zip.end);
  }
  // Where written_[i] is in the reordered directory.
  std::size_t position(std::size_t i) const {
    const std::vector<std::size_t>& order = GetParam();
    return static_cast<std::size_t>(std::find(order.begin(), order.end(), i) - order.begin());
  }
  // Gives written_[i] `size` bytes in both headers, as a stored entry.
  static void resize(testing::WrittenZip& zip, std::size_t i, std::uint32_t size) {
    for (const std::uint64_t at : {zip.central[i] + 20, zip.central[i] + 24}) {
      testing::put32(zip.bytes, at, size);
    }
    for (const std::uint64_t at : {zip.local[i] + 18, zip.local[i] + 22}) {
      testing::put32(zip.bytes, at, size);
    }
  }
};

TEST_P(DirectoryOrder, EveryEntryReadsWhole) {
  Opened zip(reordered(writeZip(written_)));
  ASSERT_TRUE(zip.reader.open(zip.source)) << zip.reader.message();
  for (std::size_t i = 0; i < written_.size(); ++i) {
    SCOPED_TRACE(written_[i].name);
    const std::size_t at = position(i);
    EXPECT_EQ(nameOf(zip.reader, at), written_[i].name);
    EXPECT_TRUE(readWhole(zip.reader, at) == written_[i].data) << zip.reader.message();
  }
}

TEST_P(DirectoryOrder, DataRunningIntoTheNextHeaderInTheFileFails) {
  testing::WrittenZip written = writeZip(written_);
  // a.txt one byte longer runs into b.bin's header; c.txt 14 bytes longer
  // into the folder's; the folder (which holds no data), marked as followed
  // by a data descriptor that is not there, runs into the directory.
  resize(written, 0, 6);
  resize(written, 2, 19);
  testing::put16(written.bytes, written.central[3] + 8, 0x0008);
  testing::put16(written.bytes, written.local[3] + 6, 0x0008);
  Opened zip(reordered(written));
  ASSERT_TRUE(zip.reader.open(zip.source)) << zip.reader.message();
  const std::pair<std::size_t, std::string> cases[] = {
      {0, "runs into the next local header at " + std::to_string(written.local[1])},
      {2, "runs into the next local header at " + std::to_string(written.local[3])},
      {3, "runs into the central directory at " + std::to_string(written.directoryOffset)}};
  for (const auto& [i, expected] : cases) {
    SCOPED_TRACE(written_[i].name);
    EXPECT_FALSE(zip.reader.checkLocalHeader(position(i)));
    EXPECT_THAT(zip.reader.message(), HasSubstr(expected));
  }
  EXPECT_TRUE(readWhole(zip.reader, position(1)) == written_[1].data) << zip.reader.message();
}

TEST_P(DirectoryOrder, TwoEntriesSharingALocalHeaderAreRefusedWhereverListed) {
  testing::WrittenZip written = writeZip(written_);
  testing::put32(written.bytes, written.central[2] + 42,
                 static_cast<std::uint32_t>(written.local[0]));
  Opened zip(reordered(written));
  EXPECT_FALSE(zip.reader.open(zip.source));
  EXPECT_EQ(zip.reader.failure(), Failure::kDamaged);
  const std::size_t first = std::min(position(0), position(2));
  const std::size_t second = std::max(position(0), position(2));
  EXPECT_THAT(zip.reader.message(), HasSubstr("entry #" + std::to_string(second + 1) + " \"" +
                                              written_[second == position(0) ? 0 : 2].name +
                                              "\": it shares its local header at offset " +
                                              std::to_string(written.local[0]) + " with entry #" +
                                              std::to_string(first + 1)));
}

INSTANTIATE_TEST_SUITE_P(Orders, DirectoryOrder,
                         ::testing::Values(std::vector<std::size_t>{0, 1, 2, 3},
                                           std::vector<std::size_t>{3, 2, 1, 0},
                                           std::vector<std::size_t>{2, 0, 3, 1},
                                           std::vector<std::size_t>{0, 2, 1, 3}),
                         [](const auto& info) {
                           std::string name = "Listed";
                           for (const std::size_t i : info.param) name += std::to_string(i);
                           return name;
                         });

// Flag bit 3: CRC and sizes follow the data; the local header has 0s.
class DataDescriptor : public ::testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(DataDescriptor, IsReadWithOrWithoutItsSignature) {
  const auto [signature, zip64] = GetParam();
  WriterEntry first{"first.bin", patterned(100000), 8, 0x0008};
  first.descriptorSignature = signature;
  WriterEntry second{"second.txt", "after the descriptor", 0, 0x0008};
  second.descriptorSignature = signature;
  Opened zip(writeZip({first, second}, zip64).bytes);
  ASSERT_TRUE(zip.reader.open(zip.source)) << zip.reader.message();
  EXPECT_TRUE(readWhole(zip.reader, 0) == first.data) << zip.reader.message();
  EXPECT_EQ(readWhole(zip.reader, 1), second.data) << zip.reader.message();
}

INSTANTIATE_TEST_SUITE_P(Forms, DataDescriptor,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()));

// Info-ZIP's zip to a pipe and libarchive give the size in the local
// header beside a descriptor: only the compressed size is 0.
TEST(LocalHeaderBesideADescriptor, MayGiveTheSize) {
  testing::WrittenZip written = writeZip({{"map.dat", patterned(3000), 8, 0x0008}});
  testing::put32(written.bytes, written.local[0] + 22, 3000);  // the local uncompressed size
  Opened zip(written.bytes);
  ASSERT_TRUE(zip.reader.open(zip.source)) << zip.reader.message();
  EXPECT_TRUE(readWhole(zip.reader, 0)) << zip.reader.message();
}

// How a stored name becomes the entry's UTF-8 name.
struct NameCase {
  const char* title;
  std::string stored;
  std::uint16_t flags;
  std::string extra;
  std::string expected;
  bool legacy;
  bool legacyUtf8 = false;  // the legacy name's bytes read as UTF-8 too
};

void PrintTo(const NameCase& c, std::ostream* out) { *out << c.title; }

class EntryName : public ::testing::TestWithParam<NameCase> {};

TEST_P(EntryName, IsDecodedAsItsFlagsAndFieldsSay) {
  const NameCase& c = GetParam();
  WriterEntry entry{c.stored, "x", 0, c.flags};
  entry.extra = c.extra;
  Opened zip(writeZip({entry}).bytes);
  ASSERT_TRUE(zip.reader.open(zip.source)) << zip.reader.message();
  const Entry& read = zip.reader.entries().at(0);
  EXPECT_EQ(nameOf(zip.reader, 0), c.expected);
  EXPECT_EQ(read.nameSize, c.expected.size());
  EXPECT_EQ(testing::storedName(zip.source, read), c.stored);
  EXPECT_EQ(read.legacyName, c.legacy);
  EXPECT_EQ(read.legacyUtf8, c.legacyUtf8);
  EXPECT_TRUE(zip.reader.checkLocalHeader(0)) << zip.reader.message();
  EXPECT_EQ(zip.reader.namesLost(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EntryName,
    ::testing::Values(
        NameCase{"Utf8Flag",
                 "\xc3\xbc"
                 "ber/\xe2\x82\xac.txt",
                 0x0800, "",
                 "\xc3\xbc"
                 "ber/\xe2\x82\xac.txt",
                 false},
        NameCase{"Cp437WithoutFlag",
                 "\x81"
                 "ber/\x9b.txt",
                 0, "",
                 "\xc3\xbc"
                 "ber/\xc2\xa2.txt",
                 true},
        NameCase{"Cp437OneToThreeBytesEach", "a\xb0\x9e\xe0\xff/z", 0, "",
                 "a\xe2\x96\x91\xe2\x82\xa7\xce\xb1\xc2\xa0/z", true},
        NameCase{"Utf8WithoutFlagIsLegacy", "Zo\xc3\xa9.wav", 0, "",
                 "Zo\xe2\x94\x9c\xe2\x8c\x90.wav", true, true},
        NameCase{"AsciiIsLegacyToo", "plain/name.txt", 0, "", "plain/name.txt", true},
        NameCase{"UnicodePathField",
                 "\x81"
                 "ber.txt",
                 0,
                 testing::unicodePathField("\x81"
                                           "ber.txt",
                                           "\xc3\xbc"
                                           "ber-\xe2\x82\xac.txt"),
                 "\xc3\xbc"
                 "ber-\xe2\x82\xac.txt",
                 false},
        NameCase{"StaleUnicodePathFieldIsIgnored",
                 "\x81"
                 "ber.txt",
                 0, testing::unicodePathField("other.txt", "wrong.txt"),
                 "\xc3\xbc"
                 "ber.txt",
                 true},
        NameCase{"DotDotExposedAsStored", "../outside.txt", 0x0800, "", "../outside.txt", false},
        NameCase{"AbsoluteExposedAsStored", "/etc/passwd", 0x0800, "", "/etc/passwd", false}),
    [](const auto& info) { return info.param.title; });

TEST(LegacyNames, GoThroughTheDecoderGiven) {
  Opened zip(
      writeZip(
          {{"\x8e.txt", "x", 0}, {"utf8-\xc3\x84.txt", "y", 0, 0x0800}, {"ascii\x7f.txt", "z", 0}})
          .bytes);
  std::vector<std::string> asked;
  ASSERT_TRUE(zip.reader.open(zip.source, [&](std::string_view raw) {
    asked.emplace_back(raw);
    return std::optional<std::string>("decoded");
  }));
  // Neither the UTF-8 name nor the ASCII one, which every code page reads
  // alike: that one stays as stored, still a legacy name.
  EXPECT_EQ(asked, std::vector<std::string>{"\x8e.txt"});
  EXPECT_EQ(nameOf(zip.reader, 0), "decoded");
  EXPECT_EQ(nameOf(zip.reader, 2), "ascii\x7f.txt");
  EXPECT_TRUE(zip.reader.entries()[2].legacyName);
  EXPECT_TRUE(zip.reader.checkLocalHeader(2)) << zip.reader.message();
}

TEST(LegacyNames, ANameTheDecoderCannotReadIsRefusedAsUnsupported) {
  Opened zip(writeZip({{"ok.txt", "x", 0, 0x0800}, {"\xff.txt", "y", 0}}).bytes);
  EXPECT_FALSE(zip.reader.open(zip.source, [](std::string_view) { return std::nullopt; }));
  EXPECT_EQ(zip.reader.failure(), Failure::kUnsupported);
  EXPECT_THAT(zip.reader.message(), HasSubstr("entry #2"));
}

// A source whose reads fail when they touch one byte (a bad sector).
class FailingSource final : public ByteSource {
 public:
  FailingSource(std::string bytes, std::uint64_t bad) : inner_(std::move(bytes)), bad_(bad) {}
  std::uint64_t size() const override { return inner_.size(); }
  bool readAt(std::uint64_t offset, void* buffer, std::size_t size) override {
    if (offset <= bad_ && bad_ - offset < size) return false;
    return inner_.readAt(offset, buffer, size);
  }

 private:
  MemorySource inner_;
  std::uint64_t bad_;
};

// A local header's name is shown up to 255 bytes, cut where a character
// begins: a message never holds a name of 65,535 bytes.
TEST(LocalHeaderName, IsShownUpTo255Bytes) {
  for (const std::size_t length : {std::size_t{255}, std::size_t{256}}) {
    // "é" (two bytes) from the 254th byte on: the 256-byte name is cut before it.
    const std::string name = std::string(253, 'n') + (length == 255 ? "\xc3\xa9" : "o\xc3\xa9");
    ASSERT_EQ(name.size(), length);
    testing::WrittenZip zip = writeZip({{name, "x", 0, 0x0800}});
    zip.bytes[zip.local[0] + 30] = 'm';
    Opened opened(zip.bytes);
    ASSERT_TRUE(opened.reader.open(opened.source)) << opened.reader.message();
    EXPECT_FALSE(opened.reader.checkLocalHeader(0));
    const std::string shown = "m" + name.substr(1, length == 255 ? 254 : 253);
    EXPECT_THAT(opened.reader.message(), HasSubstr("its local header names it \"" + shown +
                                                   (length == 255 ? "\"" : "...\"")));
  }
}

TEST(ReadErrors, AreReportedAsCannotReadAndNameTheEntryWhoseDataFailed) {
  const testing::WrittenZip zip =
      writeZip({{"a.txt", "first", 0}, {"b.bin", patterned(300000), 8}});
  {
    FailingSource source(zip.bytes, zip.bytes.size() - 1);  // in the end record
    Reader reader;
    EXPECT_FALSE(reader.open(source));
    EXPECT_EQ(reader.failure(), Failure::kCannotRead);
  }
  for (const std::size_t entry : {0, 1}) {
    SCOPED_TRACE(entry);
    // A bad byte inside the entry's data (before the archive's last 64 KiB,
    // which opening reads).
    FailingSource source(zip.bytes, entry == 0 ? zip.local[1] - 3 : zip.local[1] + 200);
    Reader reader;
    ASSERT_TRUE(reader.open(source)) << reader.message();
    EXPECT_FALSE(readWhole(reader, entry).has_value());
    EXPECT_EQ(reader.failure(), Failure::kCannotRead);
    EXPECT_THAT(reader.message(), HasSubstr(entry == 0 ? "\"a.txt\"" : "\"b.bin\""));
  }
}

TEST(Cp437ToUtf8, MapsEveryByteAboveAsciiToItsCharacter) {
  EXPECT_EQ(cp437ToUtf8("abc/DEF 1.txt"), "abc/DEF 1.txt");
  EXPECT_EQ(cp437ToUtf8("\x80\x9e\xe1\xf8\xff"),
            "\xc3\x87\xe2\x82\xa7\xc3\x9f\xc2\xb0\xc2\xa0");  // Ç ₧ ß ° NBSP
  for (int byte = 0x80; byte <= 0xFF; ++byte) {
    const std::optional<std::string> decoded = cp437ToUtf8(std::string(1, static_cast<char>(byte)));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_TRUE(isValidUtf8(*decoded)) << byte;
    EXPECT_GE(decoded->size(), 2u) << byte;
  }
}

// The end record is searched for in the last 22 + 65535 bytes only.
TEST(EndRecordSearch, FindsTheRecordBehindTheLongestCommentButNoFurther) {
  const std::string longest(0xFFFF, 'c');
  Opened atLimit(writeZip({{"a.txt", "x", 0}}, false, longest).bytes);
  ASSERT_TRUE(atLimit.reader.open(atLimit.source)) << atLimit.reader.message();
  EXPECT_EQ(atLimit.reader.entries().size(), 1u);

  Opened pastLimit(writeZip({{"a.txt", "x", 0}}, false, longest).bytes + "!");
  EXPECT_FALSE(pastLimit.reader.open(pastLimit.source));
  EXPECT_EQ(pastLimit.reader.failure(), Failure::kNotAZip);
}

TEST(EndRecordSearch, AnEmptyArchiveIsTheRecordAloneAndOneByteLessIsNoArchive) {
  const std::string empty = writeZip({}).bytes;
  ASSERT_EQ(empty.size(), 22u);
  Opened whole(empty);
  ASSERT_TRUE(whole.reader.open(whole.source)) << whole.reader.message();
  EXPECT_TRUE(whole.reader.entries().empty());
  Opened cut(empty.substr(1));
  EXPECT_FALSE(cut.reader.open(cut.source));
  EXPECT_EQ(cut.reader.failure(), Failure::kNotAZip);
}

TEST(EndRecordSearch, PrefersTheRecordWhoseCommentEndsTheFile) {
  // A comment that itself looks like an end record (of an empty archive).
  const std::string fake = writeZip({}).bytes + "tail";
  Opened zip(writeZip({{"real.txt", "x", 0}}, false, fake).bytes);
  ASSERT_TRUE(zip.reader.open(zip.source)) << zip.reader.message();
  ASSERT_EQ(zip.reader.entries().size(), 1u);
  EXPECT_EQ(nameOf(zip.reader, 0), "real.txt");
}

TEST(EndRecordSearch, FallsBackToTheLastRecordWhoseCommentFitsWhenNoneEndsTheFile) {
  // Bytes after the archive, which some tools append.
  Opened trailing(writeZip({{"a.txt", "x", 0}}).bytes + "tail");
  ASSERT_TRUE(trailing.reader.open(trailing.source)) << trailing.reader.message();
  EXPECT_EQ(trailing.reader.entries().size(), 1u);
  // Of two such records, the last: here the one in the comment, of an empty archive.
  Opened both(writeZip({{"real.txt", "x", 0}}, false, writeZip({}).bytes).bytes + "tail");
  ASSERT_TRUE(both.reader.open(both.source)) << both.reader.message();
  EXPECT_TRUE(both.reader.entries().empty());
}

}  // namespace
}  // namespace quillet::zip

namespace quillet::zip {
namespace {

TEST(EntryLimit, TakesAsManyEntriesAsSetAndRefusesOneMoreBeforeReadingThem) {
  const std::string bytes =
      testing::writeZip({{"a.txt", "a", 0}, {"b.txt", "b", 0}, {"c.txt", "c", 0}}).bytes;
  MemorySource atSource(bytes);
  Reader at;
  at.setEntryLimit(3, "that fit");
  ASSERT_TRUE(at.open(atSource)) << at.message();
  EXPECT_EQ(at.entries().size(), 3u);

  MemorySource pastSource(bytes);
  Reader past;
  past.setEntryLimit(2, "that fit");
  EXPECT_FALSE(past.open(pastSource));
  EXPECT_EQ(past.failure(), Failure::kUnsupported);
  EXPECT_EQ(past.message(), "not supported: the archive holds 3 entries, more than the 2 that fit");
  EXPECT_TRUE(past.entries().empty());
}

}  // namespace
}  // namespace quillet::zip

namespace quillet::zip {
namespace {

// A name as long as the limit is taken, one byte longer refused before it
// is held, whether the bytes are stored so, decoded from the legacy code page
// (a byte becoming two) or given by a Unicode Path field.
struct NameLimitCase {
  const char* title;
  std::string stored;
  std::uint16_t flags;
  std::string unicodeName;  // of a Unicode Path field; none when empty
  std::size_t nameBytes;    // of the name as it would be held
};

void PrintTo(const NameLimitCase& c, std::ostream* out) { *out << c.title; }

class NameLimit : public ::testing::TestWithParam<NameLimitCase> {};

TEST_P(NameLimit, TakesANameAtItAndRefusesOneBytePast) {
  const NameLimitCase& c = GetParam();
  WriterEntry entry{c.stored, "x", 0, c.flags};
  if (!c.unicodeName.empty()) entry.extra = testing::unicodePathField(c.stored, c.unicodeName);
  const std::string bytes = writeZip({{"first.txt", "1", 0}, entry}).bytes;

  Opened at(bytes);
  at.reader.setNameLimit(c.nameBytes, "that fit");
  ASSERT_TRUE(at.reader.open(at.source)) << at.reader.message();
  EXPECT_EQ(at.reader.entries().at(1).nameSize, c.nameBytes);

  Opened past(bytes);
  past.reader.setNameLimit(c.nameBytes - 1, "that fit");
  EXPECT_FALSE(past.reader.open(past.source));
  EXPECT_EQ(past.reader.failure(), Failure::kUnsupported);
  EXPECT_THAT(past.reader.message(), ::testing::StartsWith("entry #2 \"" + c.stored.substr(0, 4)));
  EXPECT_THAT(past.reader.message(),
              ::testing::EndsWith("...\": not supported: its name takes " +
                                  std::to_string(c.nameBytes) + " bytes, more than the " +
                                  std::to_string(c.nameBytes - 1) + " that fit"));
}

INSTANTIATE_TEST_SUITE_P(
    Forms, NameLimit,
    ::testing::Values(NameLimitCase{"StoredAsUtf8", "long/" + std::string(60, 'n'), 0x0800, "", 65},
                      NameLimitCase{"DecodedFromTheLegacyCodePage",
                                    "long/" + std::string(60, '\x81'), 0, "", 125},
                      NameLimitCase{"GivenByAUnicodePathField", "long/name", 0,
                                    "long/" + std::string(60, 'u'), 65}),
    [](const ::testing::TestParamInfo<NameLimitCase>& info) { return info.param.title; });

}  // namespace
}  // namespace quillet::zip
