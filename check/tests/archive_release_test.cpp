// Releases in archives whose entry data is wrong: the failure is the zip
// reader's own message, said once, at the entry, and a size failure comes
// before any CRC failure.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "digest_of.h"
#include "list_format.h"
#include "md5.h"
#include "release_check.h"
#include "release_files.h"
#include "report_text.h"
#include "utf.h"
#include "zip_reader.h"
#include "zip_writer.h"

namespace quillet::check {
namespace {

using quillet::testing::ScratchFolder;
using quillet::testing::u16;
using ::testing::HasSubstr;
using zip::testing::put32;
using zip::testing::WriterEntry;
using zip::testing::WrittenZip;

constexpr char kMapContents[] = "roads, roads and more roads; the map of the release";

using testing::digestOf;

// The CRC-32 of `bytes` as 8 hex digits.
std::string crcOf(const std::string& bytes) {
  const auto crc =
      ::crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size()));
  char text[16];
  std::snprintf(text, sizeof text, "%08lx", static_cast<unsigned long>(crc));
  return text;
}

// What goes wrong with NAVI/map.dat (entry #4): its CRC-32, or its CRC-32
// and its declared size.
enum class Damage { kCrc, kCrcAndSize };

struct DamagedEntry {
  const char* name;
  std::uint16_t method;  // of NAVI/map.dat
  bool listed;           // NAVI/map.dat has a line (read with the digest) or not (read last)
  Damage damage;
};

class DamagedArchiveEntry : public ::testing::TestWithParam<DamagedEntry> {
 protected:
  // A release whose lists and digest are right, NAVI/map.dat damaged in
  // both of its headers alike.
  WrittenZip write() {
    const DamagedEntry& c = GetParam();
    std::vector<std::u16string> lines = {u16("$FileList.txt"), u16("$FolderList.txt")};
    if (c.listed) lines.push_back(u16("NAVI\\map.dat"));
    lines.push_back(u16("NAVI\\poi.dat"));
    const std::string fileList = encodeList(lines);
    const std::string folderList = encodeList({u16("FlashDrive\\NAVI")});
    const std::string poi = "poi 1\n";
    const std::string listed =
        fileList + folderList + (c.listed ? std::string(kMapContents) : "") + poi;
    WrittenZip zip = zip::testing::writeZip(
        {WriterEntry("$FileList.txt", fileList), WriterEntry("$FolderList.txt", folderList),
         WriterEntry("$md5.bin", digestOf(listed), 0),
         WriterEntry("NAVI/map.dat", kMapContents, c.method), WriterEntry("NAVI/poi.dat", poi)});
    put32(zip.bytes, zip.local[3] + 14, 0x12345678);
    put32(zip.bytes, zip.central[3] + 16, 0x12345678);
    if (c.damage == Damage::kCrcAndSize) {
      const std::uint32_t size = sizeof kMapContents;  // one more than its length
      put32(zip.bytes, zip.local[3] + 22, size);
      put32(zip.bytes, zip.central[3] + 24, size);
      if (c.method == 0) {  // stored: both sizes
        put32(zip.bytes, zip.local[3] + 18, size);
        put32(zip.bytes, zip.central[3] + 20, size);
      }
    }
    return zip;
  }

  // What the zip reader itself says reading NAVI/map.dat.
  static std::string readerMessage(const std::string& bytes) {
    zip::MemorySource source(bytes);
    zip::Reader reader;
    EXPECT_TRUE(reader.open(source));
    EXPECT_FALSE(reader.readEntry(3, [](const std::uint8_t*, std::size_t) { return true; }));
    return reader.message();
  }
};

TEST_P(DamagedArchiveEntry, IsReportedOnceWithTheReadersMessage) {
  const WrittenZip zip = write();
  ScratchFolder scratch;
  scratch.file("release.zip", zip.bytes);
  const CheckReport report = checkPath((scratch.root() / "release.zip").string());
  EXPECT_EQ(report.exitCode(), kExitDamaged) << textReport(report);
  const std::string message = readerMessage(zip.bytes);
  if (GetParam().damage == Damage::kCrc) {
    EXPECT_EQ(message, "entry #4 \"NAVI/map.dat\": its data has CRC-32 " + crcOf(kMapContents) +
                           ", the directory says 12345678");
  } else {
    EXPECT_THAT(message, HasSubstr("entry #4 \"NAVI/map.dat\": "));
    EXPECT_THAT(message, ::testing::Not(HasSubstr("CRC")));
  }
  std::vector<std::string> errors;
  for (const Finding& finding : report.findings) {
    if (finding.exitCode == kExitDamaged) {
      errors.push_back(report.said(finding));
    }
  }
  EXPECT_EQ(errors, std::vector<std::string>{"entry 'NAVI/map.dat': " + message})
      << textReport(report);
  EXPECT_EQ(report.foundDigest.empty(), GetParam().listed);
}

INSTANTIATE_TEST_SUITE_P(
    ReleaseCheck, DamagedArchiveEntry,
    ::testing::Values(DamagedEntry{"InflatedListedCrc", 8, true, Damage::kCrc},
                      DamagedEntry{"InflatedUnlistedCrc", 8, false, Damage::kCrc},
                      DamagedEntry{"StoredListedCrc", 0, true, Damage::kCrc},
                      DamagedEntry{"InflatedListedSize", 8, true, Damage::kCrcAndSize},
                      DamagedEntry{"StoredListedSize", 0, true, Damage::kCrcAndSize}),
    [](const ::testing::TestParamInfo<DamagedEntry>& info) {
      return std::string(info.param.name);
    });

// A list whose data is damaged is said once, at its reading, though the
// file list names it and the digest would read it again.
class DamagedList : public ::testing::TestWithParam<std::size_t> {};

TEST_P(DamagedList, IsReportedOnce) {
  const std::size_t damaged = GetParam();  // the entry: 0 the file list, 1 the folder list
  const std::vector<std::u16string> lines = {u16("$FileList.txt"), u16("$FolderList.txt"),
                                             u16("NAVI\\poi.dat")};
  const std::string fileList = encodeList(lines);
  const std::string folderList = encodeList({u16("FlashDrive\\NAVI")});
  WrittenZip zip = zip::testing::writeZip(
      {WriterEntry("$FileList.txt", fileList), WriterEntry("$FolderList.txt", folderList),
       WriterEntry("$md5.bin", digestOf(""), 0), WriterEntry("NAVI/poi.dat", "poi")});
  put32(zip.bytes, zip.local[damaged] + 14, 0x12345678);
  put32(zip.bytes, zip.central[damaged] + 16, 0x12345678);
  ScratchFolder scratch;
  scratch.file("release.zip", zip.bytes);
  const CheckReport report = checkPath((scratch.root() / "release.zip").string());
  EXPECT_EQ(report.exitCode(), kExitDamaged) << textReport(report);
  std::size_t said = 0;
  for (const Finding& finding : report.findings) {
    if (report.messageText(finding).find("the directory says 12345678") != std::string::npos)
      ++said;
  }
  EXPECT_EQ(said, 1u) << textReport(report);
  EXPECT_TRUE(report.foundDigest.empty());
}

INSTANTIATE_TEST_SUITE_P(ReleaseCheck, DamagedList, ::testing::Values(0u, 1u));

// A list's declared size is the archive's word: one far beyond what its
// count of lines can hold claims no room for it, and reading it ends with
// the size found wrong.
TEST(ListDeclaredSize, FarBeyondItsLinesIsRefusedAsDamage) {
  const std::string fileList =
      encodeList({u16("$FileList.txt"), u16("$FolderList.txt"), u16("NAVI\\poi.dat")});
  WrittenZip zip = zip::testing::writeZip(
      {WriterEntry("$FileList.txt", fileList),
       WriterEntry("$FolderList.txt", encodeList({u16("FlashDrive\\NAVI")})),
       WriterEntry("$md5.bin", digestOf(""), 0), WriterEntry("NAVI/poi.dat", "poi")},
      /*zip64=*/true);
  // (the Zip64 field's first value, after its id and size, is the size)
  const std::uint64_t huge = std::uint64_t{1} << 62;
  for (const std::uint64_t field : {zip.local[0] + 30 + 13, zip.central[0] + 46 + 13}) {
    for (int byte = 0; byte < 8; ++byte) {
      zip.bytes[field + 4 + byte] = static_cast<char>((huge >> (8 * byte)) & 0xFF);
    }
  }
  ScratchFolder scratch;
  scratch.file("release.zip", zip.bytes);
  const CheckReport report = checkPath((scratch.root() / "release.zip").string());
  EXPECT_EQ(report.exitCode(), kExitDamaged) << textReport(report);
  EXPECT_THAT(textReport(report), HasSubstr("error: entry '$FileList.txt': "))
      << textReport(report);
}

// Contents of every size, in an order the list does not follow: an
// inflated entry larger than a megabyte, a stored one of several chunks,
// and thousands of small ones. The digest sees every byte once, in list
// order.
TEST(ListedContents, OfEverySizeDigestInListOrder) {
  std::string big;
  for (std::uint32_t i = 0; big.size() < 1300 * 1024; ++i) {
    big += "line " + std::to_string(i * 2654435761u % 100003) + " of the map\n";
  }
  std::string stored;
  for (std::uint32_t i = 0; stored.size() < 300 * 1024; ++i) stored += static_cast<char>(i * 7);
  std::vector<std::pair<std::string, std::string>> files = {{"NAVI/big.dat", big}};
  for (int i = 0; i < 3000; ++i) {
    files.emplace_back("NAVI/POI/p" + std::to_string(i) + ".dat", "poi " + std::to_string(i));
  }
  files.emplace_back("NAVI/stored.dat", stored);
  std::vector<std::u16string> lines = {u16("$FileList.txt"), u16("$FolderList.txt")};
  for (auto it = files.rbegin(); it != files.rend(); ++it) {  // list order is not archive order
    std::string line = it->first;
    for (char& c : line) c = c == '/' ? '\\' : c;
    lines.push_back(u16(line));
  }
  const std::string fileList = encodeList(lines);
  const std::string folderList =
      encodeList({u16("FlashDrive\\NAVI"), u16("FlashDrive\\NAVI\\POI")});
  std::string listed = fileList + folderList;
  for (auto it = files.rbegin(); it != files.rend(); ++it) listed += it->second;
  std::vector<WriterEntry> entries = {WriterEntry("$FileList.txt", fileList),
                                      WriterEntry("$FolderList.txt", folderList),
                                      WriterEntry("$md5.bin", digestOf(listed), 0)};
  for (const auto& [name, contents] : files) {
    entries.emplace_back(name, contents, name == "NAVI/stored.dat" ? 0 : 8);
  }
  ScratchFolder scratch;
  scratch.file("release.zip", zip::testing::writeZip(entries).bytes);
  const CheckReport report = checkPath((scratch.root() / "release.zip").string());
  EXPECT_EQ(report.exitCode(), kExitPassed) << textReport(report);
  EXPECT_EQ(report.files, files.size() + 3);
  EXPECT_FALSE(report.foundDigest.empty());
  EXPECT_EQ(report.foundDigest, report.expectedDigest);
}

// A release whose top-level files match only when case is ignored has them
// read all the same, with the same verdict and digest.
struct TopLevelNames {
  const char* name;
  const char* fileList;
  const char* folderList;
  const char* digest;
};

class TopLevelNamesInAnotherCase : public ::testing::TestWithParam<TopLevelNames> {};

TEST_P(TopLevelNamesInAnotherCase, AreReadAllTheSame) {
  const TopLevelNames& c = GetParam();
  std::vector<std::u16string> lines = {u16(c.fileList), u16(c.folderList)};
  std::vector<std::pair<std::string, std::string>> files;
  for (int i = 0; i < 300; ++i) {
    files.emplace_back("NAVI/p" + std::to_string(i) + ".dat", "poi " + std::to_string(i));
    lines.push_back(u16("NAVI\\p" + std::to_string(i) + ".dat"));
  }
  const std::string fileList = encodeList(lines);
  const std::string folderList = encodeList({u16("FlashDrive\\NAVI")});
  std::string listed = fileList + folderList;
  for (const auto& [name, contents] : files) listed += contents;
  std::vector<WriterEntry> entries = {WriterEntry(c.fileList, fileList),
                                      WriterEntry(c.folderList, folderList),
                                      WriterEntry(c.digest, digestOf(listed), 0)};
  for (const auto& [name, contents] : files) entries.emplace_back(name, contents, 0);
  ScratchFolder scratch;
  scratch.file("release.zip", zip::testing::writeZip(entries).bytes);
  const CheckReport report = checkPath((scratch.root() / "release.zip").string());
  EXPECT_EQ(report.exitCode(), kExitPassed) << textReport(report);
  EXPECT_EQ(report.listedFiles, lines.size());
  EXPECT_FALSE(report.foundDigest.empty());
  EXPECT_EQ(report.foundDigest, report.expectedDigest);
}

INSTANTIATE_TEST_SUITE_P(
    ReleaseCheck, TopLevelNamesInAnotherCase,
    ::testing::Values(TopLevelNames{"AllExact", "$FileList.txt", "$FolderList.txt", "$md5.bin"},
                      TopLevelNames{"DigestOnly", "$FileList.txt", "$FolderList.txt", "$MD5.bin"},
                      TopLevelNames{"FolderListOnly", "$FileList.txt", "$FOLDERLIST.TXT",
                                    "$md5.bin"},
                      TopLevelNames{"All", "$filelist.txt", "$folderlist.txt", "$MD5.BIN"}),
    [](const ::testing::TestParamInfo<TopLevelNames>& info) {
      return std::string(info.param.name);
    });

// Entries that cannot be read are each said, up to kDamagedEntriesMax of
// them; one more and the check says so once and reads no more.
class DamagedEntryCount : public ::testing::TestWithParam<std::size_t> {};

TEST_P(DamagedEntryCount, IsSaidUpToItsLimitThenTheRestIsNotRead) {
  std::vector<WriterEntry> entries = {
      WriterEntry("$FileList.txt", encodeList({u16("$FileList.txt"), u16("$FolderList.txt")})),
      WriterEntry("$FolderList.txt", encodeList({})), WriterEntry("$md5.bin", digestOf(""), 0)};
  for (std::size_t k = 0; k < kDamagedEntriesMax + GetParam(); ++k) {
    entries.emplace_back("bad/" + std::to_string(k), "contents", 0);
  }
  WrittenZip zip = zip::testing::writeZip(entries);
  for (std::size_t k = 3; k < entries.size(); ++k) {
    put32(zip.bytes, zip.local[k] + 14, 0x0BADC0DE);
    put32(zip.bytes, zip.central[k] + 16, 0x0BADC0DE);
  }
  ScratchFolder scratch;
  scratch.file("release.zip", zip.bytes);
  const CheckReport report = checkPath((scratch.root() / "release.zip").string());
  EXPECT_EQ(report.exitCode(), kExitDamaged);
  std::size_t crcs = 0;
  std::vector<std::string> others;
  for (const Finding& finding : report.findings) {
    const std::string said = report.said(finding);
    if (said.find("its data has CRC-32") != std::string::npos) {
      ++crcs;
    } else if (finding.exitCode == kExitDamaged) {
      others.push_back(said);
    }
  }
  EXPECT_EQ(crcs, kDamagedEntriesMax);
  if (GetParam() == 0) {
    EXPECT_THAT(others, ::testing::IsEmpty());
  } else {
    EXPECT_THAT(others, ::testing::ElementsAre("more than 4096 entries could not be read: the "
                                               "rest of the archive was not read"));
  }
}

INSTANTIATE_TEST_SUITE_P(ReleaseCheck, DamagedEntryCount, ::testing::Values(0u, 1u));

// A file list, short or long in lines and text, says what it finds in line
// order: a line naming nothing near its beginning, and near its end a line
// matching only when case is ignored, a line repeating one of the first and
// another naming nothing. (The archive has no folder entries: NAVI, holding
// only NAVI/POI, needs its folder line all the same.)
struct LongList {
  std::size_t count;    // lines of $FileList.txt
  std::size_t padding;  // bytes more in each file's name
};

class LongFileList : public ::testing::TestWithParam<LongList> {};

TEST_P(LongFileList, SaysWhatItFindsInLineOrder) {
  const std::size_t count = GetParam().count;
  const std::string pad(GetParam().padding, 'q');
  const std::size_t pois = count - 6;
  std::vector<std::u16string> lines = {u16("$FileList.txt"), u16("$FolderList.txt"),
                                       u16("NAVI\\gone-a.dat")};
  for (std::size_t k = pois; k-- > 0;)
    lines.push_back(u16("NAVI\\POI\\p" + std::to_string(k) + pad + ".dat"));
  lines.push_back(u16("NAVI\\POI\\LOOSE.DAT"));
  lines.push_back(lines[3]);
  lines.push_back(u16("NAVI\\gone-b.dat"));
  ASSERT_EQ(lines.size(), count);
  const std::string fileList = encodeList(lines);
  std::vector<WriterEntry> entries = {
      WriterEntry("$FileList.txt", fileList),
      WriterEntry("$FolderList.txt",
                  encodeList({u16("FlashDrive\\NAVI"), u16("FlashDrive\\NAVI\\POI")})),
      WriterEntry("$md5.bin", digestOf(""), 0), WriterEntry("NAVI/POI/Loose.dat", "loose", 0)};
  for (std::size_t k = 0; k < pois; ++k) {
    entries.emplace_back("NAVI/POI/p" + std::to_string(k) + pad + ".dat", "poi", 0);
  }
  ScratchFolder scratch;
  scratch.file("release.zip", zip::testing::writeZip(entries).bytes);
  const CheckReport report = checkPath((scratch.root() / "release.zip").string());

  EXPECT_EQ(report.exitCode(), kExitListsDisagree) << textReport(report);
  const auto line = [](std::size_t number) {
    return "$FileList.txt line " + std::to_string(number);
  };
  std::vector<std::string> said;
  for (const Finding& finding : report.findings) said.push_back(report.said(finding));
  EXPECT_THAT(said,
              ::testing::ElementsAre(
                  line(3) + ": names 'NAVI\\gone-a.dat', which is nothing in the release",
                  line(count - 2) + ": matches entry 'NAVI/POI/Loose.dat' only when case is "
                                    "ignored (the device's file system would find it)",
                  line(count - 1) + ": repeats " + line(4),
                  line(count) + ": names 'NAVI\\gone-b.dat', which is nothing in the release"));
  // Every line reads as the list has it, whether it names a file or not.
  ASSERT_EQ(report.fileList.size(), count);
  for (const std::size_t i : {std::size_t{2}, std::size_t{3}, count / 2, count - 3, count - 1}) {
    EXPECT_EQ(report.fileList[i], *utf16ToUtf8(lines[i])) << "line " << i + 1;
  }
}

// The lines of a list that name nothing exactly are each said, up to the
// text the check keeps of them; one byte more and the list is refused.
class ListTextLimit : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ListTextLimit, IsKeptUpToItAndRefusedOneBytePast) {
  constexpr std::size_t kLineBytes = 128;
  constexpr std::size_t kCount = ListLines::kTextBytesMax / kLineBytes;
  std::vector<std::u16string> lines = {u16("$FileList.txt"), u16("$FolderList.txt")};
  for (std::size_t k = 0; k < kCount; ++k) {
    std::string line = "gone/" + std::to_string(k) + "-";
    line.resize(kLineBytes + (k == 0 ? GetParam() : 0), 'g');
    lines.push_back(u16(line));
  }
  const std::string fileList = encodeList(lines);
  const std::string folderList = encodeList({});
  ScratchFolder scratch;
  scratch.file("release.zip", zip::testing::writeZip({WriterEntry("$FileList.txt", fileList),
                                                      WriterEntry("$FolderList.txt", folderList),
                                                      WriterEntry("$md5.bin", digestOf(""), 0)})
                                  .bytes);
  const CheckReport report = checkPath((scratch.root() / "release.zip").string());
  const std::string text = textReport(report);
  if (GetParam() == 0) {
    EXPECT_EQ(report.exitCode(), kExitListsDisagree) << text.substr(0, 2000);
    EXPECT_NE(text.find("line " + std::to_string(kCount + 2) + ": names 'gone/"),
              std::string::npos);
  } else {
    EXPECT_EQ(report.exitCode(), kExitDamaged) << text.substr(0, 2000);
    EXPECT_NE(text.find("entry '$FileList.txt': not supported: its lines that name nothing "
                        "exactly take more than 4194304 bytes"),
              std::string::npos);
    EXPECT_NE(text.find("Verdict: FAIL: the release is not supported"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(ReleaseCheck, ListTextLimit, ::testing::Values(0u, 1u));

INSTANTIATE_TEST_SUITE_P(ReleaseCheck, LongFileList,
                         ::testing::Values(LongList{300, 0}, LongList{6000, 200}));

}  // namespace
}  // namespace quillet::check

namespace quillet::check {
namespace {

// An archive of `count` empty entries, the smallest there are: `folders`
// folder entries, then files.
std::string archiveOfEmpties(std::uint64_t count, std::uint64_t folders) {
  std::vector<zip::testing::WriterEntry> entries;
  entries.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) {
    entries.emplace_back((i < folders ? "d" : "f") + std::to_string(i) + (i < folders ? "/" : ""),
                         "", 0);
  }
  return zip::testing::writeZip(entries, count > 0xFFFF).bytes;
}

// The check's own refusals of releases larger than a release can be.
std::vector<std::string> refusals(const CheckReport& report) {
  std::vector<std::string> said;
  for (const Finding& finding : report.findings) {
    const std::string text = report.messageText(finding);
    if (text.find("not supported") != std::string::npos) said.push_back(text);
  }
  return said;
}

// An archive may hold as many entries as a release can (a full file list's
// files, $md5.bin and the most folders), and is refused before they are
// read when it declares one more.
TEST(ArchiveEntryCount, IsRefusedOnePastWhatAReleaseCanHold) {
  quillet::testing::ScratchFolder scratch;
  scratch.file("at.zip", archiveOfEmpties(kReleaseEntriesMax, kFoldersMax));
  scratch.file("past.zip", archiveOfEmpties(kReleaseEntriesMax + 1, kFoldersMax));
  const std::string refusal = "holds " + std::to_string(kReleaseEntriesMax + 1) +
                              " entries, more than the " + std::to_string(kReleaseEntriesMax) +
                              " a release can hold";

  const CheckReport at = checkPath((scratch.root() / "at.zip").string());
  EXPECT_THAT(refusals(at), ::testing::IsEmpty());
  EXPECT_EQ(at.folders, kFoldersMax);
  EXPECT_EQ(at.files, kReleaseEntriesMax - kFoldersMax);

  const CheckReport past = checkPath((scratch.root() / "past.zip").string());
  EXPECT_EQ(past.exitCode(), kExitDamaged);
  ASSERT_EQ(past.findings.size(), 1u);
  EXPECT_THAT(past.messageText(past.findings[0]), HasSubstr(refusal));
}

// A release holds as many folders as the packer's walk scans at most, every
// folder on the way to an entry counted; one more is refused, once, and the
// folders of deep paths are not noted past it (1,000 paths 760 folders deep
// would otherwise claim 600 MiB). The names are made when the case runs, not
// when the test program starts: every case runs in a process of its own.
struct FolderCase {
  const char* title;
  std::function<std::vector<std::string>()> names;
  bool refused;
};

void PrintTo(const FolderCase& c, std::ostream* out) { *out << c.title; }

class FolderCount : public ::testing::TestWithParam<FolderCase> {};

TEST_P(FolderCount, IsRefusedOnePastWhatThePackerScans) {
  std::vector<zip::testing::WriterEntry> entries;
  for (const std::string& name : GetParam().names()) entries.emplace_back(name, "", 0);
  quillet::testing::ScratchFolder scratch;
  scratch.file("release.zip", zip::testing::writeZip(entries, entries.size() > 0xFFFF).bytes);
  const CheckReport report = checkPath((scratch.root() / "release.zip").string());
  const std::string refusal = "not supported: the release holds more than " +
                              std::to_string(kFoldersMax) +
                              " folders, the most the packer's "
                              "walk scans";
  if (GetParam().refused) {
    EXPECT_THAT(refusals(report), ::testing::ElementsAre(refusal));
    EXPECT_EQ(report.exitCode(), kExitDamaged);
    EXPECT_TRUE(report.onlyUnsupported());
    EXPECT_EQ(report.folders, kFoldersMax);
  } else {
    EXPECT_THAT(refusals(report), ::testing::IsEmpty());
    EXPECT_EQ(report.folders, kFoldersMax);
  }
}

std::vector<std::string> folderEntries(std::size_t count) {
  std::vector<std::string> names;
  for (std::size_t i = 0; i < count; ++i) names.push_back("d" + std::to_string(i) + "/");
  return names;
}

// Files `depth` folders deep under folders of their own: "NNN/a/a/.../f".
std::vector<std::string> deepFiles(std::size_t count, std::size_t depth) {
  std::vector<std::string> names;
  for (std::size_t i = 0; i < count; ++i) {
    std::string name = std::to_string(i) + "/";
    for (std::size_t k = 1; k < depth; ++k) name += "a/";
    names.push_back(name + "f");
  }
  return names;
}

INSTANTIATE_TEST_SUITE_P(
    ReleaseCheck, FolderCount,
    ::testing::Values(
        FolderCase{"FolderEntriesAtTheMost", [] { return folderEntries(kFoldersMax); }, false},
        FolderCase{"OneFolderEntryMore", [] { return folderEntries(kFoldersMax + 1); }, true},
        FolderCase{"FoldersOnTheWayAtTheMost", [] { return deepFiles(kFoldersMax / 5, 5); }, false},
        FolderCase{"DeepPaths", [] { return deepFiles(1000, 760); }, true}),
    [](const ::testing::TestParamInfo<FolderCase>& info) { return info.param.title; });

// A file line reads as the list has it, whether it names a file exactly or
// with "/" where the list should have "\\" (which also finds the file).
TEST(FileListLines, ReadAsTheListHasThem) {
  const std::vector<std::u16string> lines = {u16("$FileList.txt"), u16("$FolderList.txt"),
                                             u16("NAVI\\a.dat"), u16("NAVI/b.dat"),
                                             u16("NAVI\\gone.dat")};
  const std::string fileList = encodeList(lines);
  const std::string folderList = encodeList({u16("FlashDrive\\NAVI")});
  const std::vector<WriterEntry> entries = {
      WriterEntry("$FileList.txt", fileList), WriterEntry("$FolderList.txt", folderList),
      WriterEntry("$md5.bin", digestOf(fileList + folderList + "ab"), 0),
      WriterEntry("NAVI/a.dat", "a", 0), WriterEntry("NAVI/b.dat", "b", 0)};
  ScratchFolder scratch;
  scratch.file("release.zip", zip::testing::writeZip(entries).bytes);
  const CheckReport report = checkPath((scratch.root() / "release.zip").string());

  ASSERT_EQ(report.fileList.size(), lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(report.fileList[i], *utf16ToUtf8(lines[i])) << "line " << i + 1;
  }
  std::vector<std::string> said;
  for (const Finding& finding : report.findings) said.push_back(report.said(finding));
  EXPECT_THAT(said, ::testing::ElementsAre("$FileList.txt line 5: names 'NAVI\\gone.dat', "
                                           "which is nothing in the release"));
}

// An entry may have as long a name as a list line can name, and the archive
// is refused before the name is held when one is a byte longer.
TEST(ArchiveEntryNameLength, IsRefusedOneBytePastWhatAListLineCanName) {
  quillet::testing::ScratchFolder scratch;
  const auto archive = [](std::size_t nameBytes) {
    return zip::testing::writeZip(
               {{"NAVI/" + std::string(nameBytes - 5, 'n'), "x", 0}, {"$md5.bin", "", 0}})
        .bytes;
  };
  scratch.file("at.zip", archive(kEntryNameBytesMax));
  scratch.file("past.zip", archive(kEntryNameBytesMax + 1));

  const CheckReport at = checkPath((scratch.root() / "at.zip").string());
  EXPECT_EQ(at.files, 2u) << textReport(at);
  for (const Finding& finding : at.findings) {
    EXPECT_THAT(at.messageText(finding), ::testing::Not(HasSubstr("its name takes")));
  }

  const CheckReport past = checkPath((scratch.root() / "past.zip").string());
  EXPECT_EQ(past.exitCode(), kExitDamaged);
  ASSERT_EQ(past.findings.size(), 1u);
  EXPECT_THAT(past.messageText(past.findings[0]), HasSubstr("entry #1 \"NAVI/nnn"));
  EXPECT_THAT(past.messageText(past.findings[0]),
              HasSubstr("its name takes " + std::to_string(kEntryNameBytesMax + 1) +
                        " bytes, more than the " + std::to_string(kEntryNameBytesMax) +
                        " a line of a list can name"));
}

}  // namespace
}  // namespace quillet::check
