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
// than its declared size; entries from one on may fail to read.
class MemoryRelease final : public ReleaseSource {
 public:
  void add(std::string name, std::uint64_t declared, std::string contents) {
    ReleaseEntry entry;
    entry.size = declared;
    entry.nameBytes = static_cast<std::uint32_t>(name.size());
    entry.folder = !name.empty() && name.back() == '/';
    names_.push_back(std::move(name));
    contents_.push_back(std::move(contents));
    entries_.push_back(entry);
  }
  std::size_t failingFrom = SIZE_MAX;  // this entry and every one after it fail
  std::string failingMessage = "damaged: CRC mismatch";
  const char* kindName = "archive";

  const char* kind() const override { return kindName; }
  std::size_t count() const override { return entries_.size(); }
  const ReleaseEntry& entry(std::size_t index) const override { return entries_[index]; }
  bool forEachName(const NameSink& each) override {
    for (std::size_t i = 0; i < names_.size(); ++i) each(i, names_[i]);
    return true;
  }
  std::string_view nameOf(std::size_t index, std::string&) override { return names_[index]; }
  bool read(std::size_t index, const Sink& sink) override {
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
    if (index >= failingFrom) {
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
