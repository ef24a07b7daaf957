#include "pe_resources.h"

#include <algorithm>
#include <set>

namespace ostrel::testing {

std::uint8_t ByteReader::u8(std::size_t offset) const {
  if (offset >= bytes_.size())
    throw PeError("read past the end at offset " + std::to_string(offset));
  return bytes_[offset];
}

std::uint16_t ByteReader::u16(std::size_t offset) const {
  return static_cast<std::uint16_t>(u8(offset) | (u8(offset + 1) << 8));
}

std::uint32_t ByteReader::u32(std::size_t offset) const {
  return u16(offset) | (static_cast<std::uint32_t>(u16(offset + 2)) << 16);
}

std::u16string ByteReader::string(std::size_t offset, std::size_t* end) const {
  std::u16string text;
  for (;; offset += 2) {
    const char16_t unit = u16(offset);
    if (unit == 0) break;
    text += unit;
  }
  *end = offset + 2;
  return text;
}

namespace {

constexpr std::uint32_t kResourceDirectoryIndex = 2;
constexpr std::uint32_t kSubdirectoryFlag = 0x80000000u;

std::size_t Align4(std::size_t offset) { return (offset + 3) & ~std::size_t{3}; }

struct Section {
  std::uint32_t virtualAddress;
  std::uint32_t virtualSize;
  std::uint32_t rawOffset;
  std::uint32_t rawSize;
};

class PeFile {
 public:
  explicit PeFile(const std::vector<std::uint8_t>& file) : file_(file), bytes_(file) {
    if (bytes_.u16(0) != 0x5A4D) throw PeError("no MZ header");
    const std::uint32_t pe = bytes_.u32(0x3C);
    if (bytes_.u32(pe) != 0x00004550) throw PeError("no PE signature");
    const std::size_t coff = pe + 4;
    const std::uint16_t sectionCount = bytes_.u16(coff + 2);
    const std::uint16_t optionalSize = bytes_.u16(coff + 16);
    const std::size_t optional = coff + 20;
    const std::uint16_t magic = bytes_.u16(optional);
    std::size_t directories = 0;
    if (magic == 0x10B) {
      directories = optional + 96;
    } else if (magic == 0x20B) {
      directories = optional + 112;
    } else {
      throw PeError("unknown optional header");
    }
    const std::uint32_t directoryCount = bytes_.u32(directories - 4);
    if (directoryCount > kResourceDirectoryIndex) {
      resourceRva_ = bytes_.u32(directories + 8 * kResourceDirectoryIndex);
      resourceSize_ = bytes_.u32(directories + 8 * kResourceDirectoryIndex + 4);
    }
    const std::size_t sections = optional + optionalSize;
    for (std::uint16_t i = 0; i < sectionCount; ++i) {
      const std::size_t at = sections + 40u * i;
      sections_.push_back(
          {bytes_.u32(at + 12), bytes_.u32(at + 8), bytes_.u32(at + 20), bytes_.u32(at + 16)});
    }
  }

  bool hasResources() const { return resourceRva_ != 0 && resourceSize_ != 0; }

  // The file offset of `rva`, with at least `size` bytes of the section after it.
  std::size_t offsetOf(std::uint32_t rva, std::uint32_t size) const {
    for (const Section& section : sections_) {
      const std::uint64_t start = section.virtualAddress;
      const std::uint64_t extent = std::max(section.virtualSize, section.rawSize);
      if (rva >= start && std::uint64_t{rva} + size <= start + extent) {
        if (std::uint64_t{rva} - start + size > section.rawSize) {
          throw PeError("resource data beyond its section's contents");
        }
        return section.rawOffset + (rva - section.virtualAddress);
      }
    }
    throw PeError("address outside every section");
  }

  std::vector<Resource> resources() const {
    std::vector<Resource> found;
    if (!hasResources()) return found;
    const std::size_t root = offsetOf(resourceRva_, 16);
    std::set<std::uint32_t> visiting;
    Resource current;
    walk(root, root, 0, current, found, visiting);
    return found;
  }

 private:
  ResourceId id(std::size_t root, std::uint32_t value) const {
    ResourceId result;
    if ((value & kSubdirectoryFlag) != 0) {
      result.isName = true;
      const std::size_t at = root + (value & ~kSubdirectoryFlag);
      const std::uint16_t length = bytes_.u16(at);
      for (std::uint16_t i = 0; i < length; ++i)
        result.name += static_cast<char16_t>(bytes_.u16(at + 2 + 2u * i));
    } else {
      result.number = value;
    }
    return result;
  }

  void walk(std::size_t root, std::size_t directory, int level, Resource& current,
            std::vector<Resource>& found, std::set<std::uint32_t>& visiting) const {
    if (level > 2) throw PeError("resource tree deeper than type, name, language");
    if (!visiting.insert(static_cast<std::uint32_t>(directory)).second) {
      throw PeError("resource directory loops");
    }
    const std::size_t entries =
        std::size_t{bytes_.u16(directory + 12)} + bytes_.u16(directory + 14);
    for (std::size_t i = 0; i < entries; ++i) {
      const std::size_t entry = directory + 16 + 8 * i;
      const ResourceId key = id(root, bytes_.u32(entry));
      const std::uint32_t target = bytes_.u32(entry + 4);
      if (level == 0) current.type = key;
      if (level == 1) current.name = key;
      if (level == 2) current.language = key.number;
      if ((target & kSubdirectoryFlag) != 0) {
        walk(root, root + (target & ~kSubdirectoryFlag), level + 1, current, found, visiting);
        continue;
      }
      if (level != 2) throw PeError("resource data above the language level");
      const std::size_t data = root + target;
      const std::uint32_t rva = bytes_.u32(data);
      const std::uint32_t size = bytes_.u32(data + 4);
      const std::size_t offset = offsetOf(rva, size);
      Resource resource = current;
      bytes_.u8(offset + size - (size > 0 ? 1 : 0));  // the whole range is in the file
      resource.data.assign(file_.begin() + static_cast<std::ptrdiff_t>(offset),
                           file_.begin() + static_cast<std::ptrdiff_t>(offset + size));
      found.push_back(std::move(resource));
    }
    visiting.erase(static_cast<std::uint32_t>(directory));
  }

  const std::vector<std::uint8_t>& file_;
  ByteReader bytes_;
  std::uint32_t resourceRva_ = 0;
  std::uint32_t resourceSize_ = 0;
  std::vector<Section> sections_;
};

ResourceId SzOrOrdinal(const ByteReader& bytes, std::size_t offset, std::size_t* end) {
  ResourceId result;
  const std::uint16_t first = bytes.u16(offset);
  if (first == 0xFFFF) {
    result.number = bytes.u16(offset + 2);
    *end = offset + 4;
  } else if (first == 0) {
    *end = offset + 2;  // none, or an empty text
  } else {
    result.isName = true;
    result.name = bytes.string(offset, end);
  }
  return result;
}

VersionNode ParseNode(const ByteReader& bytes, std::size_t offset, std::size_t limit) {
  const std::uint16_t length = bytes.u16(offset);
  const std::uint16_t valueLength = bytes.u16(offset + 2);
  const std::uint16_t type = bytes.u16(offset + 4);
  const std::size_t end = offset + length;
  if (length < 6 || end > limit) throw PeError("version node overruns its parent");
  VersionNode node;
  std::size_t at = 0;
  node.key = bytes.string(offset + 6, &at);
  at = Align4(at);
  node.isText = type == 1;
  if (node.isText) {
    // valueLength counts UTF-16 units, the final 0 included.
    for (std::uint16_t i = 0; i < valueLength; ++i) {
      const char16_t unit = bytes.u16(at + 2u * i);
      if (unit == 0) break;
      node.text += unit;
    }
    at += 2u * valueLength;
  } else {
    for (std::uint16_t i = 0; i < valueLength; ++i) node.value.push_back(bytes.u8(at + i));
    at += valueLength;
  }
  if (at > end) throw PeError("version value overruns its node");
  for (at = Align4(at); at + 6 <= end; at = Align4(at)) {
    const std::uint16_t childLength = bytes.u16(at);
    if (childLength == 0) break;
    node.children.push_back(ParseNode(bytes, at, end));
    at += childLength;
  }
  return node;
}

}  // namespace

std::vector<Resource> ReadResources(const std::vector<std::uint8_t>& file) {
  return PeFile(file).resources();
}

DialogTemplate ParseDialog(const std::vector<std::uint8_t>& data) {
  const ByteReader bytes(data);
  if (bytes.u16(0) == 1 && bytes.u16(2) == 0xFFFF) throw PeError("an extended dialog template");
  DialogTemplate dialog;
  dialog.style = bytes.u32(0);
  dialog.exStyle = bytes.u32(4);
  const std::uint16_t count = bytes.u16(8);
  dialog.x = bytes.s16(10);
  dialog.y = bytes.s16(12);
  dialog.cx = bytes.s16(14);
  dialog.cy = bytes.s16(16);
  std::size_t at = 18;
  dialog.menu = SzOrOrdinal(bytes, at, &at);
  dialog.windowClass = SzOrOrdinal(bytes, at, &at);
  dialog.caption = bytes.string(at, &at);
  if ((dialog.style & 0x40) != 0) {  // DS_SETFONT
    dialog.pointSize = bytes.u16(at);
    dialog.font = bytes.string(at + 2, &at);
  }
  for (std::uint16_t i = 0; i < count; ++i) {
    at = Align4(at);
    DialogItem item;
    item.style = bytes.u32(at);
    item.exStyle = bytes.u32(at + 4);
    item.x = bytes.s16(at + 8);
    item.y = bytes.s16(at + 10);
    item.cx = bytes.s16(at + 12);
    item.cy = bytes.s16(at + 14);
    item.id = bytes.u16(at + 16);
    at += 18;
    item.windowClass = SzOrOrdinal(bytes, at, &at);
    item.title = SzOrOrdinal(bytes, at, &at);
    item.extraBytes = bytes.u16(at);
    at += 2 + item.extraBytes;
    if (at > data.size()) throw PeError("dialog item overruns the template");
    dialog.items.push_back(item);
  }
  return dialog;
}

VersionNode ParseVersion(const std::vector<std::uint8_t>& data) {
  const ByteReader bytes(data);
  return ParseNode(bytes, 0, data.size());
}

const VersionNode* VersionNode::child(const std::u16string& childKey) const {
  for (const VersionNode& node : children) {
    if (node.key == childKey) return &node;
  }
  return nullptr;
}

}  // namespace ostrel::testing
