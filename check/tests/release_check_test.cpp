// The check's rules on extracted releases that the tests lay out themselves,
// read through the folder source.
#include "release_check.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "digest_of.h"
#include "list_format.h"
#include "md5.h"
#include "memory_release.h"
#include "release_files.h"
#include "release_source.h"
#include "report_text.h"
#include "system_files.h"
#include "utf.h"
#include "zip_writer.h"

namespace quillet::check {
namespace {

using quillet::testing::ScratchFolder;
using quillet::testing::u16;
using ::testing::HasSubstr;

// --- Names unsafe to extract.

struct UnsafeCase {
  const char* name;
  bool unsafe;
};

class UnsafeNames : public ::testing::TestWithParam<UnsafeCase> {};

TEST_P(UnsafeNames, AreThoseThatLeaveTheFolderExtractedTo) {
  EXPECT_EQ(isUnsafeName(GetParam().name), GetParam().unsafe) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(ReleaseCheck, UnsafeNames,
                         ::testing::Values(UnsafeCase{"NAVI/Maps/roads.dat", false},
                                           UnsafeCase{"NAVI/", false}, UnsafeCase{"../evil", true},
                                           UnsafeCase{"a/../../b", true},
                                           UnsafeCase{"a\\..\\b", true},
                                           UnsafeCase{"..a/b..", false},
                                           UnsafeCase{"/etc/passwd", true}, UnsafeCase{"\\x", true},
                                           UnsafeCase{"C:/x", true}, UnsafeCase{"c:x", true},
                                           UnsafeCase{"\xe5\x9c\xb0\xe5\x9c\xb0\xe5\x9c/..", true},
                                           UnsafeCase{"a..b/..c/d..e", false}));

// --- The report.

// A release in memory whose names and lines hold what would steer a
// terminal, and whose findings name entries, lines of both lists and a
// folder.
std::shared_ptr<testing::MemoryRelease> releaseToReport() {
  auto release = std::make_shared<testing::MemoryRelease>();
  const std::string fileList =
      encodeList({u16("$FileList.txt"), u16("NAVI\\\x1B[31m.dat"), u16("NAVI\\a.dat")});
  const std::string folderList = encodeList({u16("BSP")});
  release->add("$FileList.txt", fileList.size(), fileList);
  release->add("$FolderList.txt", folderList.size(), folderList);
  release->add("$md5.bin", 16, std::string(16, '\0'));
  release->add("NAVI/a.dat", 1, "a");
  release->add("NAVI/A.DAT", 1, "A");
  release->add("NAVI/\x1B]0;title\x07.dat", 1, "t");
  return release;
}

TEST(CheckReport, TheLowestErrorCodeWinsAndWarningsNeverFail) {
  CheckReport report;
  report.failWith(kExitPassed, "", "legacy name");
  EXPECT_EQ(report.exitCode(), kExitPassed);
  report.failWith(kExitDigestMismatch, "", "digest");
  report.failWith(kExitListsDisagree, "", "line");
  report.failWith(kExitDigestMismatch, "", "digest");
  EXPECT_EQ(report.exitCode(), kExitListsDisagree);
}

// The text report and --list show names, list lines and the path without
// control characters; the JSON report escapes them as JSON does.
TEST(CheckReport, ShowsWhatTheReleaseNamesWithoutControlCharacters) {
  CheckReport report = checkRelease(releaseToReport(), "rel\x1B[2J");
  const std::string text = textLists(report) + textReport(report);
  EXPECT_EQ(text.find('\x1B'), std::string::npos) << text;
  EXPECT_EQ(text.find('\x07'), std::string::npos) << text;
  EXPECT_THAT(text, HasSubstr("Checking rel<U+001B>[2J (")) << text;
  EXPECT_THAT(text, HasSubstr("\nNAVI\\<U+001B>[31m.dat\n")) << text;
  EXPECT_THAT(text, HasSubstr("error: entry 'NAVI/<U+001B>]0;title<U+0007>.dat': "
                              "'<U+001B>]0;title<U+0007>.dat' holds a control character"))
      << text;
  EXPECT_THAT(text, HasSubstr("names 'NAVI\\<U+001B>[31m.dat', which")) << text;
  const std::string json = jsonReport(report, true);
  EXPECT_THAT(json, HasSubstr("NAVI/\\u001b]0;title\\u0007.dat")) << json;
  EXPECT_THAT(json, HasSubstr("\"path\":\"rel\\u001b[2J\"")) << json;
  EXPECT_THAT(json, HasSubstr("\"verdict\":\"fail\",\"exitCode\":4}")) << json;
}

// A name that is not UTF-8 (a folder's on POSIX) shows as U+FFFD in JSON,
// so two such names would look alike: its bytes are given beside it.
TEST(CheckReport, JsonGivesTheBytesOfANameThatIsNotUtf8) {
  auto release = std::make_shared<testing::MemoryRelease>();
  const std::string fileList = encodeList({u16("$FileList.txt"), u16("$FolderList.txt")});
  const std::string folderList = encodeList({});
  release->add("$FileList.txt", fileList.size(), fileList);
  release->add("$FolderList.txt", folderList.size(), folderList);
  release->add("$md5.bin", 16, testing::digestOf(fileList + folderList));
  release->add("M\xFCller", 0, "");
  release->add("M\xFDller", 0, "");
  const std::string json = jsonReport(checkRelease(release, "rel"), false);
  EXPECT_THAT(json, HasSubstr("\"where\":\"entry 'M\\ufffdller'\",\"nameBytes\":\"4dfc6c6c6572\""));
  EXPECT_THAT(json, HasSubstr("\"nameBytes\":\"4dfd6c6c6572\""));
}

// A report is handed out a finding at a time, with what the findings name
// (entries, lines of both lists) put into words only then; the pieces make
// up the same report as the one-string form.
TEST(CheckReport, HandsOutOneFindingAPieceAndSaysWhatItNames) {
  CheckReport report = checkRelease(releaseToReport(), "rel");
  for (const bool json : {false, true}) {
    std::vector<std::string> pieces;
    const ReportOut out = [&pieces](std::string_view piece) { pieces.emplace_back(piece); };
    std::string whole;
    if (json) {
      writeJsonReport(report, /*withLists=*/false, out);
      whole = jsonReport(report, false);
    } else {
      writeTextReport(report, out);
      whole = textReport(report);
    }
    std::string joined;
    std::size_t withFinding = 0;
    for (const std::string& piece : pieces) {
      joined += piece;
      std::size_t held = 0;  // findings in this piece, told by what each names
      for (const char* mark : {"differs only in case", "31m.dat", "'BSP'"}) {
        if (piece.find(mark) != std::string::npos) ++held;
      }
      EXPECT_LE(held, 1u) << piece;
      withFinding += held;
    }
    EXPECT_EQ(joined, whole);
    EXPECT_EQ(withFinding, 3u) << whole;
  }
}

// --- Releases laid out by hand in a folder.

using testing::digestOf;

std::vector<std::u16string> wide(const std::vector<std::string>& lines) {
  std::vector<std::u16string> out;
  for (const std::string& line : lines) out.push_back(u16(line));
  return out;
}

class FolderRelease : public ::testing::Test {
 protected:
  // Whether this host's file system tells "a" from "A" (Windows and Wine do
  // not), and can hold a name with "?" (Windows cannot).
  bool holdsNamesDifferingInCase() {
    scratch.file("probe/case", "");
    return !scratch.exists("probe/CASE");
  }
  bool holdsNamesWithQuestionMarks() {
    try {
      scratch.file("probe/what?", "");
      return scratch.exists("probe/what?");
    } catch (const std::exception&) {
      return false;
    }
  }

  void SetUp() override {
    files = {{"BSP\\NK.bin", "kernel"},
             {"$FileList-cfg.txt", "config"},
             {"NAVI\\Maps\\roads.dat", "roads"},
             {"$FileList.txt", ""},
             {"$FolderList.txt", ""}};
    folderLines = {"FlashDrive\\BSP", "FlashDrive\\NAVI", "FlashDrive\\NAVI\\Maps",
                   "FlashDrive\\NAVI"};
  }

  // Writes the release: its files, both lists and the digest over the
  // listed files (the lists themselves included, as the packer digests
  // them: they are listed like any file).
  void lay() {
    std::vector<std::string> lines;
    for (const auto& [line, contents] : files) lines.push_back(line);
    const std::string fileList = encodeList(wide(lines));
    const std::string folderList = encodeList(wide(folderLines));
    std::string all;
    for (const auto& [line, contents] : files) {
      std::string path = line;
      for (char& c : path) c = c == '\\' ? '/' : c;
      std::string body = contents;
      if (line == "$FileList.txt") body = fileList;
      if (line == "$FolderList.txt") body = folderList;
      write(path, body);
      if (line.find("$FileList-cfg.txt") == std::string::npos) all += body;
    }
    write("$md5.bin", digestOf(all));
  }

  // Writes a file of the release by its names as they are, the way the
  // check reaches them (on Windows too, "a." and "nul.txt" are what they
  // say).
  void write(const std::string& relative, const std::string& contents) {
    namespace fs = std::filesystem;
    scratch.folder("rel");
    fs::path path = fs::u8path(literalFolderPath((scratch.root() / "rel").string()));
    std::size_t from = 0;
    for (std::size_t slash; (slash = relative.find('/', from)) != std::string::npos;
         from = slash + 1) {
      path /= fs::u8path(relative.substr(from, slash - from));
      fs::create_directory(path);
    }
    std::ofstream(path / fs::u8path(relative.substr(from)), std::ios::binary) << contents;
  }

  // The release goes by its literal path: Windows cannot remove "a." or
  // "nul.txt" by its plain one (and the scratch folder's removal would
  // never end).
  ~FolderRelease() override {
    removeLiterally(std::filesystem::u8path(literalFolderPath((scratch.root() / "rel").string())));
  }
  static void removeLiterally(const std::filesystem::path& path) {
    std::vector<std::pair<std::string, PathKind>> entries;
    std::string error;
    listFolder(
        path.u8string(),
        [&](std::string_view name, PathKind kind) {
          entries.emplace_back(name, kind);
          return true;
        },
        &error);
    for (const auto& [name, kind] : entries) {
      if (kind == PathKind::kFolder) removeLiterally(path / std::filesystem::u8path(name));
      std::error_code ignored;
      std::filesystem::remove(path / std::filesystem::u8path(name), ignored);
    }
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
  }

  CheckReport check() { return checkPath((scratch.root() / "rel").string()); }

  // The first error's text (where and message), for failure expectations.
  static std::string firstError(const CheckReport& report) {
    for (const Finding& finding : report.findings) {
      if (finding.exitCode != kExitPassed) return report.said(finding);
    }
    return "";
  }

  ScratchFolder scratch;
  std::vector<std::pair<std::string, std::string>> files;
  std::vector<std::string> folderLines;
};

TEST_F(FolderRelease, AWellFormedReleasePasses) {
  lay();
  const CheckReport report = check();
  EXPECT_EQ(report.exitCode(), kExitPassed) << textReport(report);
  EXPECT_EQ(report.files, 6u);
  EXPECT_EQ(report.folders, 3u);
  EXPECT_EQ(report.expectedDigest, report.foundDigest);
  EXPECT_EQ(report.expectedDigest.size(), 32u);
}

TEST_F(FolderRelease, EmptyFoldersNeedNoLineAndTheConfigurationFileIsNotDigested) {
  lay();
  scratch.folder("rel/NAVI/Logs");
  scratch.file("rel/$FileList-cfg.txt", "changed after packing");
  EXPECT_EQ(check().exitCode(), kExitPassed) << textReport(check());
}

TEST_F(FolderRelease, UnlistedFileAndLineWithoutAFileDisagree) {
  lay();
  scratch.file("rel/NAVI/extra.bin", "x");
  const CheckReport report = check();
  EXPECT_EQ(report.exitCode(), kExitListsDisagree);
  EXPECT_THAT(firstError(report), HasSubstr("entry 'NAVI/extra.bin': is not listed"));

  files.push_back({"NAVI\\gone.bin", ""});
  lay();
  std::filesystem::remove(scratch.root() / "rel/NAVI/gone.bin");
  std::filesystem::remove(scratch.root() / "rel/NAVI/extra.bin");
  EXPECT_THAT(firstError(check()), HasSubstr("$FileList.txt line 6: names 'NAVI\\gone.bin'"));
}

TEST_F(FolderRelease, FileListInTheWalksFormIsMalformed) {
  files[0].first = "FlashDrive\\BSP\\NK.bin";
  lay();
  std::filesystem::remove_all(scratch.root() / "rel/FlashDrive");
  scratch.file("rel/BSP/NK.bin", "kernel");
  const CheckReport report = check();
  EXPECT_EQ(report.exitCode(), kExitMalformedLists) << textReport(report);
  EXPECT_THAT(firstError(report), HasSubstr("$FileList.txt line 1: 'FlashDrive\\BSP\\NK.bin' is in "
                                            "the walk's form"));
}

TEST_F(FolderRelease, RepeatedFileLineDisagrees) {
  files.push_back({"BSP\\NK.bin", "kernel"});
  lay();
  EXPECT_THAT(firstError(check()), HasSubstr("line 6: repeats $FileList.txt line 1"));
}

TEST_F(FolderRelease, LineThatMatchesOnlyIgnoringCaseWarns) {
  if (!holdsNamesDifferingInCase()) GTEST_SKIP() << "this host's file system ignores case";
  files[0].first = "bsp\\nk.BIN";
  lay();
  std::filesystem::rename(scratch.root() / "rel/bsp", scratch.root() / "rel/BSP");
  std::filesystem::rename(scratch.root() / "rel/BSP/nk.BIN", scratch.root() / "rel/BSP/NK.bin");
  const CheckReport report = check();
  EXPECT_EQ(report.exitCode(), kExitPassed) << textReport(report);
  EXPECT_THAT(textReport(report), HasSubstr("warning: $FileList.txt line 1: matches entry "
                                            "'BSP/NK.bin' only when case is ignored"));
}

TEST_F(FolderRelease, FolderLinesMustNameExactlyTheFoldersThatHoldEntries) {
  folderLines = {"FlashDrive\\BSP", "FlashDrive\\NAVI\\Maps"};
  lay();
  EXPECT_THAT(firstError(check()), HasSubstr("folder 'NAVI': holds entries but has no line"));

  folderLines = {"FlashDrive\\BSP", "FlashDrive\\NAVI", "FlashDrive\\NAVI\\Maps",
                 "FlashDrive\\Nowhere"};
  lay();
  EXPECT_THAT(firstError(check()), HasSubstr("line 4: names 'FlashDrive\\Nowhere', which is no "
                                             "folder"));

  folderLines = {"BSP", "FlashDrive\\NAVI", "FlashDrive\\NAVI\\Maps"};
  lay();
  const CheckReport report = check();
  EXPECT_EQ(report.exitCode(), kExitMalformedLists);
  EXPECT_THAT(firstError(report), HasSubstr("$FolderList.txt line 1: 'BSP' does not begin with"));
}

TEST_F(FolderRelease, MalformedListNamesItsLine) {
  lay();
  const std::string bytes =
      encodeListHeader(2) + encodeListLine(u"BSP\\NK.bin") + encodeListLine(u"x\r");
  scratch.file("rel/$FileList.txt", bytes);
  const CheckReport report = check();
  EXPECT_EQ(report.exitCode(), kExitMalformedLists);
  EXPECT_THAT(firstError(report), HasSubstr("$FileList.txt line 2: $FileList.txt holds a carriage "
                                            "return (line 2)"));
}

TEST_F(FolderRelease, DigestFileMustHoldSixteenMatchingBytes) {
  lay();
  scratch.file("rel/$md5.bin", std::string(16, '\0'));
  CheckReport report = check();
  EXPECT_EQ(report.exitCode(), kExitDigestMismatch);
  EXPECT_THAT(firstError(report), HasSubstr("entry '$md5.bin': holds 0000"));

  scratch.file("rel/$md5.bin", std::string(17, '\0'));
  EXPECT_THAT(firstError(check()), HasSubstr("holds 17 bytes instead of 16"));
  std::filesystem::remove(scratch.root() / "rel/$md5.bin");
  report = check();
  EXPECT_EQ(report.exitCode(), kExitDigestMismatch);
  EXPECT_THAT(firstError(report), HasSubstr("entry '$md5.bin': is missing"));
}

TEST_F(FolderRelease, MissingListIsMalformedAndMissingReleaseCannotBeOpened) {
  lay();
  std::filesystem::remove(scratch.root() / "rel/$FolderList.txt");
  const CheckReport report = check();
  EXPECT_EQ(report.exitCode(), kExitMalformedLists);
  EXPECT_EQ(checkPath((scratch.root() / "absent").string()).exitCode(), kExitDamaged);
}

// The folder above a release (or an archive of the staging folder itself)
// is no release, but the words can say where the release is.
TEST_F(FolderRelease, ReleaseOneFolderDownIsShownWhereItIs) {
  lay();
  std::filesystem::create_directory(scratch.root() / "up");
  std::filesystem::rename(scratch.root() / "rel", scratch.root() / "up/FlashDrive");
  const CheckReport report = checkPath((scratch.root() / "up").string());
  EXPECT_EQ(report.exitCode(), kExitMalformedLists);
  EXPECT_THAT(firstError(report), HasSubstr("'$FileList.txt': is missing from the release's top "
                                            "level (it is in 'FlashDrive/': that folder is the "
                                            "release)"));
  // The packer's working folder after a run: the archive, no lists.
  scratch.file("up/ZarvoEUupdate.zip");
  std::filesystem::remove(scratch.root() / "up/FlashDrive/$FileList.txt");
  EXPECT_THAT(firstError(checkPath((scratch.root() / "up").string())),
              HasSubstr("'$FileList.txt': is missing from the release's top level "
                        "('ZarvoEUupdate.zip' is there: that archive is the release)"));
  // On Linux the working folder holds a link to the archiver too: unsafe,
  // and still told where the release is.
  std::error_code noLinks;
  std::filesystem::create_symlink("/usr/bin/7za", scratch.root() / "up/7za", noLinks);
  if (noLinks) return;
  const CheckReport linked = checkPath((scratch.root() / "up").string());
  EXPECT_EQ(linked.exitCode(), kExitDamaged);
  EXPECT_THAT(textReport(linked), HasSubstr("that archive is the release"));
}

// Two files of one name but for case: extracted onto the device, one would
// overwrite the other.
TEST_F(FolderRelease, FilesDifferingOnlyInCaseCannotBothBeHeld) {
  if (!holdsNamesDifferingInCase()) GTEST_SKIP() << "this host's file system ignores case";
  files.push_back({"BSP\\nk.bin", "the other kernel"});
  lay();
  const CheckReport report = check();
  EXPECT_EQ(report.exitCode(), kExitDeviceCannotHold) << textReport(report);
  EXPECT_THAT(firstError(report), HasSubstr("entry 'BSP/nk.bin': differs only in case from entry "
                                            "'BSP/NK.bin'; the device's file system cannot hold "
                                            "both"));
}

// A link in an extracted release, listed or not, is never followed and is
// unsafe: the device cannot hold one, and extracting it elsewhere may write
// outside the release.
TEST_F(FolderRelease, ALinkAnywhereIsUnsafeToExtract) {
  files.push_back({"NAVI\\link.dat", "linked"});
  lay();
  std::filesystem::remove(scratch.root() / "rel/NAVI/link.dat");
  std::error_code noLinks;
  std::filesystem::create_symlink(scratch.root() / "rel/BSP/NK.bin",
                                  scratch.root() / "rel/NAVI/link.dat", noLinks);
  std::filesystem::create_directory_symlink(scratch.root() / "rel", scratch.root() / "rel/BSP/loop",
                                            noLinks);
  if (noLinks) GTEST_SKIP() << "this host cannot make a link: " << noLinks.message();
  const CheckReport report = check();
  EXPECT_EQ(report.exitCode(), kExitDamaged) << textReport(report);
  EXPECT_THAT(textReport(report), HasSubstr("error: entry 'BSP/loop': is a symbolic link, which "
                                            "is unsafe to extract"));
  EXPECT_THAT(textReport(report), HasSubstr("error: entry 'NAVI/link.dat': is a symbolic link"));
}

// Names the device cannot hold, in an extracted folder, are its rules'
// errors on every platform: Windows reads a typed path with a trailing dot
// or space, a device's name or past 260 characters as another, but the
// check reaches each entry by its own name.
struct HeldName {
  const char* name;
  std::string line;
  const char* folderLine;
  const char* message;
};

void PrintTo(const HeldName& c, std::ostream* out) { *out << c.name; }

class FolderNamesTheDeviceCannotHold : public FolderRelease,
                                       public ::testing::WithParamInterface<HeldName> {};

TEST_P(FolderNamesTheDeviceCannotHold, AreItsRulesErrors) {
  files.push_back({GetParam().line, "held"});
  if (*GetParam().folderLine != '\0') folderLines.push_back(GetParam().folderLine);
  lay();
  const CheckReport report = check();
  EXPECT_EQ(report.exitCode(), kExitDeviceCannotHold) << textReport(report);
  EXPECT_THAT(firstError(report), HasSubstr(GetParam().message));
  EXPECT_EQ(report.expectedDigest, report.foundDigest);
}

INSTANTIATE_TEST_SUITE_P(
    ReleaseCheck, FolderNamesTheDeviceCannotHold,
    ::testing::Values(HeldName{"TrailingDot", "NAVI\\a.dat.", "", "'a.dat.' ends with a dot"},
                      HeldName{"TrailingSpace", "NAVI\\a.dat ", "", "'a.dat ' ends with a space"},
                      HeldName{"FolderWithTrailingDot", "NAVI.\\a.dat", "FlashDrive\\NAVI.",
                               "'NAVI.' ends with a dot"},
                      HeldName{"DeviceAtTheTop", "CON", "", "'CON' is a reserved device name"},
                      HeldName{"DeviceWithExtension", "NAVI\\nul.txt", "",
                               "'nul.txt' is a reserved device name"},
                      HeldName{"PathPast260", "NAVI\\" + std::string(240, 'x'), "",
                               "takes 256 characters, more than the 255"}),
    [](const ::testing::TestParamInfo<HeldName>& info) { return std::string(info.param.name); });

// --- Archives that are unsafe to extract, whatever their lists say.

struct UnsafeArchive {
  const char* name;
  std::vector<std::string> entries;
  const char* message;
};

class UnsafeArchives : public ::testing::TestWithParam<UnsafeArchive> {};

TEST_P(UnsafeArchives, AreRefusedAsDamaged) {
  std::vector<zip::testing::WriterEntry> entries;
  for (const std::string& name : GetParam().entries) {
    entries.emplace_back(name, name.back() == '/' ? "" : "x");  // (a folder holds no data)
  }
  ScratchFolder scratch;
  scratch.file("release.zip", zip::testing::writeZip(entries).bytes);
  const CheckReport report = checkPath((scratch.root() / "release.zip").string());
  EXPECT_EQ(report.exitCode(), kExitDamaged) << textReport(report);
  EXPECT_THAT(textReport(report), HasSubstr(GetParam().message));
}

INSTANTIATE_TEST_SUITE_P(
    ReleaseCheck, UnsafeArchives,
    ::testing::Values(UnsafeArchive{"DuplicateName", {"a.txt", "b.txt", "a.txt"}, "'a.txt'"},
                      UnsafeArchive{"DotDot", {"a.txt", "../b.txt"}, "entry '../b.txt': is unsafe"},
                      UnsafeArchive{"Absolute", {"/etc/x"}, "entry '/etc/x': is unsafe"},
                      UnsafeArchive{"DriveLetter", {"C:/x"}, "entry 'C:/x': is unsafe"},
                      UnsafeArchive{"FileThenFolderOfItsName",
                                    {"NAVI", "NAVI/x.dat"},
                                    "folder 'NAVI': has the name of entry 'NAVI'"},
                      UnsafeArchive{"FolderEntryThenFileOfItsName",
                                    {"NAVI/", "NAVI"},
                                    "entry 'NAVI': has the name of folder 'NAVI'"}),
    [](const ::testing::TestParamInfo<UnsafeArchive>& info) {
      return std::string(info.param.name);
    });

// Archives the device cannot hold, or that are unsafe to extract, though
// their lists and digest are right.
struct HeldArchive {
  const char* name;
  std::vector<zip::testing::WriterEntry> entries;
  int exitCode;
  const char* message;
};

void PrintTo(const HeldArchive& c, std::ostream* out) { *out << c.name; }

class ArchivesTheDeviceCannotHold : public ::testing::TestWithParam<HeldArchive> {};

TEST_P(ArchivesTheDeviceCannotHold, FailWithTheirCode) {
  std::vector<std::u16string> lines = {u16("$FileList.txt"), u16("$FolderList.txt")};
  std::string contents;
  for (const zip::testing::WriterEntry& entry : GetParam().entries) {
    std::string line = entry.name;
    for (char& c : line) c = c == '/' ? '\\' : c;
    lines.push_back(u16(line));
    contents += entry.data;
  }
  const std::string fileList = encodeList(lines);
  const std::string folderList = encodeList({});
  std::vector<zip::testing::WriterEntry> entries = GetParam().entries;
  entries.emplace_back("$FileList.txt", fileList);
  entries.emplace_back("$FolderList.txt", folderList);
  entries.emplace_back("$md5.bin", digestOf(fileList + folderList + contents), 0);
  ScratchFolder scratch;
  scratch.file("release.zip", zip::testing::writeZip(entries).bytes);
  const CheckReport report = checkPath((scratch.root() / "release.zip").string());
  EXPECT_EQ(report.exitCode(), GetParam().exitCode) << textReport(report);
  EXPECT_THAT(textReport(report), HasSubstr(GetParam().message));
}

zip::testing::WriterEntry link(std::string name, std::string target) {
  zip::testing::WriterEntry entry(std::move(name), std::move(target), 0);
  entry.unixMode = 0120777;
  return entry;
}

INSTANTIATE_TEST_SUITE_P(
    ReleaseCheck, ArchivesTheDeviceCannotHold,
    ::testing::Values(
        HeldArchive{"CaseTwinOfTheFirstEntry",
                    {{"Map.dat", "a", 0}, {"MAP.DAT", "b", 0}},
                    kExitDeviceCannotHold,
                    "error: entry 'MAP.DAT': differs only in case from entry 'Map.dat'"},
        HeldArchive{"LinkClimbingOut",
                    {{"a.dat", "a", 0}, link("NAVI/up", "../../../etc")},
                    kExitDamaged,
                    "error: entry 'NAVI/up': is a symbolic link, which is unsafe to extract"}),
    [](const ::testing::TestParamInfo<HeldArchive>& info) { return std::string(info.param.name); });

// A file the device's FAT file system can hold is at most 4 GiB less a byte.
TEST(FileSize, IsHeldAtTheLimitAndNotOneBytePast) {
  for (const std::uint64_t size : {kFileBytesMax, kFileBytesMax + 1}) {
    auto release = std::make_shared<testing::MemoryRelease>();
    const std::string fileList =
        encodeList({u16("$FileList.txt"), u16("$FolderList.txt"), u16("big.bin")});
    const std::string folderList = encodeList({});
    release->add("$FileList.txt", fileList.size(), fileList);
    release->add("$FolderList.txt", folderList.size(), folderList);
    release->add("$md5.bin", 16, digestOf(fileList + folderList));
    release->add("big.bin", size, "");
    const CheckReport report = checkRelease(release, "rel");
    const bool held = size <= kFileBytesMax;
    EXPECT_EQ(textReport(report).find("a file on the device can hold") == std::string::npos, held)
        << textReport(report);
    if (!held) {
      EXPECT_EQ(report.exitCode(), kExitDeviceCannotHold) << textReport(report);
      EXPECT_THAT(textReport(report), HasSubstr("entry 'big.bin': holds 4294967296 bytes, more "
                                                "than the 4294967295 a file on the device can "
                                                "hold"));
    }
  }
}

// An extracted folder holding as many entries as may be is read; one more
// is refused before its entries are kept.
TEST(ExtractedFolderEntries, AreRefusedOnePastTheMost) {
  ScratchFolder scratch;
  scratch.file("rel/a.bin", "a");
  scratch.file("rel/NAVI/b.bin", "b");  // with its folder, three entries
  const std::string root = (scratch.root() / "rel").string();
  SourceFailure failure = SourceFailure::kNone;
  std::string message;
  const auto at = openFolderRelease(root, &failure, &message, 3);
  ASSERT_NE(at, nullptr) << message;
  EXPECT_EQ(at->count(), 3u);

  const auto past = openFolderRelease(root, &failure, &message, 2);
  EXPECT_EQ(past, nullptr);
  EXPECT_EQ(failure, SourceFailure::kUnsupported);
  EXPECT_EQ(message,
            std::string("not supported: the folder holds more than 2 entries, more than ") +
                kReleaseEntriesWhy);
}

// A folder is listed only as far as its caller asks: a folder of millions
// of files claims no memory for them.
TEST(ExtractedFolderEntries, AreListedOnlyAsFarAsAsked) {
  ScratchFolder scratch;
  for (const char* name : {"a", "b", "c", "d", "e"}) scratch.file(std::string("rel/") + name, "x");
  const std::string root = (scratch.root() / "rel").string();
  for (const std::size_t most : {std::size_t{5}, std::size_t{2}}) {
    std::size_t handed = 0;
    std::string error;
    ASSERT_TRUE(listFolder(
        root, [&](std::string_view, PathKind) { return ++handed < most; }, &error))
        << error;
    EXPECT_EQ(handed, most);
  }
}

// A folder holds its entries' own names, each once, up to a most that
// counts a share for each entry too: at it the release opens, one byte
// short of it it is refused, and says so.
TEST(ExtractedFolderEntries, AreRefusedWhenTheirNamesTakeMoreThanTheMost) {
  ScratchFolder scratch;
  for (const char* name : {"rel/a", "rel/bb", "rel/ccc", "rel/d/e"}) scratch.file(name, "x");
  const std::string root = (scratch.root() / "rel").string();
  SourceFailure failure = SourceFailure::kNone;
  std::string message;
  const std::uint64_t most = 8 + 5 * kFolderEntryShareBytes;  // a bb ccc d e
  const auto at = openFolderRelease(root, &failure, &message, 0, most);
  ASSERT_NE(at, nullptr) << message;
  std::string scratchName;
  EXPECT_EQ(at->nameOf(4, scratchName), "d/e");
  const auto past = openFolderRelease(root, &failure, &message, 0, most - 1);
  EXPECT_EQ(past, nullptr);
  EXPECT_EQ(failure, SourceFailure::kUnsupported);
  EXPECT_EQ(message, "not supported: the folder's names take more than " +
                         std::to_string(most - 1) +
                         " bytes (64 counted for each entry besides its own name), the most the "
                         "check holds of them");
}

// The extracted release in `scratch`'s folder "rel", with the usual limits.
std::unique_ptr<ReleaseSource> openExtracted(const ScratchFolder& scratch, std::string* message) {
  SourceFailure failure = SourceFailure::kNone;
  return openFolderRelease((scratch.root() / "rel").string(), &failure, message);
}

// An extracted release's names are its folders' and each entry's own: a
// name is said whole whatever the depth.
TEST(ExtractedFolderNames, ReadWholeAtEveryDepth) {
  ScratchFolder scratch;
  scratch.file("rel/A/B/C/deep.dat", "x");
  scratch.file("rel/A/top.dat", "y");
  std::string message;
  const auto source = openExtracted(scratch, &message);
  ASSERT_NE(source, nullptr) << message;
  std::vector<std::string> names;
  std::string scratchName;
  for (std::size_t i = 0; i < source->count(); ++i)
    names.emplace_back(source->nameOf(i, scratchName));
  EXPECT_EQ(names,
            (std::vector<std::string>{"A/", "A/B/", "A/B/C/", "A/B/C/deep.dat", "A/top.dat"}));
}

// A file that grows or shrinks after the folder was read, or while it is
// read, is not the file the survey counted: it is read as damaged, not
// checked as it is now.
TEST(ExtractedFolderFiles, ThatChangeSizeAfterTheFolderWasReadAreDamaged) {
  ScratchFolder scratch;
  scratch.file("rel/same.dat", "abc");
  scratch.file("rel/grew.dat", "abc");
  scratch.file("rel/grows.dat", "abc");
  std::string message;
  const auto source = openExtracted(scratch, &message);
  ASSERT_NE(source, nullptr) << message;
  scratch.file("rel/same.dat", "xyz");
  scratch.file("rel/grew.dat", "abcd");
  // (grows.dat grows while it is read, after the bytes the survey counted,
  // where the system lets a file open for reading be written)
  std::string name;
  const auto reading = [&](const std::uint8_t*, std::size_t) {
    if (name == "grows.dat") scratch.file("rel/grows.dat", "abcd");
    return true;
  };
  for (std::size_t i = 0; i < source->count(); ++i) {
    source->nameOf(i, name);
    const bool read = source->read(i, reading);
    const bool grew = std::filesystem::file_size(scratch.root() / "rel" / name) == 4;
    EXPECT_EQ(read, !grew) << name;
    if (grew) {
      EXPECT_THAT(source->message(), HasSubstr("held 3 bytes when the folder was read, 4 now"));
    }
  }
}

// Entries that cannot be read are said while their messages take at most
// kDamagedMessageBytesMax bytes (a folder's name the file's path, which may
// be long); one more and the check says so once and reads no more.
class DamagedEntryMessages : public ::testing::TestWithParam<std::size_t> {};

TEST_P(DamagedEntryMessages, AreSaidUpToTheirBytesThenTheRestIsNotRead) {
  constexpr std::size_t kMessageBytes = 4096;
  constexpr std::size_t kFit = kDamagedMessageBytesMax / kMessageBytes;
  static_assert(kFit * kMessageBytes == kDamagedMessageBytesMax && kFit < kDamagedEntriesMax);
  auto release = std::make_shared<testing::MemoryRelease>();
  release->kindName = "folder";
  release->add(kFileListName, 0, "");
  release->add(kFolderListName, 0, "");
  release->add(kDigestName, 0, "");
  release->failingFrom = 3;
  release->failingMessage = "cannot read /" + std::string(kMessageBytes - 18, 'p') + ": EIO";
  ASSERT_EQ(release->failingMessage.size(), kMessageBytes);
  for (std::size_t k = 0; k < kFit + GetParam(); ++k) release->add("f" + std::to_string(k), 0, "");
  const CheckReport report = checkRelease(release, "rel");
  EXPECT_EQ(report.exitCode(), kExitDamaged);
  std::size_t said = 0;
  std::vector<std::string> others;
  for (const Finding& finding : report.findings) {
    if (report.messageText(finding) == release->failingMessage) {
      ++said;
    } else if (finding.exitCode == kExitDamaged) {
      others.push_back(report.said(finding));
    }
  }
  EXPECT_EQ(said, kFit);
  if (GetParam() == 0) {
    EXPECT_THAT(others, ::testing::IsEmpty());
  } else {
    EXPECT_THAT(others, ::testing::ElementsAre(
                            "1025 entries, whose messages take more than 4194304 bytes, could "
                            "not be read: the rest of the folder was not read"));
  }
}

INSTANTIATE_TEST_SUITE_P(ReleaseCheck, DamagedEntryMessages, ::testing::Values(0u, 1u));

}  // namespace
}  // namespace quillet::check
