#include "file_list.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <string>

#include "fake_platform.h"
#include "list_format.h"
#include "release_files.h"

// Slot memory is the one array the loader takes with new (std::nothrow);
// this replacement lets a test refuse it.
namespace {
bool refuseNothrowArrays = false;
}  // namespace

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (refuseNothrowArrays) return nullptr;
  try {
    return ::operator new[](size);
  } catch (...) {
    return nullptr;
  }
}

namespace quillet {
namespace {

using testing::FakePlatform;
using ::testing::HasSubstr;
using ::testing::Not;

// UTF-16LE bytes of a text: a list line without its line feed.
std::string le(const std::u16string& text) {
  std::string bytes = encodeListLine(text);
  bytes.resize(bytes.size() - 2);
  return bytes;
}

std::string header(unsigned count) { return encodeListHeader(static_cast<std::uint16_t>(count)); }

// A list file: the header, then each line and its line feed.
std::string listFile(unsigned count, std::initializer_list<std::u16string> lines) {
  std::string bytes = header(count);
  for (const std::u16string& line : lines) bytes += encodeListLine(line);
  return bytes;
}

const std::u16string kPath20 = u"FlashDrive\\abcde.txt";  // 20 units
const std::u16string kPathB = u"FlashDrive\\A\\b";

class FileList : public ::testing::Test {
 protected:
  void SetUp() override { fake_.addFolder("FlashDrive"); }
  void TearDown() override { fileList_Release(); }

  void writeList(const std::string& bytes) { fake_.addFile("FlashDrive/$FileList.txt", bytes); }
  std::optional<std::string> list() const { return fake_.fileBytes("FlashDrive/$FileList.txt"); }
  bool tempExists() const { return fake_.exists("FlashDrive/$temp.txt"); }

  FakePlatform fake_;
  ScopedPlatform useFake_{fake_};
};

// --- Loading.

TEST_F(FileList, LoadFillsOneSlotPerLineAndTracesIt) {
  writeList(listFile(2, {kPath20, kPathB}));
  ASSERT_EQ(fileList_Load(), 1);
  ASSERT_EQ(fileListCount, 2);
  ASSERT_NE(pathSlots, nullptr);
  std::u16string slot0(pathSlots[0], kSlotUnits);
  EXPECT_EQ(slot0, kPath20 + std::u16string(kSlotUnits - 20, u'\0'));
  EXPECT_EQ(std::u16string(pathSlots[1]), kPathB);
  EXPECT_EQ(fake_.console,
            "len = '20'\r\nbuffer = 'FlashDrive\\abcde.txt'\r\n"
            "len = '14'\r\nbuffer = 'FlashDrive\\A\\b'\r\n");
}

TEST_F(FileList, AnEmptyLineTakesNoSlot) {
  writeList(listFile(2, {u"", kPath20, u"", kPathB}));
  ASSERT_EQ(fileList_Load(), 1);
  EXPECT_EQ(std::u16string(pathSlots[0]), kPath20);
  EXPECT_EQ(std::u16string(pathSlots[1]), kPathB);
  EXPECT_THAT(fake_.console, Not(HasSubstr("len = '0'")));
}

TEST_F(FileList, AHeaderOnlyListLoadsNothing) {
  writeList(header(0));
  EXPECT_EQ(fileList_Load(), 1);
  EXPECT_EQ(fileListCount, 0);
  EXPECT_EQ(fake_.console, "");
}

TEST_F(FileList, ALineOf511UnitsFillsItsSlotToTheLastUnit) {
  const std::u16string longest = u"FlashDrive\\" + std::u16string(500, u'x');
  writeList(listFile(1, {longest}));
  ASSERT_EQ(fileList_Load(), 1);
  EXPECT_EQ(std::u16string(pathSlots[0], 511), longest);
  EXPECT_EQ(pathSlots[0][511], u'\0');
}

TEST_F(FileList, AMissingListIsReportedByBothSteps) {
  EXPECT_EQ(fileList_Load(), 0);
  EXPECT_EQ(fileList_StripPrefix(), 0);
  EXPECT_EQ(fake_.console,
            "The file 'FlashDrive\\$FileList.txt' was not opened\r\n"
            "The file 'FlashDrive\\$FileList.txt' was not opened\r\n");
  EXPECT_FALSE(tempExists());
}

struct BadList {
  const char* name;
  std::string bytes;
  const char* message;
};

void PrintTo(const BadList& list, std::ostream* out) { *out << list.name; }

class FileListRefused : public FileList, public ::testing::WithParamInterface<BadList> {};

// A list the loader cannot hold to its header leaves nothing loaded, not
// even what an earlier load left, so the digest reads no unfilled slot.
TEST_P(FileListRefused, LoadFailsWithAMessageAndNothingLoaded) {
  writeList(listFile(1, {kPath20}));
  ASSERT_EQ(fileList_Load(), 1);
  fake_.console.clear();

  writeList(GetParam().bytes);
  EXPECT_EQ(fileList_Load(), 0);
  EXPECT_EQ(fileListCount, 0);
  EXPECT_EQ(pathSlots, nullptr);
  EXPECT_THAT(fake_.console, HasSubstr(GetParam().message));
}

const std::u16string kLine512 = u"FlashDrive\\" + std::u16string(501, u'y');

INSTANTIATE_TEST_SUITE_P(
    MalformedLists, FileListRefused,
    ::testing::Values(BadList{"FewerLinesThanCounted", listFile(3, {kPath20, kPathB}),
                              "holds 2 lines but its header counts 3"},
                      BadList{"MoreLinesThanCounted", listFile(1, {kPath20, kPathB}),
                              "holds more lines than its header counts (1)"},
                      BadList{"LinesButAZeroCount", listFile(0, {kPath20}),
                              "holds more lines than its header counts (0)"},
                      BadList{"LineOf512Units", listFile(1, {kLine512}),
                              "holds a line longer than 511 units (line 1)"},
                      BadList{"LineOf1023UnitsWithItsLineFeed",
                              listFile(2, {kPath20, std::u16string(1022, u'z')}),
                              "holds a line longer than 511 units (line 2)"},
                      BadList{"LineLongerThanOneRead", listFile(1, {std::u16string(1500, u'z')}),
                              "holds a line longer than 511 units (line 1)"},
                      BadList{"LastLineWithoutLineFeed", listFile(2, {kPath20}) + le(kPathB),
                              "ends with a line without a line feed"},
                      BadList{"HalfAUnitAtTheEnd", listFile(1, {kPath20}) + "F",
                              "ends with a line without a line feed"},
                      BadList{"EmptyFile", "", "is shorter than its 2-byte header"},
                      BadList{"OneByte", "\x01", "is shorter than its 2-byte header"},
                      BadList{"NulUnit", listFile(1, {std::u16string(u"FlashDrive\\a\0b", 14)}),
                              "holds a NUL unit in line 1"}),
    [](const ::testing::TestParamInfo<BadList>& info) { return std::string(info.param.name); });

TEST_F(FileList, AReadErrorFailsTheLoad) {
  writeList(listFile(2, {kPath20, kPathB}));
  fake_.faults.readFailsAfter["$FileList.txt"] = 30;
  EXPECT_EQ(fileList_Load(), 0);
  EXPECT_EQ(pathSlots, nullptr);
  EXPECT_THAT(fake_.console, HasSubstr("The file 'FlashDrive\\$FileList.txt' could not be read"));
}

TEST_F(FileList, SlotMemoryThatCannotBeHadFailsTheLoad) {
  writeList(listFile(1, {kPath20}));
  refuseNothrowArrays = true;
  const int result = fileList_Load();
  refuseNothrowArrays = false;
  EXPECT_EQ(result, 0);
  EXPECT_EQ(fileListCount, 0);
  EXPECT_EQ(pathSlots, nullptr);
  EXPECT_THAT(fake_.console, HasSubstr("There is not enough memory to load 1 paths"));
}

// --- Stripping.

TEST_F(FileList, StripDropsTheFirst11UnitsAndCopiesTheHeader) {
  // The header is copied as read, even where it disagrees with the lines.
  writeList(listFile(0x0302, {kPath20, kPathB, u"FlashDrive\\"}));
  ASSERT_EQ(fileList_StripPrefix(), 1);
  EXPECT_EQ(list(), listFile(0x0302, {u"abcde.txt", u"A\\b", u""}));
  EXPECT_FALSE(tempExists());
}

TEST_F(FileList, LoadThenStripKeepsTheSlotsInTheFirstForm) {
  writeList(listFile(2, {kPath20, kPathB}));
  ASSERT_EQ(fileList_Load(), 1);
  ASSERT_EQ(fileList_StripPrefix(), 1);
  EXPECT_EQ(std::u16string(pathSlots[0]), kPath20);
  EXPECT_EQ(list(), listFile(2, {u"abcde.txt", u"A\\b"}));
}

TEST_F(FileList, StripOfAHeaderOnlyListKeepsItsTwoBytes) {
  writeList(header(0));
  EXPECT_EQ(fileList_StripPrefix(), 1);
  EXPECT_EQ(list(), header(0));
  EXPECT_FALSE(tempExists());
}

// The scratch name belongs to the run only while it runs: a file, folder or
// link by that name is the user's, and stays as it is.
TEST_F(FileList, ScratchNameIsFreeOnlyWhenNothingIsThere) {
  EXPECT_EQ(fileList_ScratchNameIsFree(), 1);
  EXPECT_EQ(fake_.console, "");
  fake_.addFile("FlashDrive/$temp.txt", "mine");
  EXPECT_EQ(fileList_ScratchNameIsFree(), 0);
  EXPECT_THAT(fake_.console, HasSubstr("The file 'FlashDrive\\$temp.txt' is in the way"));
  EXPECT_EQ(fake_.fileBytes("FlashDrive/$temp.txt"), "mine");
}

TEST_F(FileList, ScratchNameHeldByAFolderOrALinkIsNotFree) {
  fake_.addFolder("FlashDrive/$temp.txt");
  EXPECT_EQ(fileList_ScratchNameIsFree(), 0);
  fake_.setKind("FlashDrive/$temp.txt", EntryKind::kLink);
  EXPECT_EQ(fileList_ScratchNameIsFree(), 0);
}

TEST_F(FileList, StripNeverWritesOverAFileByTheScratchName) {
  writeList(listFile(1, {kPath20}));
  fake_.addFile("FlashDrive/$temp.txt", "mine");
  EXPECT_EQ(fileList_StripPrefix(), 0);
  EXPECT_EQ(fake_.fileBytes("FlashDrive/$temp.txt"), "mine");
  EXPECT_EQ(list(), listFile(1, {kPath20}));
}

struct StripFault {
  const char* name;
  std::string bytes;
  std::function<void(FakePlatform&)> inject;
  const char* message;
};

void PrintTo(const StripFault& fault, std::ostream* out) { *out << fault.name; }

class StripRefused : public FileList, public ::testing::WithParamInterface<StripFault> {};

// Whatever goes wrong, the list stays as it was and no scratch file is left.
TEST_P(StripRefused, LeavesTheListAsItWas) {
  writeList(GetParam().bytes);
  GetParam().inject(fake_);
  EXPECT_EQ(fileList_StripPrefix(), 0);
  EXPECT_EQ(list(), GetParam().bytes);
  EXPECT_FALSE(tempExists());
  EXPECT_THAT(fake_.console, HasSubstr(GetParam().message));
}

const std::string kGoodList = listFile(2, {kPath20, kPathB});
void noFault(FakePlatform&) {}

INSTANTIATE_TEST_SUITE_P(
    ListsAndFaults, StripRefused,
    ::testing::Values(
        StripFault{"LineTooShort", listFile(2, {kPath20, u"FlashDrive"}), noFault,
                   "holds a line too short to lose its first 11 units (line 2)"},
        StripFault{"EmptyLine", listFile(2, {kPath20, u"", kPathB}), noFault,
                   "holds a line too short to lose its first 11 units (line 2)"},
        StripFault{"ScratchCannotBeCreated", kGoodList,
                   [](FakePlatform& f) { f.faults.openFails.insert("$temp.txt"); },
                   "The file 'FlashDrive\\$temp.txt' was not opened"},
        StripFault{"WriteOfTheHeaderFails", kGoodList,
                   [](FakePlatform& f) { f.faults.writeFailsAfter["$temp.txt"] = 1; },
                   "The file 'FlashDrive\\$temp.txt' could not be written"},
        StripFault{"WriteOfALineFails", kGoodList,
                   [](FakePlatform& f) { f.faults.writeFailsAfter["$temp.txt"] = 12; },
                   "The file 'FlashDrive\\$temp.txt' could not be written"},
        StripFault{"CloseFails", kGoodList,
                   [](FakePlatform& f) { f.faults.closeFails.insert("$temp.txt"); },
                   "The file 'FlashDrive\\$temp.txt' could not be written"},
        StripFault{"ReplaceFails", kGoodList,
                   [](FakePlatform& f) { f.faults.replaceFails.insert("$FileList.txt"); },
                   "could not replace the file 'FlashDrive\\$FileList.txt'"},
        StripFault{"ReadFails", kGoodList,
                   [](FakePlatform& f) { f.faults.readFailsAfter["$FileList.txt"] = 20; },
                   "The file 'FlashDrive\\$FileList.txt' could not be read"},
        StripFault{"LastLineWithoutLineFeed", kGoodList + le(kPathB), noFault,
                   "ends with a line without a line feed"},
        StripFault{"ShortHeader", "\x01", noFault, "is shorter than its 2-byte header"}),
    [](const ::testing::TestParamInfo<StripFault>& info) { return std::string(info.param.name); });

// The same two steps on a real folder through the native platform.
TEST(FileListOnDisk, LoadAndStripRoundTrip) {
  testing::ScratchFolder scratch;
  const std::u16string nonAscii = u"FlashDrive\\NAVI\\Gr\u00F6\u00DFe \U0001F600.bin";
  scratch.file("FlashDrive/$FileList.txt", listFile(2, {kPath20, nonAscii}));
  ASSERT_EQ(fileList_Load(), 1);
  EXPECT_EQ(std::u16string(pathSlots[1]), nonAscii);
  ASSERT_EQ(fileList_StripPrefix(), 1);
  fileList_Release();
  EXPECT_EQ(scratch.read("FlashDrive/$FileList.txt"),
            listFile(2, {u"abcde.txt", nonAscii.substr(11)}));
  EXPECT_FALSE(scratch.exists("FlashDrive/$temp.txt"));
}

}  // namespace
}  // namespace quillet
