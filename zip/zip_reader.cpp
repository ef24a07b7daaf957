// The bounded zip reader. Its files:
//   zip_format.h      the format's constants and little-endian fields
//   zip_reader.cpp    (this file) field helpers and messages; sources,
//                     entries, failures
//   zip_directory.cpp opening: the end records, the central directory,
//                     names, the layout of the local headers
//   zip_entry_data.cpp local headers, entry data (stored and deflate) and
//                     its CRC-32
//
// Every offset and size read from the archive is checked against the file
// and the other structures before use; sums are compared by subtraction so
// that no hostile value can wrap around.
//
// Divisions of this file:
//   1. Field helpers, messages
//   2. Sources, entries, failures
#include "zip_reader.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "zip_format.h"

namespace quillet::zip {

// ---------------------------------------------------------------------------
// 1. Field helpers, messages
// ---------------------------------------------------------------------------
namespace format {

std::string hex32(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(value));
  return text;
}

std::uint32_t nameCheckOf(std::string_view name) {
  constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15u;
  std::uint64_t lanes[4] = {name.size(), 1, 2, 3};
  const auto mixIn = [](std::uint64_t& lane, std::uint64_t word) {
    lane = (lane ^ word) * kMultiplier;
    lane ^= lane >> 32;
  };
  std::size_t at = 0;
  for (; at + 32 <= name.size(); at += 32) {
    for (int k = 0; k < 4; ++k) {
      std::uint64_t word = 0;
      std::memcpy(&word, name.data() + at + 8 * k, 8);
      mixIn(lanes[k], word);
    }
  }
  for (int k = 0; at < name.size(); at += 8, ++k) {
    std::uint64_t word = 0;
    std::memcpy(&word, name.data() + at, std::min<std::size_t>(8, name.size() - at));
    mixIn(lanes[k], word);
  }
  std::uint64_t check = lanes[0];
  for (int k = 1; k < 4; ++k) mixIn(check, lanes[k]);
  return static_cast<std::uint32_t>(check ^ (check >> 32));
}

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

}  // namespace format

using namespace format;

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

const std::uint8_t* MemorySource::view(std::uint64_t offset, std::size_t size) {
  if (!fits(offset, size, bytes_.size())) return nullptr;
  return reinterpret_cast<const std::uint8_t*>(bytes_.data()) + offset;
}

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

bool Reader::fail(Failure failure, std::string message) {
  failure_ = failure;
  message_ = std::move(message);
  return false;
}

bool Reader::failEntry(Failure failure, std::size_t index, const std::string& what) {
  return fail(failure, entryMessage(index, what));
}

std::string entryLabel(std::size_t number, std::string_view name) {
  return "entry #" + num(number) + " \"" + printable(name) + "\"";
}

std::string Reader::entryMessage(std::size_t index, const std::string& what) const {
  if (index >= entries_.size()) return "entry #" + num(index + 1) + ": " + what;
  // The name as decoded once it is (until then, as stored).
  std::string scratch;
  const Entry& entry = entries_[index];
  return entryLabel(index + 1,
                    entry.nameSize != 0 ? nameOf(index, scratch) : storedNameOf(index, scratch)) +
         ": " + what;
}

bool Reader::readNameBack(std::uint64_t offset, std::size_t size, std::string& scratch) const {
  scratch.resize(size);
  return size == 0 || nameBlocks_.read(*source_, offset, size, scratch.data());
}

void Reader::NameBlocks::clear() {
  const std::lock_guard<std::mutex> lock(mutex_);
  blocks_.clear();
  last_ = UINT64_MAX;
}

bool Reader::NameBlocks::read(ByteSource& source, std::uint64_t offset, std::size_t size,
                              char* out) {
  if (offset > source.size() || size > source.size() - offset) return false;
  const std::lock_guard<std::mutex> lock(mutex_);
  if (blocks_.empty()) blocks_.resize(kBlocks);
  const std::uint64_t first = offset / kBlockBytes;
  const std::uint64_t last = (offset + size - 1) / kBlockBytes;
  // Away from where the last read ended, and not cached: read on its own.
  const bool inOrder = last_ != UINT64_MAX && first >= last_ && first <= last_ + 1;
  const bool cached =
      blocks_[first % kBlocks].number == first && blocks_[last % kBlocks].number == last;
  last_ = last;
  if (!inOrder && !cached) return source.readFromAnyThread(offset, out, size);
  while (size > 0) {
    const std::uint64_t number = offset / kBlockBytes;
    Block& block = blocks_[number % kBlocks];
    if (block.number != number) {
      if (block.bytes == nullptr) block.bytes.reset(new char[kBlockBytes]);
      const std::uint64_t start = number * kBlockBytes;
      block.number = UINT64_MAX;
      block.length =
          static_cast<std::size_t>(std::min<std::uint64_t>(kBlockBytes, source.size() - start));
      if (!source.readFromAnyThread(start, block.bytes.get(), block.length)) return false;
      block.number = number;
    }
    const auto at = static_cast<std::size_t>(offset - number * kBlockBytes);
    const std::size_t take = std::min(size, block.length - at);
    std::memcpy(out, block.bytes.get() + at, take);
    out += take;
    offset += take;
    size -= take;
  }
  return true;
}

void Reader::loseName(std::size_t index) const {
  std::uint64_t none = 0;
  lostName_.compare_exchange_strong(none, index + 1);
}

std::string_view Reader::storedNameOf(std::size_t index, std::string& scratch) const {
  const Entry& entry = entries_[index];
  // (Held once the name is decoded; a failure before that reads it back.)
  if (namesHeld_ && entry.nameSize != 0) return entry.rawName();
  if (!readNameBack(entry.storedNameAt, entry.storedNameSize, scratch)) {
    loseName(index);
    return {};
  }
  return scratch;
}

std::string_view Reader::nameOf(std::size_t index, std::string& scratch) const {
  const Entry& entry = entries_[index];
  if (namesHeld_) return entry.name;
  bool read = false;
  if (entry.unicodeNameAt != 0) {
    read = readNameBack(entry.storedNameAt + entry.unicodeNameAt, entry.nameSize, scratch);
  } else if (entry.legacyName && entry.beyondAscii) {
    read = readNameBack(entry.storedNameAt, entry.storedNameSize, scratch);
    std::optional<std::string> decoded;
    if (read) decoded = decoder_(scratch);
    read = decoded.has_value();
    if (read) scratch = std::move(*decoded);
  } else {
    read = readNameBack(entry.storedNameAt, entry.storedNameSize, scratch);
  }
  // The name must read as it did when the directory was read.
  if (!read || scratch.size() != entry.nameSize || nameCheckOf(scratch) != entry.nameCheck) {
    loseName(index);
    return {};
  }
  return scratch;
}

std::string Reader::namesLost() const {
  const std::uint64_t lost = lostName_.load();
  if (lost == 0) return {};
  return "entry #" + num(lost) +
         ": its name no longer reads as it did in the central directory (the archive changed "
         "while it was read)";
}

std::string Reader::crcMismatch(std::size_t index, std::uint32_t found) const {
  const std::uint32_t expected = index < entries_.size() ? entries_[index].crc32 : 0;
  return entryMessage(
      index, "its data has CRC-32 " + hex32(found) + ", the directory says " + hex32(expected));
}

bool Reader::readAt(std::uint64_t offset, void* buffer, std::size_t size) {
  if (source_->readAt(offset, buffer, size)) return true;
  return fail(Failure::kCannotRead,
              "cannot read " + num(size) + " bytes at offset " + num(offset) + " of the archive");
}

const std::uint8_t* Reader::bytesAt(std::uint64_t offset, std::size_t size, std::uint8_t* buffer) {
  if (const std::uint8_t* view = source_->view(offset, size)) return view;
  return readAt(offset, buffer, size) ? buffer : nullptr;
}

}  // namespace quillet::zip
