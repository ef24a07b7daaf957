// A release as the check reads it, from one of two sources behind one small
// interface: the zip archive the packer made, or a folder holding an
// extracted release (what the device sees after unpacking).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::check {

struct ReleaseEntry {
  // UTF-8, "/" between components, folders end in "/", held by the source
  // for as long as it lives. Empty when the source keeps names otherwise
  // (an archive of long names leaves them in its central directory, a
  // folder keeps each entry's own name under its folder's): EntryNames
  // reads them.
  std::string_view name;
  std::uint32_t nameBytes = 0;  // the name's length, whether held or not
  bool folder = false;          // a folder entry
  bool readable = true;         // false for what a folder source cannot read (a device, a FIFO)
  bool legacyName =
      false;               // an archive name with bytes beyond ASCII stored in the legacy code page
  bool zip64 = false;      // sizes or offset from a Zip64 extra field
  std::uint64_t size = 0;  // bytes of content (0 for folders)
};

// What went wrong reading a release.
enum class SourceFailure {
  kNone,
  kCannotOpen,  // the path cannot be opened or read
  kDamaged,     // a damaged archive (structure, CRC, size)
  kStopped,     // the sink asked to stop
};

class ReleaseSource {
 public:
  // Takes a chunk of an entry's contents; false stops the reading.
  using Sink = std::function<bool(const std::uint8_t* data, std::size_t size)>;
  // A place for the next `size` bytes of contents, which the source may fill
  // and then hand to the sink, sparing a copy; nullptr when there is none.
  using Room = std::function<std::uint8_t*(std::size_t size)>;

  virtual ~ReleaseSource() = default;
  // "archive" or "folder".
  virtual const char* kind() const = 0;
  // Every entry: files and folders, in the source's order.
  virtual const std::vector<ReleaseEntry>& entries() const = 0;
  // True when the archive holds any Zip64 record or field.
  virtual bool usesZip64() const = 0;
  // Streams the contents of entry `index` to `sink`, checking them on the way
  // where the source can (an archive's CRC-32 and size). False with
  // failure() and message() set.
  virtual bool read(std::size_t index, const Sink& sink) = 0;
  virtual SourceFailure failure() const = 0;
  virtual const std::string& message() const = 0;

  // The CRC-32 that entry `index` must have, when the source checks one and
  // its reading is the slower side (inflating), so that a caller with a
  // second thread may compute it there: readLeavingCrc then reads the entry
  // without it, and a mismatch is worded by crcMismatch. Nothing otherwise.
  // May be called while another thread reads.
  virtual std::optional<std::uint32_t> crcLeftToCaller(std::size_t /*index*/) const {
    return std::nullopt;
  }
  // read(), but for an entry crcLeftToCaller gives a CRC for, the CRC-32 is
  // not checked, and contents the source makes (inflates) may be put in
  // `room`.
  virtual bool readLeavingCrc(std::size_t index, const Sink& sink, const Room& /*room*/) {
    return read(index, sink);
  }
  // A hint that entry `index` is to be read soon: the record of it (first),
  // then, a few entries later (`recordFetched`), its place in the source.
  // Called by the thread that reads.
  virtual void prefetch(std::size_t /*index*/, bool /*recordFetched*/) {}
  // The message read() gives when entry `index`'s contents have CRC-32
  // `found` instead of the one they must have (failure kDamaged). May be
  // called while another thread reads.
  virtual std::string crcMismatch(std::size_t /*index*/, std::uint32_t /*found*/) const {
    return {};
  }

  // The name of entry `index` when entries() leaves it empty (an archive of
  // long names reads it back from its central directory, a folder puts it
  // together from its folders'): in `scratch`, and a view of it. Empty when
  // it no longer reads as it did; namesLost() then says so. May be called
  // from any thread.
  virtual std::string_view nameOf(std::size_t index, std::string& /*scratch*/) const {
    return entries()[index].name;
  }
  // What went wrong reading a name back, or empty.
  virtual std::string namesLost() const { return {}; }
};

// The entries of a release with their names, for what looks names up: a
// name is the entry's own, or read back by the source that left it in the
// archive.
class EntryNames {
 public:
  // No entries.
  EntryNames() : entries_(&none()) {}
  // Names held in the entries (which must outlive this object).
  EntryNames(const std::vector<ReleaseEntry>& entries)  // NOLINT: entries are their names
      : entries_(&entries) {}
  // The source's entries and names (it must outlive this object).
  explicit EntryNames(const ReleaseSource& source)
      : entries_(&source.entries()), source_(&source) {}

  const std::vector<ReleaseEntry>& entries() const { return *entries_; }
  // Entry `index`'s name: the held one, or read into `scratch` and a view
  // of it. May be called from any thread.
  std::string_view of(std::size_t index, std::string& scratch) const {
    const std::string_view held = (*entries_)[index].name;
    return held.empty() && source_ != nullptr ? source_->nameOf(index, scratch) : held;
  }
  // The length of entry `index`'s name, without reading it back.
  std::size_t sizeOf(std::size_t index) const {
    const ReleaseEntry& entry = (*entries_)[index];
    return entry.name.empty() ? entry.nameBytes : entry.name.size();
  }

 private:
  static const std::vector<ReleaseEntry>& none() {
    static const std::vector<ReleaseEntry> empty;
    return empty;
  }

  const std::vector<ReleaseEntry>* entries_;
  const ReleaseSource* source_ = nullptr;
};

// The release at `path`: a folder is read as an extracted release, anything
// else as a zip archive. Nothing when it cannot be opened; `failure` and
// `message` say why.
std::unique_ptr<ReleaseSource> openRelease(const std::string& path, SourceFailure* failure,
                                           std::string* message);

// The two sources, for callers that know what they have. A folder of more
// than `entriesMax` entries (what an archive of a release may hold, unless
// said otherwise) is refused before the rest are kept, and so is a folder
// whose entries' own names take more than `namesMax` bytes, each entry
// counted kFolderEntryShareBytes more (the check holds the entries beside
// the names): a folder holds its names (each entry's own, once), which an
// archive may leave in its directory, and 131,071 names of 255 characters
// would take 100 MB.
inline constexpr std::uint64_t kFolderNamesBytesMax = 24u << 20;
inline constexpr std::uint64_t kFolderEntryShareBytes = 64;
std::unique_ptr<ReleaseSource> openFolderRelease(const std::string& path, SourceFailure* failure,
                                                 std::string* message, std::size_t entriesMax = 0,
                                                 std::uint64_t namesMax = kFolderNamesBytesMax);
// An archive whose central directory, or whose names as held (stored and
// decoded), take more than `namesHeldMax` bytes leaves its names there, and
// they are read back when asked for: a directory of long names would
// otherwise claim memory in proportion to its size.
// The most gives way to the entries, which the check holds beside the
// names: kNamesHeldEntryShareBytes less for each, down to a quarter.
inline constexpr std::uint64_t kNamesHeldDirectoryBytesMax = 16u << 20;
inline constexpr std::uint64_t kNamesHeldEntryShareBytes = 96;
std::unique_ptr<ReleaseSource> openArchiveRelease(
    const std::string& path, SourceFailure* failure, std::string* message,
    std::uint64_t namesHeldMax = kNamesHeldDirectoryBytesMax);

}  // namespace quillet::check
