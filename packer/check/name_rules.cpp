// The rules on entry names, pure functions: what is unsafe to extract and
// what the device's FAT file system cannot hold.
#include <string_view>
#include <vector>

#include "release_check.h"

namespace quillet::check {
namespace {

// The components of a name ("/" or "\\" between them), as views into it.
std::vector<std::string_view> components(std::string_view name) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '/' || name[i] == '\\') {
      parts.push_back(name.substr(start, i - start));
      start = i + 1;
    }
  }
  return parts;
}

}  // namespace

bool isUnsafeName(const std::string& name) {
  if (name.empty() || name[0] == '/' || name[0] == '\\') return true;
  if (name.size() >= 2 && name[1] == ':' &&
      ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'))) {
    return true;
  }
  for (const std::string_view part : components(name)) {
    if (part == "..") return true;
  }
  return false;
}

std::string fatProblem(const std::string& name) {
  std::vector<std::string_view> parts = components(name);
  if (!parts.empty() && parts.back().empty()) parts.pop_back();  // a folder's trailing "/"
  for (const std::string_view part : parts) {
    for (char c : part) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte < 0x20 || byte == 0x7F) return "holds a control character";
      if (std::string_view("<>:\"|?*").find(c) != std::string_view::npos) {
        return std::string("holds '") + c + "'";
      }
    }
    if (!part.empty() && (part.back() == '.' || part.back() == ' ')) {
      return "has a component ending in a dot or a space";
    }
  }
  return "";
}

}  // namespace quillet::check
