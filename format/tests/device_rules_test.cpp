// The rules for names the device can hold, as pure functions.
#include "device_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace quillet {
namespace {

struct NameCase {
  const char* label;
  std::u16string name;
  const char* why;  // nullptr: the device can hold it
};

class DeviceNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(DeviceNames, AreRefusedForTheirReason) {
  const char* why = nameTheDeviceCannotHold(GetParam().name);
  if (GetParam().why == nullptr) {
    EXPECT_EQ(why, nullptr) << why;
  } else {
    ASSERT_NE(why, nullptr);
    EXPECT_STREQ(why, GetParam().why);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Refused, DeviceNames,
    ::testing::Values(NameCase{"Empty", u"", "is empty"},
                      NameCase{"LineFeed", u"a\nb", "holds a control character"},
                      NameCase{"CarriageReturn", u"a\r", "holds a control character"},
                      NameCase{"Tab", u"a\tb", "holds a control character"},
                      NameCase{"Unit01", u"\x01", "holds a control character"},
                      NameCase{"Unit1F", u"x\x1F", "holds a control character"},
                      NameCase{"Less", u"a<b", "holds one of < > : \" | ? *"},
                      NameCase{"Greater", u"a>b", "holds one of < > : \" | ? *"},
                      NameCase{"Colon", u"a:b", "holds one of < > : \" | ? *"},
                      NameCase{"Quote", u"a\"b", "holds one of < > : \" | ? *"},
                      NameCase{"Bar", u"a|b", "holds one of < > : \" | ? *"},
                      NameCase{"Question", u"a?", "holds one of < > : \" | ? *"},
                      NameCase{"Star", u"*", "holds one of < > : \" | ? *"},
                      NameCase{"TrailingDot", u"name.", "ends with a dot"},
                      NameCase{"ThreeDots", u"...", "ends with a dot"},
                      NameCase{"TrailingSpace", u"name ", "ends with a space"},
                      NameCase{"Con", u"CON", "is a reserved device name"},
                      NameCase{"AuxLowerCase", u"aux", "is a reserved device name"},
                      NameCase{"NulWithExtension", u"nul.txt", "is a reserved device name"},
                      NameCase{"Com1WithExtension", u"COM1.txt", "is a reserved device name"},
                      NameCase{"Com9", u"com9", "is a reserved device name"},
                      NameCase{"Lpt1TwoExtensions", u"Lpt1.tar.gz", "is a reserved device name"},
                      NameCase{"PrnSpaceBeforeDot", u"PRN .log", "is a reserved device name"},
                      NameCase{"ConinDollar", u"conin$", "is a reserved device name"},
                      NameCase{"ConoutDollar", u"CONOUT$.x", "is a reserved device name"},
                      NameCase{"ClockDollar", u"CLOCK$", "is a reserved device name"}),
    [](const ::testing::TestParamInfo<NameCase>& info) { return std::string(info.param.label); });

INSTANTIATE_TEST_SUITE_P(
    Held, DeviceNames,
    ::testing::Values(
        NameCase{"Plain", u"NK.bin", nullptr}, NameCase{"Dollar", u"$FileList-cfg.txt", nullptr},
        NameCase{"LeadingDot", u".version", nullptr},
        NameCase{"InnerSpaceAndDots", u"a b.c.d", nullptr}, NameCase{"Unit20", u" x", nullptr},
        NameCase{"Delete7F", u"a\x7F", nullptr},
        NameCase{"NonAscii", u"Stimme_Müller.wav", nullptr}, NameCase{"Com0", u"COM0", nullptr},
        NameCase{"Com10", u"COM10", nullptr}, NameCase{"Lpt", u"LPT", nullptr},
        NameCase{"ConPrefix", u"CONFIG.SYS", nullptr}, NameCase{"AuxSuffix", u"xaux", nullptr},
        NameCase{"Clock", u"CLOCK", nullptr}),
    [](const ::testing::TestParamInfo<NameCase>& info) { return std::string(info.param.label); });

TEST(FoldedName, EqualForNamesThatDifferOnlyInCase) {
  EXPECT_EQ(foldedName(u"readme.TXT"), foldedName(u"README.txt"));
  EXPECT_EQ(foldedName(u"müller"), foldedName(u"MÜLLER"));
  EXPECT_EQ(foldedName(u"ÿ"), foldedName(u"Ÿ"));
  EXPECT_EQ(foldedName(u"łódź"), foldedName(u"ŁÓDŹ"));
  EXPECT_EQ(foldedName(u"čšž"), foldedName(u"ČŠŽ"));
  EXPECT_EQ(foldedName(u"ελλάς"), foldedName(u"ΕΛΛΆΣ"));
  EXPECT_EQ(foldedName(u"карта"), foldedName(u"КАРТА"));
  EXPECT_EQ(foldedName(u"ёлка"), foldedName(u"ЁЛКА"));
}

TEST(FoldedName, DifferentForDifferentNames) {
  EXPECT_NE(foldedName(u"a.txt"), foldedName(u"b.txt"));
  EXPECT_NE(foldedName(u"a"), foldedName(u"a "));
  EXPECT_NE(foldedName(u"÷"), foldedName(u"×"));  // signs, not letters
  EXPECT_NE(foldedName(u"ı"), foldedName(u"i"));  // dotless i stays itself
  EXPECT_EQ(foldedName(u"[]^_`{|}~"), u"[]^_`{|}~");
}

// A path fits the device at kPathUnitsMax units with "FlashDrive\" before
// it, and not one unit more.
TEST(DevicePath, FitsAtTheLimitAndNotOnePast) {
  EXPECT_EQ(devicePathUnits(244), 255u);
  EXPECT_EQ(pathTooLong(devicePathUnits(244)), "");
  EXPECT_EQ(pathTooLong(devicePathUnits(245)),
            "its path, with 'FlashDrive\\' before it, takes 256 characters, more than the 255 "
            "the device holds");
}

}  // namespace
}  // namespace quillet
