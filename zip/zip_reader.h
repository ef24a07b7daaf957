// A bounded reader of zip archives for the release check.
//
// The archive is untrusted input: every number read from it is checked
// against the file's size and against the other structures before it is
// used, and every malformed archive ends in a failure with a message that
// says what is wrong and names the entry. Memory stays bounded whatever the
// file says: the central directory is read through a fixed window, the
// entries held are limited by the directory's size, and entry data is
// streamed through fixed 64 KiB buffers, never held whole.
//
// Understood: the end-of-central-directory record (found by a backwards
// search over at most the record and the longest comment), Zip64 records and
// extra fields, data descriptors (flag bit 3), the methods stored (0) and
// deflate (8), names in UTF-8 (flag bit 11 or an Info-ZIP Unicode Path extra
// field) or in a legacy code page. Refused as not supported: encryption,
// other methods, archives split over several disks.
#ifndef QUILLET_ZIP_ZIP_READER_H
#define QUILLET_ZIP_ZIP_READER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "text_blocks.h"

namespace quillet::zip {

// Bytes at offsets: the archive. Implementations: a file (in the check's
// platform layer) and memory (tests, fuzzing).
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::uint64_t size() const = 0;
  // Reads exactly `size` bytes at `offset`; false on a read error or when the
  // range is beyond the end.
  virtual bool readAt(std::uint64_t offset, void* buffer, std::size_t size) = 0;
  // A hint that [offset, offset + size) is to be read soon: a source that
  // holds it in memory may have the processor fetch it ahead.
  virtual void prefetch(std::uint64_t /*offset*/, std::size_t /*size*/) {}
  // The `size` bytes at `offset` in the source's own memory, valid until the
  // source is next called, sparing a copy; nullptr when it does not hold
  // them so (readAt then reads them). Never beyond the end.
  virtual const std::uint8_t* view(std::uint64_t /*offset*/, std::size_t /*size*/) {
    return nullptr;
  }
  // readAt(), for a caller on any thread while another reads: a source
  // whose readAt keeps nothing between calls needs no other.
  virtual bool readFromAnyThread(std::uint64_t offset, void* buffer, std::size_t size) {
    return readAt(offset, buffer, size);
  }
};

// An archive held in memory.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::string bytes);
  std::uint64_t size() const override;
  bool readAt(std::uint64_t offset, void* buffer, std::size_t size) override;
  const std::uint8_t* view(std::uint64_t offset, std::size_t size) override;

 private:
  std::string bytes_;
};

// Turns a name stored in a legacy (OEM) code page into UTF-8; nothing when it
// cannot.
using LegacyNameDecoder = std::function<std::optional<std::string>(std::string_view raw)>;

// Code page 437, the default legacy decoder off Windows. Bytes below 0x80 are
// ASCII; every other byte has a character, so this never fails.
std::optional<std::string> cp437ToUtf8(std::string_view raw);

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing beyond U+10FFFF).
bool isValidUtf8(std::string_view text);

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

// A short English name of a failure ("damaged", "CRC mismatch", ...).
const char* failureName(Failure failure);

// How a message names an entry: "entry #4 \"NAVI/map.dat\"" (`number`
// counted from 1; control bytes of the name as \xNN).
std::string entryLabel(std::size_t number, std::string_view name);

// One entry of the central directory. Its names are views of the reader's
// own storage: valid until the reader is opened again or destroyed. A reader
// that leaves names in the archive (setNamesHeldMax) leaves them empty:
// Reader::nameOf and storedNameOf read them back.
struct Entry {
  // UTF-8, exactly as stored after decoding ("/" separators; folders end in "/").
  std::string_view name;
  // The stored bytes of the name: those of `name`, or, when they differ (a
  // legacy code page beyond ASCII, a Unicode Path field), held right after
  // it (storedApart): a release of many long names would otherwise hold
  // each twice, or a second view for each.
  std::string_view rawName() const {
    return storedApart ? std::string_view(name.data() + name.size(), storedNameSize) : name;
  }
  // Where the name lies in the archive: the stored bytes at storedNameAt;
  // the name is those bytes, those of the Unicode Path field that begin
  // unicodeNameAt bytes after them (0: none), or the stored bytes decoded
  // from the legacy code page (legacyName and beyondAscii).
  // (Fields in an order that leaves no padding between them: a release of
  // 131,071 entries holds one each.)
  std::uint64_t storedNameAt = 0;
  std::uint32_t unicodeNameAt = 0;
  std::uint32_t nameSize = 0;   // bytes of the name in UTF-8
  std::uint32_t nameCheck = 0;  // of the name in UTF-8, to know it again when read back
  // Where the data begins, past the local header: filled by
  // checkLocalHeader / readEntry. (Kept from the local header, whose name
  // and extra field take at most 2 × 65,535 bytes: an entry of a release
  // of 65,535 costs four bytes less.)
  std::uint32_t dataStart = 0;
  std::uint64_t compressedSize = 0;
  std::uint64_t size = 0;  // uncompressed
  std::uint64_t localHeaderOffset = 0;
  std::uint32_t crc32 = 0;  // of the uncompressed data
  std::uint16_t storedNameSize = 0;
  std::uint16_t flags = 0;   // general purpose bit flags of the central entry
  std::uint16_t method = 0;  // 0 stored, 8 deflate
  bool beyondAscii = false;  // the stored name has bytes beyond ASCII
  bool legacyName =
      false;           // decoded from the legacy code page (no flag bit 11, no Unicode Path field)
  bool zip64 = false;  // sizes or offset came from a Zip64 extra field
  bool endsInSlash = false;
  bool storedApart = false;  // the stored bytes are not the name's (held after it)
  bool isFolder() const { return endsInSlash; }  // name ends in "/"
  std::uint64_t dataOffset() const { return localHeaderOffset + dataStart; }
};

class Reader {
 public:
  // Chunks handed to readEntry's sink are at most this long.
  static constexpr std::size_t kChunkSize = 64 * 1024;

  using Sink = std::function<bool(const std::uint8_t* data, std::size_t size)>;
  // Where the caller would have the next `size` bytes of inflated data put,
  // so that they reach it without a copy (the sink is then handed that
  // place); nullptr leaves them in the reader's own buffer.
  using Room = std::function<std::uint8_t*(std::size_t size)>;

  Reader();
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Finds the end-of-central-directory record (bounded backwards search;
  // Zip64 locator and record understood) and reads and validates the whole
  // central directory. False with failure()/message() set. The source must
  // outlive the reader's use of it.
  bool open(ByteSource& source, LegacyNameDecoder decoder = cp437ToUtf8);
  const std::vector<Entry>& entries() const { return entries_; }

  // The most entries open() takes (every entry held costs memory, whatever
  // its size): an archive that declares more is refused as not supported
  // before anything is allocated for them, with `why` (what the limit is)
  // in the message. Unlimited unless set.
  void setEntryLimit(std::uint64_t limit, std::string why) {
    entryLimit_ = limit;
    entryLimitWhy_ = std::move(why);
  }
  // The longest name open() takes, in bytes as stored and as decoded: an
  // entry with a longer one is refused as not supported before its name is
  // held, with `why` (what the limit is) in the message. Unlimited unless
  // set. (The names are held for as long as the entries: a directory of
  // long names would otherwise claim memory in proportion to its size.)
  void setNameLimit(std::size_t limit, std::string why) {
    nameLimit_ = limit;
    nameLimitWhy_ = std::move(why);
  }
  // Names are held in memory while the central directory takes at most
  // `bytes` and the names held do too (a legacy name beyond ASCII is held
  // as stored and decoded, up to four times its stored bytes); beyond that
  // the entries leave them in the archive and nameOf reads each back when
  // it is asked for, so that a directory of long names claims no memory in
  // proportion to its size. Held unless set. The most gives way to the
  // entries the end record declares, `lessPerEntry` bytes for each, down to
  // a quarter: they are held beside the names.
  void setNamesHeldMax(std::uint64_t bytes, std::uint64_t lessPerEntry = 0) {
    namesHeldMax_ = bytes;
    namesHeldLessPerEntry_ = lessPerEntry;
  }
  bool namesHeld() const { return namesHeld_; }
  // The bytes of the names held (stored and decoded), 0 when not held.
  std::uint64_t namesHeldBytes() const { return namesHeld_ ? names_.addedBytes() : 0; }
  // Entry `index`'s name (UTF-8): the held one, or read back from the
  // archive into `scratch`. May be called from any thread while another
  // reads. Empty when it cannot be read back as it was read first (the
  // archive changed); namesLost() then says so.
  std::string_view nameOf(std::size_t index, std::string& scratch) const;
  // The name as stored (rawName()), held or read back likewise.
  std::string_view storedNameOf(std::size_t index, std::string& scratch) const;
  // What went wrong reading a name back, or empty: a check that read one
  // wrong has not checked the release it opened.
  std::string namesLost() const;
  bool usesZip64() const { return usesZip64_; }

  // Reads the entry's local header and checks it against the central entry
  // (name, method, sizes, flags) and that its data lies inside the file
  // without overlapping another entry's header or the directory.
  bool checkLocalHeader(std::size_t index);

  // Whether readEntry computes and checks the CRC-32 of the data, or leaves
  // it to the caller (who may compute it on another thread while this one
  // inflates), with crcMismatch() to word a mismatch.
  enum class Crc { kChecked, kLeftToCaller };

  // checkLocalHeader, then streams the entry's uncompressed bytes to `sink`
  // in chunks of at most kChunkSize (stored, or inflated with zlib, never
  // more than the declared size: a stream that would inflate past it fails
  // with kSizeMismatch), then checks the size and, unless left to the
  // caller, the CRC-32 (the last check: a caller that checks it finds the
  // same first failure). `sink` returning false stops with kStopped. With a
  // `room`, deflated data is inflated into the places it gives.
  bool readEntry(std::size_t index, const Sink& sink, Crc crc = Crc::kChecked,
                 const Room& room = {});

  // A hint that entry `index` is to be read soon, for a caller that reads
  // entries out of the archive's order: has the processor fetch the entry's
  // record, or, a few entries later (`recordFetched`), its stored name and
  // the bytes of its local header.
  void prefetch(std::size_t index, bool recordFetched);

  // The message of a CRC mismatch of entry `index` whose data has CRC-32
  // `found`, as readEntry words it. Reads only what open() set, so it may be
  // called from another thread while an entry is read.
  std::string crcMismatch(std::size_t index, std::uint32_t found) const;

  Failure failure() const { return failure_; }
  const std::string& message() const { return message_; }  // says what is wrong and names the entry

 private:
  struct Inflater;

  bool fail(Failure failure, std::string message);
  bool failEntry(Failure failure, std::size_t index, const std::string& what);
  std::string entryMessage(std::size_t index, const std::string& what) const;
  bool findEndRecord();
  bool readCentralDirectory();
  bool readCentralEntry(std::uint64_t& offset, std::uint64_t end, std::size_t index);
  bool decodeName(Entry& entry, std::string_view raw, std::string_view extra, std::size_t index);
  // Leaves the names read so far in the archive, as past namesHeldMost_.
  void stopHoldingNames();
  bool nameTooLong(std::size_t index, std::string_view name);
  bool checkLayout();
  bool readAt(std::uint64_t offset, void* buffer, std::size_t size);
  // The bytes at `offset`: a view of the source's memory, else read into
  // `buffer`; nullptr after a read error (failure() set). Valid until the
  // source is next called.
  const std::uint8_t* bytesAt(std::uint64_t offset, std::size_t size, std::uint8_t* buffer);
  bool copyStored(std::size_t index, const Sink& sink, Crc check);
  bool inflateData(std::size_t index, const Sink& sink, Crc check, const Room& room);

  bool readNameBack(std::uint64_t offset, std::size_t size, std::string& scratch) const;
  void loseName(std::size_t index) const;
  // The blocks of the archive that names were read back from, for any
  // thread (one at a time). Names asked for in the directory's order (the
  // survey, the report) cost a read per block; others (the file list's
  // order, which may be any) a read of their own bytes, which keeps no
  // block.
  class NameBlocks {
   public:
    static constexpr std::size_t kBlockBytes = 4096;
    static constexpr std::size_t kBlocks = 512;  // 2 MiB
    void clear();
    bool read(ByteSource& source, std::uint64_t offset, std::size_t size, char* out);

   private:
    struct Block {
      std::uint64_t number = UINT64_MAX;  // which block of the archive; UINT64_MAX: none
      std::size_t length = 0;
      std::unique_ptr<char[]> bytes;
    };
    std::mutex mutex_;
    std::vector<Block> blocks_;        // by block number modulo kBlocks
    std::uint64_t last_ = UINT64_MAX;  // the block the last read ended in
  };

  ByteSource* source_ = nullptr;
  LegacyNameDecoder decoder_;
  std::vector<Entry> entries_;
  TextBlocks names_;  // the bytes of the entries' names, when they are held
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
  std::uint64_t namesHeldMax_ = UINT64_MAX;
  std::uint64_t namesHeldLessPerEntry_ = 0;
  std::uint64_t namesHeldMost_ = UINT64_MAX;  // for this archive's entries
  bool namesHeld_ = true;
  // The first entry (counted from 1) whose name did not read back as it
  // was first read; 0 while none. (Set from any thread.)
  mutable std::atomic<std::uint64_t> lostName_{0};
  mutable NameBlocks nameBlocks_;
  Failure failure_ = Failure::kNone;
  std::string message_;
  std::vector<std::uint8_t> window_;  // the central directory's read window; entry input
  std::vector<std::uint8_t> output_;  // inflated output
  std::string nameScratch_;           // a stored name read again, for a local header
  std::unique_ptr<Inflater> inflater_;
};

}  // namespace quillet::zip

#endif  // QUILLET_ZIP_ZIP_READER_H
