// Entries' contents read ahead of the check and held in memory, with how
// each reading ended. The check's second thread reads the release's small
// files this way, in the source's own order, while the first thread matches
// the lists; the digest then takes them in list order without reading them
// again. A release of tens of thousands of small files spends most of its
// reading on the work each entry costs (its headers, its CRC), which the
// two threads now share.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "md5.h"
#include "release_source.h"

namespace quillet::check {

class HeldEntries {
 public:
  // A file this large or smaller is read ahead; a larger one is read at its
  // turn, streamed.
  static constexpr std::uint64_t kEntryBytesMax = 64 * 1024;
  // A list this large or smaller is held as it is read for its lines.
  static constexpr std::uint64_t kListBytesMax = 8u << 20;
  // What is held at most, whatever the release (small files are read ahead
  // while there is room for one more of the largest).
  static constexpr std::uint64_t kBudgetBytes = 16u << 20;
  // It gives way to the entries, which the check holds beside it: 128
  // bytes less for each, down to a quarter.
  static constexpr std::uint64_t kEntryShareBytes = 128;
  static constexpr std::uint64_t kFewestBudgetBytes = kBudgetBytes / 4;
  static std::uint64_t budgetBeside(std::uint64_t entries) {
    const std::uint64_t share = kBudgetBytes - kFewestBudgetBytes;
    return kBudgetBytes - std::min(share, entries * kEntryShareBytes);
  }
  // What the messages of failed readings may take at most: past it, files
  // are left to be read at their turn (a damaged archive of long names may
  // fail on every entry).
  static constexpr std::uint64_t kFailureBytesMax = 1u << 20;
  // What a failure counts besides its message's bytes.
  static constexpr std::uint64_t kFailureOverheadBytes = 64;

  // How reading an entry ended, and what it gave.
  struct Held {
    std::string_view contents;                     // what was read (all of it when `read`)
    bool read = false;                             // read to its end, CRC and size checked
    SourceFailure failure = SourceFailure::kNone;  // when not `read`
    std::string_view message;                      // the source's, when not `read`
  };

  explicit HeldEntries(std::size_t entryCount) : records_(entryCount) {}

  // Room for every entry of `entries`, and for the contents that will be
  // held of them (the lists and small files but those in `skip`, within the
  // budget), so that holding them copies nothing twice.
  void prepare(const std::vector<ReleaseEntry>& entries, const std::vector<int>& skip);

  // Reads, in the source's order, each readable file of at most
  // kEntryBytesMax bytes that is not held and not in `skip`, while what is
  // held stays within kBudgetBytes. A file that turns out longer than it
  // said is left to be read at its turn. Stops between entries once
  // `cancel` is set.
  void readSmallFiles(ReleaseSource& source, const std::vector<int>& skip,
                      const std::atomic<bool>& cancel);

  // Holds entry `index` as a reader of its own reads it: start(), add()
  // with each piece, then keep() once it was read to its end (CRC and size
  // checked), or drop().
  // An entry that gives more than roomForList() left at its start is not
  // held after all (a file of a folder that grew since it was listed).
  void start(std::size_t index) {
    pending_ = index;
    pendingBegin_ = contents_.size();
    pendingTooLong_ = false;
  }
  void add(const std::uint8_t* data, std::size_t size) {
    if (pendingTooLong_) return;
    if (contents_.size() - pendingBegin_ + size > kListBytesMax ||
        contents_.size() + size > budget_) {
      pendingTooLong_ = true;
      contents_.resize(pendingBegin_);
      return;
    }
    makeRoom(size);
    contents_.append(reinterpret_cast<const char*>(data), size);
  }
  void keep() {
    if (pendingTooLong_) return;
    Record& record = records_[pending_];
    record.begin = static_cast<std::uint32_t>(pendingBegin_);
    record.size = static_cast<std::uint32_t>(contents_.size() - pendingBegin_);
    record.state = State::kRead;
  }
  void drop() { contents_.resize(pendingBegin_); }

  // What a list may take to be held: kListBytesMax, within what the budget
  // leaves (the lists are held first, and count against it like the files).
  std::uint64_t roomForList() const {
    return budget_ > contents_.size() ? std::min(kListBytesMax, budget_ - contents_.size()) : 0;
  }

  bool holds(std::size_t index) const {
    return index < records_.size() && records_[index].state != State::kNotHeld;
  }
  // Entry `index`, which must be held.
  Held get(std::size_t index) const {
    const Record& record = records_[index];
    Held held;
    held.contents = std::string_view(contents_).substr(record.begin, record.size);
    held.read = record.state == State::kRead;
    if (!held.read) {
      held.failure = failures_[record.failure].first;
      held.message = failures_[record.failure].second;
    }
    return held;
  }
  std::uint64_t heldBytes() const { return contents_.size(); }

  // Has the processor fetch what get(index) needs: the record (step 0),
  // then, once that is at hand, the contents (step 1). Always inlined: a
  // function that only prefetches looks free of effects to the compiler,
  // which drops the calls it does not inline.
  [[gnu::always_inline]] void prefetch(std::size_t index, int step) const {
    if (step == 0) {
      __builtin_prefetch(&records_[index]);
    } else {
      __builtin_prefetch(contents_.data() + records_[index].begin);
    }
  }

 private:
  enum class State : std::uint8_t { kNotHeld, kRead, kFailed };
  struct Record {
    std::uint32_t begin = 0;  // in contents_
    std::uint32_t size = 0;
    std::uint32_t failure = 0;  // in failures_, when kFailed
    State state = State::kNotHeld;
  };

  // Room for `size` more bytes of contents. What prepare() planned is
  // exceeded only by files that grew since they were surveyed: the room then
  // goes to the whole budget at once, never past it (what is held stays
  // within it), rather than doubling.
  void makeRoom(std::size_t size) {
    if (contents_.size() + size > contents_.capacity()) {
      contents_.reserve(
          std::max<std::size_t>(static_cast<std::size_t>(budget_), contents_.size() + size));
    }
  }

  // Reads entry `index` and holds it, or, when the reading stopped at
  // `limit` (a file longer than it said), leaves it unheld.
  void readOne(ReleaseSource& source, std::size_t index, std::uint64_t limit);

  std::vector<Record> records_;          // by entry
  std::uint64_t budget_ = kBudgetBytes;  // beside the entries prepare() was given
  std::string contents_;
  std::vector<std::pair<SourceFailure, std::string>> failures_;
  std::uint64_t failureBytes_ = 0;  // their messages', counted against the budget
  std::size_t pending_ = 0;         // the entry start() began
  std::size_t pendingBegin_ = 0;
  bool pendingTooLong_ = false;
};

// $md5.bin read by the second thread ahead of the check, as HeldEntries
// holds an entry (without a record for every entry before it).
struct HeldDigest {
  int index = -1;  // the entry read, once read
  std::string contents;
  bool wasRead = false;
  SourceFailure failure = SourceFailure::kNone;
  std::string message;

  // Reads entry `entry`, stopping past the 16 bytes of a digest.
  void read(ReleaseSource& source, std::size_t entry) {
    contents.clear();
    wasRead = source.read(entry, [this](const std::uint8_t* data, std::size_t size) {
      if (contents.size() + size > kMd5DigestBytes) return false;
      contents.append(reinterpret_cast<const char*>(data), size);
      return true;
    });
    if (!wasRead) {
      failure = source.failure();
      message = source.message();
    }
    index = static_cast<int>(entry);
  }
  HeldEntries::Held held() const {
    HeldEntries::Held held;
    held.contents = contents;
    held.read = wasRead;
    if (!wasRead) {
      held.failure = failure;
      held.message = message;
    }
    return held;
  }
};

}  // namespace quillet::check
