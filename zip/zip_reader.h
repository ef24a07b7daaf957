// A bounded reader of zip archives, for the release check and for the
// packer's check of its own archive.
//
// The archive is untrusted input: every number read from it is checked
// against the file's size and against the other structures before it is
// used, and every malformed archive ends in a failure with a message that
// says what is wrong and names the entry. Memory stays bounded whatever the
// file says: an entry is a fixed-size record (its name stays in the
// archive and is read back when asked for), the records are limited by the
// caller's entry limit, and entry data streams through fixed 64 KiB buffers.
//
// Understood: the end-of-central-directory record (found by a backwards
// search over at most the record and the longest comment), Zip64 records and
// extra fields, data descriptors (flag bit 3), the methods stored (0) and
// deflate (8), names in UTF-8 (flag bit 11 or an Info-ZIP Unicode Path extra
// field) or in a legacy code page. Refused as not supported: encryption,
// other methods, archives split over several disks.
//
// One thread at a time may use a reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "byte_source.h"

namespace quillet::zip {

using quillet::ByteSource;
using quillet::MemorySource;

// Turns a name stored in a legacy (OEM) code page into UTF-8; nothing when it
// cannot.
using LegacyNameDecoder = std::function<std::optional<std::string>(std::string_view raw)>;

// Code page 437, the default legacy decoder off Windows. Bytes below 0x80 are
// ASCII; every other byte has a character, so this never fails.
std::optional<std::string> cp437ToUtf8(std::string_view raw);

enum class Failure {
  kNone,
  kCannotRead,    // the source could not be read
  kNotAZip,       // no end-of-central-directory record
  kDamaged,       // a structure is malformed or contradicts another
  kUnsupported,   // encryption, a method other than stored or deflate, several disks
  kCrcMismatch,   // an entry's data does not have its CRC-32
  kSizeMismatch,  // an entry's data is not as long as declared
  kStopped,       // the caller's sink asked to stop
};

// One entry of the central directory: where it lies and what it declares.
// Its name is not held: Reader::nameOf reads it back.
struct Entry {
  std::uint64_t localHeaderOffset = 0;
  std::uint64_t compressedSize = 0;
  std::uint64_t size = 0;           // uncompressed
  std::uint64_t storedNameAt = 0;   // where the name's stored bytes lie in the archive
  std::uint64_t nameHash = 0;       // of the name in UTF-8 (name_hash.h), to know it again
  std::uint32_t unicodeNameAt = 0;  // a Unicode Path field's name, this far past them (0: none)
  std::uint32_t crc32 = 0;          // of the uncompressed data
  std::uint32_t externalAttributes = 0;
  std::uint32_t nameSize = 0;  // bytes of the name in UTF-8
  std::uint16_t storedNameSize = 0;
  std::uint16_t flags = 0;   // general purpose bit flags of the central entry
  std::uint16_t method = 0;  // 0 stored, 8 deflate
  bool beyondAscii = false;  // the stored name has bytes beyond ASCII
  bool legacyName = false;   // decoded from the legacy code page (no flag bit 11, no Unicode Path)
  bool legacyUtf8 = false;   // ... though its bytes beyond ASCII read as UTF-8 too
  bool zip64 = false;        // sizes or offset came from a Zip64 extra field
  bool folder = false;       // the name ends in "/"

  // Marked a symbolic link by the Unix mode in its external attributes.
  bool isLink() const { return ((externalAttributes >> 16) & 0xF000u) == 0xA000u; }
};

class Reader {
 public:
  // Chunks handed to readEntry's sink are at most this long.
  static constexpr std::size_t kChunkSize = 64 * 1024;

  using Sink = std::function<bool(const std::uint8_t* data, std::size_t size)>;
  using NameSink = std::function<void(std::size_t index, std::string_view name)>;

  Reader();
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // The most entries open() takes: an archive that declares more is refused
  // as not supported before anything is allocated for them, with `why`
  // (what the limit is) in the message. Unlimited unless set.
  void setEntryLimit(std::uint64_t limit, std::string why) {
    entryLimit_ = limit;
    entryLimitWhy_ = std::move(why);
  }
  // The longest name open() takes, in bytes as stored and as decoded: an
  // entry with a longer one is refused as not supported, with `why` (what
  // the limit is) in the message. Unlimited unless set.
  void setNameLimit(std::size_t limit, std::string why) {
    nameLimit_ = limit;
    nameLimitWhy_ = std::move(why);
  }

  // Finds the end-of-central-directory record, reads and validates the whole
  // central directory and the layout of the local headers. False with
  // failure()/message() set. The source must outlive the reader's use of it.
  // An empty decoder is code page 437.
  bool open(ByteSource& source, LegacyNameDecoder decoder = cp437ToUtf8);
  const std::vector<Entry>& entries() const { return entries_; }
  bool usesZip64() const { return usesZip64_; }

  // Every entry's name (UTF-8), in the directory's order, in one pass over
  // it. False when one no longer reads as it did (namesLost() says which).
  bool forEachName(const NameSink& each);
  // Entry `index`'s name (UTF-8), read back from the archive into `scratch`.
  // Empty when it no longer reads as it did when the directory was read (the
  // archive changed): namesLost() then says so.
  std::string_view nameOf(std::size_t index, std::string& scratch);
  // What went wrong reading a name back, or empty: a check that read one
  // wrong has not checked the archive it opened.
  std::string namesLost() const;

  // Reads the entry's local header and checks it against the central entry
  // (name, method, flags, sizes, CRC-32, the data descriptor) and that its
  // data lies inside the file without overlapping another entry's header or
  // the directory.
  bool checkLocalHeader(std::size_t index);
  // checkLocalHeader, then streams the entry's uncompressed bytes to `sink`
  // in chunks of at most kChunkSize (stored, or inflated with zlib, never
  // more than the declared size), then checks the size and the CRC-32 (the
  // last check). `sink` returning false stops with kStopped.
  bool readEntry(std::size_t index, const Sink& sink);

  Failure failure() const { return failure_; }
  const std::string& message() const { return message_; }  // says what is wrong and names the entry

 private:
  struct Inflater;

  bool fail(Failure failure, std::string message);
  // A failure of entry `index`, named by `name` while the directory is read,
  // later by its name read back.
  bool failEntry(Failure failure, std::size_t index, const std::string& what,
                 std::optional<std::string_view> name = std::nullopt);
  bool readAt(std::uint64_t offset, void* buffer, std::size_t size);
  bool findEndRecord();
  bool readCentralDirectory();
  // Bytes [at, at + size) of the central directory through the window, read
  // afresh when they are not all in it; null when they cannot be read.
  const std::uint8_t* directoryBytes(std::uint64_t at, std::size_t size);
  // Entry `index`'s name from the bytes read back into `name` (decoded from
  // the legacy code page where it is stored so); false, the name noted as
  // lost, when it no longer reads as it did or `bytesRead` is false.
  bool nameRead(std::size_t index, bool bytesRead, std::string& name);
  bool decodeName(Entry& entry, std::size_t index, std::string_view raw, std::string_view extra,
                  std::string& name);
  bool nameTooLong(std::size_t index, std::string_view name);
  bool checkLayout();
  bool checkDescriptor(std::size_t index, std::uint64_t at, std::uint64_t limit, bool zip64);
  // The entry's data to `sink`, as stored or inflated (readEntry checks its CRC-32).
  bool copyStored(std::size_t index, const Sink& sink);
  bool inflateData(std::size_t index, const Sink& sink);

  ByteSource* source_ = nullptr;
  LegacyNameDecoder decoder_;
  std::vector<Entry> entries_;
  // Where each entry's space ends: the next local header in the file, or the
  // central directory. By entry index.
  std::vector<std::uint64_t> limits_;
  std::uint64_t directoryOffset_ = 0;  // where the central directory begins
  std::uint64_t directorySize_ = 0;
  std::uint64_t entryCount_ = 0;  // as the end record declares it
  std::uint64_t entryLimit_ = UINT64_MAX;
  std::string entryLimitWhy_;
  std::size_t nameLimit_ = SIZE_MAX;
  std::string nameLimitWhy_;
  bool usesZip64_ = false;
  std::uint64_t lostName_ = 0;  // the first entry (from 1) whose name read back otherwise
  Failure failure_ = Failure::kNone;
  std::string message_;
  std::vector<std::uint8_t> window_;  // the central directory's read window; entry input
  std::uint64_t windowStart_ = 0;     // the window holds the directory's bytes from here
  std::size_t windowFill_ = 0;        // ... this many (none when 0)
  std::vector<std::uint8_t> output_;  // inflated output
  std::unique_ptr<Inflater> inflater_;
};

}  // namespace quillet::zip
