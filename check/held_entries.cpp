#include "held_entries.h"

#include <algorithm>
#include <cstdint>

namespace quillet::check {

void HeldEntries::readOne(ReleaseSource& source, std::size_t index, std::uint64_t limit) {
  const std::size_t begin = contents_.size();
  const bool read =
      source.read(index, [this, begin, limit](const std::uint8_t* data, std::size_t size) {
        if (contents_.size() - begin + size > limit) return false;
        makeRoom(size);
        contents_.append(reinterpret_cast<const char*>(data), size);
        return true;
      });
  if (!read && source.failure() == SourceFailure::kStopped) {
    contents_.resize(begin);
    return;
  }
  Record& record = records_[index];
  record.begin = static_cast<std::uint32_t>(begin);
  record.size = static_cast<std::uint32_t>(contents_.size() - begin);
  record.state = read ? State::kRead : State::kFailed;
  if (!read) {
    record.failure = static_cast<std::uint32_t>(failures_.size());
    failures_.emplace_back(source.failure(), source.message());
    failureBytes_ += kFailureOverheadBytes + source.message().size();
  }
}

void HeldEntries::prepare(const std::vector<ReleaseEntry>& entries, const std::vector<int>& skip) {
  records_.assign(entries.size(), Record());
  budget_ = budgetBeside(entries.size());
  std::uint64_t planned = 0;
  for (const int list : skip) {
    const std::uint64_t size = list >= 0 ? entries[list].size : 0;
    if (size <= kListBytesMax && planned + size <= budget_) planned += size;
  }
  for (std::size_t i = 0; i < entries.size() && planned < budget_; ++i) {
    const ReleaseEntry& entry = entries[i];
    if (!entry.folder && entry.readable && entry.size <= kEntryBytesMax) planned += entry.size;
  }
  contents_.reserve(static_cast<std::size_t>(std::min(planned, budget_)));
}

void HeldEntries::readSmallFiles(ReleaseSource& source, const std::vector<int>& skip,
                                 const std::atomic<bool>& cancel) {
  const std::vector<ReleaseEntry>& entries = source.entries();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const ReleaseEntry& entry = entries[i];
    if (entry.folder || !entry.readable || entry.size > kEntryBytesMax || holds(i)) continue;
    if (std::find(skip.begin(), skip.end(), static_cast<int>(i)) != skip.end()) continue;
    if (contents_.size() + kEntryBytesMax > budget_) break;
    if (failureBytes_ >= kFailureBytesMax) break;
    if (cancel.load(std::memory_order_relaxed)) break;
    readOne(source, i, kEntryBytesMax);
  }
}

}  // namespace quillet::check
