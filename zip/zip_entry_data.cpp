// The bounded zip reader: one entry at a time. What lives here: zlib's
// inflate state, the local header checked against the central directory
// (name, method, flags, sizes, CRC-32, the data descriptor, the room up to
// the next header), and the entry's data streamed through fixed buffers,
// stored or inflated, its size and CRC-32 checked at its end. Opening the
// archive is in zip_directory.cpp.
#include <zlib.h>

#include <algorithm>
#include <memory>

#include "crc32.h"
#include "name_hash.h"
#include "shown_text.h"
#include "zip_format.h"
#include "zip_reader.h"

namespace quillet::zip {

using namespace format;

// zlib's inflate state, kept from entry to entry (reset, not rebuilt).
struct Reader::Inflater {
  z_stream stream{};
  bool ready = false;
  // The first bytes of the entry's data, read with its local header.
  std::uint64_t headStart = 0;
  std::size_t headSize = 0;
  std::size_t headAt = 0;
  ~Inflater() {
    if (ready) inflateEnd(&stream);
  }
};

Reader::Reader() : inflater_(std::make_unique<Inflater>()) {}
Reader::~Reader() = default;

bool Reader::checkLocalHeader(std::size_t index) {
  if (index >= entries_.size()) {
    return fail(Failure::kDamaged, "there is no entry #" + num(index + 1) + " (the archive has " +
                                       num(entries_.size()) + ")");
  }
  const Entry& entry = entries_[index];
  const std::uint64_t offset = entry.localHeaderOffset;
  // Where this entry's space ends: the next local header, or the directory
  // (every local header lies before it).
  const std::uint64_t limit = limits_[index];
  const auto limitText = [this, limit] {
    return (limit == directoryOffset_ ? "the central directory at " : "the next local header at ") +
           num(limit);
  };
  // The header, its name and extra field, and as much of the data as the
  // window holds, in one read: a small entry costs one.
  const auto head = static_cast<std::size_t>(std::min<std::uint64_t>(limit - offset, kWindowSize));
  if (!source_->readAt(offset, window_.data(), head)) {
    return failEntry(Failure::kCannotRead, index,
                     "cannot read its local header and data at offset " + num(offset));
  }
  const std::uint8_t* header = window_.data();
  if (head < 4 || get32(header) != kLocalHeaderSignature) {
    return failEntry(Failure::kDamaged, index,
                     "no local header signature at offset " + num(offset));
  }
  if (head < kLocalHeaderSize) {
    return failEntry(Failure::kDamaged, index, "its local header runs into " + limitText());
  }
  const std::uint16_t flags = get16(header + 6);
  const std::uint16_t method = get16(header + 8);
  const std::uint32_t crc = get32(header + 14);
  std::uint64_t compressedSize = get32(header + 18);
  std::uint64_t size = get32(header + 22);
  const std::size_t nameSize = get16(header + 26);
  const std::size_t extraSize = get16(header + 28);

  const std::uint64_t nameOffset = offset + kLocalHeaderSize;
  if (!fits(nameOffset, nameSize + extraSize, limit)) {
    return failEntry(Failure::kDamaged, index, "its local header runs into " + limitText());
  }
  // (the window holds any header with its name and extra field)
  const std::string_view name(reinterpret_cast<const char*>(header + kLocalHeaderSize), nameSize);
  const std::string_view extra(name.data() + nameSize, extraSize);
  // The local name must be the stored one: the name itself, unless it was
  // decoded from other bytes (then those are read again to be compared).
  bool same = name.size() == entry.storedNameSize;
  if (same && (entry.unicodeNameAt != 0 || (entry.legacyName && entry.beyondAscii))) {
    std::string stored(entry.storedNameSize, '\0');
    if (!readAt(entry.storedNameAt, stored.data(), stored.size())) return false;
    same = name == stored;
  } else if (same) {
    same = nameHash(name) == entry.nameHash;
  }
  if (!same) {
    // (A local name may take 65,535 bytes: the message says at most 255 of it.)
    const std::string_view shown = beginningOf(name, 255);
    return failEntry(Failure::kDamaged, index,
                     "its local header names it \"" + shownText(shown) +
                         (shown.size() < name.size() ? "...\"" : "\""));
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
  std::optional<std::string_view> zip64;
  if (!findExtra(extra, kZip64ExtraId, zip64)) {
    return failEntry(Failure::kDamaged, index, "its local extra fields run past their end");
  }
  if (zip64 && !applyZip64(*zip64, size, compressedSize, nullptr, nullptr)) {
    return failEntry(Failure::kDamaged, index, "its local Zip64 extra field is too short");
  }
  // With a data descriptor the local header may leave CRC and sizes as 0,
  // each on its own: a writer that knows a file's size before compressing
  // it (Info-ZIP zip to a pipe, libarchive) gives the size and leaves only
  // the compressed size to the descriptor. What it does give must agree.
  const bool descriptor = (flags & kFlagDescriptor) != 0;
  if (!(descriptor && crc == 0) && crc != entry.crc32) {
    return failEntry(
        Failure::kDamaged, index,
        "its local header gives CRC-32 " + hex32(crc) + ", the directory " + hex32(entry.crc32));
  }
  const auto agrees = [descriptor](std::uint64_t local, std::uint64_t central) {
    return local == central || (descriptor && local == 0);
  };
  if (!agrees(compressedSize, entry.compressedSize) || !agrees(size, entry.size)) {
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
  if (descriptor &&
      !checkDescriptor(index, dataOffset + entry.compressedSize, limit, zip64.has_value())) {
    return false;
  }
  // The data's first bytes, as the window holds them.
  inflater_->headStart = dataOffset;
  inflater_->headSize = static_cast<std::size_t>(
      std::min<std::uint64_t>(entry.compressedSize, head - (dataOffset - offset)));
  inflater_->headAt = static_cast<std::size_t>(dataOffset - offset);
  return true;
}

bool Reader::checkDescriptor(std::size_t index, std::uint64_t at, std::uint64_t limit, bool zip64) {
  // An optional signature, the CRC-32, then both sizes, 32 bits wide, or 64
  // where the local header has a Zip64 field (a writer that widens them
  // without one is taken too).
  const Entry& entry = entries_[index];
  std::uint8_t bytes[24] = {};
  const auto have = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof bytes, limit - at));
  if (!readAt(at, bytes, have)) return false;
  const bool plain = get32(bytes) == entry.crc32;
  const bool signed_ = !plain && get32(bytes) == kDescriptorSignature && have >= 8 &&
                       get32(bytes + 4) == entry.crc32;
  if (!plain && !signed_) {
    return failEntry(
        Failure::kDamaged, index,
        "its data descriptor does not give the directory's CRC-32 " + hex32(entry.crc32));
  }
  const std::size_t sizesAt = signed_ ? 8 : 4;
  std::uint64_t compressed = 0;
  std::uint64_t size = 0;
  const auto sizesAre = [&](bool wide) {
    if (have < sizesAt + (wide ? 16 : 8)) return false;
    compressed = wide ? get64(bytes + sizesAt) : get32(bytes + sizesAt);
    size = wide ? get64(bytes + sizesAt + 8) : get32(bytes + sizesAt + 4);
    return compressed == entry.compressedSize && size == entry.size;
  };
  // The header's own width last: a message gives the sizes read so.
  if (sizesAre(!zip64) || sizesAre(zip64)) return true;
  if (have < sizesAt + (zip64 ? 16 : 8)) {
    return failEntry(Failure::kDamaged, index,
                     "its data descriptor runs into the next local header or the directory");
  }
  return failEntry(Failure::kDamaged, index,
                   "its data descriptor gives sizes " + num(compressed) + "/" + num(size) +
                       ", the directory " + num(entry.compressedSize) + "/" + num(entry.size));
}

bool Reader::readEntry(std::size_t index, const Sink& sink) {
  if (!checkLocalHeader(index)) return false;
  // Either method hands its bytes over through `counted`, which takes their
  // CRC-32 on the way.
  std::uint32_t crc = 0;
  const Sink counted = [&crc, &sink](const std::uint8_t* data, std::size_t size) {
    crc = crc32Add(crc, data, size);
    return sink(data, size);
  };
  const Entry& entry = entries_[index];
  if (!(entry.method == kMethodStored ? copyStored(index, counted) : inflateData(index, counted))) {
    return false;
  }
  if (crc != entry.crc32) {
    return failEntry(Failure::kCrcMismatch, index,
                     "its data has CRC-32 " + hex32(static_cast<std::uint32_t>(crc)) +
                         ", the directory says " + hex32(entry.crc32));
  }
  return true;
}

bool Reader::copyStored(std::size_t index, const Sink& sink) {
  std::uint64_t offset = inflater_->headStart;
  std::uint64_t remaining = entries_[index].compressedSize;
  // What the local header's read brought first, then chunks of their own.
  std::size_t chunk = inflater_->headSize;
  const std::uint8_t* data = window_.data() + inflater_->headAt;
  while (remaining > 0) {
    if (chunk == 0) {
      chunk = static_cast<std::size_t>(std::min<std::uint64_t>(kWindowSize, remaining));
      if (!source_->readAt(offset, window_.data(), chunk)) {
        return failEntry(Failure::kCannotRead, index,
                         "cannot read its data at offset " + num(offset));
      }
      data = window_.data();
    }
    for (std::size_t at = 0; at < chunk; at += kChunkSize) {
      if (!sink(data + at, std::min(kChunkSize, chunk - at))) {
        return failEntry(Failure::kStopped, index, "reading stopped");
      }
    }
    offset += chunk;
    remaining -= chunk;
    chunk = 0;
  }
  return true;
}

bool Reader::inflateData(std::size_t index, const Sink& sink) {
  const Entry& entry = entries_[index];
  z_stream& stream = inflater_->stream;
  if (!inflater_->ready) stream = z_stream{};
  if ((inflater_->ready ? inflateReset(&stream) : inflateInit2(&stream, -MAX_WBITS)) != Z_OK) {
    return failEntry(Failure::kCannotRead, index, "zlib could not start inflating");
  }
  inflater_->ready = true;
  // What the local header's read brought first.
  stream.next_in = window_.data() + inflater_->headAt;
  stream.avail_in = static_cast<uInt>(inflater_->headSize);
  std::uint64_t offset = inflater_->headStart + inflater_->headSize;
  std::uint64_t remaining = entry.compressedSize - inflater_->headSize;  // not yet read

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
  return true;
}

}  // namespace quillet::zip
