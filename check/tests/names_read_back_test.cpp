// An archive's names stay in its central directory, and the check reads
// each back when it needs it: every rule that looks at a name (the tables,
// the folders, the lists, the messages) is run here on a release with
// something to say about nearly every name.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "digest_of.h"
#include "list_format.h"
#include "release_check.h"
#include "release_files.h"
#include "report_text.h"
#include "utf.h"
#include "zip_writer.h"

namespace quillet::check {
namespace {

using quillet::testing::ScratchFolder;
using quillet::testing::u16;
using testing::digestOf;
using ::testing::HasSubstr;
using zip::testing::put32;
using zip::testing::WriterEntry;
using zip::testing::WrittenZip;

const std::string kLongName = "Long/" + std::string(300, 'x') + ".dat";

// A release with something to say about nearly every name: lines matching
// exactly, only when case is ignored, naming a folder, nothing, or a file in
// the walk's form, a repeated line; files unlisted or differing only in case;
// names in the legacy code page, from a Unicode Path field, that the
// device's file system cannot hold, or too long for it; folder lines exact,
// in another case, for an empty folder, for none, and a folder with no line.
// Without `faults` the release passes, with its warnings.
std::vector<WriterEntry> release(bool faults) {
  std::vector<std::string> files = {"NAVI\\map.dat",    "NAVI\\POI.DAT",
                                    "Voices\\über.wav", "Maps\\日本.map",
                                    "Maps\\bad?.dat",   "Long\\" + std::string(300, 'x') + ".dat",
                                    "NAVI\\poi.dat",    "$FileList-cfg.txt"};
  std::vector<std::string> folders = {"FlashDrive\\NAVI", "FlashDrive\\voices", "FlashDrive\\Long",
                                      "FlashDrive\\Maps"};
  if (faults) {
    files.insert(files.begin() + 3,
                 {"NAVI", "gone.dat", "FlashDrive\\NAVI\\map.dat", "NAVI\\map.dat"});
    folders.pop_back();  // Maps has no line
    folders.insert(folders.end(), {"FlashDrive\\Empty", "FlashDrive\\Nowhere"});
  }
  std::vector<std::u16string> fileLines = {u16("$FileList.txt"), u16("$FolderList.txt")};
  for (const std::string& line : files) fileLines.push_back(u16(line));
  std::vector<std::u16string> folderLines;
  for (const std::string& line : folders) folderLines.push_back(u16(line));
  const std::string fileList = encodeList(fileLines);
  const std::string folderList = encodeList(folderLines);
  const std::string listed =
      fileList + folderList + "map" + "Poi" + "wav" + "jp" + "bad" + "long" + "poi";
  WriterEntry unicode("Maps/??.map", "jp", 8);
  unicode.extra = zip::testing::unicodePathField("Maps/??.map", "Maps/日本.map");
  std::vector<WriterEntry> entries = {WriterEntry("$FileList.txt", fileList),
                                      WriterEntry("$FolderList.txt", folderList),
                                      WriterEntry("$md5.bin", digestOf(listed), 0),
                                      WriterEntry("NAVI/", "", 0),
                                      WriterEntry("NAVI/map.dat", "map", 0),
                                      WriterEntry("NAVI/Poi.dat", "Poi", 8),
                                      WriterEntry("Voices/\x81"
                                                  "ber.wav",
                                                  "wav", 0),
                                      unicode,
                                      WriterEntry("Maps/bad?.dat", "bad", 0),
                                      WriterEntry(kLongName, "long", 8),
                                      WriterEntry("NAVI/poi.dat", "poi", 0),
                                      WriterEntry("$FileList-cfg.txt", "cfg", 0)};
  if (faults) {
    entries.emplace_back("NAVI/unlisted.dat", "more", 0);
    entries.emplace_back("Empty/", "", 0);
  }
  for (WriterEntry& entry : entries) {
    if (entry.name.find('\x81') == std::string::npos && entry.extra.empty()) entry.flags = 0x0800;
  }
  return entries;
}

// How a release is spoiled before it is checked.
enum class Spoil { kNothing, kFaults, kRepeatedName, kCrc, kLocalName };

struct ReadBackCase {
  const char* title;
  Spoil spoil;
  int exitCode;
  const char* said;  // part of what the report says
};

void PrintTo(const ReadBackCase& c, std::ostream* out) { *out << c.title; }

WrittenZip spoiled(Spoil spoil) {
  std::vector<WriterEntry> entries = release(spoil == Spoil::kFaults);
  if (spoil == Spoil::kRepeatedName) entries.push_back(entries[4]);
  WrittenZip zip = zip::testing::writeZip(entries);
  if (spoil == Spoil::kCrc) {  // NAVI/poi.dat, stored, small: read ahead
    put32(zip.bytes, zip.local[10] + 14, 0x0BADC0DE);
    put32(zip.bytes, zip.central[10] + 16, 0x0BADC0DE);
  }
  if (spoil == Spoil::kLocalName) zip.bytes[zip.local[4] + 30 + 5] = 'M';  // NAVI/Map.dat
  return zip;
}

class NamesReadBack : public ::testing::TestWithParam<ReadBackCase> {};

TEST_P(NamesReadBack, SayWhatIsWrongWithEachName) {
  const ReadBackCase& c = GetParam();
  ScratchFolder scratch;
  scratch.file("release.zip", spoiled(c.spoil).bytes);
  const CheckReport report = checkPath((scratch.root() / "release.zip").string());
  EXPECT_EQ(report.exitCode(), c.exitCode) << textReport(report);
  EXPECT_THAT(textReport(report), HasSubstr(c.said));
  EXPECT_EQ(report.release->namesLost(), "");
  if (c.spoil == Spoil::kNothing) {  // but "FlashDrive\\voices", in another case
    for (std::size_t i = 0; i < report.folderList.size(); ++i) {
      EXPECT_EQ(report.folderList.isText(i), i == 1) << "folder line " << i + 1;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    ReleaseCheck, NamesReadBack,
    ::testing::Values(
        ReadBackCase{"NamesTheDeviceCannotHold", Spoil::kNothing, kExitDeviceCannotHold,
                     "warning: entry 'Voices/über.wav': has its name stored in a legacy code "
                     "page"},
        ReadBackCase{"EveryKindOfDisagreement", Spoil::kFaults, kExitMalformedLists,
                     "folder 'Maps': holds entries but has no line in $FolderList.txt"},
        ReadBackCase{"RepeatedName", Spoil::kRepeatedName, kExitDamaged,
                     "entry 'NAVI/map.dat': appears more than once"},
        ReadBackCase{"CrcOfAFileReadAhead", Spoil::kCrc, kExitDamaged,
                     "entry #11 \"NAVI/poi.dat\": its data has CRC-32"},
        ReadBackCase{"LocalHeaderNamesAnother", Spoil::kLocalName, kExitDamaged,
                     "its local header names it \"NAVI/Map.dat\""}),
    [](const auto& info) { return std::string(info.param.title); });

// A source's message about an entry is said at the entry, once.
TEST(NamesReadBack, ASourcesMessageIsSaidAtItsEntry) {
  ScratchFolder scratch;
  scratch.file("release.zip", spoiled(Spoil::kCrc).bytes);
  const CheckReport report = checkPath((scratch.root() / "release.zip").string());
  std::vector<std::string> said;
  for (const Finding& finding : report.findings) {
    if (finding.said == Said::kEntryText) said.push_back(report.said(finding));
  }
  ASSERT_EQ(said.size(), 1u) << textReport(report);
  EXPECT_THAT(said[0], HasSubstr("entry 'NAVI/poi.dat': entry #11 \"NAVI/poi.dat\": its data"));
}

// A name that reads otherwise once the archive is open (it changed on disk
// while it was checked) fails the check rather than being taken for another.
TEST(NamesReadBack, ANameChangedWhileCheckedFailsTheCheck) {
  const WrittenZip zip = spoiled(Spoil::kNothing);
  ScratchFolder scratch;
  scratch.file("release.zip", zip.bytes);
  const std::string path = (scratch.root() / "release.zip").string();
  SourceFailure failure = SourceFailure::kNone;
  std::string message;
  std::shared_ptr<ReleaseSource> source = openArchiveRelease(path, &failure, &message);
  ASSERT_NE(source, nullptr) << message;
  {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    if (!file.is_open()) {
      // (Windows lets no one write to a file the check has open.)
      GTEST_SKIP() << "the archive cannot be written while the check has it open";
    }
    file.seekp(static_cast<std::streamoff>(zip.central[4] + 46 + 5));
    file.put('M');  // NAVI/Map.dat
    ASSERT_TRUE(file.good());
  }
  const CheckReport report = checkRelease(source, path);
  EXPECT_EQ(report.exitCode(), kExitDamaged) << textReport(report);
  EXPECT_THAT(textReport(report),
              HasSubstr("entry #5: its name no longer reads as it did in the central directory"));
}

}  // namespace
}  // namespace quillet::check
