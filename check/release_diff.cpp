#include "release_diff.h"

#include <algorithm>
#include <tuple>

#include "name_table.h"

namespace quillet::check {
namespace {

// How many of the sorted values of `from` are not in the sorted `in`.
std::uint64_t missingFrom(const std::vector<std::uint64_t>& from,
                          const std::vector<std::uint64_t>& in) {
  std::uint64_t missing = 0;
  auto at = in.begin();
  for (const std::uint64_t value : from) {
    at = std::lower_bound(at, in.end(), value);
    if (at == in.end() || *at != value) ++missing;
  }
  return missing;
}

// The old files whose names are gone, by contents: each new file of a new
// name takes the first of its size and CRC-32 that no other took.
class MovedFrom {
 public:
  MovedFrom(const std::vector<ListedFile>& files, const std::vector<std::int64_t>& partner)
      : files_(files) {
    for (std::size_t i = 0; i < files.size(); ++i) {
      if (partner[i] < 0) pool_.push_back(static_cast<std::uint32_t>(i));
    }
    std::sort(pool_.begin(), pool_.end(), [this](std::uint32_t a, std::uint32_t b) {
      return std::make_tuple(files_[a].size, files_[a].crc32, a) <
             std::make_tuple(files_[b].size, files_[b].crc32, b);
    });
    taken_.assign(pool_.size(), 0);
  }

  // The old file `file` moved from, or -1.
  std::int64_t take(const ListedFile& file) {
    const auto key = std::make_pair(file.size, file.crc32);
    const auto first = std::lower_bound(
        pool_.begin(), pool_.end(), key, [this](std::uint32_t a, const auto& wanted) {
          return std::make_pair(files_[a].size, files_[a].crc32) < wanted;
        });
    if (first == pool_.end()) return -1;
    // The files of one size and CRC-32 are taken in order: the group's
    // first place counts how many of it are gone.
    const auto group = static_cast<std::size_t>(first - pool_.begin());
    const std::size_t at = group + taken_[group];
    if (at == pool_.size() || files_[pool_[at]].size != file.size ||
        files_[pool_[at]].crc32 != file.crc32) {
      return -1;
    }
    ++taken_[group];
    return pool_[at];
  }

 private:
  const std::vector<ListedFile>& files_;
  std::vector<std::uint32_t> pool_;   // old files without a partner, by size, CRC-32, place
  std::vector<std::uint32_t> taken_;  // at a group's first place: how many were taken
};

}  // namespace

ReleaseFiles keptOf(const CheckReport& report, ReleaseNames&& names) {
  ReleaseFiles kept;
  kept.release = report.release;
  kept.path = report.path;
  kept.entries = kept.release != nullptr ? kept.release->count() : 0;
  kept.exitCode = report.exitCode();
  kept.digest = report.expectedDigest;
  kept.compared = names.fileListDecoded && kept.release != nullptr;
  if (!kept.compared) return kept;
  // (the lines were matched only in a release whose survey went through
  // every name: each listed file's names were hashed)
  kept.files.reserve(names.listed.size());
  for (const std::int64_t listed : names.listed) {
    if (listed < 0) continue;  // names nothing, or repeats a line before it
    const auto index = static_cast<std::uint32_t>(listed);
    const ReleaseEntry& entry = kept.release->entry(index);
    kept.files.push_back(ListedFile{
        entry.size, names.folded[index], names.exact[index], index, entry.crc32,
        std::binary_search(names.configurations.begin(), names.configurations.end(), index)});
  }
  kept.folders = std::move(names.folders);
  std::sort(kept.folders.begin(), kept.folders.end());
  kept.folders.erase(std::unique(kept.folders.begin(), kept.folders.end()), kept.folders.end());
  return kept;
}

ReleaseDiff diffReleases(const ReleaseFiles& before, const ReleaseFiles& after) {
  ReleaseDiff diff;
  DiffSummary& summary = diff.summary;
  summary.digestChanged = before.digest != after.digest;
  summary.foldersAdded = missingFrom(after.folders, before.folders);
  summary.foldersRemoved = missingFrom(before.folders, after.folders);

  // The old files by name; of two that differ only in case (a release
  // that fails its check), the first.
  NameTable byName(before.files.size());
  for (std::size_t i = 0; i < before.files.size(); ++i) {
    byName.insert(before.files[i].folded, static_cast<std::uint32_t>(i));
  }
  std::vector<std::int64_t> partner(before.files.size(), -1);  // the new file of each
  std::int64_t lastMatched = -1;
  for (std::size_t j = 0; j < after.files.size(); ++j) {
    const ListedFile& file = after.files[j];
    const auto newFile = static_cast<std::int64_t>(j);
    const std::int64_t i = byName.find(file.folded);
    if (i < 0 || partner[static_cast<std::size_t>(i)] >= 0) {
      diff.changes.push_back(Change{ChangeKind::kAdded, -1, newFile});  // or moved: below
      continue;
    }
    const ListedFile& old = before.files[static_cast<std::size_t>(i)];
    partner[static_cast<std::size_t>(i)] = newFile;
    if (i < lastMatched) summary.orderChanged = true;
    lastMatched = i;
    const bool sameContents = old.size == file.size && old.crc32 == file.crc32;
    if (sameContents && old.exact == file.exact) {
      ++summary.unchanged;
    } else {
      diff.changes.push_back(
          Change{sameContents ? ChangeKind::kMoved : ChangeKind::kChanged, i, newFile});
    }
  }
  MovedFrom movedFrom(before.files, partner);
  for (Change& change : diff.changes) {
    if (change.kind != ChangeKind::kAdded) continue;
    const std::int64_t from = movedFrom.take(after.files[static_cast<std::size_t>(change.after)]);
    if (from < 0) continue;
    change = Change{ChangeKind::kMoved, from, change.after};
    partner[static_cast<std::size_t>(from)] = change.after;
  }
  for (std::size_t i = 0; i < before.files.size(); ++i) {
    if (partner[i] < 0) {
      diff.changes.push_back(Change{ChangeKind::kRemoved, static_cast<std::int64_t>(i), -1});
    }
  }

  for (const Change& change : diff.changes) {
    const ListedFile* old =
        change.before >= 0 ? &before.files[static_cast<std::size_t>(change.before)] : nullptr;
    const ListedFile* now =
        change.after >= 0 ? &after.files[static_cast<std::size_t>(change.after)] : nullptr;
    if ((old != nullptr && old->configuration) || (now != nullptr && now->configuration)) {
      summary.configChanged = true;
    }
    switch (change.kind) {
      case ChangeKind::kAdded:
        ++summary.added;
        summary.bytesAdded += now->size;
        break;
      case ChangeKind::kRemoved:
        ++summary.removed;
        summary.bytesRemoved += old->size;
        break;
      case ChangeKind::kChanged:
        ++summary.changed;
        summary.bytesAdded += now->size;
        summary.bytesRemoved += old->size;
        break;
      case ChangeKind::kMoved:
        ++summary.moved;
        break;
    }
  }
  return diff;
}

}  // namespace quillet::check
