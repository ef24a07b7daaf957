// The bounded zip reader. Its files:
//   zip_format.h       the format's constants and little-endian fields
//   zip_reader.cpp     (this file) field helpers, messages, names read again
//   zip_directory.cpp  opening: the end records, the central directory,
//                      names, the layout of the local headers
//   zip_entry_data.cpp local headers, data descriptors, entry data (stored
//                      and deflate) and its CRC-32
//   names.cpp          the legacy code page 437
//
// Every offset and size read from the archive is checked against the file
// and the other structures before use; sums are compared by subtraction so
// that no hostile value can wrap around.
#include "zip_reader.h"

#include <algorithm>
#include <utility>

#include "name_hash.h"
#include "shown_text.h"
#include "zip_format.h"

namespace quillet::zip {

namespace format {

bool findExtra(std::string_view extra, std::uint16_t id, std::optional<std::string_view>& field) {
  field.reset();
  std::size_t at = 0;
  while (extra.size() - at >= 4) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(extra.data() + at);
    const std::uint16_t fieldId = get16(p);
    const std::uint16_t length = get16(p + 2);
    if (length > extra.size() - at - 4) return false;
    if (fieldId == id && !field) field = extra.substr(at + 4, length);
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

bool Reader::fail(Failure failure, std::string message) {
  failure_ = failure;
  message_ = std::move(message);
  return false;
}

bool Reader::failEntry(Failure failure, std::size_t index, const std::string& what,
                       std::optional<std::string_view> name) {
  std::string scratch;
  if (!name) name = nameOf(index, scratch);
  return fail(failure, "entry #" + num(index + 1) + " \"" + shownText(*name) + "\": " + what);
}

bool Reader::readAt(std::uint64_t offset, void* buffer, std::size_t size) {
  if (source_->readAt(offset, buffer, size)) return true;
  return fail(Failure::kCannotRead,
              "cannot read " + num(size) + " bytes at offset " + num(offset) + " of the archive");
}

bool Reader::forEachName(const NameSink& each) {
  // The names lie in the directory in the entries' order: they are read
  // through the window, a window at a time.
  windowFill_ = 0;
  std::string name;
  for (std::size_t index = 0; index < entries_.size(); ++index) {
    const Entry& entry = entries_[index];
    const std::size_t size = entry.unicodeNameAt != 0 ? entry.nameSize : entry.storedNameSize;
    const std::uint8_t* bytes = directoryBytes(entry.storedNameAt + entry.unicodeNameAt, size);
    if (bytes != nullptr) name.assign(reinterpret_cast<const char*>(bytes), size);
    if (!nameRead(index, bytes != nullptr, name)) return false;
    each(index, name);
  }
  return true;
}

const std::uint8_t* Reader::directoryBytes(std::uint64_t at, std::size_t size) {
  if (at < windowStart_ || !fits(at - windowStart_, size, windowFill_)) {
    windowStart_ = at;
    windowFill_ = static_cast<std::size_t>(
        std::min<std::uint64_t>(kWindowSize, directoryOffset_ + directorySize_ - at));
    if (size > windowFill_ || !source_->readAt(at, window_.data(), windowFill_)) {
      windowFill_ = 0;
      return nullptr;
    }
  }
  return window_.data() + (at - windowStart_);
}

std::string_view Reader::nameOf(std::size_t index, std::string& scratch) {
  const Entry& entry = entries_[index];
  scratch.resize(entry.unicodeNameAt != 0 ? entry.nameSize : entry.storedNameSize);
  const bool read = scratch.empty() || source_->readAt(entry.storedNameAt + entry.unicodeNameAt,
                                                       scratch.data(), scratch.size());
  return nameRead(index, read, scratch) ? std::string_view(scratch) : std::string_view();
}

bool Reader::nameRead(std::size_t index, bool bytesRead, std::string& name) {
  const Entry& entry = entries_[index];
  if (bytesRead && entry.unicodeNameAt == 0 && entry.legacyName && entry.beyondAscii) {
    name = decoder_(name).value_or(std::string());
  }
  // The name must read as it did when the directory was read.
  if (bytesRead && name.size() == entry.nameSize && nameHash(name) == entry.nameHash) return true;
  if (lostName_ == 0) lostName_ = index + 1;
  return false;
}

std::string Reader::namesLost() const {
  if (lostName_ == 0) return {};
  return "entry #" + num(lostName_) +
         ": its name no longer reads as it did in the central directory (the archive changed "
         "while it was read)";
}

}  // namespace quillet::zip
