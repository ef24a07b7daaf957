// A release held in memory, for tests of what reads one.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "release_source.h"

namespace quillet::check::testing {

// A release in memory: each entry's contents, which may be more or fewer
// than its declared size; one entry may fail to read.
class MemoryRelease final : public ReleaseSource {
 public:
  void add(std::string name, std::uint64_t declared, std::string contents) {
    names_.push_back(std::move(name));
    contents_.push_back(std::move(contents));
    ReleaseEntry entry;
    entry.size = declared;
    entries_.push_back(entry);
  }
  void finish() {  // the names no longer move
    for (std::size_t i = 0; i < entries_.size(); ++i) entries_[i].name = names_[i];
  }
  int failing = -1;
  std::size_t failingFrom = SIZE_MAX;  // this entry and every one after it fail too
  std::string failingMessage = "damaged: CRC mismatch";
  std::vector<std::size_t> readOrder;

  const char* kindName = "archive";

  const char* kind() const override { return kindName; }
  const std::vector<ReleaseEntry>& entries() const override { return entries_; }
  bool usesZip64() const override { return false; }
  bool read(std::size_t index, const Sink& sink) override {
    readOrder.push_back(index);
    const std::string& data = contents_[index];
    // In pieces of 1,000 bytes at most, as a real source hands them.
    for (std::size_t at = 0; at < data.size(); at += 1000) {
      const std::size_t size = std::min<std::size_t>(1000, data.size() - at);
      if (!sink(reinterpret_cast<const std::uint8_t*>(data.data() + at), size)) {
        failure_ = SourceFailure::kStopped;
        message_ = "stopped";
        return false;
      }
    }
    if (static_cast<int>(index) == failing || index >= failingFrom) {
      failure_ = SourceFailure::kDamaged;
      message_ = failingMessage;
      return false;
    }
    return true;
  }
  SourceFailure failure() const override { return failure_; }
  const std::string& message() const override { return message_; }

 private:
  std::vector<std::string> names_;
  std::vector<std::string> contents_;
  std::vector<ReleaseEntry> entries_;
  SourceFailure failure_ = SourceFailure::kNone;
  std::string message_;
};

}  // namespace quillet::check::testing
