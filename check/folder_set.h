// The release's folders as the check sees them: every folder on the way to
// an entry, whether or not the archive holds an entry for it, and whether
// it holds an entry (those the folder list must name). A folder is kept as
// the beginning of an entry's name, read back when it is compared or said.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "name_table.h"
#include "release_source.h"

namespace quillet::check {

class FolderSet {
 public:
  struct Folder {
    std::uint64_t hash;    // of its name (name_hash.h)
    std::uint32_t entry;   // an entry whose name begins with the folder's
    std::uint32_t length;  // the folder's name's length there, no "/" at the end
    bool holdsEntry;       // some entry lies right in it
  };
  // Called for each folder when it is first noted: its number and name.
  using NewFolder = std::function<void(std::uint32_t folder, std::string_view name)>;

  // The folders of `source`'s entries, which must outlive this object.
  explicit FolderSet(ReleaseSource& source);
  FolderSet(const FolderSet&) = delete;
  FolderSet& operator=(const FolderSet&) = delete;

  // Notes entry `entry`, named `name` (a folder's ending in "/"), in the
  // source's order: the folders on its way, and the folder itself for a
  // folder entry. False (once) when that makes more folders than the
  // packer's walk scans (kFoldersMax): nothing more is noted then, so that
  // an archive of deep paths cannot claim memory and time for each of
  // their folders.
  bool note(std::string_view name, std::size_t entry, const NewFolder& added);
  bool tooMany() const { return tooMany_; }

  std::size_t size() const { return folders_.size(); }
  const Folder& operator[](std::size_t folder) const { return folders_[folder]; }
  // The folder named exactly `name` ("/" between components), or -1.
  std::int64_t find(std::string_view name) const;
  // Folder `folder`'s name, read back into `scratch`.
  std::string_view nameOf(std::size_t folder, std::string& scratch) const;

 private:
  // The folder `name`, noted as the beginning of entry `entry`'s name;
  // whether it was new.
  bool add(std::string_view name, std::size_t entry, bool holdsEntry, const NewFolder& added);

  ReleaseSource& source_;
  std::vector<Folder> folders_;
  NameTable table_;
  std::string lastParent_;  // the folder of the entry noted before
  bool tooMany_ = false;
};

}  // namespace quillet::check
