// The release's folders as the check sees them: every folder on the way to
// an entry (whether or not the archive holds an entry for it), and those
// that hold an entry, which the folder list must name exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "list_read.h"
#include "release_check.h"
#include "text_lines.h"

namespace quillet::check {

class FolderNames {
 public:
  // Folders of the entries of `names`, which must outlive this object.
  explicit FolderNames(EntryNames names)
      : names_(names), folders_(Order{&names_}), nonEmpty_(Order{&names_}) {}
  FolderNames(const FolderNames&) = delete;
  FolderNames& operator=(const FolderNames&) = delete;

  // Notes entry `entry`, named `name`, in the source's order: the folders on
  // its way, and the folder itself for a folder entry (`name` ends in "/").
  // A folder is kept as the beginning of the entry's name (read again when
  // it is compared), never as a copy. False (once) when that makes more
  // folders than the packer's walk scans (kFoldersMax): nothing more is
  // noted then, so that a hostile archive of deep paths cannot claim memory
  // and time for each of their folders.
  bool note(std::string_view name, bool folder, std::size_t entry);
  // Every folder noted, no "/" at the end.
  std::size_t count() const { return folders_.size(); }
  bool isFolder(std::string_view name) const { return folders_.count(name) != 0; }
  bool tooMany() const { return tooMany_; }

  // Matches the folder list's lines against the folders that hold an entry:
  // each line names one ("FlashDrive\\" and then the folder, "\\" between
  // components; one matching only when case is ignored is taken, with a
  // warning), and each such folder has a line. Lines kept as the folder
  // they name (FolderLineMatcher) have matched already.
  void matchLines(const ListLines& lines, CheckReport& report) const;

  // The folder holding an entry that is named `name` exactly ("/" between
  // components): the entry whose name begins with it, and its length.
  bool findHolding(std::string_view name, std::size_t* entry, std::size_t* length) const {
    const auto at = nonEmpty_.find(name);
    if (at == nonEmpty_.end()) return false;
    *entry = at->entry;
    *length = at->length;
    return true;
  }
  const EntryNames& names() const { return names_; }

 private:
  // A folder: the first `length` bytes of entry `entry`'s name.
  struct Folder {
    std::uint32_t entry;
    std::uint32_t length;
  };
  // Folders in the order of their names, and names among them.
  struct Order {
    using is_transparent = void;
    const EntryNames* names;
    bool operator()(Folder a, Folder b) const {
      std::string scratchA;
      std::string scratchB;
      return name(a, scratchA) < name(b, scratchB);
    }
    bool operator()(Folder a, std::string_view b) const {
      std::string scratch;
      return name(a, scratch) < b;
    }
    bool operator()(std::string_view a, Folder b) const {
      std::string scratch;
      return a < name(b, scratch);
    }
    std::string_view name(Folder folder, std::string& scratch) const {
      return names->of(folder.entry, scratch).substr(0, folder.length);
    }
  };

  // Adds `folder`, named `name`, to `set`; false when a folder of that
  // name is there already, or when `limited` and the set holds kFoldersMax
  // (tooMany_ is then set).
  bool insert(std::set<Folder, Order>& set, Folder folder, std::string_view name, bool limited);

  EntryNames names_;
  std::set<Folder, Order> folders_;   // every folder
  std::set<Folder, Order> nonEmpty_;  // folders holding an entry
  std::string lastParent_;            // the folder of the entry noted before
  bool tooMany_ = false;
};

// The folder list's: a line "FlashDrive\\" and a folder that holds an entry
// is kept as that folder.
class FolderLineMatcher final : public LineMatcher {
 public:
  explicit FolderLineMatcher(const FolderNames& folders) : folders_(folders) {}
  const EntryNames& names() const override { return folders_.names(); }
  void match(const LineQueue::Chunk& chunk, ListLines& lines) const override;

 private:
  const FolderNames& folders_;
};

}  // namespace quillet::check
