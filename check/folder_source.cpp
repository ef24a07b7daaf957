// The folder source: an extracted release, read through the platform layer.
#include <algorithm>
#include <cstring>
#include <vector>

#include "crc32.h"
#include "release_check.h"
#include "release_source.h"
#include "shown_text.h"
#include "system_files.h"

namespace quillet::check {
namespace {

// Bytes read from a file at a time.
constexpr std::size_t kChunkBytes = 256 * 1024;

class FolderSource final : public ReleaseSource {
 public:
  FolderSource(std::string root, std::size_t entriesMax, std::uint64_t namesMax)
      : root_(std::move(root)),
        literalRoot_(literalFolderPath(root_)),
        entriesMax_(entriesMax),
        namesMax_(namesMax) {}

  // Lists the whole tree below the root, depth first, sorted by name within
  // a folder so the order does not depend on the file system.
  bool scan() {
    // (room never written to is never given memory by the system: nothing
    // moves as the names and entries come)
    names_.reserve(static_cast<std::size_t>(namesMax_));
    nodes_.reserve(entriesMax_);
    entries_.reserve(entriesMax_);
    return scanFolder(kTop, "");
  }

  const char* kind() const override { return "folder"; }
  std::size_t count() const override { return entries_.size(); }
  const ReleaseEntry& entry(std::size_t index) const override { return entries_[index]; }

  bool forEachName(const NameSink& each) override {
    std::string name;
    for (std::size_t i = 0; i < entries_.size(); ++i) each(i, nameOf(i, name));
    return true;
  }

  // An entry's name is its folder's and its own: a release of long paths
  // holds each folder's name once, not once for every entry in it.
  std::string_view nameOf(std::size_t index, std::string& scratch) override {
    // From its end: each folder on the way is put before what follows it.
    scratch.resize(entries_[index].nameBytes);
    std::size_t end = scratch.size();
    for (auto at = static_cast<std::uint32_t>(index); at != kTop; at = nodes_[at].parent) {
      if (entries_[at].folder) scratch[--end] = '/';
      end -= nodes_[at].length;
      std::memcpy(&scratch[end], names_.data() + nodes_[at].offset, nodes_[at].length);
    }
    return scratch;
  }

  bool read(std::size_t index, const Sink& sink) override {
    ReleaseEntry& entry = entries_.at(index);
    failure_ = SourceFailure::kNone;
    if (entry.folder) return true;  // a folder has no contents to read
    std::string error;
    std::string name;
    const std::unique_ptr<ByteSource> file = openInputFile(pathOf(nameOf(index, name)), &error);
    if (file == nullptr) return fail(SourceFailure::kCannotOpen, said(error));
    buffer_.resize(kChunkBytes);
    std::uint32_t crc = 0;
    // A file that changed since the folder was read is not the release
    // that was surveyed: its bytes, digest and CRC would say another.
    const std::uint64_t size = file->size();
    if (size != entry.size) return changed(entry.size, size);
    for (std::uint64_t at = 0; at < size;) {
      const std::size_t want =
          static_cast<std::size_t>(std::min<std::uint64_t>(kChunkBytes, size - at));
      if (!file->readAt(at, buffer_.data(), want)) {
        return fail(SourceFailure::kCannotOpen, "could not be read");
      }
      crc = crc32Add(crc, buffer_.data(), want);
      if (!sink(buffer_.data(), want)) return fail(SourceFailure::kStopped, "stopped");
      at += want;
    }
    // A writer that went on while the file was read leaves it another size
    // than what was digested: the bytes read are not the file as it is.
    const std::uint64_t now = file->sizeNow();
    if (now != size) return changed(entry.size, now);
    entry.crc32 = crc;
    return true;
  }

  SourceFailure failure() const override { return failure_; }
  const std::string& message() const override { return message_; }

 private:
  static constexpr std::uint32_t kTop = UINT32_MAX;  // the parent of the top level's entries

  // Entries are reached by their own names below the root's literal form
  // (the root itself is read as the user's path is).
  std::string pathOf(std::string_view name) const { return literalRoot_ + "/" + std::string(name); }

  // A system's message about a path below the literal root, as the path
  // the user gave says it.
  std::string said(std::string error) const {
    if (error.compare(0, literalRoot_.size(), literalRoot_) == 0) {
      error.replace(0, literalRoot_.size(), root_);
    }
    return error;
  }

  bool changed(std::uint64_t surveyed, std::uint64_t now) {
    return fail(SourceFailure::kDamaged,
                "changed while it was checked: it held " + std::to_string(surveyed) +
                    " bytes when the folder was read, " + std::to_string(now) + " now");
  }

  bool fail(SourceFailure failure, std::string message) {
    failure_ = failure;
    message_ = std::move(message);
    return false;
  }

  // The entries of folder entry `parent` (kTop: the root), whose name is
  // `prefix` ("" or ending in "/").
  bool scanFolder(std::uint32_t parent, const std::string& prefix) {
    // Each entry's own name goes straight to the names kept, once.
    struct Found {
      std::size_t offset;
      std::size_t length;
      PathKind kind;
    };
    std::vector<Found> found;
    std::string error;
    const std::string folder =
        prefix.empty() ? literalRoot_ : pathOf(prefix.substr(0, prefix.size() - 1));
    const std::size_t most = entriesMax_ - entries_.size();
    bool namesFull = false;
    const bool listed = listFolder(
        folder,
        [&](std::string_view name, PathKind kind) {
          namesBytes_ += name.size() + kFolderEntryShareBytes;
          if (namesBytes_ > namesMax_) {
            namesFull = true;
            return false;
          }
          found.push_back(Found{names_.size(), name.size(), kind});
          names_.append(name);
          return found.size() <= most;  // (one more than may be kept, to know there are more)
        },
        &error);
    if (!listed) return fail(SourceFailure::kCannotOpen, said(error));
    if (namesFull) {
      return fail(SourceFailure::kUnsupported,
                  "not supported: the folder's names take more than " + std::to_string(namesMax_) +
                      " bytes (" + std::to_string(kFolderEntryShareBytes) +
                      " counted for each entry besides its own name), the most the check holds "
                      "of them");
    }
    const auto nameOfFound = [this](const Found& item) {
      return std::string_view(names_).substr(item.offset, item.length);
    };
    std::sort(found.begin(), found.end(),
              [&](const Found& a, const Found& b) { return nameOfFound(a) < nameOfFound(b); });
    for (const Found& item : found) {
      ReleaseEntry entry;
      const bool isFolder = item.kind == PathKind::kFolder;
      // What an archive of a release can hold, a folder of one holds: more
      // is refused before it is kept, so that a folder of millions of files
      // or of paths deeper than any list line names claims no memory for
      // them.
      if (entries_.size() == entriesMax_) {
        return fail(SourceFailure::kUnsupported, "not supported: the folder holds more than " +
                                                     std::to_string(entriesMax_) +
                                                     " entries, more than " + kReleaseEntriesWhy);
      }
      const std::string name = prefix + std::string(nameOfFound(item));
      const std::size_t nameBytes = name.size() + (isFolder ? 1 : 0);
      if (nameBytes > kEntryNameBytesMax) {
        return fail(SourceFailure::kUnsupported,
                    "not supported: '" + std::string(beginningOf(name, 40)) + "...' takes " +
                        std::to_string(nameBytes) + " bytes in the release, more than the " +
                        std::to_string(kEntryNameBytesMax) + " " + kEntryNameWhy);
      }
      entry.nameBytes = static_cast<std::uint32_t>(nameBytes);
      const auto index = static_cast<std::uint32_t>(entries_.size());
      nodes_.push_back(Node{parent, static_cast<std::uint32_t>(item.offset),
                            static_cast<std::uint32_t>(item.length)});
      if (isFolder) {
        entry.folder = true;
        entries_.push_back(entry);
        if (!scanFolder(index, name + "/")) return false;
        continue;
      }
      if (item.kind == PathKind::kFile) {
        const std::unique_ptr<ByteSource> file = openInputFile(pathOf(name), &error);
        if (file == nullptr) return fail(SourceFailure::kCannotOpen, said(error));
        entry.size = file->size();
      } else {
        entry.readable = false;
        entry.link = item.kind == PathKind::kLink;
      }
      entries_.push_back(entry);
    }
    return true;
  }

  // Where an entry lies and its own name, by entry.
  struct Node {
    std::uint32_t parent;  // the folder entry it lies in, or kTop
    std::uint32_t offset;  // its own name, without "/", in names_
    std::uint32_t length;
  };

  std::string root_;         // as the user gave it
  std::string literalRoot_;  // literalFolderPath(root_)
  std::size_t entriesMax_;
  std::uint64_t namesMax_;
  std::string names_;             // every entry's own name, end to end
  std::uint64_t namesBytes_ = 0;  // counted against namesMax_
  std::vector<Node> nodes_;
  std::vector<ReleaseEntry> entries_;
  std::vector<std::uint8_t> buffer_;
  SourceFailure failure_ = SourceFailure::kNone;
  std::string message_;
};

}  // namespace

std::unique_ptr<ReleaseSource> openFolderRelease(const std::string& path, SourceFailure* failure,
                                                 std::string* message, std::size_t entriesMax,
                                                 std::uint64_t namesMax) {
  auto source = std::make_unique<FolderSource>(
      path, entriesMax > 0 ? entriesMax : kReleaseEntriesMax, namesMax);
  if (!source->scan()) {
    *failure = source->failure() == SourceFailure::kUnsupported ? SourceFailure::kUnsupported
                                                                : SourceFailure::kCannotOpen;
    *message = source->message();
    return nullptr;
  }
  return source;
}

std::unique_ptr<ReleaseSource> openRelease(const std::string& path, SourceFailure* failure,
                                           std::string* message) {
  switch (pathKind(path)) {
    case PathKind::kFolder:
      return openFolderRelease(path, failure, message);
    case PathKind::kMissing:
      *failure = SourceFailure::kCannotOpen;
      *message = "'" + path + "' does not exist";
      return nullptr;
    default:
      return openArchiveRelease(path, failure, message);
  }
}

}  // namespace quillet::check
