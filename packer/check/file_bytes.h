// A file of the platform layer as the zip reader's byte source, with a
// bounded cache of aligned blocks for its small reads (local headers, names,
// the data of small entries). The check reads entries in the file list's
// order, which is not the archive's: without the cache every small entry
// would cost a system call of its own. An archive of up to kBlocks blocks
// (16 MiB) is read from the file once whatever the order; a larger one reuses
// the block read least recently (a clock), so it degrades to one read of
// 8 KiB per small entry, as without the cache. Reads of a block's size or
// more (the streaming of large entries, the central directory's window) go
// straight to the file.
//
// The cache shares the check's memory with the entries' names, which the
// check holds twice (the zip reader's and the file list's lines): a release
// of many long names gets fewer blocks (blocksBeside), down to kFewestBlocks.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "check_platform.h"
#include "zip_reader.h"

namespace quillet::check {

class FileBytes final : public zip::ByteSource {
 public:
  static constexpr std::size_t kBlockBytes = 8 * 1024;
  static constexpr std::size_t kBlocks = 2048;
  static constexpr std::size_t kFewestBlocks = 256;  // 2 MiB
  // What the names and the blocks share: 32 MiB.
  static constexpr std::uint64_t kNamesAndBlocksBytes = 2 * kBlocks * kBlockBytes;

  // The blocks for an archive whose entries' names take `nameBytes`: all of
  // kBlocks up to 8 MiB of names, then one block fewer per 4 KiB more.
  static std::size_t blocksBeside(std::uint64_t nameBytes) {
    const std::uint64_t names = std::min(nameBytes, kNamesAndBlocksBytes / 2) * 2;
    const std::uint64_t blocks = (kNamesAndBlocksBytes - names) / kBlockBytes;
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(blocks, kFewestBlocks, kBlocks));
  }

  explicit FileBytes(std::unique_ptr<InputFile> file, std::size_t blocks = kBlocks)
      : file_(std::move(file)), slots_(blocks > 0 ? blocks : 1) {
    where_.reserve(slots_.size());
  }
  std::uint64_t size() const override { return file_->size(); }

  // Gives the cache `blocks` blocks (at least one), dropping the blocks it
  // holds.
  void setBlocks(std::size_t blocks) {
    std::vector<Slot>(blocks > 0 ? blocks : 1).swap(slots_);
    where_.clear();
    where_.reserve(slots_.size());
    last_ = 0;
    hand_ = 0;
  }

  // Fetches the bytes ahead when their block is cached; reads nothing.
  void prefetch(std::uint64_t offset, std::size_t size) override {
    if (size >= kBlockBytes) return;
    const auto cached = where_.find(offset / kBlockBytes);
    if (cached == where_.end()) return;
    const Slot& slot = slots_[cached->second];
    __builtin_prefetch(slot.bytes.data() + (offset - slot.start));
    __builtin_prefetch(slot.bytes.data() +
                       std::min(offset + size - slot.start, slot.bytes.size() - 1));
  }

  bool readAt(std::uint64_t offset, void* buffer, std::size_t size) override {
    const std::uint64_t fileSize = file_->size();
    if (offset > fileSize || size > fileSize - offset) return false;
    if (size >= kBlockBytes) return file_->readAt(offset, buffer, size);
    auto* out = static_cast<std::uint8_t*>(buffer);
    while (size > 0) {
      const Slot* slot = block(offset / kBlockBytes);
      if (slot == nullptr) return false;
      const auto at = static_cast<std::size_t>(offset - slot->start);
      const std::size_t take = std::min(size, slot->bytes.size() - at);
      std::memcpy(out, slot->bytes.data() + at, take);
      out += take;
      offset += take;
      size -= take;
    }
    return true;
  }

 private:
  struct Slot {
    std::uint64_t start = 0;          // the block's offset in the file
    std::vector<std::uint8_t> bytes;  // its bytes; empty while the slot holds none
    bool used = false;                // read since the clock last passed
  };

  // The slot holding block `number`, read from the file when it is not
  // cached; nothing after a read error (the slot is then left empty).
  const Slot* block(std::uint64_t number) {
    const std::uint64_t start = number * kBlockBytes;
    Slot& last = slots_[last_];
    if (!last.bytes.empty() && last.start == start) return &last;
    const auto cached = where_.find(number);
    if (cached != where_.end()) {
      last_ = cached->second;
      slots_[last_].used = true;
      return &slots_[last_];
    }
    // An empty slot, else the first the clock finds not read since it last
    // passed.
    while (!slots_[hand_].bytes.empty() && slots_[hand_].used) {
      slots_[hand_].used = false;
      hand_ = (hand_ + 1) % slots_.size();
    }
    Slot& slot = slots_[hand_];
    if (!slot.bytes.empty()) where_.erase(slot.start / kBlockBytes);
    last_ = hand_;
    hand_ = (hand_ + 1) % slots_.size();
    const auto length =
        static_cast<std::size_t>(std::min<std::uint64_t>(kBlockBytes, file_->size() - start));
    slot.bytes.resize(length);
    slot.start = start;
    slot.used = true;
    if (!file_->readAt(start, slot.bytes.data(), length)) {
      slot.bytes.clear();
      return nullptr;
    }
    where_.emplace(number, last_);
    return &slot;
  }

  std::unique_ptr<InputFile> file_;
  std::vector<Slot> slots_;
  std::unordered_map<std::uint64_t, std::size_t> where_;  // block number -> its slot
  std::size_t last_ = 0;                                  // the slot the last read used
  std::size_t hand_ = 0;                                  // the clock's hand
};

}  // namespace quillet::check
