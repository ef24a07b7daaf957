// Bytes at offsets: an archive, or a file of an extracted release. The zip
// reader reads through this interface; files come from openInputFile
// (system_files.h), tests and fuzzing hand over memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

namespace quillet {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // The source's size when it was opened.
  virtual std::uint64_t size() const = 0;
  // Its size now: a file being written may have grown since it was opened.
  virtual std::uint64_t sizeNow() const { return size(); }
  // Reads exactly `size` bytes at `offset`; false on a read error or when the
  // range lies beyond the end.
  virtual bool readAt(std::uint64_t offset, void* buffer, std::size_t size) = 0;
};

// Bytes held in memory.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::string bytes) : bytes_(std::move(bytes)) {}
  std::uint64_t size() const override { return bytes_.size(); }
  bool readAt(std::uint64_t offset, void* buffer, std::size_t size) override {
    if (offset > bytes_.size() || size > bytes_.size() - offset) return false;
    if (size > 0) std::memcpy(buffer, bytes_.data() + offset, size);
    return true;
  }

 private:
  std::string bytes_;
};

}  // namespace quillet
