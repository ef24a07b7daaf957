// A small reader of the resources inside a PE file (.exe or .dll), for
// tests that check what the resource compiler put into a built program.
// Every read is bounds-checked: a damaged file throws PeError, it is never
// read beyond its end.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace ostrel::testing {

struct PeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A resource type, name or language: a number, or a name when `isName`.
// In dialog templates, also a class or text that may be a number, a
// string, or absent (number 0, no name).
struct ResourceId {
  bool isName = false;
  std::uint32_t number = 0;
  std::u16string name;
};

struct Resource {
  ResourceId type;
  ResourceId name;
  std::uint32_t language = 0;
  std::vector<std::uint8_t> data;
};

// Every resource in `file`, in the order of the resource directory (types,
// then names, then languages, each ascending as the format keeps them).
// No resources: an empty list.
std::vector<Resource> ReadResources(const std::vector<std::uint8_t>& file);

// Little-endian reads from a resource's bytes, bounds-checked.
class ByteReader {
 public:
  explicit ByteReader(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
  std::size_t size() const { return bytes_.size(); }
  std::uint8_t u8(std::size_t offset) const;
  std::uint16_t u16(std::size_t offset) const;
  std::uint32_t u32(std::size_t offset) const;
  std::int16_t s16(std::size_t offset) const { return static_cast<std::int16_t>(u16(offset)); }
  // The 0-ended UTF-16 string at `offset`; `*end` receives the offset past its 0.
  std::u16string string(std::size_t offset, std::size_t* end) const;

 private:
  const std::vector<std::uint8_t>& bytes_;
};

// A classic dialog template (DLGTEMPLATE and its items).
struct DialogItem {
  std::uint32_t style = 0;
  std::uint32_t exStyle = 0;
  std::int16_t x = 0, y = 0, cx = 0, cy = 0;
  std::uint16_t id = 0;
  ResourceId windowClass;  // an atom (0x0080 button, 0x0081 edit...) or a name
  ResourceId title;        // a text (isName; none when empty) or a resource number
  std::uint16_t extraBytes = 0;
};
struct DialogTemplate {
  std::uint32_t style = 0;
  std::uint32_t exStyle = 0;
  std::int16_t x = 0, y = 0, cx = 0, cy = 0;
  ResourceId menu;         // number 0: none
  ResourceId windowClass;  // number 0: the standard dialog class
  std::u16string caption;
  std::uint16_t pointSize = 0;  // with a font only (DS_SETFONT)
  std::u16string font;
  std::vector<DialogItem> items;
};
// Throws PeError for an extended template or a damaged one.
DialogTemplate ParseDialog(const std::vector<std::uint8_t>& data);

// One node of a version record: its key, its value (bytes, or UTF-16 text
// without the final 0 when `isText`) and its children.
struct VersionNode {
  std::u16string key;
  bool isText = false;
  std::vector<std::uint8_t> value;
  std::u16string text;
  std::vector<VersionNode> children;
  // The child with `key`, or nullptr.
  const VersionNode* child(const std::u16string& childKey) const;
};
VersionNode ParseVersion(const std::vector<std::uint8_t>& data);

}  // namespace ostrel::testing
