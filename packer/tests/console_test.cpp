#include "console.h"

#include <gtest/gtest.h>

namespace quillet {
namespace {

TEST(FormatWide, SubstitutesTextsAndNumbersInOrder) {
  const std::u16string path = u"FlashDrive\\$FileList.txt";
  EXPECT_EQ(formatWide(u"The file '%s' was not opened\r\n", {path}),
            u"The file 'FlashDrive\\$FileList.txt' was not opened\r\n");
  EXPECT_EQ(formatWide(u"len = '%d'\r\n", {-20}), u"len = '-20'\r\n");
  EXPECT_EQ(formatWide(u"%d%%%s", {7, path}), u"7%FlashDrive\\$FileList.txt");
}

TEST(FormatWide, LeavesOtherPercentSequencesAlone) {
  EXPECT_EQ(formatWide(u"100%x %s", {}), u"100%x ");
}

}  // namespace
}  // namespace quillet
