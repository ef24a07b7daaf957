// The resources inside the built Ostrel.exe, read back out of the file: the
// dialog template, the icon group with its images and the version record,
// each with the values the utility is defined with.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <tuple>

#include "pe_resources.h"

namespace ostrel::testing {
namespace {

constexpr std::uint32_t kIcon = 3;
constexpr std::uint32_t kDialog = 5;
constexpr std::uint32_t kGroupIcon = 14;
constexpr std::uint32_t kVersion = 16;
constexpr std::uint32_t kEnglishUs = 0x0409;

std::vector<std::uint8_t> ReadFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

class OstrelResources : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    file_ = new std::vector<std::uint8_t>(ReadFile(OSTREL_EXE_NAME));
    resources_ = new std::vector<Resource>(ReadResources(*file_));
  }
  static void TearDownTestSuite() {
    delete resources_;
    delete file_;
  }

  void SetUp() override { ASSERT_FALSE(file_->empty()) << "cannot read " << OSTREL_EXE_NAME; }

  // The one resource of `type` and `name`; fails the test when it is missing.
  static const Resource* Find(std::uint32_t type, std::uint32_t name) {
    for (const Resource& resource : *resources_) {
      if (!resource.type.isName && resource.type.number == type && !resource.name.isName &&
          resource.name.number == name) {
        return &resource;
      }
    }
    ADD_FAILURE() << "no resource of type " << type << " named " << name;
    return nullptr;
  }

  static std::vector<std::uint8_t>* file_;
  static std::vector<Resource>* resources_;
};

std::vector<std::uint8_t>* OstrelResources::file_ = nullptr;
std::vector<Resource>* OstrelResources::resources_ = nullptr;

TEST_F(OstrelResources, AreExactlyTheProgramsOwnAllInEnglishUs) {
  // (type, name, language): two icon images, the template, the icon group
  // and the version record; nothing the toolchain added on its own.
  std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>> found;
  for (const Resource& resource : *resources_) {
    ASSERT_FALSE(resource.type.isName || resource.name.isName) << Narrow(resource.name.name);
    found.emplace_back(resource.type.number, resource.name.number, resource.language);
  }
  const std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>> expected = {
      {kIcon, 1, kEnglishUs},
      {kIcon, 2, kEnglishUs},
      {kDialog, 102, kEnglishUs},
      {kGroupIcon, 128, kEnglishUs},
      {kVersion, 1, kEnglishUs}};
  EXPECT_EQ(found, expected);
}

TEST_F(OstrelResources, DialogTemplateIsTheClassicOneWithItsFrame) {
  const Resource* resource = Find(kDialog, 102);
  ASSERT_NE(resource, nullptr);
  const DialogTemplate dialog = ParseDialog(resource->data);  // throws for an extended one
  EXPECT_EQ(dialog.style, 0x90C800C0u);
  EXPECT_EQ(dialog.exStyle, 0x80040000u);
  EXPECT_EQ(dialog.x, 0);
  EXPECT_EQ(dialog.y, 0);
  EXPECT_EQ(dialog.cx, 141);
  EXPECT_EQ(dialog.cy, 59);
  EXPECT_FALSE(dialog.menu.isName);
  EXPECT_EQ(dialog.menu.number, 0u) << "no menu";
  EXPECT_FALSE(dialog.windowClass.isName);
  EXPECT_EQ(dialog.windowClass.number, 0u) << "the standard dialog class";
  EXPECT_EQ(dialog.caption, u"Ostrel");
  EXPECT_EQ(dialog.pointSize, 8);
  EXPECT_EQ(dialog.font, u"System");
  EXPECT_EQ(dialog.items.size(), 3u);
}

TEST_F(OstrelResources, DialogControlsInTemplateOrder) {
  const Resource* resource = Find(kDialog, 102);
  ASSERT_NE(resource, nullptr);
  const DialogTemplate dialog = ParseDialog(resource->data);
  struct Expected {
    std::uint16_t id;
    std::uint16_t atom;  // 0x0080 button, 0x0081 edit
    std::u16string text;
    std::int16_t x, y, cx, cy;
    std::uint32_t style;
  };
  const Expected expected[] = {{1000, 0x0080, u"Yes", 7, 38, 50, 14, 0x50010000},
                               {1001, 0x0080, u"No", 84, 38, 50, 14, 0x50010000},
                               {1002, 0x0081, u"", 7, 7, 127, 21, 0x50810881}};
  ASSERT_EQ(dialog.items.size(), std::size(expected));
  for (std::size_t i = 0; i < dialog.items.size(); ++i) {
    const DialogItem& item = dialog.items[i];
    const Expected& want = expected[i];
    SCOPED_TRACE("control " + std::to_string(want.id));
    EXPECT_EQ(item.id, want.id);
    EXPECT_FALSE(item.windowClass.isName) << Narrow(item.windowClass.name);
    EXPECT_EQ(item.windowClass.number, want.atom);
    EXPECT_EQ(item.title.isName, !want.text.empty());
    EXPECT_EQ(item.title.number, 0u) << "a text, not a resource";
    EXPECT_EQ(item.title.name, want.text);
    EXPECT_EQ(item.x, want.x);
    EXPECT_EQ(item.y, want.y);
    EXPECT_EQ(item.cx, want.cx);
    EXPECT_EQ(item.cy, want.cy);
    EXPECT_EQ(item.style, want.style);
    EXPECT_EQ(item.exStyle, 0u);
    EXPECT_EQ(item.extraBytes, 0);
  }
}

TEST_F(OstrelResources, IconGroupHoldsA32AndA16PixelImageOf16Colours) {
  const Resource* group = Find(kGroupIcon, 128);
  ASSERT_NE(group, nullptr);
  const ByteReader bytes(group->data);
  EXPECT_EQ(bytes.u16(0), 0);  // reserved
  EXPECT_EQ(bytes.u16(2), 1);  // icons, not cursors
  ASSERT_EQ(bytes.u16(4), 2);
  const std::uint8_t sizes[] = {32, 16};
  for (std::size_t i = 0; i < 2; ++i) {
    const std::size_t entry = 6 + 14 * i;
    SCOPED_TRACE("image " + std::to_string(sizes[i]));
    EXPECT_EQ(bytes.u8(entry), sizes[i]);
    EXPECT_EQ(bytes.u8(entry + 1), sizes[i]);
    EXPECT_EQ(bytes.u8(entry + 2), 16) << "colours";
    EXPECT_EQ(bytes.u16(entry + 4), 1) << "planes";
    EXPECT_EQ(bytes.u16(entry + 6), 4) << "bits per pixel";

    // The image itself: a bitmap of that size, 4 bits per pixel, with its
    // 16-entry palette, the colour rows and the mask.
    const Resource* image = Find(kIcon, bytes.u16(entry + 12));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->data.size(), bytes.u32(entry + 8));
    const ByteReader bitmap(image->data);
    EXPECT_EQ(bitmap.u32(0), 40u);
    EXPECT_EQ(bitmap.u32(4), sizes[i]);
    EXPECT_EQ(bitmap.u32(8), 2u * sizes[i]) << "colours and mask";
    EXPECT_EQ(bitmap.u16(14), 4);
    const std::uint32_t paletteSize = bitmap.u32(32) == 0 ? 16 : bitmap.u32(32);
    EXPECT_EQ(paletteSize, 16u);
    const std::size_t rows = sizes[i] * ((sizes[i] * 4 + 31) / 32 * 4 + (sizes[i] + 31) / 32 * 4);
    EXPECT_EQ(image->data.size(), 40 + 4 * paletteSize + rows);
  }
}

TEST_F(OstrelResources, VersionRecordFixedPart) {
  const Resource* resource = Find(kVersion, 1);
  ASSERT_NE(resource, nullptr);
  const VersionNode root = ParseVersion(resource->data);
  EXPECT_EQ(root.key, u"VS_VERSION_INFO");
  ASSERT_EQ(root.value.size(), 52u);
  const ByteReader fixed(root.value);
  EXPECT_EQ(fixed.u32(0), 0xFEEF04BDu);
  EXPECT_EQ(fixed.u32(8), 0x00010000u) << "file version 1.0";
  EXPECT_EQ(fixed.u32(12), 0x00000001u) << "file version .0.1";
  EXPECT_EQ(fixed.u32(16), 0x00010000u) << "product version 1.0";
  EXPECT_EQ(fixed.u32(20), 0x00000001u) << "product version .0.1";
  EXPECT_EQ(fixed.u32(32), 0x00000004u) << "VOS__WINDOWS32";
  EXPECT_EQ(fixed.u32(36), 0x00000001u) << "VFT_APP";
}

TEST_F(OstrelResources, VersionRecordStringsAndTranslation) {
  const Resource* resource = Find(kVersion, 1);
  ASSERT_NE(resource, nullptr);
  const VersionNode root = ParseVersion(resource->data);
  const VersionNode* strings = root.child(u"StringFileInfo");
  ASSERT_NE(strings, nullptr);
  ASSERT_EQ(strings->children.size(), 1u);
  const VersionNode* table = strings->child(u"040904B0");
  ASSERT_NE(table, nullptr);
  const std::vector<std::pair<std::u16string, std::u16string>> expected = {
      {u"FileDescription", u"Ostrel WCE MFC Application"},
      {u"FileVersion", u"1, 0, 0, 1"},
      {u"InternalName", u"Ostrel"},
      {u"OriginalFilename", u"Ostrel.exe"},
      {u"ProductName", u"Ostrel Application"},
      {u"ProductVersion", u"1, 0, 0, 1"}};
  std::vector<std::pair<std::u16string, std::u16string>> found;
  for (const VersionNode& value : table->children) {
    EXPECT_TRUE(value.isText) << Narrow(value.key);
    found.emplace_back(value.key, value.text);
  }
  EXPECT_EQ(found, expected);

  const VersionNode* variables = root.child(u"VarFileInfo");
  ASSERT_NE(variables, nullptr);
  const VersionNode* translation = variables->child(u"Translation");
  ASSERT_NE(translation, nullptr);
  ASSERT_EQ(translation->value.size(), 4u);
  const ByteReader pair(translation->value);
  EXPECT_EQ(pair.u16(0), 0x0409);
  EXPECT_EQ(pair.u16(2), 0x04B0);
}

}  // namespace
}  // namespace ostrel::testing
