// End-to-end runs of the built Quillet program under hostile conditions:
// stale outputs in the way, two runs in one working folder, a staging
// folder that is a link. Real processes throughout; the archiver is a
// stand-in shell script that records its process ids, so that the tests can
// tell that nothing it started is left running.
//
// After every failure: no archive of the run, no intermediate file, the
// staging folder byte for byte as it was found, no child process left.
#include "hostile_run_fixture.h"

namespace quillet {
namespace {

using namespace quillet::hostile;  // NOLINT: the suite's fixture and helpers

constexpr const char* kOutputNames[] = {"Archive", "FileList", "FolderList", "Digest"};
constexpr const char* kUndeletableNames[] = {"Archive", "Digest"};

// --- Stale outputs in the way.

class StaleOutputFolder : public HostileRun, public ::testing::WithParamInterface<const char*> {};

TEST_P(StaleOutputFolder, StopsTheRunBeforeTheWalkAndIsLeftAlone) {
  quietArchiver();
  const fs::path folder = scratch.root() / GetParam();
  fs::create_directories(folder);
  scratch.file(std::string(GetParam()) + "/inside", "kept");
  fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  const auto before = snapshot();

  RunningPacker packer(scratch.root());
  EXPECT_EQ(packer.finish(), 2);
  std::string shown = GetParam();
  for (char& c : shown) c = c == '/' ? '\\' : c;
  EXPECT_THAT(packer.output(), HasSubstr("'" + shown +
                                         "' is a folder where the run writes a file; remove or "
                                         "rename it\n"));
  EXPECT_THAT(packer.output(), Not(HasSubstr("NAME: "))) << "no walk";
  EXPECT_FALSE(scratch.exists("archiver-pid"));
  EXPECT_EQ(fs::status(folder).permissions(),
            fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  EXPECT_EQ(scratch.read(std::string(GetParam()) + "/inside"), "kept");
  EXPECT_EQ(snapshot(), before);
}

INSTANTIATE_TEST_SUITE_P(EachOutput, StaleOutputFolder,
                         ::testing::Values("ZarvoEUupdate.zip", "FlashDrive/$FileList.txt",
                                           "FlashDrive/$FolderList.txt", "FlashDrive/$md5.bin"),
                         nameByIndex<kOutputNames>);

TEST_F(HostileRun, ReadOnlyStaleOutputsAreReplaced) {
  quietArchiver();
  scratch.file("ZarvoEUupdate.zip", "stale");
  scratch.file("FlashDrive/$md5.bin", "stale digest....");
  fs::permissions(scratch.root() / "ZarvoEUupdate.zip", fs::perms::owner_read);
  fs::permissions(scratch.root() / "FlashDrive/$md5.bin", fs::perms::owner_read);
  RunningPacker packer(scratch.root());
  EXPECT_EQ(packer.finish(), 0) << packer.output();
  EXPECT_TRUE(isZipArchive("ZarvoEUupdate.zip"));
  EXPECT_FALSE(scratch.exists("FlashDrive/$md5.bin"));
}

// Deletion refused by the file system: the output's folder belongs to
// another user. CI runs as root, who may delete anything, so the packer is
// run as `nobody` there, from a copy nobody can run. A stale archive left would be updated instead
// of replaced; a stale digest left would be listed and packed.
class UndeletableStaleOutput : public HostileRun,
                               public ::testing::WithParamInterface<const char*> {};

TEST_P(UndeletableStaleOutput, StopsTheRunBeforeTheWalk) {
  quietArchiver();
  std::string prefix;
  std::string program = QUILLET_EXE;
  if (::geteuid() == 0) {
    std::string whyNot;
    program = quillet::testing::runnableCopy(QUILLET_EXE, scratch.root() / "bin", &whyNot);
    if (program.empty()) GTEST_SKIP() << whyNot;
    prefix = std::string("exec ") + quillet::testing::kAsNobody;
  }
  const std::string output = GetParam();
  scratch.file(output, "stale");
  const auto before = snapshot();
  // Readable and searchable by all, writable by none but root.
  const fs::path folder = (scratch.root() / output).parent_path();
  fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                              fs::perms::group_exec | fs::perms::others_read |
                              fs::perms::others_exec);
  RunningPacker packer(scratch.root(), -1, prefix, program);
  const int exitCode = packer.finish();
  fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add);
  EXPECT_EQ(exitCode, 2) << packer.output();
  std::string shown = output;
  for (char& c : shown) c = c == '/' ? '\\' : c;
  EXPECT_THAT(packer.output(), HasSubstr("The earlier '" + shown +
                                         "' could not be deleted; delete it and run again\n"));
  EXPECT_THAT(packer.output(), Not(HasSubstr("NAME: "))) << "no walk";
  EXPECT_EQ(scratch.read(output), "stale") << "neither deleted nor updated";
  EXPECT_FALSE(scratch.exists("archiver-pid"));
  EXPECT_EQ(snapshot(), before);
}

INSTANTIATE_TEST_SUITE_P(ArchiveAndDigest, UndeletableStaleOutput,
                         ::testing::Values("ZarvoEUupdate.zip", "FlashDrive/$md5.bin"),
                         nameByIndex<kUndeletableNames>);

TEST_F(HostileRun, ArchiveTheArchiverLeftThatCannotBeRemovedIsNotCalledAbsent) {
  // A failing archiver that leaves a folder by the archive's name.
  archiver("mkdir \"$3\"\nexit 2\n");
  const auto before = snapshot();
  RunningPacker packer(scratch.root());
  EXPECT_EQ(packer.finish(), 6);
  EXPECT_THAT(packer.output(),
              HasSubstr("The archiver failed with exit code 2; the archive it left, "
                        "'ZarvoEUupdate.zip', could not be removed\n"));
  EXPECT_THAT(packer.output(), Not(HasSubstr("no archive was made")));
  EXPECT_EQ(snapshot(), before);
}

// --- What the archiver leaves running when it exits or is ended.

// How the archiver starts what it leaves: a shell that records its pid,
// sleeps three seconds (past the grace a process deaf to SIGTERM is given)
// and then writes the archive, in the archiver's process group or out of it
// (its own session, after a double fork too). None of it may outlive the run.
struct Leftover {
  const char* name;
  const char* start;  // shell words that start "$late" with the archiver's arguments
};

constexpr Leftover kLeftovers[] = {
    {"InTheGroup", "sh -c \"$late\" late \"$@\" &"},
    {"InANewSession", "setsid sh -c \"$late\" late \"$@\" &"},
    {"DoubleForkedIntoANewSessionIgnoringTerm",
     "(setsid sh -c \"trap '' TERM; $late\" late \"$@\" &)"},
};

// The run's end: no archive (7), packed (0), interrupted (143).
class ArchiverLeftover : public HostileRun,
                         public ::testing::WithParamInterface<std::tuple<Leftover, int>> {};

TEST_P(ArchiverLeftover, IsEndedBeforeTheVerdictAndWritesNothingAfter) {
  const auto [leftover, exitCode] = GetParam();
  const std::string leave =
      "late='echo $$ > ../leftover-pid; sleep 3; echo late > \"$3\"; touch ../late-write'\n" +
      std::string(leftover.start) + "\nwhile [ ! -s ../leftover-pid ]; do sleep 0.01; done\n";
  archiver(exitCode == 0   ? "/usr/bin/7za \"$@\" >/dev/null\n" + leave
           : exitCode == 7 ? leave
                           : leave + "echo ARCHIVER-RUNNING\nwhile :; do sleep 0.05; done\n");
  const auto before = snapshot();
  RunningPacker packer(scratch.root());
  if (exitCode == 143) {
    ASSERT_TRUE(packer.readUntil("ARCHIVER-RUNNING")) << packer.output();
    ASSERT_EQ(::kill(packer.pid(), SIGTERM), 0);
  }
  EXPECT_EQ(packer.finish(), exitCode) << packer.output();
  const pid_t pid = std::atoi(scratch.read("leftover-pid").c_str());
  EXPECT_FALSE(processExists(pid)) << "left running";
  if (exitCode != 0) expectNothingLeft(before);
  // Had it been left running, it would write once it woke.
  for (int i = 0; i < 500 && processExists(pid); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(scratch.exists("late-write"));
  EXPECT_EQ(isZipArchive("ZarvoEUupdate.zip"), exitCode == 0);
}

INSTANTIATE_TEST_SUITE_P(EachWayOut, ArchiverLeftover,
                         ::testing::Combine(::testing::ValuesIn(kLeftovers),
                                            ::testing::Values(7, 0, 143)),
                         [](const ::testing::TestParamInfo<std::tuple<Leftover, int>>& info) {
                           return std::string(std::get<0>(info.param).name) + "_Exit" +
                                  std::to_string(std::get<1>(info.param));
                         });

// --- One run at a time.

TEST_F(HostileRun, SecondRunInTheSameWorkingFolderStopsAndTouchesNothing) {
  gatedArchiver();
  RunningPacker first(scratch.root());
  ASSERT_TRUE(first.readUntil("ARCHIVER-RUNNING")) << first.output();
  const auto during = snapshot();  // the first run's lists and digest are there
  ASSERT_EQ(during.count("FlashDrive/$md5.bin"), 1u);

  RunningPacker second(scratch.root());
  EXPECT_EQ(second.finish(), 2);
  EXPECT_THAT(second.output(), HasSubstr("Another run is packing in this working folder; this "
                                         "one stops and changes nothing\n"));
  EXPECT_THAT(second.output(), Not(HasSubstr("NAME: ")));
  EXPECT_EQ(snapshot(), during);

  scratch.file("release", "");
  EXPECT_EQ(first.finish(), 0) << first.output();
  EXPECT_TRUE(isZipArchive("ZarvoEUupdate.zip"));
}

TEST_F(HostileRun, TwoRunsStartedTogetherPackOnce) {
  gatedArchiver();
  const auto before = snapshot();
  RunningPacker one(scratch.root());
  RunningPacker other(scratch.root());
  // One of them holds the working folder and waits in the archiver; the
  // other stops. Which one is up to the scheduler.
  while (!one.ended() && !other.ended()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  scratch.file("release", "");
  const int exitCodes[] = {one.finish(), other.finish()};
  EXPECT_EQ(exitCodes[0] + exitCodes[1], 2) << one.output() << other.output();
  EXPECT_TRUE(exitCodes[0] == 0 || exitCodes[1] == 0);
  EXPECT_TRUE(isZipArchive("ZarvoEUupdate.zip"));
  EXPECT_EQ(snapshot(), before);
}

TEST_F(HostileRun, LockDoesNotOutliveAKilledRun) {
  slowArchiver();
  RunningPacker killed(scratch.root());
  ASSERT_TRUE(killed.readUntil("ARCHIVER-RUNNING")) << killed.output();
  ::kill(killed.pid(), SIGKILL);
  killed.wait();
  // Its archiver runs on, orphaned, and the run's files stay; the next run
  // packs all the same. (The stand-in is replaced, not rewritten, under the
  // shell that still reads it.)
  const pid_t orphan = std::atoi(scratch.read("archiver-pid").c_str());
  ASSERT_TRUE(processExists(orphan));
  fs::rename(scratch.root() / "7za", scratch.root() / "7za-running");
  quietArchiver();
  RunningPacker next(scratch.root());
  EXPECT_EQ(next.finish(), 0) << next.output();
  EXPECT_TRUE(isZipArchive("ZarvoEUupdate.zip"));
  EXPECT_FALSE(scratch.exists("FlashDrive/$md5.bin"));
  ::kill(-orphan, SIGKILL);
}

// --- A staging folder that is a link to a folder elsewhere.

TEST_F(HostileRun, LinkedStagingFolderRunsTheWorkingFoldersArchiverAndPacksHere) {
  // The link's target has an archiver of its own beside it: it must not run.
  const fs::path elsewhere = scratch.root() / "elsewhere";
  fs::create_directories(elsewhere);
  fs::rename(scratch.root() / "FlashDrive", elsewhere / "FlashDrive");
  scratch.file("elsewhere/7za", "#!/bin/sh\ntouch ../wrong-archiver-ran\n");
  fs::permissions(elsewhere / "7za", fs::perms::owner_all);
  const fs::path work = scratch.root() / "work";
  fs::create_directories(work);
  fs::create_directory_symlink(elsewhere / "FlashDrive", work / "FlashDrive");
  scratch.file("work/7za", "#!/bin/sh\npwd -P > ../archiver-cwd\n/usr/bin/7za \"$@\" >/dev/null\n");
  fs::permissions(work / "7za", fs::perms::owner_all);

  RunningPacker packer(work);
  EXPECT_EQ(packer.finish(), 0) << packer.output();
  EXPECT_TRUE(isZipArchive("work/ZarvoEUupdate.zip"));
  EXPECT_FALSE(scratch.exists("elsewhere/ZarvoEUupdate.zip"));
  EXPECT_FALSE(scratch.exists("wrong-archiver-ran"));
  EXPECT_FALSE(scratch.exists("elsewhere/wrong-archiver-ran"));
  EXPECT_EQ(scratch.read("elsewhere/archiver-cwd"), (elsewhere / "FlashDrive").string() + "\n")
      << "it ran inside the staging folder";
}

}  // namespace
}  // namespace quillet
