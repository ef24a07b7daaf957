#include "folder_set.h"

#include "release_format.h"

namespace quillet::check {
namespace {

// The folder that holds `name` ("" for the top level), without its "/".
std::string_view parentOf(std::string_view name) {
  if (!name.empty() && name.back() == '/') name.remove_suffix(1);
  const std::size_t slash = name.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : name.substr(0, slash);
}

}  // namespace

FolderSet::FolderSet(ReleaseSource& source) : source_(source), table_(kFoldersMax) {}

std::int64_t FolderSet::find(std::string_view name) const { return table_.find(nameHash(name)); }

std::string_view FolderSet::nameOf(std::size_t folder, std::string& scratch) const {
  const Folder& found = folders_[folder];
  return source_.nameOf(found.entry, scratch).substr(0, found.length);
}

bool FolderSet::add(std::string_view name, std::size_t entry, bool holdsEntry,
                    const NewFolder& added) {
  const auto number = static_cast<std::uint32_t>(folders_.size());
  const std::uint64_t hash = nameHash(name);
  const std::int64_t known =
      folders_.size() < kFoldersMax ? table_.insert(hash, number) : table_.find(hash);
  if (known >= 0) {
    folders_[static_cast<std::size_t>(known)].holdsEntry |= holdsEntry;
    return false;
  }
  if (folders_.size() == kFoldersMax) {
    tooMany_ = true;
    return false;
  }
  folders_.push_back(Folder{hash, static_cast<std::uint32_t>(entry),
                            static_cast<std::uint32_t>(name.size()), holdsEntry});
  added(number, name);
  return true;
}

bool FolderSet::note(std::string_view name, std::size_t entry, const NewFolder& added) {
  if (tooMany_) return true;
  const std::string_view parent = parentOf(name);
  // A folder met before has had its own folders above it noted (the entry
  // before's folder most often), so the walk up ends at the first folder
  // known. Each folder on the way holds an entry: the folder below it, which
  // extraction makes whether or not the archive has an entry of its own for
  // it (Info-ZIP's zip -D and many other writers leave folders out).
  if (!parent.empty() && parent != lastParent_ && add(parent, entry, true, added)) {
    for (std::string_view up = parentOf(parent);
         !up.empty() && !tooMany_ && add(up, entry, true, added); up = parentOf(up)) {
    }
  }
  lastParent_.assign(parent);
  if (!name.empty() && name.back() == '/' && !tooMany_) {
    add(name.substr(0, name.size() - 1), entry, false, added);
  }
  return !tooMany_;
}

}  // namespace quillet::check
