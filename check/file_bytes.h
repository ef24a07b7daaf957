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
// zip reader holds, each counted twice for what the check keeps beside it
// (the entries, the tables, the findings): a release of many long names gets
// fewer blocks (blocksBeside), down to kFewestBlocks.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "check_platform.h"
#include "zip_reader.h"

namespace quillet::check {

class FileBytes final : public zip::ByteSource {
 public:
  static constexpr std::size_t kBlockBytes = 8 * 1024;
  static constexpr std::size_t kBlocks = 2048;
  static constexpr std::size_t kFewestBlocks = 128;  // 1 MiB
  // What the names and the blocks share: 32 MiB.
  static constexpr std::uint64_t kNamesAndBlocksBytes = 2 * kBlocks * kBlockBytes;

  // What the check keeps for each entry beside its name, about: the
  // reader's record and the release's, the tables, findings.
  static constexpr std::uint64_t kEntryBytes = 256;

  // The blocks for an archive of `entries` entries whose names take
  // `nameBytes` held: all of kBlocks up to 8 MiB of names (and no entry),
  // then one block fewer per 4 KiB more of names or per 8 KiB of entries.
  static std::size_t blocksBeside(std::uint64_t nameBytes, std::uint64_t entries = 0) {
    const std::uint64_t beside =
        std::min(nameBytes, kNamesAndBlocksBytes / 2) * 2 +
        std::min(entries, kNamesAndBlocksBytes / kEntryBytes) * kEntryBytes;
    const std::uint64_t blocks =
        (kNamesAndBlocksBytes - std::min(beside, kNamesAndBlocksBytes)) / kBlockBytes;
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(blocks, kFewestBlocks, kBlocks));
  }

  explicit FileBytes(std::unique_ptr<InputFile> file, std::size_t blocks = kBlocks)
      : file_(std::move(file)), fileSize_(file_->size()) {
    setBlocks(blocks);
  }
  std::uint64_t size() const override { return fileSize_; }

  // Gives the cache `blocks` blocks (at least one), dropping the blocks it
  // holds.
  void setBlocks(std::size_t blocks) {
    std::vector<Slot>(blocks > 0 ? blocks : 1).swap(slots_);
    // The table has at least twice the slots' places, so probes stay short.
    std::size_t places = 1;
    shift_ = 64;
    while (places < 2 * slots_.size()) places *= 2, --shift_;
    table_.assign(places, kNoSlot);
    last_ = 0;
    hand_ = 0;
  }

  // Fetches the bytes ahead when their block is cached; reads nothing.
  void prefetch(std::uint64_t offset, std::size_t size) override {
    if (size >= kBlockBytes) return;
    const std::size_t place = find(offset / kBlockBytes);
    if (table_[place] == kNoSlot) return;
    const Slot& slot = slots_[table_[place]];
    __builtin_prefetch(slot.bytes.get() + (offset - slot.start));
    __builtin_prefetch(slot.bytes.get() + std::min(offset + size - slot.start, slot.length - 1));
  }

  // Small reads within one block are viewed in the cache (the block read
  // into it when it is not there); others, and a block that cannot be read,
  // are left to readAt.
  const std::uint8_t* view(std::uint64_t offset, std::size_t size) override {
    if (offset > fileSize_ || size > fileSize_ - offset || size == 0 || size >= kBlockBytes) {
      return nullptr;
    }
    const std::uint64_t number = offset / kBlockBytes;
    if ((offset + size - 1) / kBlockBytes != number) return nullptr;
    const Slot* slot = block(number);
    return slot == nullptr ? nullptr : slot->bytes.get() + (offset - slot->start);
  }

  // Straight from the file, leaving the cache (and the views of it) to the
  // thread that reads.
  bool readFromAnyThread(std::uint64_t offset, void* buffer, std::size_t size) override {
    if (offset > fileSize_ || size > fileSize_ - offset) return false;
    return file_->readAt(offset, buffer, size);
  }

  bool readAt(std::uint64_t offset, void* buffer, std::size_t size) override {
    if (offset > fileSize_ || size > fileSize_ - offset) return false;
    if (size >= kBlockBytes) return file_->readAt(offset, buffer, size);
    auto* out = static_cast<std::uint8_t*>(buffer);
    while (size > 0) {
      const Slot* slot = block(offset / kBlockBytes);
      if (slot == nullptr) return false;
      const auto at = static_cast<std::size_t>(offset - slot->start);
      const std::size_t take = std::min(size, slot->length - at);
      std::memcpy(out, slot->bytes.get() + at, take);
      out += take;
      offset += take;
      size -= take;
    }
    return true;
  }

 private:
  struct Slot {
    std::uint64_t start = 0;                // the block's offset in the file
    std::unique_ptr<std::uint8_t[]> bytes;  // kBlockBytes, once the slot is first used
    std::size_t length = 0;                 // bytes of the block held; 0 while it holds none
    bool used = false;                      // read since the clock last passed
  };

  // The slot holding block `number`, read from the file when it is not
  // cached; nothing after a read error (the slot is then left empty).
  const Slot* block(std::uint64_t number) {
    const std::uint64_t start = number * kBlockBytes;
    Slot& last = slots_[last_];
    if (last.length != 0 && last.start == start) return &last;
    const std::size_t place = find(number);
    if (table_[place] != kNoSlot) {
      last_ = table_[place];
      slots_[last_].used = true;
      return &slots_[last_];
    }
    // An empty slot, else the first the clock finds not read since it last
    // passed.
    while (slots_[hand_].length != 0 && slots_[hand_].used) {
      slots_[hand_].used = false;
      hand_ = (hand_ + 1) % slots_.size();
    }
    Slot& slot = slots_[hand_];
    if (slot.length != 0) erase(find(slot.start / kBlockBytes));
    slot.length = 0;
    last_ = hand_;
    hand_ = (hand_ + 1) % slots_.size();
    const auto length =
        static_cast<std::size_t>(std::min<std::uint64_t>(kBlockBytes, fileSize_ - start));
    // Not cleared first: the read fills what is used.
    if (slot.bytes == nullptr) slot.bytes.reset(new std::uint8_t[kBlockBytes]);
    slot.start = start;
    slot.used = true;
    if (!file_->readAt(start, slot.bytes.get(), length)) return nullptr;
    slot.length = length;
    // The erase may have moved places: the free place is looked up again.
    table_[find(number)] = static_cast<std::uint32_t>(last_);
    return &slot;
  }

  // The table: block number -> slot, by open addressing (linear probing from
  // a Fibonacci hash of the number). Only slots holding a block are in it.
  static constexpr std::uint32_t kNoSlot = UINT32_MAX;
  std::size_t home(std::uint64_t number) const {
    return static_cast<std::size_t>((number * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  // The place holding block `number`, or the free place where it would go.
  std::size_t find(std::uint64_t number) const {
    const std::size_t mask = table_.size() - 1;
    const std::uint64_t start = number * kBlockBytes;
    std::size_t place = home(number);
    while (table_[place] != kNoSlot && slots_[table_[place]].start != start) {
      place = (place + 1) & mask;
    }
    return place;
  }
  // Frees a place, moving back the ones after it that probed past it, so
  // that every block stays reachable from its home place.
  void erase(std::size_t hole) {
    const std::size_t mask = table_.size() - 1;
    for (std::size_t next = (hole + 1) & mask; table_[next] != kNoSlot; next = (next + 1) & mask) {
      const std::size_t from = home(slots_[table_[next]].start / kBlockBytes);
      if (((next - from) & mask) >= ((next - hole) & mask)) {
        table_[hole] = table_[next];
        hole = next;
      }
    }
    table_[hole] = kNoSlot;
  }

  std::unique_ptr<InputFile> file_;
  std::uint64_t fileSize_;  // as the file gave it when it was opened
  std::vector<Slot> slots_;
  std::vector<std::uint32_t> table_;  // places: a slot, or kNoSlot
  int shift_ = 64;                    // 64 - log2 of the table's places
  std::size_t last_ = 0;              // the slot the last read used
  std::size_t hand_ = 0;              // the clock's hand
};

}  // namespace quillet::check
