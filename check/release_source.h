// A release as the check reads it, from one of two sources behind one small
// interface: the zip archive the packer made, or a folder holding an
// extracted release (what the device sees after unpacking).
//
// An entry is a fixed-size record; its name is not part of it. A source
// hands every name over once, in its order (forEachName), and reads one back
// when asked (nameOf): an archive from its central directory, a folder by
// putting it together from its folders' names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace quillet {
class ByteSource;
}

namespace quillet::check {

struct ReleaseEntry {
  std::uint64_t size = 0;       // bytes of content (0 for folders)
  std::uint32_t nameBytes = 0;  // the name's length in UTF-8, "/" at a folder's end included
  std::uint32_t crc32 = 0;      // of the contents: the archive's word, or found by read()
  bool folder = false;          // a folder entry
  bool readable = true;         // false for what is neither a file nor a folder
  bool link = false;            // a symbolic link (an archive's Unix mode, or in a folder)
  bool legacyName = false;      // an archive's name beyond ASCII stored in the legacy code page
  bool legacyUtf8 = false;      // ... in bytes that read as UTF-8 too
  bool zip64 = false;           // sizes or offset from a Zip64 extra field
};

// What went wrong reading a release.
enum class SourceFailure {
  kNone,
  kCannotOpen,   // the path cannot be opened or read
  kDamaged,      // a damaged archive (structure, CRC, size)
  kUnsupported,  // a well-formed archive in a form the device cannot unpack (encryption, a method)
  kStopped,      // the sink asked to stop
};

class ReleaseSource {
 public:
  // Takes a chunk of an entry's contents; false stops the reading.
  using Sink = std::function<bool(const std::uint8_t* data, std::size_t size)>;
  // Takes entry `index`'s name (UTF-8, "/" between components, a folder's
  // ending in "/"; valid during the call).
  using NameSink = std::function<void(std::size_t index, std::string_view name)>;

  virtual ~ReleaseSource() = default;
  // "archive" or "folder".
  virtual const char* kind() const = 0;
  // The entries: files and folders, in the source's order.
  virtual std::size_t count() const = 0;
  virtual const ReleaseEntry& entry(std::size_t index) const = 0;
  // True when the archive holds any Zip64 record or field.
  virtual bool usesZip64() const { return false; }

  // Hands every entry's name to `each`, in order. False when they could not
  // be read (namesLost() says why).
  virtual bool forEachName(const NameSink& each) = 0;
  // Entry `index`'s name, in `scratch`, and a view of it. Empty when it no
  // longer reads as it did; namesLost() then says so.
  virtual std::string_view nameOf(std::size_t index, std::string& scratch) = 0;
  // What went wrong reading a name back, or empty.
  virtual std::string namesLost() const { return {}; }

  // Streams the contents of entry `index` to `sink`, checking them on the way
  // where the source can (an archive's CRC-32, sizes and local header; a
  // folder entry of an archive has its local header checked). A folder
  // source notes the CRC-32 of what it read in the entry. False with
  // failure() and message() set.
  virtual bool read(std::size_t index, const Sink& sink) = 0;
  virtual SourceFailure failure() const = 0;
  virtual const std::string& message() const = 0;
};

// The most entries a folder may hold before it is refused unsupported (what
// an archive of a release may hold), and what it may spend on its entries'
// own names: each entry counts kFolderEntryShareBytes besides its name. A
// folder source holds each entry's own name once, and 131,071 names of 255
// characters would take 100 MB.
inline constexpr std::uint64_t kFolderNamesBytesMax = 24u << 20;
inline constexpr std::uint64_t kFolderEntryShareBytes = 64;

// The release at `path`: a folder is read as an extracted release, anything
// else as a zip archive. Nothing when it cannot be opened; `failure` and
// `message` say why.
std::unique_ptr<ReleaseSource> openRelease(const std::string& path, SourceFailure* failure,
                                           std::string* message);
// The two sources, for callers that know what they have. A folder of more
// than `entriesMax` entries (0: what an archive of a release may hold), or
// whose names take more than `namesMax`, is refused before the rest is kept.
std::unique_ptr<ReleaseSource> openFolderRelease(const std::string& path, SourceFailure* failure,
                                                 std::string* message, std::size_t entriesMax = 0,
                                                 std::uint64_t namesMax = kFolderNamesBytesMax);
std::unique_ptr<ReleaseSource> openArchiveRelease(const std::string& path, SourceFailure* failure,
                                                  std::string* message);
// An archive already open as `bytes` (held in memory, say); `path` only
// names it in the message.
std::unique_ptr<ReleaseSource> openArchiveRelease(std::unique_ptr<ByteSource> bytes,
                                                  const std::string& path, SourceFailure* failure,
                                                  std::string* message);

}  // namespace quillet::check
