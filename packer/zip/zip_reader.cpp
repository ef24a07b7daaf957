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

bool Reader::fail(Failure failure, std::string message) {
  failure_ = failure;
  message_ = std::move(message);
  return false;
}

bool Reader::failEntry(Failure failure, std::size_t index, const std::string& what) {
  return fail(failure, entryMessage(index, what));
}

std::string Reader::entryMessage(std::size_t index, const std::string& what) const {
  std::string who = "entry #" + num(index + 1);
  if (index < entries_.size()) {
    const Entry& entry = entries_[index];
    who += " \"" + printable(entry.name.empty() ? entry.storedName : entry.name) + "\"";
  }
  return who + ": " + what;
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
