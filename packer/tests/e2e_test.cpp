// End-to-end runs of the built Quillet program on POSIX, as a user runs it:
// a fresh working folder with a staging folder and an archiver, no
// arguments, standard input at its end. The archive is read back with
// unzip and the digest recomputed with md5sum, not with our own code.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "release_files.h"
#include "utf.h"

namespace quillet {
namespace {

namespace fs = std::filesystem;
using quillet::testing::ListFile;
using quillet::testing::parseList;
using quillet::testing::ScratchFolder;
using quillet::testing::shellQuote;
using quillet::testing::u16;
using ::testing::ElementsAreArray;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using ::testing::UnorderedElementsAreArray;

constexpr char kBanner[] =
    "**********************************************************\n"
    "[Name] ZarvoEU_Quillet.exe\t\t\t\t\t\t\t\t\t\n"
    "[Description]\t\t\t\t\t\t\t\t\t\t\t\t\n"
    "This tool is used to pack BSP & NAVI related files into\t\n"
    "a release file, ZarvoEUupdate.zip. \t\t\t\t\t\t\t\n"
    "[BSP] 0.90.019RO or laters\t\t\t\t\t\t\t\t\n"
    "**********************************************************\n"
    "Press any key to continue...";

struct Outcome {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs a shell command; returns its exit status and standard output.
Outcome shell(const std::string& command) {
  ScratchFolder capture;
  const std::string out = (capture.root() / "out").string();
  const std::string err = (capture.root() / "err").string();
  const int status =
      std::system((command + " >" + shellQuote(out) + " 2>" + shellQuote(err)).c_str());
  Outcome outcome;
  outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  outcome.out = capture.read("out");
  outcome.err = capture.read("err");
  return outcome;
}

class QuilletRun : public ::testing::Test {
 protected:
  void SetUp() override {
    scratch.file("FlashDrive/BSP/NK.bin", std::string("\x01\x02\x00\x03", 4));
    scratch.file("FlashDrive/BSP/eboot.nb0", "boot loader");
    scratch.file("FlashDrive/NAVI/Maps/EU.map", std::string(3000, 'm'));
    scratch.file("FlashDrive/NAVI/Stimme_Müller.wav", "voice");
    scratch.file("FlashDrive/$FileList-cfg.txt", "not digested");
    scratch.file("FlashDrive/.version", "0.90.019");
    scratch.folder("FlashDrive/NAVI/Logs");
    before = snapshot();
  }

  // The archiver the run finds in the working folder.
  void useRealArchiver() {
    const char* real = "/usr/bin/7za";
    if (!fs::exists(real)) GTEST_SKIP() << "p7zip-full's 7za is not installed";
    fs::create_symlink(real, scratch.root() / "7za");
  }
  // A stand-in that records its arguments and folder, then exits with `code`.
  void useStandIn(int code, const std::string& extra = "") {
    scratch.file("7za",
                 "#!/bin/sh\nprintf '%s\\n' \"$@\" > ../archiver-args\npwd > ../archiver-cwd\n"
                 "ls -A > ../archiver-saw\n" +
                     extra + "exit " + std::to_string(code) + "\n");
    fs::permissions(scratch.root() / "7za", fs::perms::owner_all);
  }

  // Stand-in lines that have the real 7za pack the staging folder as the
  // packer asks, so the run's check of its archive has one to read.
  std::string realPacking() {
    if (!fs::exists("/usr/bin/7za")) return "";
    return "/usr/bin/7za a -tzip ../ZarvoEUupdate.zip '*' >/dev/null\n";
  }

  Outcome run(const std::string& arguments = "") {
    return shell("cd " + shellQuote(scratch.root().string()) + " && " + QUILLET_EXE + " " +
                 arguments + " </dev/null");
  }

  // Every path below FlashDrive with its contents (folders as "/").
  std::map<std::string, std::string> snapshot() const {
    std::map<std::string, std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(scratch.root() / "FlashDrive")) {
      const std::string relative = fs::relative(entry.path(), scratch.root()).string();
      tree[relative] = entry.is_directory() ? "/" : scratch.read(relative);
    }
    return tree;
  }

  std::string unzip(const std::string& arguments) const {
    return shell("cd " + shellQuote(scratch.root().string()) + " && unzip " + arguments).out;
  }

  ScratchFolder scratch;
  std::map<std::string, std::string> before;
};

TEST_F(QuilletRun, PacksTheStagingFolderWithItsListsAndDigest) {
  useRealArchiver();
  const Outcome outcome = run();
  ASSERT_EQ(outcome.exitCode, 0) << outcome.out << outcome.err;
  ASSERT_TRUE(scratch.exists("ZarvoEUupdate.zip"));
  EXPECT_EQ(snapshot(), before) << "the staging folder is left as it was found";

  // The archive holds the staging folder's contents, names relative to it.
  std::istringstream names(unzip("-Z1 ZarvoEUupdate.zip"));
  std::set<std::string> archived;
  for (std::string name; std::getline(names, name);) archived.insert(name);
  for (const auto& [path, contents] : before) {
    std::string inside = path.substr(std::string("FlashDrive/").size());
    if (contents == "/") inside += "/";
    EXPECT_EQ(archived.count(inside), 1u) << inside;
  }
  EXPECT_EQ(archived.count("$FileList.txt"), 1u);
  EXPECT_EQ(archived.count("$FolderList.txt"), 1u);
  EXPECT_EQ(archived.count("$md5.bin"), 1u);

  // $FileList.txt in its second form: the first form's header, lines
  // without "FlashDrive\".
  const ListFile files = parseList(unzip("-p ZarvoEUupdate.zip '$FileList.txt'"));
  ASSERT_TRUE(files.wellFormed);
  std::vector<std::u16string> expected;
  for (const auto& [path, contents] : before) {
    if (contents == "/") continue;
    std::string line = path.substr(std::string("FlashDrive/").size());
    for (char& c : line) c = c == '/' ? '\\' : c;
    expected.push_back(u16(line));
  }
  expected.push_back(u"$FileList.txt");
  expected.push_back(u"$FolderList.txt");
  EXPECT_THAT(files.lines, UnorderedElementsAreArray(expected));
  EXPECT_EQ(files.count, expected.size());

  // $FolderList.txt stays in its first form.
  const ListFile folders = parseList(unzip("-p ZarvoEUupdate.zip '$FolderList.txt'"));
  ASSERT_TRUE(folders.wellFormed);
  for (const std::u16string& line : folders.lines) EXPECT_EQ(line.rfind(u"FlashDrive\\", 0), 0u);
  EXPECT_EQ(folders.count, folders.lines.size());

  // $md5.bin: the MD5 of the listed files' contents in list order, the
  // configuration file left out, recomputed with md5sum.
  std::string concatenation;
  for (const std::u16string& line : files.lines) {
    if (line.find(u"$FileList-cfg.txt") != std::u16string::npos) continue;
    std::string path = utf16ToUtf8(line).value();
    for (char& c : path) c = c == '\\' ? '/' : c;
    const std::string member = unzip("-p ZarvoEUupdate.zip " + shellQuote(path));
    concatenation += (path == "$FileList.txt" || path == "$FolderList.txt")
                         ? member
                         : before.at("FlashDrive/" + path);
  }
  scratch.file("concatenation", concatenation);
  const std::string md5sum =
      shell("md5sum " + shellQuote((scratch.root() / "concatenation").string())).out.substr(0, 32);
  std::string digest;
  char hex[3];
  for (unsigned char byte : unzip("-p ZarvoEUupdate.zip '$md5.bin'")) {
    std::snprintf(hex, sizeof hex, "%02x", byte);
    digest += hex;
  }
  EXPECT_EQ(digest, md5sum);
}

// Enough entries that the walk looks them up on helper threads and the digest
// reads ahead on its readers: the whole run, archive and its check included.
TEST_F(QuilletRun, FolderOfManyFilesPacksAndTheRunEnds) {
  for (int i = 0; i < 200; ++i) {
    scratch.file("FlashDrive/POI/p" + std::to_string(i) + ".dat", std::string(i * 13, 'p'));
  }
  useRealArchiver();
  const Outcome outcome = run();
  ASSERT_EQ(outcome.exitCode, 0) << outcome.out << outcome.err;
  EXPECT_TRUE(scratch.exists("ZarvoEUupdate.zip"));
}

TEST_F(QuilletRun, ConsoleShowsEachStepInOrder) {
  if (realPacking().empty()) GTEST_SKIP() << "p7zip-full's 7za is not installed";
  useStandIn(0, "echo ARCHIVER-ERROR >&2\necho ARCHIVER-OUTPUT\n" + realPacking());
  const Outcome outcome = run();
  ASSERT_EQ(outcome.exitCode, 0) << outcome.out;
  const std::string& out = outcome.out;
  EXPECT_THAT(out, StartsWith("**********************************************************\n"
                              "Start to pack ZarvoEUupdate.zip...\n"));
  EXPECT_THAT(out, EndsWith(kBanner));
  const std::size_t walk = out.find("NAME: NK.bin\nFlashDrive\\BSP\\NK.bin\n");
  const std::size_t load = out.find("len = '");
  const std::size_t digest = out.find("[MD5](0)");
  const std::size_t archiver = out.find("ARCHIVER-OUTPUT\n");
  const std::size_t banner = out.find(kBanner);
  EXPECT_NE(walk, std::string::npos);
  EXPECT_LT(walk, load);
  EXPECT_LT(load, digest);
  EXPECT_LT(digest, archiver);
  // Its standard error comes through the packer's output too, in order.
  EXPECT_LT(digest, out.find("ARCHIVER-ERROR\n"));
  EXPECT_LT(out.find("ARCHIVER-ERROR\n"), archiver);
  EXPECT_LT(out.find("calculateMd5_AddOneFile(FlashDrive\\BSP\\NK.bin)\r\n"), archiver);
  EXPECT_LT(archiver, banner);
  EXPECT_THAT(out, HasSubstr("len = '21'\r\nbuffer = 'FlashDrive\\BSP\\NK.bin'\r\n"));
  // The check of the archive is the one line between the archiver and the banner.
  EXPECT_THAT(out, ::testing::ContainsRegex("ARCHIVER-OUTPUT\nChecked ZarvoEUupdate.zip: 8 files, "
                                            "digest [0-9a-f]{32}\n\\*{58}\n\\[Name\\]"));
}

TEST_F(QuilletRun, ArchiverRunsInTheStagingFolderWithTheWildcardUnexpanded) {
  if (realPacking().empty()) GTEST_SKIP() << "p7zip-full's 7za is not installed";
  useStandIn(0, realPacking());
  ASSERT_EQ(run("--ignored arguments").exitCode, 0);
  // The archive by its absolute path in the working folder, so that it lands
  // there even when the staging folder is a link to a folder elsewhere.
  EXPECT_EQ(scratch.read("archiver-args"),
            "a\n-tzip\n" + (scratch.root() / "ZarvoEUupdate.zip").string() + "\n*\n");
  EXPECT_EQ(scratch.read("archiver-cwd"), (scratch.root() / "FlashDrive").string() + "\n");
  // It found the lists and the digest there, and they are gone afterwards.
  EXPECT_THAT(scratch.read("archiver-saw"), HasSubstr("$FileList.txt\n$FolderList.txt\n"));
  EXPECT_THAT(scratch.read("archiver-saw"), HasSubstr("$md5.bin\n"));
  EXPECT_EQ(snapshot(), before);
}

// The run checks the archive it made: an archiver that reports success
// without the archive it was asked for fails the run with exit code 7, and a
// stale archive is not taken for it.
TEST_F(QuilletRun, StaleArchiveIsDeletedBeforeTheRun) {
  useStandIn(0);
  scratch.file("ZarvoEUupdate.zip", "stale");
  const Outcome outcome = run();
  EXPECT_EQ(outcome.exitCode, 7);
  EXPECT_THAT(outcome.out,
              HasSubstr("Checking ZarvoEUupdate.zip: there is no archive (ZarvoEUupdate.zip: No "
                        "such file or directory (errno 2))\nThe archiver reported success but "
                        "made no archive\n"));
  EXPECT_FALSE(scratch.exists("ZarvoEUupdate.zip")) << "the stand-in made none";
  EXPECT_EQ(snapshot(), before);
}

// An archive that does not hold what was listed and digested is removed,
// with the intermediate files, and the run ends with exit code 7.
TEST_F(QuilletRun, ArchiveHoldingAFileChangedAfterTheDigestFailsTheRun) {
  if (realPacking().empty()) GTEST_SKIP() << "p7zip-full's 7za is not installed";
  useStandIn(0, "printf changed > BSP/NK.bin\n" + realPacking());
  const Outcome outcome = run();
  EXPECT_EQ(outcome.exitCode, 7) << outcome.out;
  EXPECT_THAT(outcome.out,
              HasSubstr("Checking ZarvoEUupdate.zip: entry 'BSP/NK.bin' holds 7 bytes"));
  EXPECT_THAT(outcome.out, HasSubstr("The archive does not hold what was listed and digested; it "
                                     "was removed\n"));
  EXPECT_THAT(outcome.out, EndsWith(kBanner));
  EXPECT_FALSE(scratch.exists("ZarvoEUupdate.zip"));
  EXPECT_FALSE(scratch.exists("FlashDrive/$FileList.txt"));
  EXPECT_FALSE(scratch.exists("FlashDrive/$FolderList.txt"));
  EXPECT_FALSE(scratch.exists("FlashDrive/$md5.bin"));
}

TEST_F(QuilletRun, ArchiveWithAnEntryNobodyListedFailsTheRun) {
  if (realPacking().empty()) GTEST_SKIP() << "p7zip-full's 7za is not installed";
  useStandIn(0, realPacking() +
                    "echo x > ../extra.txt && (cd .. && /usr/bin/7za a -tzip ZarvoEUupdate.zip "
                    "extra.txt >/dev/null)\n");
  const Outcome outcome = run();
  EXPECT_EQ(outcome.exitCode, 7) << outcome.out;
  EXPECT_THAT(outcome.out,
              HasSubstr("Checking ZarvoEUupdate.zip: entry 'extra.txt' is not listed\n"));
  EXPECT_FALSE(scratch.exists("ZarvoEUupdate.zip"));
  EXPECT_EQ(snapshot(), before);
}

// Failures of the archiver: a message, no archive, the staging folder as
// it was found, exit code 6.
TEST_F(QuilletRun, MissingArchiverFailsTheRun) {
  const Outcome outcome = run();
  EXPECT_EQ(outcome.exitCode, 6);
  EXPECT_THAT(outcome.out,
              HasSubstr("The archiver '7za' could not be started; no archive was made\n"));
  EXPECT_THAT(outcome.out, EndsWith(kBanner));
  EXPECT_FALSE(scratch.exists("ZarvoEUupdate.zip"));
  EXPECT_EQ(snapshot(), before);
}

TEST_F(QuilletRun, FailingArchiverFailsTheRunAndItsArchiveIsRemoved) {
  useStandIn(2, "echo partial > ../ZarvoEUupdate.zip\n");
  const Outcome outcome = run();
  EXPECT_EQ(outcome.exitCode, 6);
  EXPECT_THAT(outcome.out,
              HasSubstr("The archiver failed with exit code 2; no archive was made\n"));
  EXPECT_FALSE(scratch.exists("ZarvoEUupdate.zip"));
  EXPECT_EQ(snapshot(), before);
}

TEST_F(QuilletRun, WorkingFolderBelowAFolderNamedFlashDrivePacks) {
  // Lines begin at the staging folder itself, not at an earlier
  // "FlashDrive" in the working folder's path.
  const char* real = "/usr/bin/7za";
  if (!fs::exists(real)) GTEST_SKIP() << "p7zip-full's 7za is not installed";
  const fs::path work = scratch.root() / "FlashDrive" / "work";
  fs::create_directories(work / "FlashDrive" / "A");
  std::ofstream(work / "FlashDrive" / "A" / "a.bin") << "a";
  fs::create_symlink(real, work / "7za");
  const Outcome outcome =
      shell("cd " + shellQuote(work.string()) + " && " + QUILLET_EXE + " </dev/null");
  EXPECT_EQ(outcome.exitCode, 0) << outcome.out;
  EXPECT_THAT(outcome.out, HasSubstr("\nFlashDrive\\A\\a.bin\n"));
  EXPECT_THAT(outcome.out, HasSubstr("calculateMd5_AddOneFile(FlashDrive\\A\\a.bin)"));
  EXPECT_TRUE(fs::exists(work / "ZarvoEUupdate.zip")) << "the archive is made and kept";
}

TEST_F(QuilletRun, ListedFileThatVanishesBeforeTheDigestFailsIt) {
  // The run is held on a full pipe while a listed file is removed between
  // the walk (over once the list's loading shows) and the digest: enough
  // files that the loading's output alone (about 140 KB) is twice what the
  // pipe and the program's buffer hold.
  useStandIn(0);
  for (int i = 0; i < 3000; ++i) scratch.file("FlashDrive/many/f" + std::to_string(i), "x");
  std::FILE* pipe = ::popen(("cd " + shellQuote(scratch.root().string()) + " && " + QUILLET_EXE +
                             " </dev/null 2>/dev/null")
                                .c_str(),
                            "r");
  ASSERT_NE(pipe, nullptr);
  std::string out;
  char line[4096];
  bool removed = false;
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    out += line;
    if (!removed && std::string(line).rfind("len = ", 0) == 0) {
      fs::remove(scratch.root() / "FlashDrive" / "BSP" / "eboot.nb0");
      removed = true;
    }
  }
  const int status = ::pclose(pipe);
  ASSERT_TRUE(removed);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 5);
  EXPECT_THAT(out, HasSubstr("The file 'FlashDrive\\BSP\\eboot.nb0' was not opened"));
  EXPECT_FALSE(scratch.exists("ZarvoEUupdate.zip"));
  EXPECT_FALSE(scratch.exists("archiver-args")) << "the archiver must not run";
  // The lists stay for inspection; no digest is left.
  EXPECT_TRUE(scratch.exists("FlashDrive/$FileList.txt"));
  EXPECT_TRUE(scratch.exists("FlashDrive/$FolderList.txt"));
  EXPECT_FALSE(scratch.exists("FlashDrive/$md5.bin"));
}

// Started where there is no staging folder (the wrong folder, or as
// `Quillet --help`), the run keeps the release archive kept there.
TEST_F(QuilletRun, NoStagingFolderFailsWithoutTouchingTheWorkingFolder) {
  useStandIn(0);
  fs::remove_all(scratch.root() / "FlashDrive");
  scratch.file("ZarvoEUupdate.zip", "a release kept here");
  const Outcome outcome = run();
  EXPECT_EQ(outcome.exitCode, 2);
  EXPECT_THAT(outcome.out, HasSubstr("There is no staging folder 'FlashDrive' in '"));
  EXPECT_THAT(outcome.out, EndsWith(kBanner));
  EXPECT_FALSE(scratch.exists("archiver-args"));
  EXPECT_EQ(scratch.read("ZarvoEUupdate.zip"), "a release kept here");
  EXPECT_EQ(std::distance(fs::directory_iterator(scratch.root()), {}), 2)
      << "only the archiver and the archive";
}

}  // namespace
}  // namespace quillet
