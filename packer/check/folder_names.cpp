#include "folder_names.h"

#include <algorithm>

#include "finding_places.h"

namespace quillet::check {
namespace {

// ASCII letters folded to lower case, as the device's FAT file system
// compares names.
std::string folded(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// The folder that holds `name` ("" for the top level), without its "/".
std::string_view parentOf(std::string_view name) {
  if (!name.empty() && name.back() == '/') name.remove_suffix(1);
  const std::size_t slash = name.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : name.substr(0, slash);
}

}  // namespace

void FolderNames::note(std::string_view name, bool folder) {
  const std::string_view parent = parentOf(name);
  // A folder met before has had its own folders above it recorded (the
  // entry before's folder most often).
  if (!parent.empty() && parent != lastParent_ && nonEmpty_.insert(std::string(parent)).second) {
    for (std::string_view up = parent; !up.empty(); up = parentOf(up)) {
      folders_.insert(std::string(up));
    }
  }
  lastParent_ = parent;
  if (folder) folders_.insert(std::string(name.substr(0, name.size() - 1)));
}

void FolderNames::matchLines(const TextLines& lines, CheckReport& report) const {
  // Each folder by its name with case ignored.
  std::map<std::string, std::vector<std::string>> byFolded;
  for (const std::string& folder : folders_) byFolded[folded(folder)].push_back(folder);
  const std::string prefix = "FlashDrive\\";
  std::set<std::string> named;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string where = lineWhere(kFolderListName, i + 1);
    const std::string_view text = lines[i];
    if (text.compare(0, prefix.size(), prefix) != 0) {
      report.fail(kExitMalformedLists, where,
                  Words("", Mention::folderLine(i), " does not begin with " + quoted(prefix)));
      continue;
    }
    std::string name(text.substr(prefix.size()));
    std::replace(name.begin(), name.end(), '\\', '/');
    if (nonEmpty_.count(name) == 0) {
      const auto loose = byFolded.find(folded(name));
      if (loose != byFolded.end() && nonEmpty_.count(loose->second.front()) != 0) {
        report.warn(where, "matches folder " + quoted(loose->second.front()) +
                               " only when case is ignored (the device's file system would "
                               "find it)");
        name = loose->second.front();
      } else {
        const std::string what =
            folders_.count(name) != 0 ? "a folder that holds no entry" : "no folder";
        report.fail(kExitListsDisagree, where,
                    Words("names ", Mention::folderLine(i), ", which is " + what));
        continue;
      }
    }
    named.insert(name);
  }
  for (const std::string& folder : nonEmpty_) {
    if (named.count(folder) == 0) {
      report.fail(kExitListsDisagree, "folder " + quoted(folder),
                  "holds entries but has no line in $FolderList.txt");
    }
  }
}

}  // namespace quillet::check
