// The walk's rules that depend on the order of a folder's listing, its
// limits and its failures, on the fake platform with Windows-style paths:
// "C:\work" holds the staging folder, and the search reports "." and ".."
// first, then the entries in the order they were added.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_platform.h"
#include "release_files.h"
#include "walk.h"

namespace quillet {
namespace {

using quillet::testing::FakePlatform;
using quillet::testing::ListFile;
using quillet::testing::parseList;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

class WalkOrderTest : public ::testing::Test {
 protected:
  WalkOrderTest() : fake('\\', "C:") {
    fake.addFolder("C:\\work\\FlashDrive");
    fake.changeWorkingFolder("C:\\work");
  }

  int walk() {
    ::testing::internal::CaptureStderr();
    const int result = makeList();
    errors = ::testing::internal::GetCapturedStderr();
    fileList = parseList(fake.fileBytes("C:\\work\\FlashDrive\\$FileList.txt").value_or(""));
    folderList = parseList(fake.fileBytes("C:\\work\\FlashDrive\\$FolderList.txt").value_or(""));
    return result;
  }

  bool noListsLeft() const {
    return !fake.exists("C:\\work\\FlashDrive\\$FileList.txt") &&
           !fake.exists("C:\\work\\FlashDrive\\$FolderList.txt");
  }

  FakePlatform fake;
  ScopedPlatform useFake{fake};
  std::string errors;
  ListFile fileList;
  ListFile folderList;
};

TEST_F(WalkOrderTest, FolderLineRepeatsAfterASubfolderThatWasEntered) {
  fake.addFile("C:\\work\\FlashDrive\\A\\B\\x.txt");
  fake.addFile("C:\\work\\FlashDrive\\A\\c.txt");
  ASSERT_EQ(walk(), 1);
  EXPECT_THAT(folderList.lines,
              ElementsAre(u"FlashDrive\\A", u"FlashDrive\\A\\B", u"FlashDrive\\A"));
  EXPECT_EQ(folderList.count, 3);
  // The lists were created after A, so they are listed after it.
  EXPECT_THAT(fileList.lines,
              ElementsAre(u"FlashDrive\\A\\B\\x.txt", u"FlashDrive\\A\\c.txt",
                          u"FlashDrive\\$FileList.txt", u"FlashDrive\\$FolderList.txt"));
}

TEST_F(WalkOrderTest, FileBeforeTheSubfolderCausesNoRepeat) {
  fake.addFile("C:\\work\\FlashDrive\\A\\c.txt");
  fake.addFile("C:\\work\\FlashDrive\\A\\B\\x.txt");
  ASSERT_EQ(walk(), 1);
  EXPECT_THAT(folderList.lines, ElementsAre(u"FlashDrive\\A", u"FlashDrive\\A\\B"));
  EXPECT_EQ(folderList.count, 2);
}

TEST_F(WalkOrderTest, ConsoleShowsWindowsPathsAsTheSystemWritesThem) {
  fake.addFile("C:\\work\\FlashDrive\\A\\c.txt");
  ASSERT_EQ(walk(), 1);
  EXPECT_EQ(fake.console,
            "PATH: C:\\work\\FlashDrive\\A\n"
            "NAME: c.txt\nFlashDrive\\A\\c.txt\n"
            "NAME: $FileList.txt\nFlashDrive\\$FileList.txt\n"
            "NAME: $FolderList.txt\nFlashDrive\\$FolderList.txt\n");
}

// What the walk cannot list or open would still be packed by the archiver
// (or fail it): the walk is refused instead, every such entry named.
TEST_F(WalkOrderTest, FolderThatCannotBeListedFailsTheWalkNamingIt) {
  fake.addFile("C:\\work\\FlashDrive\\Locked\\secret.bin");
  fake.addFile("C:\\work\\FlashDrive\\Held\\other.bin");
  fake.addFile("C:\\work\\FlashDrive\\open.bin");
  fake.faults.unlistable.insert("FlashDrive\\Locked");
  fake.faults.unlistable.insert("FlashDrive\\Held");
  EXPECT_EQ(walk(), 0);
  EXPECT_THAT(errors, HasSubstr("Unable to open directory: "));
  EXPECT_THAT(fake.console, HasSubstr("Refused 'C:\\work\\FlashDrive\\Locked': the folder cannot "
                                      "be listed\n"));
  EXPECT_THAT(fake.console, HasSubstr("Refused 'C:\\work\\FlashDrive\\Held': the folder cannot "
                                      "be listed\n"));
  EXPECT_THAT(fake.console, HasSubstr("The walk refused 2 entries"));
  EXPECT_TRUE(noListsLeft());
  std::string here;
  fake.getWorkingFolder(&here);
  EXPECT_EQ(here, "C:\\work");
}

TEST_F(WalkOrderTest, StagingFolderThatCannotBeListedFailsTheWalk) {
  fake.addFile("C:\\work\\FlashDrive\\a.bin");
  fake.faults.unlistable.insert("work\\FlashDrive");
  EXPECT_EQ(walk(), 0);
  EXPECT_THAT(fake.console,
              HasSubstr("Refused 'C:\\work\\FlashDrive': the folder cannot be listed\n"));
  EXPECT_TRUE(noListsLeft());
}

TEST_F(WalkOrderTest, FileThatCannotBeOpenedFailsTheWalkNamingIt) {
  fake.addFile("C:\\work\\FlashDrive\\held.bin");
  fake.addFile("C:\\work\\FlashDrive\\ok.bin");
  fake.faults.openFails.insert("held.bin");
  EXPECT_EQ(walk(), 0);
  EXPECT_THAT(fake.console, HasSubstr("Refused 'C:\\work\\FlashDrive\\held.bin': the file cannot "
                                      "be opened (no permission, or locked by another program)\n"));
  EXPECT_THAT(fake.console, Not(HasSubstr("Skipped")));
  EXPECT_TRUE(noListsLeft());
}

TEST_F(WalkOrderTest, FolderThatGrowsBetweenItsTwoListingsFailsTheWalk) {
  // A few short names leave room in the block; long ones that arrive
  // between the two listings do not fit.
  fake.addFile("C:\\work\\FlashDrive\\a.bin");
  int searches = 0;
  fake.onFindFirstFile = [&](const std::string&) {
    if (++searches != 2) return;
    for (char c = 'a'; c < 'k'; ++c) {
      fake.addFile("C:\\work\\FlashDrive\\" + std::string(200, c));
    }
  };
  EXPECT_EQ(walk(), 0);
  EXPECT_THAT(fake.console, HasSubstr("changed while it was listed"));
  EXPECT_TRUE(noListsLeft());
}

TEST_F(WalkOrderTest, FileListHoldsUpTo65535Lines) {
  for (int i = 0; i < 65533; ++i) fake.addFile("C:\\work\\FlashDrive\\f" + std::to_string(i));
  ASSERT_EQ(walk(), 1);
  EXPECT_EQ(fileList.count, 65535);
  EXPECT_EQ(fileList.lines.size(), 65535u);
}

TEST_F(WalkOrderTest, FileListBeyond65535LinesFailsInsteadOfWrapping) {
  for (int i = 0; i < 65534; ++i) fake.addFile("C:\\work\\FlashDrive\\f" + std::to_string(i));
  EXPECT_EQ(walk(), 0);
  EXPECT_THAT(fake.console, HasSubstr("More than 65535 lines for $FileList.txt"));
  EXPECT_TRUE(noListsLeft());
}

TEST_F(WalkOrderTest, FolderListBeyond65535LinesFailsInsteadOfWrapping) {
  // A's first line, then for each subfolder its own line and, but for the
  // last, A's line again: 1 + 32768 + 32767 lines.
  for (int i = 0; i < 32768; ++i) {
    fake.addFile("C:\\work\\FlashDrive\\A\\s" + std::to_string(i) + "\\f");
  }
  EXPECT_EQ(walk(), 0);
  EXPECT_THAT(fake.console, HasSubstr("More than 65535 lines for $FolderList.txt"));
  EXPECT_TRUE(noListsLeft());
}

// Folders scanned, the staging folder's own included: 65535 are walked,
// one more fails the walk. The staging folder's own line is never written,
// so only the scan's table of folders runs out.
class WalkFolderLimit : public WalkOrderTest, public ::testing::WithParamInterface<int> {};

TEST_P(WalkFolderLimit, HoldsUpTo65535FoldersAndFailsBeyond) {
  const int folders = GetParam();
  for (int i = 1; i < folders; ++i) fake.addFolder("C:\\work\\FlashDrive\\s" + std::to_string(i));
  if (folders <= 65535) {
    EXPECT_EQ(walk(), 1) << fake.console.substr(0, 200);
    EXPECT_EQ(fileList.count, 2);
  } else {
    EXPECT_EQ(walk(), 0);
    EXPECT_THAT(fake.console, HasSubstr("More than 65535 folders"));
    EXPECT_TRUE(noListsLeft());
  }
}

INSTANTIATE_TEST_SUITE_P(AtAndOnePastTheLimit, WalkFolderLimit, ::testing::Values(65535, 65536));

TEST_F(WalkOrderTest, ListThatCannotBeCreatedFailsAndLeavesNothing) {
  fake.addFile("C:\\work\\FlashDrive\\a.bin");
  fake.faults.openFails.insert("$FolderList.txt");
  EXPECT_EQ(walk(), 0);
  EXPECT_THAT(fake.console,
              HasSubstr("The file 'C:\\work\\FlashDrive\\$FolderList.txt' could not be created\n"));
  EXPECT_TRUE(noListsLeft());
}

TEST_F(WalkOrderTest, FailedWriteOfTheHeaderFailsTheWalk) {
  fake.faults.closeFails.insert("$FileList.txt");
  EXPECT_EQ(walk(), 0);
  EXPECT_THAT(fake.console, HasSubstr("Writing 'C:\\work\\FlashDrive\\$FileList.txt' failed\n"));
  EXPECT_TRUE(noListsLeft());
}

}  // namespace
}  // namespace quillet
