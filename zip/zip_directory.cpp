// The bounded zip reader: opening an archive. What lives here: the
// backwards search for the end-of-central-directory record and the Zip64
// end records, the central directory read through the fixed window, entry
// names (UTF-8, Info-ZIP Unicode Path, legacy code page), and the layout
// check that gives every entry a local header of its own before the
// directory. Local headers and entry data are in zip_entry_data.cpp.
#include <algorithm>
#include <numeric>
#include <tuple>
#include <utility>

#include "crc32.h"
#include "name_hash.h"
#include "shown_text.h"
#include "utf.h"
#include "zip_format.h"
#include "zip_reader.h"

namespace quillet::zip {

using namespace format;

namespace {

// The words after a method's number for methods other writers use, so
// that a refusal says what the archive holds (7za's -mm=Deflate64 or BZip2,
// Info-ZIP's -Z bzip2, Python's lzma); none for the rest.
std::string methodName(std::uint16_t method) {
  switch (method) {
    case 1:
      return ", shrink";
    case 6:
      return ", implode";
    case 9:
      return ", Deflate64";
    case 12:
      return ", bzip2";
    case 14:
      return ", LZMA";
    case 93:
      return ", Zstandard";
    case 95:
      return ", xz";
    case 98:
      return ", PPMd";
    default:
      return "";
  }
}

}  // namespace

bool Reader::open(ByteSource& source, LegacyNameDecoder decoder) {
  source_ = &source;
  decoder_ = decoder ? std::move(decoder) : LegacyNameDecoder(cp437ToUtf8);
  entries_.clear();
  limits_.clear();
  directoryOffset_ = directorySize_ = entryCount_ = 0;
  usesZip64_ = false;
  lostName_ = 0;
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
  for (std::size_t at = tailSize - kEndSize + 1; at-- > 0;) {
    if (get32(tail + at) != kEndSignature) continue;
    const std::size_t end = at + kEndSize + get16(tail + at + 20);
    if (end < tailSize && found == tailSize) found = at;
    if (end == tailSize) {
      found = at;
      break;
    }
  }
  if (found == tailSize) {
    return fail(Failure::kNotAZip,
                "not a zip archive: no end-of-central-directory record in its last " +
                    num(tailSize) + " bytes");
  }
  const std::uint8_t* end = tail + found;
  const std::uint64_t endOffset = tailStart + found;
  std::uint64_t disk = get16(end + 4);
  std::uint64_t directoryDisk = get16(end + 6);
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
      auto take = [&agree](std::uint64_t& value, std::uint64_t mark, std::uint64_t wide) {
        if (value == mark) {
          value = wide;
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
  if (entries > entryLimit_) {
    return fail(Failure::kUnsupported, "not supported: the archive holds " + num(entries) +
                                           " entries, more than the " + num(entryLimit_) + " " +
                                           entryLimitWhy_);
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
  windowFill_ = 0;
  auto view = [&](std::uint64_t at, std::size_t size) -> const std::uint8_t* {
    const std::uint8_t* bytes = directoryBytes(at, size);
    if (bytes == nullptr) {
      fail(Failure::kCannotRead, "cannot read the central directory at offset " + num(at));
    }
    return bytes;
  };

  std::string name;  // the entry's name, decoded
  for (std::size_t index = 0; index < entryCount_; ++index) {
    const auto damaged = [this, index](const std::string& what) {
      return fail(Failure::kDamaged, "entry #" + num(index + 1) + ": " + what);
    };
    const char* const runsPast = "its central header runs past the end of the central directory";
    if (end - offset < kCentralHeaderSize) return damaged(runsPast);
    const std::uint8_t* header = view(offset, kCentralHeaderSize);
    if (header == nullptr) return false;
    if (get32(header) != kCentralHeaderSignature) {
      return damaged("no central header signature at offset " + num(offset));
    }
    const std::size_t nameSize = get16(header + 28);
    const std::size_t extraSize = get16(header + 30);
    const std::size_t commentSize = get16(header + 32);
    const std::uint64_t recordSize = kCentralHeaderSize + nameSize + extraSize + commentSize;
    if (recordSize > end - offset) return damaged(runsPast);
    header = view(offset, kCentralHeaderSize + nameSize + extraSize);
    if (header == nullptr) return false;
    const std::string_view raw(reinterpret_cast<const char*>(header + kCentralHeaderSize),
                               nameSize);
    const std::string_view extra(
        reinterpret_cast<const char*>(header + kCentralHeaderSize + nameSize), extraSize);
    if (nameSize > nameLimit_) return nameTooLong(index, raw);

    Entry entry;
    entry.flags = get16(header + 8);
    entry.method = get16(header + 10);
    entry.crc32 = get32(header + 16);
    entry.compressedSize = get32(header + 20);
    entry.size = get32(header + 24);
    std::uint32_t disk = get16(header + 34);
    entry.externalAttributes = get32(header + 38);
    entry.localHeaderOffset = get32(header + 42);
    entry.storedNameAt = offset + kCentralHeaderSize;
    entry.storedNameSize = static_cast<std::uint16_t>(nameSize);

    std::optional<std::string_view> zip64;
    if (!findExtra(extra, kZip64ExtraId, zip64)) {
      return failEntry(Failure::kDamaged, index, "its extra fields run past their end", raw);
    }
    // Only the fields that carry the mark take their values from the Zip64
    // field; a field with nothing marked changes nothing.
    const bool marked = entry.size == kMark32 || entry.compressedSize == kMark32 ||
                        entry.localHeaderOffset == kMark32 || disk == kMark16;
    if (zip64 && marked) {
      if (!applyZip64(*zip64, entry.size, entry.compressedSize, &entry.localHeaderOffset, &disk)) {
        return failEntry(Failure::kDamaged, index, "its Zip64 extra field is too short", raw);
      }
      entry.zip64 = true;
      usesZip64_ = true;
    }
    if (!decodeName(entry, index, raw, extra, name)) return false;

    if ((entry.flags & (kFlagEncrypted | kFlagStrongEncryption | kFlagMaskedDirectory)) != 0) {
      return failEntry(Failure::kUnsupported, index, "not supported: the entry is encrypted", name);
    }
    if (entry.method != kMethodStored && entry.method != kMethodDeflate) {
      return failEntry(Failure::kUnsupported, index,
                       "not supported: compression method " + num(entry.method) +
                           methodName(entry.method) + " (only stored and deflate are)",
                       name);
    }
    if (disk != 0) {
      return failEntry(Failure::kUnsupported, index,
                       "not supported: the entry starts on disk " + num(disk), name);
    }
    // A folder's data would be lost on extraction: it has none.
    if (entry.folder && entry.size != 0) {
      return failEntry(Failure::kDamaged, index,
                       "it is a folder (its name ends in \"/\"), but declares " + num(entry.size) +
                           " bytes of data",
                       name);
    }
    if (entry.method == kMethodStored && entry.compressedSize != entry.size) {
      return failEntry(Failure::kDamaged, index,
                       "it is stored, but its size " + num(entry.size) +
                           " and its compressed size " + num(entry.compressedSize) + " differ",
                       name);
    }
    entries_.push_back(entry);
    offset += recordSize;
  }
  if (offset != end) {
    return fail(Failure::kDamaged, "damaged: the central directory holds " + num(end - offset) +
                                       " bytes after its " + num(entryCount_) + " entries");
  }
  return true;
}

bool Reader::decodeName(Entry& entry, std::size_t index, std::string_view raw,
                        std::string_view extra, std::string& name) {
  if (raw.empty()) return failEntry(Failure::kDamaged, index, "its name is empty", raw);
  if (raw.find('\0') != std::string_view::npos) {
    return failEntry(Failure::kDamaged, index, "its name holds a NUL byte", raw);
  }
  entry.beyondAscii = std::any_of(raw.begin(), raw.end(),
                                  [](char c) { return static_cast<std::uint8_t>(c) >= 0x80; });
  name.assign(raw);
  if ((entry.flags & kFlagUtf8) != 0) {
    if (!isValidUtf8(raw)) {
      return failEntry(Failure::kDamaged, index, "its name is marked UTF-8 but is not", raw);
    }
  } else {
    // An Info-ZIP Unicode Path field counts only while it belongs to the
    // name as stored (the CRC-32 of the stored name); a tool that renamed
    // the entry without knowing the field leaves a stale one behind.
    std::optional<std::string_view> found;
    findExtra(extra, kUnicodePathExtraId, found);  // the block was walked before
    const std::string_view unicode = found.value_or(std::string_view());
    if (unicode.size() >= 5 && static_cast<std::uint8_t>(unicode[0]) == 1 &&
        get32(reinterpret_cast<const std::uint8_t*>(unicode.data()) + 1) ==
            crc32Add(0, raw.data(), raw.size())) {
      const std::string_view field = unicode.substr(5);
      if (field.empty() || field.find('\0') != std::string_view::npos || !isValidUtf8(field)) {
        return failEntry(Failure::kDamaged, index,
                         "its Unicode Path extra field does not hold a UTF-8 name", raw);
      }
      if (field.size() > nameLimit_) return nameTooLong(index, field);
      // (The field lies in the extra block, right after the stored name.)
      entry.unicodeNameAt = static_cast<std::uint32_t>(field.data() - raw.data());
      name.assign(field);
    } else {
      // An ASCII name reads the same in every code page: it needs no decoder.
      entry.legacyName = true;
      if (entry.beyondAscii) {
        // (Info-ZIP's zip stores a Linux name's UTF-8 so, without the flag.)
        entry.legacyUtf8 = isValidUtf8(raw);
        std::optional<std::string> decoded = decoder_(raw);
        if (!decoded) {
          return failEntry(Failure::kUnsupported, index,
                           "not supported: its name cannot be read in the legacy code page", raw);
        }
        if (decoded->empty()) {
          return failEntry(Failure::kUnsupported, index,
                           "not supported: its name reads as nothing in the legacy code page", raw);
        }
        if (decoded->size() > nameLimit_) return nameTooLong(index, *decoded);
        name = std::move(*decoded);
      }
    }
  }
  entry.nameSize = static_cast<std::uint32_t>(name.size());
  entry.nameHash = nameHash(name);
  entry.folder = name.back() == '/';
  return true;
}

bool Reader::nameTooLong(std::size_t index, std::string_view name) {
  // The beginning of the name is enough to find the entry by.
  return failEntry(Failure::kUnsupported, index,
                   "not supported: its name takes " + num(name.size()) + " bytes, more than the " +
                       num(nameLimit_) + " " + nameLimitWhy_,
                   std::string(beginningOf(name, 40)) + "...");
}

// Local headers must lie before the central directory, one per entry.
bool Reader::checkLayout() {
  // Writers put the local headers in the directory's order, so the offsets
  // most often rise from entry to entry: each entry's space then ends at the
  // next one's header, and no two can share one. Otherwise the entries are
  // sorted by offset.
  bool rising = true;
  for (std::size_t index = 0; index < entries_.size(); ++index) {
    const std::uint64_t offset = entries_[index].localHeaderOffset;
    if (!fits(offset, kLocalHeaderSize, directoryOffset_)) {
      return failEntry(Failure::kDamaged, index,
                       "its local header offset " + num(offset) +
                           " does not lie before the central directory at " +
                           num(directoryOffset_));
    }
    if (index > 0 && offset <= entries_[index - 1].localHeaderOffset) rising = false;
  }
  std::vector<std::size_t> order;  // entry indices by offset, when they do not rise
  if (!rising) {
    order.resize(entries_.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) {
      return std::tie(entries_[a].localHeaderOffset, a) <
             std::tie(entries_[b].localHeaderOffset, b);
    });
  }
  limits_.assign(entries_.size(), directoryOffset_);
  for (std::size_t at = 1; at < entries_.size(); ++at) {
    const std::size_t before = rising ? at - 1 : order[at - 1];
    const std::size_t index = rising ? at : order[at];
    const std::uint64_t offset = entries_[index].localHeaderOffset;
    if (offset == entries_[before].localHeaderOffset) {
      return failEntry(Failure::kDamaged, index,
                       "it shares its local header at offset " + num(offset) + " with entry #" +
                           num(before + 1));
    }
    limits_[before] = offset;
  }
  return true;
}

}  // namespace quillet::zip
