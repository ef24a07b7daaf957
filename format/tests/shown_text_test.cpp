// Texts of a release as a terminal and JSON show them.
#include "shown_text.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace quillet {
namespace {

struct ShownCase {
  const char* title;
  const char* text;
  const char* shown;  // on a terminal
  const char* json;
};

void PrintTo(const ShownCase& c, std::ostream* out) { *out << c.title; }

class ShownText : public ::testing::TestWithParam<ShownCase> {};

// Control characters (C0, DEL and C1), which would steer the terminal, are
// shown by their code; a text that is not UTF-8 shows its bytes beyond
// ASCII, and JSON, which cannot hold them, says U+FFFD for each.
TEST_P(ShownText, OnATerminalAndInJson) {
  EXPECT_EQ(shownText(GetParam().text), GetParam().shown);
  EXPECT_EQ(jsonString(GetParam().text), GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ShownText,
    ::testing::Values(ShownCase{"Ascii", "NAVI\\Maps\\a b.dat", "NAVI\\Maps\\a b.dat",
                                "\"NAVI\\\\Maps\\\\a b.dat\""},
                      ShownCase{"Utf8",
                                "Fran\xC3\xA7"
                                "ais/\xE5\x9C\xB0",
                                "Fran\xC3\xA7"
                                "ais/\xE5\x9C\xB0",
                                "\"Fran\xC3\xA7"
                                "ais/\xE5\x9C\xB0\""},
                      ShownCase{"FirstAfterC1", "\xC2\xA0~", "\xC2\xA0~", "\"\xC2\xA0~\""},
                      ShownCase{"Escape", "a\x1B[2Jb", "a<U+001B>[2Jb", "\"a\\u001b[2Jb\""},
                      ShownCase{"LineEnds", "a\nb\rc", "a<U+000A>b<U+000D>c", "\"a\\nb\\rc\""},
                      ShownCase{"TabAndDelete", "\t\x7F", "<U+0009><U+007F>", "\"\\t\\u007f\""},
                      ShownCase{"C1",
                                "x\xC2\x9B"
                                "1m\xC2\x80\xC2\x9F",
                                "x<U+009B>1m<U+0080><U+009F>",
                                "\"x\xC2\x9B"
                                "1m\xC2\x80\xC2\x9F\""},
                      // Right-to-left override, first strong isolate and the
                      // Arabic letter mark, beside U+2010 and U+2065, which are not.
                      ShownCase{"Bidi",
                                "x\xE2\x80\xAEtxt\xE2\x81\xA8\xD8\x9C\xE2\x80\x90\xE2\x81\xA5",
                                "x<U+202E>txt<U+2068><U+061C>\xE2\x80\x90\xE2\x81\xA5",
                                "\"x\xE2\x80\xAEtxt\xE2\x81\xA8\xD8\x9C\xE2\x80\x90\xE2\x81\xA5\""},
                      ShownCase{"Quotes", "a\"b", "a\"b", "\"a\\\"b\""},
                      ShownCase{"NotUtf8", "M\xC3\xBCller\xFF", "M<0xC3><0xBC>ller<0xFF>",
                                "\"M\\ufffd\\ufffdller\\ufffd\""},
                      ShownCase{"ControlThenNotUtf8",
                                "\x01"
                                "a\xFF",
                                "<U+0001>a<0xFF>", "\"\\u0001a\\ufffd\""},
                      ShownCase{"C1LeadAtTheEnd", "a\xC2", "a<0xC2>", "\"a\\ufffd\""}),
    [](const ::testing::TestParamInfo<ShownCase>& info) { return std::string(info.param.title); });

TEST(HexBytes, LowerCaseTwoDigitsEach) {
  const unsigned char bytes[] = {0x00, 0x0F, 0xA0, 0xFF};
  EXPECT_EQ(hexBytes(bytes, sizeof bytes), "000fa0ff");
  EXPECT_EQ(hex32(0x0BADC0DEu), "0badc0de");
}

}  // namespace
}  // namespace quillet
