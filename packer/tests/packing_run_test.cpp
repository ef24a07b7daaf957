// The whole run on the fake platform, for the outcomes a real system makes
// hard to reach on demand: a lock the system refuses, an interruption at
// each question the run asks. The end-to-end suites run the rest of the
// run's hostile conditions with real processes.
#include "packing_run.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_platform.h"

namespace quillet {
namespace {

using quillet::testing::FakePlatform;
using ::testing::HasSubstr;
using ::testing::Not;

class PackingRunTest : public ::testing::Test {
 protected:
  PackingRunTest() : fake('\\', "C:") {
    fake.addFile("C:\\work\\FlashDrive\\NK.bin", "nk");
    fake.addFile("C:\\work\\FlashDrive\\NAVI\\EU.map", "map");
    fake.changeWorkingFolder("C:\\work");
  }

  // An archiver that makes the archive and succeeds.
  void archiverMakesTheArchive() {
    fake.onCommand = [this](const std::string&) {
      fake.addFile("C:\\work\\ZarvoEUupdate.zip", "made");
      return CommandResult{true, 0};
    };
  }

  bool intermediatesLeft() const {
    return fake.exists("C:\\work\\FlashDrive\\$FileList.txt") ||
           fake.exists("C:\\work\\FlashDrive\\$FolderList.txt") ||
           fake.exists("C:\\work\\FlashDrive\\$md5.bin") ||
           fake.exists("C:\\work\\FlashDrive\\$temp.txt");
  }

  FakePlatform fake;
  ScopedPlatform useFake{fake};
};

TEST_F(PackingRunTest, RefusedLockStopsTheRunBeforeAnyDeletion) {
  for (RunLock lock : {RunLock::kBusy, RunLock::kFailed}) {
    SCOPED_TRACE(static_cast<int>(lock));
    fake.runLock = lock;
    fake.addFile("C:\\work\\ZarvoEUupdate.zip", "the other run's");
    fake.console.clear();
    EXPECT_EQ(packingRun(), kExitWalkFailed);
    EXPECT_EQ(fake.calls.deleteFile, 0);
    EXPECT_EQ(fake.calls.findFirstFile, 0) << "no walk";
    EXPECT_EQ(fake.calls.runCommand, 0);
    EXPECT_EQ(fake.fileBytes("C:\\work\\ZarvoEUupdate.zip"), "the other run's");
    EXPECT_THAT(fake.console, HasSubstr("nothing"));
  }
}

// An interruption noticed at the Nth question the run asks: each step's
// clean-up leaves nothing of the run behind and reports the signal.
class InterruptedAtQuery : public PackingRunTest, public ::testing::WithParamInterface<int> {};

TEST_P(InterruptedAtQuery, LeavesNothingOfTheRunAndReportsTheSignal) {
  archiverMakesTheArchive();
  fake.addFile("C:\\work\\ZarvoEUupdate.zip", "stale");
  fake.interruptionStatus = 143;
  fake.interruptAfterQueries = GetParam();
  EXPECT_EQ(packingRun(), 143);
  EXPECT_THAT(fake.console, HasSubstr("The run was interrupted; no archive was made\n"));
  EXPECT_THAT(fake.console, Not(HasSubstr("Press any key")));
  EXPECT_FALSE(intermediatesLeft());
  if (GetParam() == 0) {
    // Before the stale outputs were this run's to delete: untouched.
    EXPECT_EQ(fake.fileBytes("C:\\work\\ZarvoEUupdate.zip"), "stale");
  } else {
    EXPECT_FALSE(fake.exists("C:\\work\\ZarvoEUupdate.zip"));
  }
}

// 0: right after the lock; 1: after the stale outputs; then the walk's
// entries (nine with "." and ".."), after the walk, the load, the rewrite,
// the digest's four files, after the digest, after the archiver (20) and
// after the archive's check. The 23rd, at the prompt, keeps the archive
// (hostile_e2e_test.cpp).
INSTANTIATE_TEST_SUITE_P(EachQuestion, InterruptedAtQuery, ::testing::Range(0, 22));

// A failed archive check (here the archiver leaves no zip archive, or none
// at all) removes the archive; when it cannot, the run says so rather than
// claim it is gone, and it says "removed" only when there was an archive to
// remove.
struct FailedCheck {
  bool made;
  bool removable;
  const char* says;
};

TEST_F(PackingRunTest, FailedArchiveCheckSaysWhatBecameOfTheArchive) {
  for (const FailedCheck& check :
       {FailedCheck{true, true,
                    "The archive does not hold what was listed and digested; it was "
                    "removed\n"},
        FailedCheck{true, false, "and it could not be removed: do not ship 'ZarvoEUupdate.zip'\n"},
        FailedCheck{false, true, "The archiver reported success but made no archive\n"}}) {
    SCOPED_TRACE(check.says);
    fake.console.clear();
    fake.onCommand = [this, check](const std::string&) {
      if (check.made) fake.addFile("C:\\work\\ZarvoEUupdate.zip", "made");
      if (!check.removable) fake.faults.deleteFails.insert("ZarvoEUupdate.zip");
      return CommandResult{true, 0};
    };
    EXPECT_EQ(packingRun(), kExitArchiveCheckFailed);
    EXPECT_EQ(fake.exists("C:\\work\\ZarvoEUupdate.zip"), check.made && !check.removable);
    EXPECT_THAT(fake.console, HasSubstr(check.says));
    if (!check.made) {
      EXPECT_THAT(fake.console, Not(HasSubstr("removed")));
    }
    EXPECT_FALSE(intermediatesLeft());
    fake.faults.deleteFails.clear();
  }
}

}  // namespace
}  // namespace quillet
