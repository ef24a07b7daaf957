// A file of the platform layer as the zip reader's byte source, with a small
// window of read-ahead (8 KiB) so that a local header and the data of a small
// entry after it take one system call, whatever order the entries are read in.
#pragma once

#include <cstring>
#include <memory>
#include <vector>

#include "check_platform.h"
#include "zip_reader.h"

namespace quillet::check {

class FileBytes final : public zip::ByteSource {
 public:
  static constexpr std::size_t kWindowBytes = 8 * 1024;

  explicit FileBytes(std::unique_ptr<InputFile> file) : file_(std::move(file)) {}
  std::uint64_t size() const override { return file_->size(); }

  bool readAt(std::uint64_t offset, void* buffer, std::size_t size) override {
    const std::uint64_t fileSize = file_->size();
    if (offset > fileSize || size > fileSize - offset) return false;
    // Large reads go straight to the file.
    if (size >= kWindowBytes / 2) return file_->readAt(offset, buffer, size);
    if (offset < windowStart_ || offset + size > windowStart_ + window_.size()) {
      const auto length =
          static_cast<std::size_t>(std::min<std::uint64_t>(kWindowBytes, fileSize - offset));
      window_.resize(length);
      if (!file_->readAt(offset, window_.data(), length)) {
        window_.clear();
        return false;
      }
      windowStart_ = offset;
    }
    std::memcpy(buffer, window_.data() + (offset - windowStart_), size);
    return true;
  }

 private:
  std::unique_ptr<InputFile> file_;
  std::vector<std::uint8_t> window_;  // the file's bytes from windowStart_
  std::uint64_t windowStart_ = 0;
};

}  // namespace quillet::check
