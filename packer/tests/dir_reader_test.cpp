#include "dir_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "release_files.h"

namespace quillet {
namespace {

using testing::FakePlatform;
using testing::ScratchFolder;

class DirReader : public ::testing::Test {
 protected:
  // The names of a filled name block, up to the empty name that ends it.
  static std::vector<std::string> blockNames(const char* block, std::size_t size) {
    std::vector<std::string> names;
    std::size_t position = 0;
    while (position < size && block[position] != '\0') {
      const std::size_t length = strnlen(block + position, size - position);
      names.emplace_back(block + position, length);
      position += length + 1;
    }
    return names;
  }

  FakePlatform fake_;
  ScopedPlatform useFake_{fake_};
};

using Names = std::vector<std::string>;

TEST_F(DirReader, FirstEntryWaitsForTheFirstReadAndTheEndIsFinal) {
  fake_.addFile("d/a");
  fake_.addFile("d/b");
  DirStream* stream = dirStream_Open("d");
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(fake_.calls.findFirstFile, 1);

  ASSERT_STREQ(dirStream_Read(stream), ".");
  EXPECT_EQ(fake_.calls.findNextFile, 0) << "the first read takes the entry the open fetched";
  ASSERT_STREQ(dirStream_Read(stream), "..");
  EXPECT_EQ(fake_.calls.findNextFile, 1);
  ASSERT_STREQ(dirStream_Read(stream), "a");
  ASSERT_STREQ(dirStream_Read(stream), "b");
  EXPECT_EQ(dirStream_Read(stream), nullptr);
  EXPECT_EQ(fake_.calls.findClose, 1) << "the search ends with the stream";
  const int nextCalls = fake_.calls.findNextFile;

  EXPECT_EQ(dirStream_Read(stream), nullptr);
  EXPECT_EQ(dirStream_Read(stream), nullptr);
  EXPECT_EQ(fake_.calls.findNextFile, nextCalls) << "an ended stream asks the platform nothing";

  dirStream_Close(stream);
  EXPECT_EQ(fake_.calls.findClose, 1);
  EXPECT_EQ(fake_.calls.findCloseOfUnknownHandle, 0) << "the search was closed twice";
}

TEST_F(DirReader, CloseWhileReadingEndsTheSearchOnce) {
  fake_.addFile("d/a");
  DirStream* stream = dirStream_Open("d");
  ASSERT_NE(stream, nullptr);
  dirStream_Read(stream);
  dirStream_Close(stream);
  EXPECT_EQ(fake_.calls.findClose, 1);
  EXPECT_EQ(fake_.openSearches(), 0u);
}

TEST_F(DirReader, AFailingNextEntryCallEndsTheStream) {
  fake_.addFile("d/a");
  fake_.addFile("d/b");
  fake_.faults.failFindNextFileCall = 2;
  DirStream* stream = dirStream_Open("d");
  ASSERT_NE(stream, nullptr);
  EXPECT_STREQ(dirStream_Read(stream), ".");
  EXPECT_STREQ(dirStream_Read(stream), "..");
  EXPECT_EQ(dirStream_Read(stream), nullptr);
  EXPECT_EQ(fake_.openSearches(), 0u);
  EXPECT_EQ(dirStream_Read(stream), nullptr);
  EXPECT_EQ(fake_.calls.findNextFile, 2);
  dirStream_Close(stream);
  EXPECT_EQ(fake_.calls.findCloseOfUnknownHandle, 0);

  fake_.faults.failFindNextFileCall = fake_.calls.findNextFile + 2;
  EXPECT_EQ(dirList_GetSize("d"), 2 * 262) << "only the entries delivered are counted";
}

TEST_F(DirReader, NamesOfUpTo260CharactersAreDeliveredWholeLongerOnesCut) {
  const std::string exact(260, 'e');
  const std::string longer = std::string(260, 'l') + "tail";
  fake_.addFolder("d");
  fake_.setListing("d", {".", "..", exact, longer, "x"});
  DirStream* stream = dirStream_Open("d");
  ASSERT_NE(stream, nullptr);
  dirStream_Read(stream);
  dirStream_Read(stream);
  EXPECT_EQ(dirStream_Read(stream), exact);
  EXPECT_EQ(dirStream_Read(stream), std::string(260, 'l'));
  EXPECT_EQ(dirStream_Read(stream), std::string("x"));
  dirStream_Close(stream);
}

struct PatternCase {
  std::string folder;
  std::string pattern;
};

class SearchPattern : public DirReader, public ::testing::WithParamInterface<PatternCase> {};

TEST_P(SearchPattern, IsTheFolderASeparatorAndAStar) {
  std::string asked;
  fake_.onFindFirstFile = [&](const std::string& pattern) { asked = pattern; };
  DirStream* stream = dirStream_Open(GetParam().folder.c_str());
  EXPECT_EQ(asked, GetParam().pattern);
  if (stream != nullptr) {
    EXPECT_EQ(std::string(stream->searchPattern), GetParam().pattern);
    dirStream_Close(stream);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SearchPattern,
    ::testing::Values(PatternCase{".", ".\\*"}, PatternCase{"sub", "sub\\*"},
                      PatternCase{"sub\\", "sub\\*"}, PatternCase{"C:", "C:*"},
                      PatternCase{"", "*"},
                      PatternCase{std::string(260, 'n'), std::string(260, 'n') + "\\*"},
                      PatternCase{std::string(300, 'n'), std::string(260, 'n') + "\\*"},
                      PatternCase{std::string(259, 'n') + "\\tail", std::string(259, 'n') + "\\*"},
                      PatternCase{std::string(259, 'n') + ":tail", std::string(259, 'n') + ":*"}));

TEST_F(DirReader, SizeIs262PerEntryWithDotAndDotDot) {
  fake_.addFolder("empty");
  fake_.addFile("d/a");
  fake_.addFolder("d/sub");
  fake_.addFile("d/.hidden");
  EXPECT_EQ(dirList_GetSize("empty"), 2 * 262);
  EXPECT_EQ(dirList_GetSize("d"), 5 * 262);
  EXPECT_EQ(fake_.openSearches(), 0u);
}

TEST_F(DirReader, SizeOnRealFolders) {
  ScopedPlatform useNative(nativePlatform());
  ScratchFolder scratch;
  scratch.folder("empty");
  scratch.file("d/a.txt");
  scratch.file("d/.hidden");
  scratch.folder("d/sub");
  EXPECT_EQ(dirList_GetSize("empty"), 2 * 262);
  EXPECT_EQ(dirList_GetSize("d"), 5 * 262);
  EXPECT_EQ(dirList_GetSize("."), 4 * 262);
}

TEST_F(DirReader, FillWritesTheNamesInThePlatformsOrderThenAnEmptyName) {
  fake_.addFolder("d");
  fake_.setListing("d", {"b", ".", "a.txt", ".."});
  const std::int32_t size = dirList_GetSize("d");
  ASSERT_EQ(size, 4 * 262);
  std::vector<char> block(size, '\0');
  EXPECT_EQ(dirList_Fill("d", block.data(), size), kFillComplete);
  const char expected[] = "b\0.\0a.txt\0..\0";  // and the zero after it
  EXPECT_EQ(std::memcmp(block.data(), expected, sizeof expected), 0);
  EXPECT_EQ(std::vector<char>(block.begin() + sizeof expected, block.end()),
            std::vector<char>(block.size() - sizeof expected, '\0'));
  EXPECT_EQ(fake_.openSearches(), 0u);
}

TEST_F(DirReader, AMissingFolderIsReportedAndLeavesTheBlockAlone) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(dirList_GetSize("missing"), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Unable to open directory: " + fake_.searchFailure() + "\n");

  std::vector<char> block(262, '\x5a');
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(dirList_Fill("missing", block.data(), 262), kFillFailed);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Unable to open directory: " + fake_.searchFailure() + "\n");
  EXPECT_EQ(block, std::vector<char>(262, '\x5a'));
}

TEST_F(DirReader, AFolderThatGrewBetweenThePassesNeverOverrunsTheBlock) {
  fake_.addFile("d/a");
  const std::int32_t size = dirList_GetSize("d");
  ASSERT_EQ(size, 3 * 262);
  // Between the passes the folder gains names as long as a name can be.
  for (char c : {'p', 'q', 'r'}) fake_.addFile("d/" + std::string(260, c));

  // Exactly the sized block on the heap, so the sanitizer build sees any
  // byte written past it.
  std::unique_ptr<char[]> block(new char[size]());
  EXPECT_EQ(dirList_Fill("d", block.get(), size), kFillBlockFull);
  const Names names = blockNames(block.get(), size);
  EXPECT_EQ(names, (Names{".", "..", "a", std::string(260, 'p'), std::string(260, 'q')}));
  EXPECT_EQ(fake_.openSearches(), 0u);
}

}  // namespace
}  // namespace quillet
