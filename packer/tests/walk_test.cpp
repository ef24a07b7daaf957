// The staging tree walk on real temporary trees. Rules that depend on the
// order in which the system lists a folder are tested with the fake
// platform (walk_order_test.cpp); here every expectation holds whatever
// that order is.
#include "walk.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform.h"
#include "release_files.h"

namespace quillet {
namespace {

using quillet::testing::ListFile;
using quillet::testing::parseList;
using quillet::testing::ScratchFolder;
using quillet::testing::u16;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;
using ::testing::UnorderedElementsAreArray;

// Names that only POSIX file systems allow (a "\\", bytes that are not
// UTF-8) and FIFOs cannot be made on Windows.
#define SKIP_UNLESS_POSIX() \
  if (platform().separator() != '/') GTEST_SKIP() << "needs a POSIX file system"

class WalkTest : public ::testing::Test {
 protected:
  // Runs makeList in the scratch folder; returns its result and keeps the
  // console text.
  int walk() {
    ::testing::internal::CaptureStdout();
    const int result = makeList();
    console = ::testing::internal::GetCapturedStdout();
    fileList = parseList(scratch.read("FlashDrive/$FileList.txt"));
    folderList = parseList(scratch.read("FlashDrive/$FolderList.txt"));
    return result;
  }

  // The file lines a tree with these files (below FlashDrive) must give.
  static std::vector<std::u16string> withLists(std::vector<std::string> files) {
    files.push_back("FlashDrive\\$FileList.txt");
    files.push_back("FlashDrive\\$FolderList.txt");
    std::vector<std::u16string> lines;
    for (const std::string& file : files) lines.push_back(u16(file));
    return lines;
  }

  bool noListsLeft() const {
    return !scratch.exists("FlashDrive/$FileList.txt") &&
           !scratch.exists("FlashDrive/$FolderList.txt");
  }

  ScratchFolder scratch;
  std::string console;
  ListFile fileList;
  ListFile folderList;
};

TEST_F(WalkTest, EmptyStagingFolderListsOnlyTheListFiles) {
  scratch.folder("FlashDrive");
  ASSERT_EQ(walk(), 1);
  EXPECT_TRUE(fileList.wellFormed);
  EXPECT_EQ(fileList.count, 2);
  EXPECT_THAT(fileList.lines, UnorderedElementsAreArray(withLists({})));
  EXPECT_EQ(scratch.read("FlashDrive/$FolderList.txt"), std::string("\0\0", 2));
}

TEST_F(WalkTest, FilesOnlyGiveNoFolderLines) {
  scratch.file("FlashDrive/NK.bin");
  scratch.file("FlashDrive/.hidden");
  scratch.file("FlashDrive/empty.dat", "");
  ASSERT_EQ(walk(), 1);
  EXPECT_EQ(fileList.count, 5);
  EXPECT_THAT(fileList.lines,
              UnorderedElementsAreArray(withLists(
                  {"FlashDrive\\NK.bin", "FlashDrive\\.hidden", "FlashDrive\\empty.dat"})));
  EXPECT_EQ(folderList.count, 0);
  EXPECT_THAT(folderList.lines, IsEmpty());
}

TEST_F(WalkTest, ListLinesAreUtf16WithBackslashesAndNoTerminatorOtherThanLineFeed) {
  scratch.file("FlashDrive/x");
  ASSERT_EQ(walk(), 1);
  const std::string bytes = scratch.read("FlashDrive/$FileList.txt");
  const std::string expected = encodeListLine(u"FlashDrive\\x");
  EXPECT_NE(bytes.find(expected), std::string::npos);
  EXPECT_EQ(bytes.find(std::string("\r\0", 2)), std::string::npos);
  EXPECT_EQ(bytes.size(), 2 + 26 + 2 * (std::string("FlashDrive\\$FileList.txt").size() + 1) +
                              2 * (std::string("FlashDrive\\$FolderList.txt").size() + 1));
}

TEST_F(WalkTest, NonAsciiNamesAreConvertedFromTheNarrowEncoding) {
  scratch.file("FlashDrive/NAVI/Stimme_Müller.wav");
  scratch.file("FlashDrive/地图.dat");
  ASSERT_EQ(walk(), 1);
  EXPECT_THAT(fileList.lines,
              UnorderedElementsAreArray(
                  withLists({"FlashDrive\\NAVI\\Stimme_Müller.wav", "FlashDrive\\地图.dat"})));
  EXPECT_THAT(folderList.lines, ElementsAre(u"FlashDrive\\NAVI"));
}

TEST_F(WalkTest, SubfolderThatIsTheOnlyEntryCausesNoRepeatedLine) {
  scratch.file("FlashDrive/A/B/x.txt");
  ASSERT_EQ(walk(), 1);
  EXPECT_THAT(folderList.lines, ElementsAre(u"FlashDrive\\A", u"FlashDrive\\A\\B"));
  EXPECT_EQ(folderList.count, 2);
}

TEST_F(WalkTest, FolderOfEmptySubfoldersGetsOneLinePerSubfolder) {
  scratch.folder("FlashDrive/A/S1");
  scratch.folder("FlashDrive/A/S2");
  scratch.folder("FlashDrive/A/S3");
  scratch.folder("FlashDrive/Empty");
  ASSERT_EQ(walk(), 1);
  EXPECT_THAT(folderList.lines, ElementsAre(u"FlashDrive\\A", u"FlashDrive\\A", u"FlashDrive\\A"));
  EXPECT_EQ(fileList.count, 2);
}

TEST_F(WalkTest, ConsoleShowsNameLineTextAndAbsoluteFolderPath) {
  scratch.file("FlashDrive/BSP/eboot.nb0");
  ASSERT_EQ(walk(), 1);
  const std::string bsp = (scratch.root() / "FlashDrive" / "BSP").string();
  EXPECT_THAT(console,
              HasSubstr("PATH: " + bsp + "\nNAME: eboot.nb0\nFlashDrive\\BSP\\eboot.nb0\n"));
  EXPECT_THAT(console, HasSubstr("NAME: $FileList.txt\nFlashDrive\\$FileList.txt\n"));
}

// Lines begin at the staging folder itself, not at an earlier "FlashDrive"
// in the working folder's own path.
TEST_F(WalkTest, WorkingFolderWhosePathHoldsTheStagingNameGivesTheSameLines) {
  for (const char* work : {"release-FlashDrive/w", "FlashDrive/work", "FlashDrive"}) {
    SCOPED_TRACE(work);
    const std::string staging = std::string(work) + "/FlashDrive";
    scratch.file(staging + "/A/x.bin");
    scratch.file(staging + "/y.bin");
    std::filesystem::current_path(scratch.root() / work);
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(makeList(), 1);
    ::testing::internal::GetCapturedStdout();
    const ListFile files = parseList(scratch.read(staging + "/$FileList.txt"));
    const ListFile folders = parseList(scratch.read(staging + "/$FolderList.txt"));
    EXPECT_THAT(files.lines, UnorderedElementsAreArray(
                                 withLists({"FlashDrive\\A\\x.bin", "FlashDrive\\y.bin"})));
    EXPECT_THAT(folders.lines, ElementsAre(u"FlashDrive\\A"));
    std::filesystem::current_path(scratch.root());
    std::filesystem::remove_all(scratch.root() / work);
  }
}

TEST_F(WalkTest, StagingFolderThatIsALinkIsListedAsTheFolderItLeadsTo) {
  SKIP_UNLESS_POSIX();
  scratch.file("elsewhere/stage/A/x.bin");
  std::filesystem::create_directory_symlink(scratch.root() / "elsewhere" / "stage",
                                            scratch.root() / "FlashDrive");
  ASSERT_EQ(walk(), 1) << console;
  EXPECT_THAT(fileList.lines, UnorderedElementsAreArray(withLists({"FlashDrive\\A\\x.bin"})));
  EXPECT_THAT(folderList.lines, ElementsAre(u"FlashDrive\\A"));
}

TEST_F(WalkTest, WorkingFolderIsTheSameAfterTheWalk) {
  scratch.file("FlashDrive/A/B/C/deep.txt");
  const auto before = std::filesystem::current_path();
  ASSERT_EQ(walk(), 1);
  EXPECT_EQ(std::filesystem::current_path(), before);
}

TEST_F(WalkTest, SpecialFilesFailTheWalkNamingThem) {
  SKIP_UNLESS_POSIX();
  scratch.file("FlashDrive/a.txt");
  ASSERT_EQ(
      ::system(("mkfifo '" + (scratch.root() / "FlashDrive" / "pipe").string() + "'").c_str()), 0);
  EXPECT_EQ(walk(), 0);
  EXPECT_THAT(console,
              HasSubstr("pipe': neither a file nor a folder (a FIFO, socket or device)\n"));
  EXPECT_TRUE(noListsLeft());
  EXPECT_TRUE(scratch.exists("FlashDrive/pipe"));
}

// Runs where the walk must refuse: it says why, fails, and leaves no list.
TEST_F(WalkTest, NoStagingFolderFailsWithoutWritingAnything) {
  scratch.file("other/file.txt");
  EXPECT_EQ(walk(), 0);
  EXPECT_THAT(console, HasSubstr("There is no staging folder 'FlashDrive' in '"));
  EXPECT_TRUE(std::filesystem::is_empty(scratch.root() / "other") == false);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(scratch.root()), {}), 1);
}

TEST_F(WalkTest, StagingNameThatIsAFileFails) {
  scratch.file("FlashDrive", "not a folder");
  EXPECT_EQ(walk(), 0);
  EXPECT_THAT(console, HasSubstr("There is no staging folder"));
  EXPECT_EQ(scratch.read("FlashDrive"), "not a folder");
}

TEST_F(WalkTest, NameWithBackslashFailsTheWalk) {
  SKIP_UNLESS_POSIX();
  scratch.file("FlashDrive/ok.txt");
  scratch.file("FlashDrive/A/bad\\name.txt");
  EXPECT_EQ(walk(), 0);
  EXPECT_THAT(console, HasSubstr("/A/bad\\name.txt': the name contains '\\'"));
  EXPECT_TRUE(noListsLeft());
  EXPECT_TRUE(scratch.exists("FlashDrive/ok.txt"));
}

// Names whose characters the system could not read: bytes that are not
// UTF-8 (POSIX), and U+FFFD, which a conversion leaves in their place.
struct UnreadableName {
  const char* name;
  bool posixOnly;
  const char* says;
};

class WalkUnreadableName : public WalkTest, public ::testing::WithParamInterface<UnreadableName> {};

TEST_P(WalkUnreadableName, FailsTheWalk) {
  if (GetParam().posixOnly) SKIP_UNLESS_POSIX();
  scratch.file(std::string("FlashDrive/") + GetParam().name);
  EXPECT_EQ(walk(), 0);
  EXPECT_THAT(console, HasSubstr(GetParam().says));
  EXPECT_TRUE(noListsLeft());
}

INSTANTIATE_TEST_SUITE_P(NotUtf8OrReplaced, WalkUnreadableName,
                         ::testing::Values(UnreadableName{"latin1-\xE9.txt", true,
                                                          "is not valid in the system's code page"},
                                           UnreadableName{"caf\xEF\xBF\xBD.txt", false,
                                                          "the name holds U+FFFD"}));

// The path limit counts UTF-16 units of the path as the lists' first form
// names it ("FlashDrive\" and the path below the staging folder), as the
// device does: two-byte letters (twice the bytes of UTF-8) pack up to 255
// units; one more is refused and named, and the walk goes on to its end.
// The working folder's own path does not count.
class WalkPathLimit : public WalkTest, public ::testing::WithParamInterface<int> {};

TEST_P(WalkPathLimit, CountsUtf16UnitsOfTheListLine) {
  const std::size_t total = static_cast<std::size_t>(GetParam());
  std::u16string below;  // folders of 100 letters, then the file
  std::size_t left = total - 11;
  for (; left > 101; left -= 101) below += std::u16string(100, u'é') + u'/';
  below += std::u16string(left, u'é');
  const std::filesystem::path file = scratch.root() / "FlashDrive" / std::filesystem::path(below);
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file) << "x";
  scratch.file("FlashDrive/after.txt");
  if (total <= 255) {
    EXPECT_EQ(walk(), 1) << console;
  } else {
    EXPECT_EQ(walk(), 0);
    EXPECT_THAT(console, HasSubstr("': its path, with 'FlashDrive\\' before it, takes 256 "
                                   "characters, more than the 255 the device holds\n"));
    EXPECT_THAT(console, HasSubstr("The walk refused 1 entry"));
    EXPECT_TRUE(noListsLeft());
  }
}

INSTANTIATE_TEST_SUITE_P(AtAndOnePastTheLimit, WalkPathLimit, ::testing::Values(255, 256));

TEST(ListLineText, AnchorsAtTheStagingFolderAndWritesBackslashes) {
  std::string text;
  ASSERT_TRUE(listLineText("/home/u/FlashDrive", "/home/u/FlashDrive/A/b.txt", '/', &text));
  EXPECT_EQ(text, "FlashDrive\\A\\b.txt");
  ASSERT_TRUE(listLineText("C:\\rel\\FlashDrive", "C:\\rel\\FlashDrive\\A\\b.txt", '\\', &text));
  EXPECT_EQ(text, "FlashDrive\\A\\b.txt");
  // An earlier "FlashDrive" in the working folder's path is no anchor.
  ASSERT_TRUE(listLineText("C:\\FlashDrive\\work\\FlashDrive",
                           "C:\\FlashDrive\\work\\FlashDrive\\x", '\\', &text));
  EXPECT_EQ(text, "FlashDrive\\x");
  ASSERT_TRUE(listLineText("/h/release-FlashDrive/w/FlashDrive",
                           "/h/release-FlashDrive/w/FlashDrive/FlashDrive/y", '/', &text));
  EXPECT_EQ(text, "FlashDrive\\FlashDrive\\y");
  // The staging folder itself, and paths outside it, have no line.
  EXPECT_FALSE(listLineText("/home/u/FlashDrive", "/home/u/FlashDrive", '/', &text));
  EXPECT_FALSE(listLineText("/home/u/FlashDrive", "/home/u/FlashDriveX/a", '/', &text));
  EXPECT_FALSE(listLineText("/home/u/FlashDrive", "/home/u/other/a", '/', &text));
}

}  // namespace
}  // namespace quillet
