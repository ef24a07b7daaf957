// quillet-check end to end on POSIX: releases made by the built packer with
// the real 7za (p7zip-full), then changed one way at a time, checked as an
// archive and as an extracted folder, as a user runs the program.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>

#include "list_format.h"
#include "release_files.h"
#include "release_format.h"

namespace quillet {
namespace {

namespace fs = std::filesystem;
using quillet::testing::ScratchFolder;
using quillet::testing::shellQuote;
using ::testing::HasSubstr;

struct Outcome {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs a shell command in `folder`; its exit status and output (captured
// outside the folder, which may be packed).
Outcome shell(const fs::path& folder, const std::string& command) {
  const std::string out = (folder.parent_path() / (folder.filename().string() + ".out")).string();
  const std::string err = (folder.parent_path() / (folder.filename().string() + ".err")).string();
  const int status = std::system(("cd " + shellQuote(folder.string()) + " && " + command + " >" +
                                  shellQuote(out) + " 2>" + shellQuote(err))
                                     .c_str());
  Outcome outcome;
  outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream o(out), e(err);
  outcome.out.assign(std::istreambuf_iterator<char>(o), std::istreambuf_iterator<char>());
  outcome.err.assign(std::istreambuf_iterator<char>(e), std::istreambuf_iterator<char>());
  fs::remove(out);
  fs::remove(err);
  return outcome;
}

// A release packed by the built packer with the real 7za, and its
// extraction in "release/".
class PackedRelease : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists("/usr/bin/7za")) GTEST_SKIP() << "p7zip-full's 7za is not installed";
    scratch.file("FlashDrive/BSP/NK.bin", std::string("\x01\x02\x00\x03", 4));
    scratch.file("FlashDrive/NAVI/Maps/EU.map", pseudoRandom(5000));
    scratch.file("FlashDrive/NAVI/Navi.exe", "MZ navigation");
    scratch.file(
        "FlashDrive/NAVI/Voices/Fran\xC3\xA7"
        "ais/a.wav",
        "voice");
    scratch.file("FlashDrive/$FileList-cfg.txt", "configuration");
    scratch.folder("FlashDrive/NAVI/Logs");
    fs::create_symlink("/usr/bin/7za", scratch.root() / "7za");
    const Outcome packed = shell(scratch.root(), std::string(QUILLET_EXE) + " </dev/null");
    ASSERT_EQ(packed.exitCode, 0) << packed.out << packed.err;
    ASSERT_EQ(shell(scratch.root(), "7za x -orelease ZarvoEUupdate.zip").exitCode, 0);
  }

  static std::string pseudoRandom(std::size_t size) {
    std::string bytes(size, '\0');
    std::uint32_t state = 12345;
    for (char& c : bytes) {
      state = state * 1103515245u + 12345u;
      c = static_cast<char>(state >> 16);
    }
    return bytes;
  }

  Outcome check(const std::string& arguments) {
    return shell(scratch.root(), std::string(QUILLET_CHECK_EXE) + " " + arguments);
  }

  // Packs "release/" again as "repacked.zip", as the packer's archiver does.
  void repack() {
    ASSERT_EQ(shell(scratch.root() / "release", "7za a -tzip ../repacked.zip '*'").exitCode, 0);
  }

  ScratchFolder scratch;
};

// --- One change at a time.

enum class Where { kBoth, kArchiveOnly };

struct Tamper {
  const char* name;
  Where where;
  std::function<void(const ScratchFolder&)> change;
  int exitCode;
  const char* message;
};

// Rewrites a list of the extracted release through `edit`.
void editList(const ScratchFolder& scratch, const std::string& name,
              const std::function<void(DecodedList&)>& edit) {
  DecodedList list = decodeList(scratch.read("release/" + name), ListDecoder::Mode::kStrict);
  ASSERT_EQ(list.fault, ListFault::kNone);
  edit(list);
  std::string bytes = encodeListHeader(list.count);
  for (const std::u16string& line : list.lines) bytes += encodeListLine(line);
  scratch.file("release/" + name, bytes);
}

// The offset of the data of the entry `name` in a zip archive: after its
// local header, found as the first place the name appears.
std::size_t dataOffset(const std::string& zip, const std::string& name) {
  const std::size_t at = zip.find(name);
  const std::size_t header = at - 30;
  const auto extra = static_cast<std::size_t>(static_cast<unsigned char>(zip[header + 28]) |
                                              (static_cast<unsigned char>(zip[header + 29]) << 8));
  return at + name.size() + extra;
}

class TamperedRelease : public PackedRelease, public ::testing::WithParamInterface<Tamper> {};

TEST_P(TamperedRelease, FailsWithItsKindAndNamesWhatChanged) {
  const Tamper& tamper = GetParam();
  tamper.change(scratch);
  std::vector<std::string> targets;
  if (tamper.where == Where::kBoth) {
    repack();
    targets = {"repacked.zip", "release"};
  } else {
    targets = {"ZarvoEUupdate.zip"};
  }
  for (const std::string& target : targets) {
    SCOPED_TRACE(target);
    const Outcome outcome = check(target);
    EXPECT_EQ(outcome.exitCode, tamper.exitCode) << outcome.out;
    EXPECT_THAT(outcome.out, HasSubstr(tamper.message));
  }
}

INSTANTIATE_TEST_SUITE_P(
    ReleaseCheck, TamperedRelease,
    ::testing::Values(
        Tamper{"Untouched", Where::kBoth, [](const ScratchFolder&) {}, 0, "Verdict: PASS (exit 0)"},
        Tamper{"ConfigurationFileChanged", Where::kBoth,
               [](const ScratchFolder& s) {
                 s.file("release/$FileList-cfg.txt", "another configuration");
               },
               0, "Verdict: PASS"},
        Tamper{"ByteOfAListedFile", Where::kBoth,
               [](const ScratchFolder& s) {
                 std::string bytes = s.read("release/NAVI/Navi.exe");
                 bytes[3] ^= 0x20;
                 s.file("release/NAVI/Navi.exe", bytes);
               },
               6, "error: entry '$md5.bin': holds "},
        Tamper{"DigestFile", Where::kBoth,
               [](const ScratchFolder& s) { s.file("release/$md5.bin", std::string(16, '\x5a')); },
               6, "entry '$md5.bin': holds 5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a but the listed"},
        Tamper{"ListLine", Where::kBoth,
               [](const ScratchFolder& s) {
                 editList(s, "$FileList.txt", [](DecodedList& list) {
                   for (std::u16string& line : list.lines) {
                     if (line == u"NAVI\\Navi.exe") line = u"NAVI\\Navi.exf";
                   }
                 });
               },
               5, "names 'NAVI\\Navi.exf', which is nothing in the release"},
        Tamper{"HeaderCount", Where::kBoth,
               [](const ScratchFolder& s) {
                 editList(s, "$FolderList.txt", [](DecodedList& list) { ++list.count; });
               },
               4, "error: $FolderList.txt: $FolderList.txt holds"},
        Tamper{"EntryMissing", Where::kBoth,
               [](const ScratchFolder& s) { fs::remove(s.root() / "release/NAVI/Navi.exe"); }, 5,
               "names 'NAVI\\Navi.exe', which is nothing in the release"},
        Tamper{"EntryNotListed", Where::kBoth,
               [](const ScratchFolder& s) { s.file("release/NAVI/extra.dat", "x"); }, 5,
               "error: entry 'NAVI/extra.dat': is not listed in $FileList.txt"},
        Tamper{"TruncatedArchive", Where::kArchiveOnly,
               [](const ScratchFolder& s) {
                 const std::string bytes = s.read("ZarvoEUupdate.zip");
                 s.file("ZarvoEUupdate.zip", bytes.substr(0, bytes.size() - 40));
               },
               3, "Verdict: FAIL: the release cannot be opened or is damaged"},
        Tamper{"EntryCrc", Where::kArchiveOnly,
               [](const ScratchFolder& s) {
                 std::string bytes = s.read("ZarvoEUupdate.zip");
                 bytes[dataOffset(bytes, "NAVI/Maps/EU.map") + 100] ^= 0x01;
                 s.file("ZarvoEUupdate.zip", bytes);
               },
               3, "error: entry 'NAVI/Maps/EU.map': "},
        Tamper{"RepackedAsDeflate64", Where::kArchiveOnly,
               [](const ScratchFolder& s) {
                 fs::remove(s.root() / "ZarvoEUupdate.zip");
                 shell(s.root() / "release", "7za a -tzip -mm=Deflate64 ../ZarvoEUupdate.zip '*'");
               },
               3,
               "method 9, Deflate64 (only stored and deflate are)\nVerdict: FAIL: the release is "
               "not supported"}),
    [](const ::testing::TestParamInfo<Tamper>& info) { return std::string(info.param.name); });

// --- The command line.

TEST_F(PackedRelease, DefaultsToTheArchiveInTheWorkingFolderAndDrawsNoProgressWhenRedirected) {
  const Outcome outcome = check("");
  EXPECT_EQ(outcome.exitCode, 0) << outcome.out;
  EXPECT_THAT(outcome.out, HasSubstr("Checking ZarvoEUupdate.zip (archive)"));
  EXPECT_THAT(outcome.out, HasSubstr("Files: 8 (7 listed), folders: 6"));
  EXPECT_EQ(outcome.err, "");
}

TEST_F(PackedRelease, ListPrintsBothListsAsUtf8Lines) {
  const Outcome outcome = check("--list");
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_THAT(outcome.out, HasSubstr("$FileList.txt:\n"));
  EXPECT_THAT(outcome.out, HasSubstr("\nNAVI\\Voices\\Fran\xC3\xA7"
                                     "ais\\a.wav\n"));
  EXPECT_THAT(outcome.out, HasSubstr("$FolderList.txt:\nFlashDrive\\"));
}

TEST_F(PackedRelease, JsonIsOneObjectThatScriptsCanRead) {
  const Outcome outcome = check("--json --list release");
  EXPECT_EQ(outcome.exitCode, 0);
  ASSERT_FALSE(outcome.out.empty());
  EXPECT_EQ(outcome.out.front(), '{');
  EXPECT_THAT(outcome.out, HasSubstr("\"verdict\":\"pass\",\"exitCode\":0}\n"));
  EXPECT_THAT(outcome.out, HasSubstr("\"NAVI\\\\Navi.exe\""));
  scratch.file("out.json", outcome.out);
  if (shell(scratch.root(), "command -v python3").exitCode == 0) {
    EXPECT_EQ(shell(scratch.root(), "python3 -m json.tool out.json").exitCode, 0);
  }
}

TEST_F(PackedRelease, WrongUsageAndMissingReleasesHaveTheirOwnCodes) {
  EXPECT_EQ(check("--frobnicate").exitCode, 2);
  // An option's control characters reach the terminal as their codes.
  const Outcome escaped = check("\"$(printf -- '--x\\033[2J')\"");
  EXPECT_EQ(escaped.exitCode, 2);
  EXPECT_THAT(escaped.err, HasSubstr("unknown option '--x<U+001B>[2J'"));
  EXPECT_EQ(check("a.zip b.zip").exitCode, 2);
  // After "--", a name that begins with "-" is a path.
  const Outcome dashed = check("--json -- --list");
  EXPECT_EQ(dashed.exitCode, 3);
  EXPECT_THAT(dashed.out, HasSubstr("\"path\":\"--list\""));
  const Outcome missing = check("nothing-here.zip");
  EXPECT_EQ(missing.exitCode, 3);
  EXPECT_THAT(missing.out, HasSubstr("nothing-here.zip"));
  scratch.file("not-a-zip.zip", "hello");
  EXPECT_EQ(check("not-a-zip.zip").exitCode, 3);
}

// A report that cannot be written never ends as a pass; a failing release
// keeps its own code. Written to a full disk, or to a pipe whose reader has
// gone (`| head`), which must not end the process by its signal.
TEST_F(PackedRelease, AReportThatCannotBeWrittenIsNoPass) {
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  close(pipeEnds[0]);
  for (const std::string& sink : {std::string("/dev/full"), "&" + std::to_string(pipeEnds[1])}) {
    SCOPED_TRACE(sink);
    const auto toSink = [&](const std::string& arguments) {
      return shell(scratch.root(),
                   "(" + std::string(QUILLET_CHECK_EXE) + " " + arguments + " >" + sink + ")");
    };
    for (const char* options : {"", "--json", "--list", "--help"}) {
      const Outcome passing = toSink(options);
      EXPECT_EQ(passing.exitCode, 1) << options;
      EXPECT_THAT(passing.err, HasSubstr("the report could not be written")) << options;
    }
    const Outcome failing = toSink("nothing-here.zip");
    EXPECT_EQ(failing.exitCode, 3);
    EXPECT_THAT(failing.err, HasSubstr("the report could not be written"));
  }
  close(pipeEnds[1]);
}

// A folder that may be listed but not searched holds entries that cannot be
// looked at: the release cannot be read (exit 3), its files are not taken
// for entries of another kind that lines name in vain. Run as nobody.
TEST_F(PackedRelease, AFolderThatCannotBeSearchedCannotBeOpened) {
  std::string program = QUILLET_CHECK_EXE;
  std::string prefix;
  if (::geteuid() == 0) {
    std::string whyNot;
    program = quillet::testing::runnableCopy(program, scratch.root() / "bin", &whyNot).string();
    if (program.empty()) GTEST_SKIP() << whyNot;
    prefix = std::string(quillet::testing::kAsNobody) + " ";
  }
  fs::permissions(scratch.root() / "release/NAVI", fs::perms::all & ~fs::perms::others_exec &
                                                       ~fs::perms::owner_exec &
                                                       ~fs::perms::group_exec);
  const Outcome outcome = shell(scratch.root(), prefix + program + " release");
  fs::permissions(scratch.root() / "release/NAVI", fs::perms::all);
  EXPECT_EQ(outcome.exitCode, 3) << outcome.out;
  EXPECT_THAT(outcome.out, HasSubstr("error: release/NAVI/"));
  EXPECT_THAT(outcome.out, HasSubstr("Permission denied"));
}

// --- Two releases compared.

// An archive against its extraction: no difference, exit 0 with or without
// --exit-code. A configuration file changed: the releases still pass, the
// change is said, and --exit-code makes it exit 8; a report that cannot be
// written is no pass either way; a release that cannot be opened gives its
// own code.
TEST_F(PackedRelease, DiffSaysWhatChangedAndExitsEightOnlyWhenAsked) {
  const Outcome same = check("--diff --exit-code ZarvoEUupdate.zip release");
  EXPECT_EQ(same.exitCode, 0) << same.out;
  EXPECT_THAT(same.out, HasSubstr("Files: 0 added, 0 removed, 0 changed, 0 moved, 7 unchanged"));
  scratch.file("release/$FileList-cfg.txt", "another configuration");
  const Outcome plain = check("--diff ZarvoEUupdate.zip release");
  EXPECT_EQ(plain.exitCode, 0) << plain.out;
  EXPECT_THAT(plain.out, HasSubstr("\n~ $FileList-cfg.txt (13 -> 21 bytes)\n"));
  EXPECT_THAT(plain.out, HasSubstr("Configuration: $FileList-cfg.txt changed"));
  EXPECT_EQ(plain.err, "");
  EXPECT_EQ(check("--diff --exit-code ZarvoEUupdate.zip release").exitCode, 8);
  const Outcome lost = shell(scratch.root(), "(" + std::string(QUILLET_CHECK_EXE) +
                                                 " --diff --exit-code ZarvoEUupdate.zip release "
                                                 ">/dev/full)");
  EXPECT_EQ(lost.exitCode, 1);
  EXPECT_THAT(lost.err, HasSubstr("the report could not be written"));
  const Outcome missing = check("--diff --exit-code release nothing-here.zip");
  EXPECT_EQ(missing.exitCode, 3) << missing.out;
  EXPECT_THAT(missing.out, HasSubstr("No differences shown: the file list of the new release"));
}

TEST_F(PackedRelease, DiffJsonIsOneObjectThatScriptsCanRead) {
  if (shell(scratch.root(), "command -v python3").exitCode != 0) GTEST_SKIP() << "no python3";
  fs::rename(scratch.root() / "release/NAVI/Navi.exe", scratch.root() / "release/NAVI/NAVI.EXE");
  editList(scratch, "$FileList.txt", [](DecodedList& list) {
    for (std::u16string& line : list.lines) {
      if (line == u"NAVI\\Navi.exe") line = u"NAVI\\NAVI.EXE";
    }
  });
  const Outcome outcome = check("--diff --json ZarvoEUupdate.zip release");
  EXPECT_EQ(outcome.exitCode, 6) << outcome.out;  // (the file list changed: $md5.bin is stale)
  scratch.file("out.json", outcome.out);
  const Outcome parsed =
      shell(scratch.root(),
            "python3 -c 'import json,sys; d=json.load(open(\"out.json\")); "
            "print(d[\"newCheck\"][\"exitCode\"], d[\"summary\"][\"moved\"], "
            "[(c[\"kind\"], c[\"oldName\"], c[\"name\"]) for c in d[\"changes\"]])'");
  EXPECT_EQ(parsed.exitCode, 0) << parsed.err;
  EXPECT_EQ(parsed.out,
            "6 1 [('moved', 'NAVI\\\\Navi.exe', 'NAVI\\\\NAVI.EXE'), ('changed', None, "
            "'$FileList.txt')]\n");
  EXPECT_EQ(shell(scratch.root(), "python3 -m json.tool out.json").exitCode, 0);
}

// Two releases and nothing else: one path, three, or --list beside --diff
// are usage errors, and so is --exit-code without --diff.
TEST(DiffUsage, NeedsExactlyTwoReleasesAndNoList) {
  ScratchFolder scratch;
  for (const char* arguments : {"--diff a.zip", "--diff a.zip b.zip c.zip", "--diff --list a b",
                                "--exit-code a.zip", "--diff a.zip ''"}) {
    const Outcome outcome = shell(scratch.root(), std::string(QUILLET_CHECK_EXE) + " " + arguments);
    EXPECT_EQ(outcome.exitCode, 2) << arguments;
    EXPECT_THAT(outcome.err, HasSubstr("Usage: quillet-check")) << arguments;
    EXPECT_EQ(outcome.out, "") << arguments;
  }
}

// A path that is no file is refused at once: a named pipe with no writer
// would otherwise hold the check for ever.
TEST(SpecialPaths, AreRefusedAsNoFileWithoutWaitingOnThem) {
  ScratchFolder scratch;
  ASSERT_EQ(::mkfifo((scratch.root() / "pipe.zip").c_str(), 0600), 0);
  for (const std::string path : {"pipe.zip", "/dev/zero"}) {
    const Outcome outcome =
        shell(scratch.root(), "timeout 60 " + std::string(QUILLET_CHECK_EXE) + " " + path);
    EXPECT_EQ(outcome.exitCode, 3) << path;
    EXPECT_THAT(outcome.out, HasSubstr(path + ": not a file"));
  }
}

// --- An extracted folder with a path longer than a list line can name is
// refused before the path is kept.

constexpr std::size_t kNameBytesMax = 3 * kListLineUnitsMax;

// "rel/" holding one file whose path in the release takes `bytes` bytes:
// folders of 200 bytes, then the file's own name.
void makeLongPath(const ScratchFolder& scratch, std::size_t bytes) {
  std::string path;
  while (bytes - path.size() > 250) path += std::string(200, 'd') + "/";
  path += std::string(bytes - path.size(), 'f');
  scratch.file("rel/" + path, "");
}

struct FolderLimit {
  const char* title;
  std::function<void(const ScratchFolder&)> make;
  std::string refusal;  // empty when not refused
};

void PrintTo(const FolderLimit& c, std::ostream* out) { *out << c.title; }

class ExtractedFolderLimits : public ::testing::TestWithParam<FolderLimit> {};

TEST_P(ExtractedFolderLimits, AreRefusedOnePastWhatAReleaseHolds) {
  ScratchFolder scratch;
  GetParam().make(scratch);
  const Outcome checked = shell(scratch.root(), std::string(QUILLET_CHECK_EXE) + " rel");
  if (GetParam().refusal.empty()) {
    EXPECT_NE(checked.exitCode, 3) << checked.out;
    EXPECT_THAT(checked.out, ::testing::Not(HasSubstr("not supported")));
  } else {
    EXPECT_EQ(checked.exitCode, 3) << checked.out;
    EXPECT_THAT(checked.out, HasSubstr(GetParam().refusal));
    EXPECT_THAT(checked.out, HasSubstr("Verdict: FAIL: the release is not supported (exit 3)"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Check, ExtractedFolderLimits,
    ::testing::Values(
        FolderLimit{"PathAtTheMost", [](const ScratchFolder& s) { makeLongPath(s, kNameBytesMax); },
                    ""},
        FolderLimit{"PathOneBytePast",
                    [](const ScratchFolder& s) { makeLongPath(s, kNameBytesMax + 1); },
                    "...' takes " + std::to_string(kNameBytesMax + 1) +
                        " bytes in the release, more than the " + std::to_string(kNameBytesMax) +
                        " a line of a list can name"}),
    [](const ::testing::TestParamInfo<FolderLimit>& info) { return info.param.title; });

}  // namespace
}  // namespace quillet
