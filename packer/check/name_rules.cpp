// The rules on entry names: what is unsafe to extract and what the device's
// FAT file system cannot hold, and how the check words them.
#include <string_view>

#include "finding_places.h"
#include "release_check.h"

namespace quillet::check {
namespace {

// Calls `visit` with each component of `name` ("/" or "\\" between them), as
// views into it, until it returns true; true when it did.
template <typename Visit>
bool anyComponent(std::string_view name, const Visit& visit) {
  std::size_t start = 0;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '/' || name[i] == '\\') {
      if (visit(name.substr(start, i - start))) return true;
      start = i + 1;
    }
  }
  return false;
}

// One of < > : " | ? * (asked of every byte of every name: a switch, not a
// search of the set).
bool isFatReserved(char c) {
  switch (c) {
    case '<':
    case '>':
    case ':':
    case '"':
    case '|':
    case '?':
    case '*':
      return true;
    default:
      return false;
  }
}

}  // namespace

bool isUnsafeName(std::string_view name) {
  if (name.empty() || name[0] == '/' || name[0] == '\\') return true;
  if (name.size() >= 2 && name[1] == ':' &&
      ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'))) {
    return true;
  }
  return anyComponent(name, [](std::string_view part) { return part == ".."; });
}

std::string fatProblem(std::string_view name) {
  std::string_view path = name;
  if (!path.empty() && (path.back() == '/' || path.back() == '\\')) {
    path.remove_suffix(1);  // a folder's trailing "/"
  }
  std::string problem;
  anyComponent(path, [&problem](std::string_view part) {
    for (char c : part) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte < 0x20 || byte == 0x7F) {
        problem = "holds a control character";
        return true;
      }
      if (isFatReserved(c)) {
        problem = std::string("holds '") + c + "'";
        return true;
      }
    }
    if (!part.empty() && (part.back() == '.' || part.back() == ' ')) {
      problem = "has a component ending in a dot or a space";
      return true;
    }
    return false;
  });
  return problem;
}

bool judgeEntryName(const ReleaseEntry& entry, std::size_t index, CheckReport& report) {
  const std::string_view name = entry.name;
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
