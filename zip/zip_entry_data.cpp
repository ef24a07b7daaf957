// The bounded zip reader: one entry at a time. What lives here: zlib's
// inflate state, the local header checked against the central directory
// (name, method, flags, sizes, CRC-32, the data descriptor, the room up to
// the next header), and the entry's data streamed through fixed buffers,
// stored or inflated, its size and CRC-32 checked at its end. Opening the
// archive is in zip_directory.cpp.
#include <zlib.h>

#include <algorithm>
#include <memory>

#include "zip_format.h"
#include "zip_reader.h"

namespace quillet::zip {

using namespace format;

// ---------------------------------------------------------------------------
// 1. Inflate state
// ---------------------------------------------------------------------------
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

// ---------------------------------------------------------------------------
// 2. Local headers
// ---------------------------------------------------------------------------
bool Reader::checkLocalHeader(std::size_t index) {
  if (index >= entries_.size()) {
    return fail(Failure::kDamaged, "there is no entry #" + num(index + 1) + " (the archive has " +
                                       num(entries_.size()) + ")");
  }
  Entry& entry = entries_[index];
  // The name as the directory stores it: held, or read again here (a copy,
  // through the source's own reading, which may cache the directory).
  std::string_view stored = entry.rawName();
  if (!namesHeld_) {
    nameScratch_.resize(entry.storedNameSize);
    if (!readAt(entry.storedNameAt, nameScratch_.data(), nameScratch_.size())) return false;
    stored = nameScratch_;
  }
  const std::uint64_t offset = entry.localHeaderOffset;
  std::uint8_t headerBytes[kLocalHeaderSize];
  const std::uint8_t* header = bytesAt(offset, kLocalHeaderSize, headerBytes);
  if (header == nullptr) return false;
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

  // Where this entry's space ends: the next local header, or the directory
  // (every local header lies before it).
  const std::uint64_t limit = limits_[index];
  const auto limitText = [this, limit] {
    return (limit == directoryOffset_ ? "the central directory at " : "the next local header at ") +
           num(limit);
  };
  const std::uint64_t nameOffset = offset + kLocalHeaderSize;
  if (!fits(nameOffset, nameSize + extraSize, limit)) {
    return failEntry(Failure::kDamaged, index, "its local header runs into " + limitText());
  }
  // (The header's fields are taken: the view of it may end here.)
  const std::uint8_t* nameBytes = bytesAt(nameOffset, nameSize + extraSize, window_.data());
  if (nameBytes == nullptr) return false;
  const std::string_view name(reinterpret_cast<const char*>(nameBytes), nameSize);
  const std::string_view extra(reinterpret_cast<const char*>(nameBytes) + nameSize, extraSize);
  if (name != stored) {
    // (A local name may take 65,535 bytes: the message says its beginning.)
    std::size_t shown = std::min<std::size_t>(kShownNameBytesMax, name.size());
    while (shown > 0 && shown < name.size() &&
           (static_cast<std::uint8_t>(name[shown]) & 0xC0) == 0x80) {
      --shown;
    }
    return failEntry(Failure::kDamaged, index,
                     "its local header names it \"" + printable(name.substr(0, shown)) +
                         (shown < name.size() ? "...\"" : "\""));
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
                         ") runs into " + limitText());
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
  entry.dataStart = static_cast<std::uint32_t>(dataOffset - entry.localHeaderOffset);
  return true;
}

void Reader::prefetch(std::size_t index, bool recordFetched) {
  if (index >= entries_.size()) return;
  const Entry& entry = entries_[index];
  if (!recordFetched) {
    __builtin_prefetch(&entry);
    __builtin_prefetch(reinterpret_cast<const char*>(&entry + 1) - 1);
    __builtin_prefetch(&limits_[index]);
    return;
  }
  if (namesHeld_) __builtin_prefetch(entry.rawName().data());
  source_->prefetch(entry.localHeaderOffset, kLocalHeaderSize + entry.storedNameSize);
}

// ---------------------------------------------------------------------------
// 3. Entry data: stored and deflate
// ---------------------------------------------------------------------------
bool Reader::readEntry(std::size_t index, const Sink& sink, Crc crc, const Room& room) {
  if (!checkLocalHeader(index)) return false;
  return entries_[index].method == kMethodStored ? copyStored(index, sink, crc)
                                                 : inflateData(index, sink, crc, room);
}

bool Reader::copyStored(std::size_t index, const Sink& sink, Crc check) {
  const Entry& entry = entries_[index];
  uLong crc = ::crc32(0, Z_NULL, 0);
  std::uint64_t offset = entry.dataOffset();
  std::uint64_t remaining = entry.compressedSize;
  while (remaining > 0) {
    const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, remaining));
    const std::uint8_t* data = source_->view(offset, chunk);
    if (data == nullptr) {
      if (!source_->readAt(offset, window_.data(), chunk)) {
        return failEntry(Failure::kCannotRead, index,
                         "cannot read its data at offset " + num(offset));
      }
      data = window_.data();
    }
    if (check == Crc::kChecked) crc = ::crc32(crc, data, static_cast<uInt>(chunk));
    if (!sink(data, chunk)) return failEntry(Failure::kStopped, index, "reading stopped");
    offset += chunk;
    remaining -= chunk;
  }
  if (check == Crc::kChecked && crc != entry.crc32) {
    return fail(Failure::kCrcMismatch, crcMismatch(index, static_cast<std::uint32_t>(crc)));
  }
  return true;
}

bool Reader::inflateData(std::size_t index, const Sink& sink, Crc check, const Room& room) {
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
  std::uint64_t offset = entry.dataOffset();
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
    std::uint8_t* out = room ? room(kChunkSize) : nullptr;
    if (out == nullptr) out = output_.data();
    stream.next_out = out;
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
      if (check == Crc::kChecked) crc = ::crc32(crc, out, static_cast<uInt>(got));
      produced += got;
      if (!sink(out, got)) return failEntry(Failure::kStopped, index, "reading stopped");
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
  if (check == Crc::kChecked && crc != entry.crc32) {
    return fail(Failure::kCrcMismatch, crcMismatch(index, static_cast<std::uint32_t>(crc)));
  }
  return true;
}

}  // namespace quillet::zip
