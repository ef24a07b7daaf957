// The bounded zip reader. Divisions of this file:
//   1. Little-endian fields, messages
//   2. Sources, entries, failures
//   3. Opening: the end records, the central directory, the layout
//   4. Local headers
//   5. Entry data: stored and deflate
//
// Every offset and size read from the archive is checked against the file
// and the other structures before use; sums are compared by subtraction so
// that no hostile value can wrap around.
#include "zip_reader.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <type_traits>
#include <utility>

namespace quillet::zip {

// ---------------------------------------------------------------------------
// 1. Little-endian fields, messages
// ---------------------------------------------------------------------------
namespace {

constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kDescriptorSignature = 0x08074b50;

constexpr std::size_t kLocalHeaderSize = 30;
constexpr std::size_t kCentralHeaderSize = 46;
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kZip64EndSize = 56;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::size_t kMaxComment = 0xFFFF;
constexpr std::size_t kMinDescriptorSize = 12;  // CRC-32 and two 32-bit sizes, no signature

constexpr std::uint16_t kZip64ExtraId = 0x0001;
constexpr std::uint16_t kUnicodePathExtraId = 0x7075;

constexpr std::uint16_t kFlagEncrypted = 1u << 0;
constexpr std::uint16_t kFlagDescriptor = 1u << 3;
constexpr std::uint16_t kFlagStrongEncryption = 1u << 6;
constexpr std::uint16_t kFlagUtf8 = 1u << 11;
constexpr std::uint16_t kFlagMaskedDirectory = 1u << 13;

constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflate = 8;

constexpr std::uint16_t kMark16 = 0xFFFF;
constexpr std::uint32_t kMark32 = 0xFFFFFFFF;

// The central directory's window holds any one central header with its name
// and extra field (46 + 2 * 65535 bytes); entry data uses its first chunk.
constexpr std::size_t kWindowSize = 3 * Reader::kChunkSize;
static_assert(kWindowSize >= kCentralHeaderSize + 2 * 0xFFFF, "a central header must fit");
static_assert(kWindowSize >= kEndSize + kMaxComment, "the end record's search must fit");

std::uint16_t get16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint64_t get64(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(get32(p)) | (static_cast<std::uint64_t>(get32(p + 4)) << 32);
}

// True when [offset, offset + size) lies within [0, limit).
bool fits(std::uint64_t offset, std::uint64_t size, std::uint64_t limit) {
  return offset <= limit && size <= limit - offset;
}

std::string num(std::uint64_t value) { return std::to_string(value); }

std::string hex32(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(value));
  return text;
}

// A name as it may be shown: control bytes and DEL as \xNN, so that a
// hostile name cannot drive the terminal that shows the message.
std::string printable(std::string_view name) {
  std::string out;
  for (const char c : name) {
    const auto byte = static_cast<std::uint8_t>(c);
    if (byte < 0x20 || byte == 0x7F || c == '"' || c == '\\') {
      char text[8];
      std::snprintf(text, sizeof text, "\\x%02x", static_cast<unsigned>(byte));
      out += text;
    } else {
      out += c;
    }
  }
  return out;
}

// The extra fields of a header, one (id, data) at a time. False when a
// field's length runs past the end of the block; fewer than four bytes left
// over (padding some writers add) end the walk.
bool findExtra(std::string_view extra, std::uint16_t id, std::string_view& field, bool& found) {
  found = false;
  std::size_t at = 0;
  while (extra.size() - at >= 4) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(extra.data() + at);
    const std::uint16_t fieldId = get16(p);
    const std::uint16_t length = get16(p + 2);
    if (length > extra.size() - at - 4) return false;
    if (fieldId == id && !found) {
      field = extra.substr(at + 4, length);
      found = true;
    }
    at += 4 + length;
  }
  return true;
}

// Takes the Zip64 values for the fields that carry the 32-bit (or 16-bit)
// mark, in the order the format fixes. False when the field is too short.
bool applyZip64(std::string_view field, std::uint64_t& size, std::uint64_t& compressed,
                std::uint64_t* offset, std::uint32_t* disk) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(field.data());
  std::size_t at = 0;
  auto take64 = [&](std::uint64_t& value) {
    if (field.size() - at < 8) return false;
    value = get64(p + at);
    at += 8;
    return true;
  };
  if (size == kMark32 && !take64(size)) return false;
  if (compressed == kMark32 && !take64(compressed)) return false;
  if (offset != nullptr && *offset == kMark32 && !take64(*offset)) return false;
  if (disk != nullptr && *disk == kMark16) {
    if (field.size() - at < 4) return false;
    *disk = get32(p + at);
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// 2. Sources, entries, failures
// ---------------------------------------------------------------------------
MemorySource::MemorySource(std::string bytes) : bytes_(std::move(bytes)) {}

std::uint64_t MemorySource::size() const { return bytes_.size(); }

bool MemorySource::readAt(std::uint64_t offset, void* buffer, std::size_t size) {
  if (!fits(offset, size, bytes_.size())) return false;
  if (size != 0) std::memcpy(buffer, bytes_.data() + offset, size);
  return true;
}

bool Entry::isFolder() const { return !name.empty() && name.back() == '/'; }

const char* failureName(Failure failure) {
  switch (failure) {
    case Failure::kNone:
      return "no failure";
    case Failure::kCannotRead:
      return "cannot read";
    case Failure::kNotAZip:
      return "not a zip archive";
    case Failure::kDamaged:
      return "damaged";
    case Failure::kUnsupported:
      return "not supported";
    case Failure::kCrcMismatch:
      return "CRC mismatch";
    case Failure::kSizeMismatch:
      return "size mismatch";
    case Failure::kStopped:
      return "stopped";
  }
  return "unknown failure";
}

// zlib's inflate state, kept from entry to entry (reset, not rebuilt).
struct Reader::Inflater {
  z_stream stream{};
  bool ready = false;
  ~Inflater() {
    if (ready) inflateEnd(&stream);
  }
};

Reader::Reader() : inflater_(std::make_unique<Inflater>()) {}
Reader::~Reader() = default;

bool Reader::fail(Failure failure, std::string message) {
  failure_ = failure;
  message_ = std::move(message);
  return false;
}

bool Reader::failEntry(Failure failure, std::size_t index, const std::string& what) {
  std::string who = "entry #" + num(index + 1);
  if (index < entries_.size()) {
    const Entry& entry = entries_[index];
    who += " \"" + printable(entry.name.empty() ? entry.rawName : entry.name) + "\"";
  }
  return fail(failure, who + ": " + what);
}

bool Reader::readAt(std::uint64_t offset, void* buffer, std::size_t size) {
  if (source_->readAt(offset, buffer, size)) return true;
  return fail(Failure::kCannotRead,
              "cannot read " + num(size) + " bytes at offset " + num(offset) + " of the archive");
}

// ---------------------------------------------------------------------------
// 3. Opening: the end records, the central directory, the layout
// ---------------------------------------------------------------------------
bool Reader::open(ByteSource& source, LegacyNameDecoder decoder) {
  source_ = &source;
  decoder_ = decoder ? std::move(decoder) : LegacyNameDecoder(cp437ToUtf8);
  entries_.clear();
  headerOffsets_.clear();
  directoryOffset_ = directorySize_ = entryCount_ = 0;
  usesZip64_ = false;
  failure_ = Failure::kNone;
  message_.clear();
  window_.resize(kWindowSize);
  output_.resize(kChunkSize);
  return findEndRecord() && readCentralDirectory() && checkLayout();
}

bool Reader::findEndRecord() {
  const std::uint64_t fileSize = source_->size();
  if (fileSize < kEndSize) {
    return fail(Failure::kNotAZip, "not a zip archive: " + num(fileSize) +
                                       " bytes are too few for an end-of-central-directory record");
  }
  // The record is the last thing in the file but for its comment (at most
  // 65535 bytes), so the search covers the last 22 + 65535 bytes only.
  const std::size_t tailSize =
      static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, kEndSize + kMaxComment));
  const std::uint64_t tailStart = fileSize - tailSize;
  if (!readAt(tailStart, window_.data(), tailSize)) return false;
  const std::uint8_t* tail = window_.data();

  // The record whose comment ends the file is preferred; failing that, the
  // last one whose comment lies within the file.
  std::size_t found = tailSize;
  for (int pass = 0; pass < 2 && found == tailSize; ++pass) {
    for (std::size_t at = tailSize - kEndSize + 1; at-- > 0;) {
      if (get32(tail + at) != kEndSignature) continue;
      const std::size_t end = at + kEndSize + get16(tail + at + 20);
      if (pass == 0 ? end == tailSize : end <= tailSize) {
        found = at;
        break;
      }
    }
  }
  if (found == tailSize) {
    return fail(Failure::kNotAZip,
                "not a zip archive: no end-of-central-directory record in its last " +
                    num(tailSize) + " bytes");
  }
  const std::uint8_t* end = tail + found;
  const std::uint64_t endOffset = tailStart + found;
  std::uint32_t disk = get16(end + 4);
  std::uint32_t directoryDisk = get16(end + 6);
  std::uint64_t diskEntries = get16(end + 8);
  std::uint64_t entries = get16(end + 10);
  std::uint64_t directorySize = get32(end + 12);
  std::uint64_t directoryOffset = get32(end + 16);
  std::uint64_t recordsStart = endOffset;  // where the directory must end at the latest

  // A Zip64 locator right before the record points to the Zip64 end record.
  std::uint8_t locator[kZip64LocatorSize];
  if (endOffset >= kZip64LocatorSize) {
    const std::uint64_t locatorOffset = endOffset - kZip64LocatorSize;
    if (!readAt(locatorOffset, locator, sizeof locator)) return false;
    if (get32(locator) == kZip64LocatorSignature) {
      usesZip64_ = true;
      const std::uint32_t recordDisk = get32(locator + 4);
      const std::uint64_t recordOffset = get64(locator + 8);
      const std::uint32_t totalDisks = get32(locator + 16);
      if (recordDisk != 0 || totalDisks > 1) {
        return fail(Failure::kUnsupported,
                    "not supported: the archive is split over " +
                        (totalDisks > 1 ? num(totalDisks) : std::string("several")) + " disks");
      }
      if (!fits(recordOffset, kZip64EndSize, locatorOffset)) {
        return fail(Failure::kDamaged, "damaged: the Zip64 end record's offset " +
                                           num(recordOffset) + " lies outside the archive");
      }
      std::uint8_t record[kZip64EndSize];
      if (!readAt(recordOffset, record, sizeof record)) return false;
      if (get32(record) != kZip64EndSignature) {
        return fail(Failure::kDamaged,
                    "damaged: no Zip64 end record at offset " + num(recordOffset));
      }
      // Each field of the classic record either carries the mark (the
      // value is in the Zip64 record) or agrees with the Zip64 record.
      bool agree = true;
      auto take = [&agree](auto& value, std::uint64_t mark, std::uint64_t wide) {
        if (value == mark) {
          value = static_cast<std::remove_reference_t<decltype(value)>>(wide);
          if (value != wide) agree = false;  // a disk number beyond 32 bits
        } else if (value != wide) {
          agree = false;
        }
      };
      take(disk, kMark16, get32(record + 16));
      take(directoryDisk, kMark16, get32(record + 20));
      take(diskEntries, kMark16, get64(record + 24));
      take(entries, kMark16, get64(record + 32));
      take(directorySize, kMark32, get64(record + 40));
      take(directoryOffset, kMark32, get64(record + 48));
      if (!agree) {
        return fail(
            Failure::kDamaged,
            "damaged: the end-of-central-directory record and the Zip64 end record disagree");
      }
      recordsStart = recordOffset;
    }
  }

  if (disk != 0 || directoryDisk != 0 || diskEntries != entries) {
    return fail(Failure::kUnsupported, "not supported: the archive is split over several disks");
  }
  if (!fits(directoryOffset, directorySize, recordsStart)) {
    return fail(Failure::kDamaged, "damaged: the central directory (" + num(directorySize) +
                                       " bytes at offset " + num(directoryOffset) +
                                       ") does not lie before the end record at " +
                                       num(recordsStart));
  }
  // Every central entry takes at least 46 bytes: a count that cannot fit is
  // refused before anything is allocated for it.
  if (entries > directorySize / kCentralHeaderSize) {
    return fail(Failure::kDamaged, "damaged: the end record declares " + num(entries) +
                                       " entries, but a central directory of " +
                                       num(directorySize) + " bytes has room for at most " +
                                       num(directorySize / kCentralHeaderSize));
  }
  directoryOffset_ = directoryOffset;
  directorySize_ = directorySize;
  entryCount_ = entries;
  return true;
}

bool Reader::readCentralDirectory() {
  // Room for the declared count, up to what a release holds: beyond that the
  // vector grows with the entries actually read, so a count that a large
  // file could hold but does not cannot claim memory up front.
  entries_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(entryCount_, 1u << 17)));
  const std::uint64_t end = directoryOffset_ + directorySize_;
  std::uint64_t offset = directoryOffset_;
  // The window: bytes [windowStart, windowStart + windowFill) of the archive.
  std::uint64_t windowStart = 0;
  std::size_t windowFill = 0;
  auto view = [&](std::uint64_t at, std::size_t size) -> const std::uint8_t* {
    if (at < windowStart || at - windowStart > windowFill ||
        size > windowFill - (at - windowStart)) {
      windowStart = at;
      windowFill = static_cast<std::size_t>(std::min<std::uint64_t>(kWindowSize, end - at));
      if (!readAt(at, window_.data(), windowFill)) return nullptr;
    }
    return window_.data() + (at - windowStart);
  };

  for (std::size_t index = 0; index < entryCount_; ++index) {
    if (end - offset < kCentralHeaderSize) {
      return failEntry(Failure::kDamaged, index,
                       "its central header runs past the end of the central directory");
    }
    const std::uint8_t* header = view(offset, kCentralHeaderSize);
    if (header == nullptr) return false;
    if (get32(header) != kCentralHeaderSignature) {
      return failEntry(Failure::kDamaged, index,
                       "no central header signature at offset " + num(offset));
    }
    const std::size_t nameSize = get16(header + 28);
    const std::size_t extraSize = get16(header + 30);
    const std::size_t commentSize = get16(header + 32);
    const std::uint64_t recordSize = kCentralHeaderSize + nameSize + extraSize + commentSize;
    if (recordSize > end - offset) {
      return failEntry(Failure::kDamaged, index,
                       "its central header runs past the end of the central directory");
    }
    header = view(offset, kCentralHeaderSize + nameSize + extraSize);
    if (header == nullptr) return false;

    Entry& entry = entries_.emplace_back();
    entry.flags = get16(header + 8);
    entry.method = get16(header + 10);
    entry.crc32 = get32(header + 16);
    entry.compressedSize = get32(header + 20);
    entry.size = get32(header + 24);
    std::uint32_t disk = get16(header + 34);
    entry.localHeaderOffset = get32(header + 42);
    entry.rawName.assign(reinterpret_cast<const char*>(header + kCentralHeaderSize), nameSize);
    const std::string_view extra(
        reinterpret_cast<const char*>(header + kCentralHeaderSize + nameSize), extraSize);

    std::string_view zip64;
    bool hasZip64 = false;
    if (!findExtra(extra, kZip64ExtraId, zip64, hasZip64)) {
      return failEntry(Failure::kDamaged, index, "its extra fields run past their end");
    }
    // Only the fields that carry the mark take their values from the Zip64
    // field; a field with nothing marked changes nothing.
    const bool marked = entry.size == kMark32 || entry.compressedSize == kMark32 ||
                        entry.localHeaderOffset == kMark32 || disk == kMark16;
    if (hasZip64 && marked) {
      if (!applyZip64(zip64, entry.size, entry.compressedSize, &entry.localHeaderOffset, &disk)) {
        return failEntry(Failure::kDamaged, index, "its Zip64 extra field is too short");
      }
      entry.zip64 = true;
      usesZip64_ = true;
    }
    if (!decodeName(entry, extra, index)) return false;

    if ((entry.flags & (kFlagEncrypted | kFlagStrongEncryption | kFlagMaskedDirectory)) != 0) {
      return failEntry(Failure::kUnsupported, index, "not supported: the entry is encrypted");
    }
    if (entry.method != kMethodStored && entry.method != kMethodDeflate) {
      return failEntry(Failure::kUnsupported, index,
                       "not supported: compression method " + num(entry.method) +
                           " (only stored and deflate are)");
    }
    if (disk != 0) {
      return failEntry(Failure::kUnsupported, index,
                       "not supported: the entry starts on disk " + num(disk));
    }
    if (entry.method == kMethodStored && entry.compressedSize != entry.size) {
      return failEntry(Failure::kDamaged, index,
                       "it is stored, but its size " + num(entry.size) +
                           " and its compressed size " + num(entry.compressedSize) + " differ");
    }
    offset += recordSize;
  }
  if (offset != end) {
    return fail(Failure::kDamaged, "damaged: the central directory holds " + num(end - offset) +
                                       " bytes after its " + num(entryCount_) + " entries");
  }
  return true;
}

bool Reader::decodeName(Entry& entry, std::string_view extra, std::size_t index) {
  if (entry.rawName.empty()) return failEntry(Failure::kDamaged, index, "its name is empty");
  if (entry.rawName.find('\0') != std::string::npos) {
    return failEntry(Failure::kDamaged, index, "its name holds a NUL byte");
  }
  if ((entry.flags & kFlagUtf8) != 0) {
    if (!isValidUtf8(entry.rawName)) {
      return failEntry(Failure::kDamaged, index, "its name is marked UTF-8 but is not");
    }
    entry.name = entry.rawName;
    return true;
  }
  // An Info-ZIP Unicode Path field counts only while it belongs to the name
  // as stored (the CRC-32 of the stored name); a tool that renamed the entry
  // without knowing the field leaves a stale one behind.
  std::string_view unicode;
  bool hasUnicode = false;
  findExtra(extra, kUnicodePathExtraId, unicode, hasUnicode);  // the block was walked before
  if (hasUnicode && unicode.size() >= 5 && static_cast<std::uint8_t>(unicode[0]) == 1) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(unicode.data());
    const auto nameCrc =
        static_cast<std::uint32_t>(::crc32(0, reinterpret_cast<const Bytef*>(entry.rawName.data()),
                                           static_cast<uInt>(entry.rawName.size())));
    if (get32(p + 1) == nameCrc) {
      const std::string_view name = unicode.substr(5);
      if (name.empty() || name.find('\0') != std::string_view::npos || !isValidUtf8(name)) {
        return failEntry(Failure::kDamaged, index,
                         "its Unicode Path extra field does not hold a UTF-8 name");
      }
      entry.name = std::string(name);
      return true;
    }
  }
  std::optional<std::string> decoded = decoder_(entry.rawName);
  if (!decoded) {
    return failEntry(Failure::kUnsupported, index,
                     "not supported: its name cannot be read in the legacy code page");
  }
  entry.name = std::move(*decoded);
  entry.legacyName = true;
  return true;
}

// Local headers must lie before the central directory, one per entry.
bool Reader::checkLayout() {
  std::vector<std::pair<std::uint64_t, std::size_t>> order;
  order.reserve(entries_.size());
  for (std::size_t index = 0; index < entries_.size(); ++index) {
    const std::uint64_t offset = entries_[index].localHeaderOffset;
    if (!fits(offset, kLocalHeaderSize, directoryOffset_)) {
      return failEntry(Failure::kDamaged, index,
                       "its local header offset " + num(offset) +
                           " does not lie before the central directory at " +
                           num(directoryOffset_));
    }
    order.emplace_back(offset, index);
  }
  std::sort(order.begin(), order.end());
  headerOffsets_.reserve(order.size());
  for (std::size_t at = 0; at < order.size(); ++at) {
    if (at > 0 && order[at].first == order[at - 1].first) {
      const std::size_t first = std::min(order[at].second, order[at - 1].second);
      const std::size_t second = std::max(order[at].second, order[at - 1].second);
      return failEntry(Failure::kDamaged, second,
                       "it shares its local header at offset " + num(order[at].first) +
                           " with entry #" + num(first + 1));
    }
    headerOffsets_.push_back(order[at].first);
  }
  return true;
}

// ---------------------------------------------------------------------------
// 4. Local headers
// ---------------------------------------------------------------------------
bool Reader::checkLocalHeader(std::size_t index) {
  if (index >= entries_.size()) {
    return fail(Failure::kDamaged, "there is no entry #" + num(index + 1) + " (the archive has " +
                                       num(entries_.size()) + ")");
  }
  Entry& entry = entries_[index];
  const std::uint64_t offset = entry.localHeaderOffset;
  std::uint8_t header[kLocalHeaderSize];
  if (!readAt(offset, header, sizeof header)) return false;
  if (get32(header) != kLocalHeaderSignature) {
    return failEntry(Failure::kDamaged, index,
                     "no local header signature at offset " + num(offset));
  }
  const std::uint16_t flags = get16(header + 6);
  const std::uint16_t method = get16(header + 8);
  const std::uint32_t crc = get32(header + 14);
  std::uint64_t compressedSize = get32(header + 18);
  std::uint64_t size = get32(header + 22);
  const std::size_t nameSize = get16(header + 26);
  const std::size_t extraSize = get16(header + 28);

  // Where this entry's space ends: the next local header, or the directory.
  const auto next = std::upper_bound(headerOffsets_.begin(), headerOffsets_.end(), offset);
  const bool beforeDirectory = next == headerOffsets_.end();
  const std::uint64_t limit = beforeDirectory ? directoryOffset_ : *next;
  const std::string limitText = beforeDirectory ? "the central directory at " + num(limit)
                                                : "the next local header at " + num(limit);
  const std::uint64_t nameOffset = offset + kLocalHeaderSize;
  if (!fits(nameOffset, nameSize + extraSize, limit)) {
    return failEntry(Failure::kDamaged, index, "its local header runs into " + limitText);
  }
  if (!readAt(nameOffset, window_.data(), nameSize + extraSize)) return false;
  const std::string_view name(reinterpret_cast<const char*>(window_.data()), nameSize);
  const std::string_view extra(reinterpret_cast<const char*>(window_.data()) + nameSize, extraSize);
  if (name != entry.rawName) {
    return failEntry(Failure::kDamaged, index,
                     "its local header names it \"" + printable(name) + "\"");
  }
  if (method != entry.method) {
    return failEntry(
        Failure::kDamaged, index,
        "its local header gives method " + num(method) + ", the directory " + num(entry.method));
  }
  if (flags != entry.flags) {
    return failEntry(Failure::kDamaged, index,
                     "its local header gives flags 0x" + hex32(flags).substr(4) +
                         ", the directory 0x" + hex32(entry.flags).substr(4));
  }
  std::string_view zip64;
  bool hasZip64 = false;
  if (!findExtra(extra, kZip64ExtraId, zip64, hasZip64)) {
    return failEntry(Failure::kDamaged, index, "its local extra fields run past their end");
  }
  if (hasZip64 && !applyZip64(zip64, size, compressedSize, nullptr, nullptr)) {
    return failEntry(Failure::kDamaged, index, "its local Zip64 extra field is too short");
  }
  // With a data descriptor the local header may leave CRC and sizes as 0.
  const bool descriptor = (flags & kFlagDescriptor) != 0;
  if (!(descriptor && crc == 0) && crc != entry.crc32) {
    return failEntry(
        Failure::kDamaged, index,
        "its local header gives CRC-32 " + hex32(crc) + ", the directory " + hex32(entry.crc32));
  }
  if (!(descriptor && compressedSize == 0 && size == 0) &&
      (compressedSize != entry.compressedSize || size != entry.size)) {
    return failEntry(Failure::kDamaged, index,
                     "its local header gives sizes " + num(compressedSize) + "/" + num(size) +
                         ", the directory " + num(entry.compressedSize) + "/" + num(entry.size));
  }

  const std::uint64_t dataOffset = nameOffset + nameSize + extraSize;
  const std::uint64_t trailer = descriptor ? kMinDescriptorSize : 0;
  if (entry.compressedSize > limit - dataOffset ||
      trailer > limit - dataOffset - entry.compressedSize) {
    return failEntry(Failure::kDamaged, index,
                     "its data (" + num(entry.compressedSize) + " bytes at offset " +
                         num(dataOffset) + (descriptor ? ", and its data descriptor" : "") +
                         ") runs into " + limitText);
  }
  if (descriptor) {
    // The descriptor: an optional signature, then the CRC-32 (the sizes that
    // follow are 32 or 64 bits wide; the directory's are the ones used).
    const std::uint64_t at = dataOffset + entry.compressedSize;
    std::uint8_t bytes[8];
    const std::size_t have = static_cast<std::size_t>(std::min<std::uint64_t>(8, limit - at));
    if (!readAt(at, bytes, have)) return false;
    const bool plain = get32(bytes) == entry.crc32;
    const bool signed_ =
        get32(bytes) == kDescriptorSignature && have >= 8 && get32(bytes + 4) == entry.crc32;
    if (!plain && !signed_) {
      return failEntry(
          Failure::kDamaged, index,
          "its data descriptor does not give the directory's CRC-32 " + hex32(entry.crc32));
    }
  }
  entry.dataOffset = dataOffset;
  return true;
}

// ---------------------------------------------------------------------------
// 5. Entry data: stored and deflate
// ---------------------------------------------------------------------------
bool Reader::readEntry(std::size_t index, const Sink& sink) {
  if (!checkLocalHeader(index)) return false;
  return entries_[index].method == kMethodStored ? copyStored(index, sink)
                                                 : inflateData(index, sink);
}

bool Reader::copyStored(std::size_t index, const Sink& sink) {
  const Entry& entry = entries_[index];
  uLong crc = ::crc32(0, Z_NULL, 0);
  std::uint64_t offset = entry.dataOffset;
  std::uint64_t remaining = entry.compressedSize;
  while (remaining > 0) {
    const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, remaining));
    if (!source_->readAt(offset, window_.data(), chunk)) {
      return failEntry(Failure::kCannotRead, index,
                       "cannot read its data at offset " + num(offset));
    }
    crc = ::crc32(crc, window_.data(), static_cast<uInt>(chunk));
    if (!sink(window_.data(), chunk)) return failEntry(Failure::kStopped, index, "reading stopped");
    offset += chunk;
    remaining -= chunk;
  }
  if (crc != entry.crc32) {
    return failEntry(Failure::kCrcMismatch, index,
                     "its data has CRC-32 " + hex32(static_cast<std::uint32_t>(crc)) +
                         ", the directory says " + hex32(entry.crc32));
  }
  return true;
}

bool Reader::inflateData(std::size_t index, const Sink& sink) {
  const Entry& entry = entries_[index];
  z_stream& stream = inflater_->stream;
  if (!inflater_->ready) {
    stream = z_stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
      return failEntry(Failure::kCannotRead, index, "zlib could not start inflating");
    }
    inflater_->ready = true;
  } else if (inflateReset(&stream) != Z_OK) {
    return failEntry(Failure::kCannotRead, index, "zlib could not start inflating");
  }
  stream.avail_in = 0;

  uLong crc = ::crc32(0, Z_NULL, 0);
  std::uint64_t offset = entry.dataOffset;
  std::uint64_t remaining = entry.compressedSize;  // compressed bytes not yet read
  std::uint64_t produced = 0;
  for (;;) {
    if (stream.avail_in == 0 && remaining > 0) {
      const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, remaining));
      if (!source_->readAt(offset, window_.data(), chunk)) {
        return failEntry(Failure::kCannotRead, index,
                         "cannot read its data at offset " + num(offset));
      }
      stream.next_in = window_.data();
      stream.avail_in = static_cast<uInt>(chunk);
      offset += chunk;
      remaining -= chunk;
    }
    stream.next_out = output_.data();
    stream.avail_out = static_cast<uInt>(kChunkSize);
    const int status = inflate(&stream, Z_NO_FLUSH);
    const std::size_t got = kChunkSize - stream.avail_out;
    if (status == Z_DATA_ERROR || status == Z_NEED_DICT || status == Z_MEM_ERROR ||
        status == Z_STREAM_ERROR) {
      return failEntry(Failure::kDamaged, index,
                       std::string("its deflate data is invalid (") +
                           (stream.msg != nullptr ? stream.msg : "zlib error") + ")");
    }
    if (got > entry.size - produced) {
      return failEntry(
          Failure::kSizeMismatch, index,
          "it inflates to more than its declared size of " + num(entry.size) + " bytes");
    }
    if (got > 0) {
      crc = ::crc32(crc, output_.data(), static_cast<uInt>(got));
      produced += got;
      if (!sink(output_.data(), got)) return failEntry(Failure::kStopped, index, "reading stopped");
    }
    if (status == Z_STREAM_END) break;
    if (status == Z_BUF_ERROR || (got == 0 && stream.avail_in == 0 && remaining == 0)) {
      return failEntry(Failure::kSizeMismatch, index,
                       "its deflate data ends before the stream does (compressed size " +
                           num(entry.compressedSize) + " bytes)");
    }
  }
  const std::uint64_t unused = stream.avail_in + remaining;
  if (unused != 0) {
    return failEntry(Failure::kSizeMismatch, index,
                     "its deflate stream ends " + num(unused) +
                         " bytes before its declared compressed size of " +
                         num(entry.compressedSize));
  }
  if (produced != entry.size) {
    return failEntry(
        Failure::kSizeMismatch, index,
        "it inflates to " + num(produced) + " bytes, the directory declares " + num(entry.size));
  }
  if (crc != entry.crc32) {
    return failEntry(Failure::kCrcMismatch, index,
                     "its data has CRC-32 " + hex32(static_cast<std::uint32_t>(crc)) +
                         ", the directory says " + hex32(entry.crc32));
  }
  return true;
}

}  // namespace quillet::zip
