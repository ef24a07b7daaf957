#include "list_format.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "utf.h"

namespace quillet {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

const std::u16string kLine = u"FlashDrive\\NAVI\\Navi.exe";

// Decodes `bytes` fed in pieces of `chunk` bytes.
DecodedList decodeInChunks(const std::string& bytes, std::size_t chunk, ListDecoder::Mode mode) {
  DecodedList list;
  ListDecoder decoder(mode);
  const auto keep = [&list](std::u16string_view line, std::uint32_t) {
    list.lines.emplace_back(line);
    return true;
  };
  bool going = true;
  for (std::size_t at = 0; going && at < bytes.size(); at += chunk) {
    going = decoder.feed(bytes.data() + at, std::min(chunk, bytes.size() - at), keep);
  }
  if (going) decoder.finish();
  list.fault = decoder.fault();
  list.faultLine = decoder.faultLine();
  list.message = decoder.message();
  list.count = decoder.headerCount();
  return list;
}

TEST(ListEncoding, HeaderIsLittleEndianAndLinesEndInOneLineFeedUnit) {
  EXPECT_EQ(encodeListHeader(0x0102), std::string("\x02\x01", 2));
  EXPECT_EQ(encodeListLine(u"A\u00FC\u20AC"), std::string("A\0\xFC\0\xAC\x20\n\0", 8));
  EXPECT_EQ(encodeList({u"a", u"b"}), std::string("\x02\0a\0\n\0b\0\n\0", 10));
}

TEST(ListDecoding, SplitsAnyWayGiveTheSameLines) {
  // (U+010A and U+0A00 each hold the line feed's byte 0x0A, in either place)
  const std::string bytes =
      encodeList({kLine, u"FlashDrive\\x", std::u16string(511, u'z'), u"\u010A\u0A00"});
  const DecodedList whole = decodeList(bytes, ListDecoder::Mode::kStrict);
  ASSERT_EQ(whole.fault, ListFault::kNone) << whole.message;
  EXPECT_THAT(whole.lines,
              ElementsAre(kLine, u"FlashDrive\\x", std::u16string(511, u'z'), u"\u010A\u0A00"));
  for (std::size_t chunk : {1, 2, 3, 7, 64}) {
    SCOPED_TRACE(chunk);
    EXPECT_EQ(decodeInChunks(bytes, chunk, ListDecoder::Mode::kStrict).lines, whole.lines);
  }
}

TEST(ListDecoding, SinkCanStopTheDecodingWithoutAFault) {
  ListDecoder decoder(ListDecoder::Mode::kStrict);
  const std::string bytes = encodeList({kLine, kLine});
  EXPECT_FALSE(decoder.feed(bytes.data(), bytes.size(),
                            [](std::u16string_view, std::uint32_t number) { return number < 2; }));
  EXPECT_EQ(decoder.fault(), ListFault::kNone);
  EXPECT_FALSE(decoder.finish());
}

TEST(ListDecoding, RawModeKeepsWhatOnlyTheLoaderJudges) {
  const std::string bytes = encodeListHeader(5) + encodeListLine(u"") +
                            encodeListLine(std::u16string(u"a\0\r", 3)) +
                            encodeListLine(std::u16string(1022, u'z'));
  const DecodedList raw = decodeList(bytes, ListDecoder::Mode::kRaw);
  EXPECT_EQ(raw.fault, ListFault::kNone) << raw.message;
  EXPECT_EQ(raw.lines.size(), 3u);
  EXPECT_EQ(raw.count, 5);
}

struct Malformed {
  const char* name;
  std::string bytes;
  ListDecoder::Mode mode;
  ListFault fault;
  std::uint32_t line;
  const char* message;
};

class MalformedList : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedList, IsRefusedWithItsLine) {
  const Malformed& bad = GetParam();
  for (std::size_t chunk : {1, 3, 4096}) {
    SCOPED_TRACE(chunk);
    const DecodedList list = decodeInChunks(bad.bytes, chunk, bad.mode);
    EXPECT_EQ(list.fault, bad.fault);
    EXPECT_EQ(list.faultLine, bad.line);
    EXPECT_THAT(list.message, HasSubstr(bad.message));
  }
}

constexpr auto kRaw = ListDecoder::Mode::kRaw;
constexpr auto kStrict = ListDecoder::Mode::kStrict;

INSTANTIATE_TEST_SUITE_P(
    ListDecoding, MalformedList,
    ::testing::Values(
        Malformed{"Empty", "", kRaw, ListFault::kNoHeader, 0, "shorter than its 2-byte header"},
        Malformed{"HalfAHeader", "\x01", kStrict, ListFault::kNoHeader, 0, "2-byte header"},
        Malformed{"NoLineFeedIn1023Units",
                  encodeListHeader(1) + encodeListLine(std::u16string(1023, u'z')), kRaw,
                  ListFault::kLineTooLongToRead, 1, "first 1023 units (line 1)"},
        Malformed{"LastLineUnterminated", encodeList({kLine}) + encodeListLine(kLine).substr(0, 6),
                  kRaw, ListFault::kUnterminatedLine, 2, "without a line feed (line 2)"},
        Malformed{"HalfAUnitAtTheEnd", encodeList({kLine}) + "F", kStrict,
                  ListFault::kUnterminatedLine, 2, "line 2"},
        Malformed{"ByteOrderMark", encodeList({u"\uFEFF" + kLine}), kStrict,
                  ListFault::kByteOrderMark, 1, "byte-order mark"},
        Malformed{"Line512Units", encodeList({kLine, std::u16string(512, u'z')}), kStrict,
                  ListFault::kLineTooLong, 2, "longer than 511 units (line 2)"},
        Malformed{"NulUnit", encodeList({std::u16string(u"a\0b", 3)}), kStrict, ListFault::kNulUnit,
                  1, "NUL unit (line 1)"},
        Malformed{"CarriageReturn", encodeList({kLine + u"\r"}), kStrict,
                  ListFault::kCarriageReturn, 1, "carriage return (line 1)"},
        Malformed{"EmptyLine", encodeList({kLine, u""}), kStrict, ListFault::kEmptyLine, 2,
                  "empty line (line 2)"},
        Malformed{"MoreLinesThanCounted",
                  encodeListHeader(1) + encodeListLine(kLine) + encodeListLine(kLine), kStrict,
                  ListFault::kMoreLinesThanCounted, 2, "header counts (1) (line 2)"},
        Malformed{"FewerLinesThanCounted", encodeListHeader(3) + encodeListLine(kLine), kStrict,
                  ListFault::kFewerLinesThanCounted, 0, "holds 1 lines but its header counts 3"}),
    [](const ::testing::TestParamInfo<Malformed>& info) { return std::string(info.param.name); });

TEST(ListDecoding, HoldsTheLongestLinesAtTheirLimits) {
  // 511 units pass the strict decoder, 1022 units (and the line feed) one
  // read, however the bytes come.
  for (std::size_t chunk : {1, 3, 64, 4096}) {
    SCOPED_TRACE(chunk);
    EXPECT_EQ(decodeInChunks(encodeList({std::u16string(511, u'z')}), chunk, kStrict).fault,
              ListFault::kNone);
    EXPECT_EQ(decodeInChunks(encodeList({std::u16string(512, u'z')}), chunk, kStrict).fault,
              ListFault::kLineTooLong);
    EXPECT_EQ(decodeInChunks(encodeList({std::u16string(1022, u'z')}), chunk, kRaw).fault,
              ListFault::kNone);
    EXPECT_EQ(decodeInChunks(encodeList({std::u16string(1023, u'z')}), chunk, kRaw).fault,
              ListFault::kLineTooLongToRead);
  }
}

TEST(ListDecoding, CountsUpToTheHeadersLimit) {
  std::vector<std::u16string> lines(kListLinesMax, u"x");
  const DecodedList list = decodeList(encodeList(lines), kStrict);
  EXPECT_EQ(list.fault, ListFault::kNone) << list.message;
  EXPECT_EQ(list.count, kListLinesMax);
  // One more line than the header can count is one more than it counts.
  const DecodedList over = decodeList(encodeList(lines) + encodeListLine(u"x"), kStrict);
  EXPECT_EQ(over.fault, ListFault::kMoreLinesThanCounted);
  EXPECT_EQ(over.faultLine, kListLinesMax + 1);
}

// The check keeps a list's lines end to end in one buffer, each appended
// as UTF-8.
TEST(ListLineText, IsAppendedAsUtf8AndAnUnpairedSurrogateLeavesTheTextAsItWas) {
  std::string text = "NAVI\\a.dat";
  EXPECT_TRUE(appendUtf16AsUtf8(u"NAVI\\Fran\u00E7ais\\\U0001F600.dat", text));
  EXPECT_EQ(text,
            "NAVI\\a.datNAVI\\Fran\xC3\xA7"
            "ais\\\xF0\x9F\x98\x80.dat");
  for (const std::u16string& bad : {std::u16string(u"abc\xD800"), std::u16string(u"\xDC00x")}) {
    std::string kept = "before";
    EXPECT_FALSE(appendUtf16AsUtf8(bad, kept));
    EXPECT_EQ(kept, "before");
  }
}

// Writes the fuzzers' seed lists into the folder named by
// QUILLET_FUZZ_SEEDS (scripts/fuzz.sh sets it), made by the encoder so the
// seeds cannot drift from the format.
TEST(ListFuzzSeeds, AreWrittenWhereTheFuzzScriptAsks) {
  const char* folder = std::getenv("QUILLET_FUZZ_SEEDS");
  if (folder == nullptr) GTEST_SKIP() << "QUILLET_FUZZ_SEEDS is not set (scripts/fuzz.sh sets it)";
  const std::vector<std::pair<std::string, std::string>> seeds = {
      {"seed-one-file", encodeList({u"FlashDrive\\x"})},
      {"seed-two-files", encodeListHeader(2) + encodeListLine(u"FlashDrive\\A\\b") +
                             encodeListLine(u"") + encodeListLine(u"FlashDrive\\c")},
      {"seed-empty-list", encodeListHeader(0)},
      {"seed-second-form", encodeList({u"$FileList.txt", u"NAVI\\Voices\\Fran\u00E7ais\\a.wav"})},
      {"seed-folder-list",
       encodeList({u"FlashDrive\\NAVI", u"FlashDrive\\NAVI\\Maps", u"FlashDrive\\NAVI"})},
  };
  for (const auto& [name, bytes] : seeds) {
    std::ofstream(std::string(folder) + "/" + name, std::ios::binary) << bytes;
  }
}

}  // namespace
}  // namespace quillet
