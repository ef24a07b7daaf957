// The rules on entry names: what is unsafe to extract and what the device's
// FAT file system cannot hold, and how the check words them.
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "finding_places.h"
#include "release_check.h"

namespace quillet::check {
namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

// What each byte is to the rules on names: most are plain.
enum ByteKind : std::uint8_t { kPlain, kSeparator, kControl, kReserved };

constexpr std::array<std::uint8_t, 256> kByteKinds = [] {
  std::array<std::uint8_t, 256> kinds{};
  for (int byte = 0; byte < 0x20; ++byte) kinds[byte] = kControl;
  kinds[0x7F] = kControl;
  kinds['/'] = kSeparator;
  kinds['\\'] = kSeparator;
  for (const char c : {'<', '>', ':', '"', '|', '?', '*'})
    kinds[static_cast<std::uint8_t>(c)] = kReserved;
  return kinds;
}();

// How many bytes from `at` on lie beyond ASCII, eight at a time: none of
// them can be a separator, a control character or one the file system
// reserves, so a name far beyond ASCII is passed over a word at a time.
std::size_t beyondAscii(std::string_view name, std::size_t at) {
  const std::size_t from = at;
  for (; name.size() - at >= 8; at += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, name.data() + at, 8);
    if ((word & 0x8080808080808080u) != 0x8080808080808080u) break;
  }
  return at - from;
}

}  // namespace

bool isUnsafeName(std::string_view name) {
  if (name.empty() || isSeparator(name[0])) return true;
  if (name.size() >= 2 && name[1] == ':' &&
      ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'))) {
    return true;
  }
  // A ".." component: ".." between separators or the name's ends.
  for (std::size_t at = name.find(".."); at != std::string_view::npos;
       at = name.find("..", at + 1)) {
    const bool starts = at == 0 || isSeparator(name[at - 1]);
    const bool ends = at + 2 == name.size() || isSeparator(name[at + 2]);
    if (starts && ends) return true;
  }
  return false;
}

std::string fatProblem(std::string_view name) {
  std::string_view path = name;
  if (!path.empty() && isSeparator(path.back())) path.remove_suffix(1);  // a folder's "/"
  // One pass, component by component: a component's characters, then how
  // it ends.
  const auto endsBadly = [&path](std::size_t end, std::size_t start) {
    return end > start && (path[end - 1] == '.' || path[end - 1] == ' ');
  };
  std::size_t start = 0;
  for (std::size_t at = 0; at < path.size(); ++at) {
    const char c = path[at];
    const auto byte = static_cast<std::uint8_t>(c);
    if (byte >= 0x80) {
      const std::size_t beyond = beyondAscii(path, at);
      if (beyond > 0) at += beyond - 1;
      continue;
    }
    switch (kByteKinds[byte]) {
      case kPlain:
        break;
      case kSeparator:
        if (endsBadly(at, start)) return "has a component ending in a dot or a space";
        start = at + 1;
        break;
      case kControl:
        return "holds a control character";
      default:
        return std::string("holds '") + c + "'";
    }
  }
  if (endsBadly(path.size(), start)) return "has a component ending in a dot or a space";
  return "";
}

bool judgeEntryName(const ReleaseEntry& entry, std::string_view name, std::size_t index,
                    CheckReport& report) {
  const Mention where = Mention::entry(index);
  if (isUnsafeName(name)) {
    report.fail(kExitDamaged, where,
                "is unsafe to extract (a \"..\" component, an absolute name or a drive letter)");
    return false;
  }
  if (entry.legacyName) report.warn(where, "has its name stored in a legacy code page");
  if (entry.zip64) report.warn(where, "has Zip64 sizes or offset");
  const std::string fat = fatProblem(name);
  if (!fat.empty()) report.warn(where, fat + ", which the device's file system cannot hold");
  const std::size_t pathBytes = name.size() - (entry.folder ? 1 : 0);
  if (pathBytes > kDevicePathBytesMax) {
    report.warn(where, "is longer than " + std::to_string(kDevicePathBytesMax) + " bytes");
  }
  return true;
}

}  // namespace quillet::check
