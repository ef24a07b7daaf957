#include "folder_names.h"

#include <algorithm>

#include "finding_places.h"
#include "name_index.h"

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

bool FolderNames::insert(std::set<Folder, Order>& set, Folder folder, std::string_view name,
                         bool limited) {
  // Looked up by the name at hand, the folders in the set are read once per
  // step (a release of long names reads them back from the archive).
  const auto at = set.lower_bound(name);
  if (at != set.end() && !set.key_comp()(name, *at)) return false;
  if (limited && set.size() == kFoldersMax) {
    tooMany_ = true;
    return false;
  }
  set.emplace_hint(at, folder);
  return true;
}

bool FolderNames::note(std::string_view name, bool folder, std::size_t entry) {
  if (tooMany_) return true;
  const auto at = [entry](std::string_view prefix) {
    return Folder{static_cast<std::uint32_t>(entry), static_cast<std::uint32_t>(prefix.size())};
  };
  const std::string_view parent = parentOf(name);
  // A folder met before has had its own folders above it recorded (the
  // entry before's folder most often), so the walk up ends at the first
  // folder known.
  if (!parent.empty() && parent != lastParent_ && insert(nonEmpty_, at(parent), parent, false)) {
    for (std::string_view up = parent; !up.empty() && insert(folders_, at(up), up, true);
         up = parentOf(up)) {
    }
  }
  lastParent_.assign(parent);
  if (folder) {
    const std::string_view self = name.substr(0, name.size() - 1);
    insert(folders_, at(self), self, true);
  }
  return !tooMany_;
}

void FolderLineMatcher::match(const LineQueue::Chunk& chunk, ListLines& lines) const {
  const std::string_view prefix = "FlashDrive\\";
  std::string name;
  std::size_t begin = 0;
  for (const std::size_t end : chunk.ends) {
    const std::string_view text = std::string_view(chunk.text).substr(begin, end - begin);
    begin = end;
    std::size_t entry = 0;
    std::size_t length = 0;
    // (a line with a "/" of its own would not read as itself again: it
    // keeps its text)
    if (text.compare(0, prefix.size(), prefix) == 0 && text.find('/') == std::string_view::npos) {
      name.assign(text.substr(prefix.size()));
      std::replace(name.begin(), name.end(), '\\', '/');
      if (folders_.findHolding(name, &entry, &length)) {
        lines.pushFolder(entry, length);
        continue;
      }
    }
    lines.push_back(text);
  }
}

void FolderNames::matchLines(const ListLines& lines, CheckReport& report) const {
  // Each folder by the hash of its name with case ignored, for the lines
  // that name none exactly; the folders of one name lie in name order.
  std::vector<std::pair<std::uint32_t, Folder>> byFolded;
  const Order& order = folders_.key_comp();
  std::string scratch;
  const auto foldedHash = [](std::string_view name) {
    std::uint32_t exact = 0;
    std::uint32_t folded = 0;
    NameIndex::hashBoth(name, &exact, &folded);
    return folded;
  };
  // The first folder, in name order, that is `name` when case is ignored.
  const auto findLoosely = [&](const std::string& name) -> const Folder* {
    if (byFolded.empty()) {
      byFolded.reserve(folders_.size());
      for (const Folder folder : folders_) {
        byFolded.emplace_back(foldedHash(order.name(folder, scratch)), folder);
      }
      std::stable_sort(byFolded.begin(), byFolded.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
    }
    const std::string key = folded(name);
    const std::uint32_t hash = foldedHash(name);
    auto at = std::lower_bound(byFolded.begin(), byFolded.end(), hash,
                               [](const auto& item, std::uint32_t h) { return item.first < h; });
    for (; at != byFolded.end() && at->first == hash; ++at) {
      if (folded(std::string(order.name(at->second, scratch))) == key) return &at->second;
    }
    return nullptr;
  };
  const std::string prefix = "FlashDrive\\";
  std::set<Folder, Order> named(order);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::size_t entry = 0;
    std::size_t length = 0;
    if (lines.folderOf(i, &entry, &length)) {
      named.insert(Folder{static_cast<std::uint32_t>(entry), static_cast<std::uint32_t>(length)});
      continue;
    }
    const Mention where = Mention::folderLineAt(i);
    const std::string_view text = lines.textOf(i);
    if (text.compare(0, prefix.size(), prefix) != 0) {
      report.fail(kExitMalformedLists, where,
                  Words("", Mention::folderLine(i), " does not begin with " + quoted(prefix)));
      continue;
    }
    std::string name(text.substr(prefix.size()));
    std::replace(name.begin(), name.end(), '\\', '/');
    const auto exact = nonEmpty_.find(name);
    if (exact != nonEmpty_.end()) {
      named.insert(*exact);
      continue;
    }
    const Folder* loose = findLoosely(name);
    if (loose != nullptr && nonEmpty_.count(*loose) != 0) {
      report.warn(where, Words("matches ", report.mentionFolder(loose->entry, loose->length),
                               " only when case is ignored (the device's file system would "
                               "find it)"));
      named.insert(*loose);
      continue;
    }
    const std::string what =
        folders_.count(name) != 0 ? "a folder that holds no entry" : "no folder";
    report.fail(kExitListsDisagree, where,
                Words("names ", Mention::folderLine(i), ", which is " + what));
  }
  for (const Folder folder : nonEmpty_) {
    if (named.count(folder) == 0) {
      report.fail(kExitListsDisagree, report.mentionFolder(folder.entry, folder.length),
                  "holds entries but has no line in $FolderList.txt");
    }
  }
}

}  // namespace quillet::check
