// What the walk refuses, on the fake platform with Windows-style paths:
// what only Windows makes (junctions and other second names of a folder,
// reparse points, devices) and the identity of folders. After every
// refusal: the walk fails, each refused entry is named, no list is left.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "fake_platform.h"
#include "platform.h"
#include "walk.h"

namespace quillet {
namespace {

using quillet::testing::FakePlatform;
using ::testing::HasSubstr;

// On the fake platform, with Windows-style paths.
class WalkRefusesOnWindows : public ::testing::Test {
 protected:
  WalkRefusesOnWindows() : fake('\\', "C:") {
    fake.addFile("C:\\work\\FlashDrive\\NAVI\\Navi.exe");
    fake.changeWorkingFolder("C:\\work");
  }

  int walk() {
    ::testing::internal::CaptureStderr();
    const int result = makeList();
    ::testing::internal::GetCapturedStderr();
    return result;
  }
  bool noListsLeft() const {
    return !fake.exists("C:\\work\\FlashDrive\\$FileList.txt") &&
           !fake.exists("C:\\work\\FlashDrive\\$FolderList.txt");
  }

  FakePlatform fake;
  ScopedPlatform useFake{fake};
};

TEST_F(WalkRefusesOnWindows, JunctionBackToAFolderBeingWalkedIsALoop) {
  // Seen as a plain folder (no reparse mark), it still leads back: the
  // folder's identity, not its path, tells.
  fake.addAlias("C:\\work\\FlashDrive\\NAVI\\again", "C:\\work\\FlashDrive");
  EXPECT_EQ(walk(), 0);
  EXPECT_THAT(fake.console,
              HasSubstr("Refused 'C:\\work\\FlashDrive\\NAVI\\again': leads back into "
                        "a folder the walk is already in (a loop)\n"));
  EXPECT_TRUE(noListsLeft());
  std::string here;
  fake.getWorkingFolder(&here);
  EXPECT_EQ(here, "C:\\work");
}

TEST_F(WalkRefusesOnWindows, WayBackToTheWorkingFolderIsALoop) {
  fake.addAlias("C:\\work\\FlashDrive\\up", "C:\\work");
  EXPECT_EQ(walk(), 0);
  EXPECT_THAT(fake.console, HasSubstr("Refused 'C:\\work\\FlashDrive\\up': leads back"));
  EXPECT_TRUE(noListsLeft());
}

TEST_F(WalkRefusesOnWindows, SecondNameOfAFolderOutsideTheChainIsWalked) {
  // Not a loop: the same folder under two names, neither inside the other.
  fake.addAlias("C:\\work\\FlashDrive\\Copy", "C:\\work\\FlashDrive\\NAVI");
  ASSERT_EQ(walk(), 1);
  EXPECT_THAT(fake.console, HasSubstr("FlashDrive\\Copy\\Navi.exe\n"));
}

TEST_F(WalkRefusesOnWindows, LinksAndDevicesAreRefusedByKind) {
  fake.addFile("C:\\work\\FlashDrive\\shortcut.lnk.target");
  fake.setKind("C:\\work\\FlashDrive\\shortcut.lnk.target", EntryKind::kLink);
  fake.addFolder("C:\\work\\FlashDrive\\Junction");
  fake.setKind("C:\\work\\FlashDrive\\Junction", EntryKind::kLink);
  fake.addFile("C:\\work\\FlashDrive\\device");
  fake.setKind("C:\\work\\FlashDrive\\device", EntryKind::kSpecial);
  EXPECT_EQ(walk(), 0);
  EXPECT_THAT(fake.console,
              HasSubstr("Refused 'C:\\work\\FlashDrive\\shortcut.lnk.target': a link"));
  EXPECT_THAT(fake.console, HasSubstr("Refused 'C:\\work\\FlashDrive\\Junction': a link"));
  EXPECT_THAT(fake.console, HasSubstr("Refused 'C:\\work\\FlashDrive\\device': neither a file"));
  EXPECT_THAT(fake.console, HasSubstr("The walk refused 3 entries"));
  EXPECT_TRUE(noListsLeft());
}

// The device's FAT file system holds at most 4 GiB - 1 bytes in a file.
struct FileSize {
  const char* label;
  std::uint64_t bytes;
  bool refused;
};

class FileSizeLimit : public WalkRefusesOnWindows,
                      public ::testing::WithParamInterface<FileSize> {};

TEST_P(FileSizeLimit, FilesTheDeviceCannotHoldAreRefused) {
  fake.addFile("C:\\work\\FlashDrive\\NAVI\\EU.map");
  fake.setSize("C:\\work\\FlashDrive\\NAVI\\EU.map", GetParam().bytes);
  const std::string refusal = "Refused 'C:\\work\\FlashDrive\\NAVI\\EU.map': the file holds " +
                              std::to_string(GetParam().bytes) +
                              " bytes; the device's FAT file system holds at most 4294967295 "
                              "bytes in a file\n";
  if (GetParam().refused) {
    EXPECT_EQ(walk(), 0);
    EXPECT_THAT(fake.console, HasSubstr(refusal));
    EXPECT_THAT(fake.console, HasSubstr("The walk refused 1 entry"));
    EXPECT_TRUE(noListsLeft());
  } else {
    EXPECT_EQ(walk(), 1);
    EXPECT_THAT(fake.console, ::testing::Not(HasSubstr("Refused")));
    EXPECT_THAT(fake.console, HasSubstr("\nFlashDrive\\NAVI\\EU.map\n"));
  }
}

INSTANTIATE_TEST_SUITE_P(AtAndPastTheLimit, FileSizeLimit,
                         ::testing::Values(FileSize{"AtTheLimit", 0xFFFFFFFFu, false},
                                           FileSize{"OnePast", 0x100000000u, true},
                                           FileSize{"Past32Bits", 0x1000000000003u, true}),
                         [](const ::testing::TestParamInfo<FileSize>& info) {
                           return std::string(info.param.label);
                         });

}  // namespace
}  // namespace quillet
