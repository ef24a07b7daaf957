// The built Quillet program on staging folders a release cannot be made
// from, run as a user runs it: links, FIFOs, names the device cannot hold,
// the scratch file's name taken, folders that cannot be listed. Each run
// must end with exit code 2 and a message naming every such entry, before
// the archiver runs, leaving no archive, no intermediate file and the
// staging folder as it was found.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "release_files.h"

namespace quillet {
namespace {

namespace fs = std::filesystem;
using quillet::testing::ScratchFolder;
using quillet::testing::shellQuote;
using ::testing::HasSubstr;

struct RunOutcome {
  int exitCode = -1;
  std::string out;
};

std::map<std::string, std::string> snapshot(const fs::path& top) {
  return quillet::testing::treeSnapshot(top);
}

class HostileStaging : public ::testing::Test {
 protected:
  void SetUp() override {
    scratch.file("FlashDrive/BSP/NK.bin", "kernel");
    scratch.file("FlashDrive/NAVI/Navi.exe", "navi");
    scratch.file("outside.txt", "outside");
    // A stand-in archiver that records that it ran.
    scratch.file("7za", "#!/bin/sh\ntouch ../archiver-ran\nexit 0\n");
    fs::permissions(scratch.root() / "7za", fs::perms::all);
  }

  // Runs the packer in the working folder (a time limit guards against a
  // run that blocks on what it reads), after taking the staging folder's
  // picture; `prefix` goes before the program (e.g. to drop privileges).
  RunOutcome run(const std::string& prefix = "", const std::string& program = QUILLET_EXE) {
    before = snapshot(scratch.root() / "FlashDrive");
    const fs::path out = scratch.root() / "console.out";
    const int status = std::system(("cd " + shellQuote(scratch.root().string()) + " && " + prefix +
                                    " timeout 60 " + shellQuote(program) + " </dev/null >" +
                                    shellQuote(out.string()) + " 2>/dev/null")
                                       .c_str());
    RunOutcome outcome;
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = scratch.read("console.out");
    fs::remove(out);
    return outcome;
  }

  // What every refused run must leave: nothing of its own.
  void expectNothingWritten() {
    EXPECT_FALSE(scratch.exists("archiver-ran")) << "the archiver must not run";
    EXPECT_FALSE(scratch.exists("ZarvoEUupdate.zip"));
    for (const char* name : {"$FileList.txt", "$FolderList.txt", "$md5.bin", "$temp.txt"}) {
      EXPECT_FALSE(scratch.exists(std::string("FlashDrive/") + name)) << name;
    }
    EXPECT_EQ(snapshot(scratch.root() / "FlashDrive"), before)
        << "the staging folder must be as it was found";
    EXPECT_EQ(scratch.read("outside.txt"), "outside");
  }

  std::string staging() const { return (scratch.root() / "FlashDrive").string(); }

  ScratchFolder scratch;
  std::map<std::string, std::string> before;
};

TEST_F(HostileStaging, LinksOfEveryKindAreRefusedAllOfThem) {
  const fs::path s = scratch.root() / "FlashDrive";
  fs::create_symlink("../outside.txt", s / "file-link");
  fs::create_symlink("../BSP", s / "NAVI" / "folder-link");
  fs::create_symlink(".", s / "BSP" / "loop");
  fs::create_symlink("..", s / "up");
  fs::create_symlink("/", s / "root");
  const RunOutcome outcome = run();
  EXPECT_EQ(outcome.exitCode, 2);
  for (const char* link : {"/file-link", "/NAVI/folder-link", "/BSP/loop", "/up", "/root"}) {
    EXPECT_THAT(outcome.out, HasSubstr("Refused '" + staging() + link + "': a link;")) << link;
  }
  EXPECT_THAT(outcome.out, HasSubstr("The walk refused 5 entries"));
  expectNothingWritten();
}

TEST_F(HostileStaging, FifoIsRefusedAndNothingBlocksOnIt) {
  ASSERT_EQ(::mkfifo((scratch.root() / "FlashDrive" / "NAVI" / "pipe").c_str(), 0600), 0);
  const RunOutcome outcome = run();
  EXPECT_EQ(outcome.exitCode, 2);
  EXPECT_THAT(outcome.out,
              HasSubstr("Refused '" + staging() + "/NAVI/pipe': neither a file nor a folder"));
  expectNothingWritten();
}

TEST_F(HostileStaging, DeviceNodeIsRefused) {
  const fs::path node = scratch.root() / "FlashDrive" / "zero";
  if (::mknod(node.c_str(), S_IFCHR | 0600, makedev(1, 5)) != 0) {
    GTEST_SKIP() << "device nodes cannot be made here (needs CAP_MKNOD)";
  }
  const RunOutcome outcome = run();
  EXPECT_EQ(outcome.exitCode, 2);
  EXPECT_THAT(outcome.out, HasSubstr("Refused '" + staging() + "/zero': neither a file"));
  expectNothingWritten();
}

TEST_F(HostileStaging, NamesTheDeviceCannotHoldAreRefusedEachNamed) {
  scratch.file("FlashDrive/NAVI/two\nlines.txt");
  scratch.file("FlashDrive/cr\r");
  scratch.file("FlashDrive/a<b");
  scratch.file("FlashDrive/BSP/dot.");
  scratch.file("FlashDrive/COM1.txt");
  scratch.file("FlashDrive/BSP/nk.BIN");
  const RunOutcome outcome = run();
  EXPECT_EQ(outcome.exitCode, 2);
  EXPECT_THAT(outcome.out, HasSubstr("/NAVI/two<U+000A>lines.txt': the name holds a control"));
  EXPECT_THAT(outcome.out, HasSubstr("/cr<U+000D>': the name holds a control"));
  EXPECT_THAT(outcome.out, HasSubstr("/a<b': the name holds one of"));
  EXPECT_THAT(outcome.out, HasSubstr("/BSP/dot.': the name ends with a dot"));
  EXPECT_THAT(outcome.out, HasSubstr("/COM1.txt': the name is a reserved device name"));
  EXPECT_THAT(outcome.out, HasSubstr("': the name differs only in case from '"));
  EXPECT_THAT(outcome.out, HasSubstr("The walk refused 6 entries"));
  expectNothingWritten();
}

TEST_F(HostileStaging, FileOf4GiBIsRefusedAndOneByteLessIsNot) {
  // Sparse files: no disk is used, and the walk reads none of their bytes.
  scratch.file("FlashDrive/NAVI/fits.map", "");
  scratch.file("FlashDrive/NAVI/too-large.map", "");
  fs::resize_file(scratch.root() / "FlashDrive/NAVI/fits.map", 0xFFFFFFFFu);
  fs::resize_file(scratch.root() / "FlashDrive/NAVI/too-large.map", 0x100000000u);
  const RunOutcome outcome = run();
  EXPECT_EQ(outcome.exitCode, 2);
  EXPECT_THAT(outcome.out, HasSubstr("Refused '" + staging() +
                                     "/NAVI/too-large.map': the file holds 4294967296 bytes; the "
                                     "device's FAT file system holds at most 4294967295 bytes"));
  EXPECT_THAT(outcome.out, ::testing::Not(HasSubstr("fits.map'")));
  EXPECT_THAT(outcome.out, HasSubstr("The walk refused 1 entry that a release cannot hold"));
  expectNothingWritten();
}

TEST_F(HostileStaging, UsersOwnScratchFileStopsTheRunBeforeAnythingIsDeleted) {
  scratch.file("FlashDrive/$temp.txt", "my notes");
  scratch.file("ZarvoEUupdate.zip", "an earlier release");
  const RunOutcome outcome = run();
  EXPECT_EQ(outcome.exitCode, 2);
  EXPECT_THAT(outcome.out, HasSubstr("The file 'FlashDrive\\$temp.txt' is in the way"));
  EXPECT_EQ(scratch.read("FlashDrive/$temp.txt"), "my notes");
  EXPECT_EQ(scratch.read("ZarvoEUupdate.zip"), "an earlier release") << "nothing is deleted";
  EXPECT_FALSE(scratch.exists("archiver-ran"));
  EXPECT_EQ(snapshot(scratch.root() / "FlashDrive"), before);
}

TEST_F(HostileStaging, ScratchNameThatIsALinkIsNeverFollowed) {
  fs::create_symlink("../outside.txt", scratch.root() / "FlashDrive" / "$temp.txt");
  const RunOutcome outcome = run();
  EXPECT_EQ(outcome.exitCode, 2);
  EXPECT_THAT(outcome.out, HasSubstr("The file 'FlashDrive\\$temp.txt' is in the way"));
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(scratch.root() / "FlashDrive" / "$temp.txt")));
  EXPECT_EQ(scratch.read("outside.txt"), "outside");
}

TEST_F(HostileStaging, SubfoldersThatCannotBeListedOrEnteredAreRefused) {
  const fs::path locked = scratch.root() / "FlashDrive" / "NAVI" / "Locked";
  const fs::path closed = scratch.root() / "FlashDrive" / "Closed";
  fs::create_directory(locked);
  fs::create_directory(closed);
  // Root lists and enters every folder: the run drops to an unprivileged user.
  std::string prefix;
  std::string program = QUILLET_EXE;
  if (::geteuid() == 0) {
    std::string whyNot;
    program = quillet::testing::runnableCopy(QUILLET_EXE, scratch.root() / "bin", &whyNot);
    if (program.empty()) GTEST_SKIP() << whyNot;
    prefix = quillet::testing::kAsNobody;
    fs::permissions(scratch.root(), fs::perms::all);
    ASSERT_EQ(
        std::system(("chown -R nobody:nogroup " + shellQuote(scratch.root().string())).c_str()), 0);
  }
  fs::permissions(locked, fs::perms::owner_exec);
  fs::permissions(closed, fs::perms::none);
  const RunOutcome outcome = run(prefix, program);
  fs::permissions(locked, fs::perms::owner_all);
  fs::permissions(closed, fs::perms::owner_all);
  EXPECT_EQ(outcome.exitCode, 2) << outcome.out;
  EXPECT_THAT(outcome.out,
              HasSubstr("Refused '" + locked.string() + "': the folder cannot be listed"));
  // With the system's reason: a path too long for it reads differently.
  EXPECT_THAT(outcome.out, HasSubstr("Refused '" + closed.string() +
                                     "': the folder cannot be entered (Permission denied"));
  expectNothingWritten();
}

}  // namespace
}  // namespace quillet
