// The content digest on POSIX file systems: entries that are not regular
// files (built only where they exist).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "content_digest.h"
#include "file_list.h"
#include "release_files.h"

namespace quillet {
namespace {

// A FIFO put in a listed file's place after the walk: opening it for reading
// would wait for a writer for ever. It is reported at its turn as a file that
// was not opened, whether read ahead or at its turn.
TEST(ContentDigestOfPosixEntries, FifoInAListedFilesPlaceIsNotOpened) {
  testing::ScratchFolder scratch;
  scratch.file("FlashDrive/a.txt", "abc");
  scratch.file("FlashDrive/c.txt", "ghi");
  ASSERT_EQ(::mkfifo("FlashDrive/fifo", 0644), 0);
  const DigestReadAhead previous = digestReadAhead();
  for (const unsigned readers : {0u, 8u}) {
    SCOPED_TRACE(std::to_string(readers) + " readers");
    DigestReadAhead settings = previous;
    settings.readers = readers;
    setDigestReadAhead(settings);
    PathSlot slots[3] = {};
    const char16_t* paths[] = {u"FlashDrive\\a.txt", u"FlashDrive\\fifo", u"FlashDrive\\c.txt"};
    for (int i = 0; i < 3; ++i) {
      std::copy(paths[i], paths[i] + std::char_traits<char16_t>::length(paths[i]), slots[i]);
    }
    pathSlots = slots;
    fileListCount = 3;
    ::testing::internal::CaptureStdout();
    ContentDigest recorded;
    const int result = calculateMd5(&recorded);
    std::fflush(stdout);
    const std::string console = ::testing::internal::GetCapturedStdout();
    pathSlots = nullptr;
    fileListCount = 0;

    EXPECT_EQ(result, 0);
    EXPECT_EQ(console,
              "[MD5](0)calculateMd5_AddOneFile(FlashDrive\\a.txt)\r\n"
              "[MD5](1)calculateMd5_AddOneFile(FlashDrive\\fifo)\r\n"
              "The file 'FlashDrive\\fifo' was not opened\r\n");
    EXPECT_FALSE(scratch.exists("FlashDrive/$md5.bin"));
  }
  setDigestReadAhead(previous);
}

}  // namespace
}  // namespace quillet
