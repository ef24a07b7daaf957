#include "release_diff.h"

#include <algorithm>
#include <utility>

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

std::pair<std::uint64_t, std::uint32_t> contentsOf(const ListedFile& file) {
  return {file.size, file.crc32};
}

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
        std::binary_search(names.configurations.begin(), names.configurations.end(), index),
        std::binary_search(names.unread.begin(), names.unread.end(), index)});
  }
  kept.folders = std::move(names.folders);
  std::sort(kept.folders.begin(), kept.folders.end());
  kept.folders.erase(std::unique(kept.folders.begin(), kept.folders.end()), kept.folders.end());
  return kept;
}

ReleaseDiff diffReleases(const ReleaseFiles& before, const ReleaseFiles& after) {
  ReleaseDiff diff;
  diff.digestChanged = before.digest != after.digest;
  diff.foldersAdded = missingFrom(after.folders, before.folders);
  diff.foldersRemoved = missingFrom(before.folders, after.folders);

  // The old files by name; of two that differ only in case (a release
  // that fails its check), the first.
  NameTable byName(before.files.size());
  for (std::size_t i = 0; i < before.files.size(); ++i) {
    byName.insert(before.files[i].folded, static_cast<std::uint32_t>(i));
  }
  std::vector<bool> matched(before.files.size(), false);
  std::int64_t lastMatched = -1;
  for (const ListedFile& file : after.files) {
    const std::int64_t i = byName.find(file.folded);
    if (i < 0 || matched[static_cast<std::size_t>(i)]) {
      diff.changes.push_back(Change{ChangeKind::kAdded, nullptr, &file});  // or moved: below
      continue;
    }
    const ListedFile& old = before.files[static_cast<std::size_t>(i)];
    matched[static_cast<std::size_t>(i)] = true;
    if (i < lastMatched) diff.orderChanged = true;
    lastMatched = i;
    if (old.unread || file.unread || contentsOf(old) != contentsOf(file)) {
      diff.changes.push_back(Change{ChangeKind::kChanged, &old, &file});
    } else if (old.exact != file.exact) {
      diff.changes.push_back(Change{ChangeKind::kMoved, &old, &file});
    } else {
      ++diff.unchanged;
    }
  }

  // Moves: the old files whose names are gone and the new files of new
  // names, each in list order within a size and CRC-32; the k-th new file
  // of one takes the k-th old file of it.
  std::vector<std::uint32_t> gone;
  for (std::size_t i = 0; i < before.files.size(); ++i) {
    if (!matched[i] && !before.files[i].unread) gone.push_back(static_cast<std::uint32_t>(i));
  }
  std::vector<Change*> added;
  for (Change& change : diff.changes) {
    if (change.kind == ChangeKind::kAdded && !change.after->unread) added.push_back(&change);
  }
  std::stable_sort(gone.begin(), gone.end(), [&before](std::uint32_t a, std::uint32_t b) {
    return contentsOf(before.files[a]) < contentsOf(before.files[b]);
  });
  std::stable_sort(added.begin(), added.end(), [](const Change* a, const Change* b) {
    return contentsOf(*a->after) < contentsOf(*b->after);
  });
  auto from = gone.begin();
  for (Change* change : added) {
    while (from != gone.end() && contentsOf(before.files[*from]) < contentsOf(*change->after)) {
      ++from;
    }
    if (from == gone.end() || contentsOf(before.files[*from]) != contentsOf(*change->after)) {
      continue;
    }
    *change = Change{ChangeKind::kMoved, &before.files[*from], change->after};
    matched[*from++] = true;
  }
  for (std::size_t i = 0; i < before.files.size(); ++i) {
    if (!matched[i]) {
      diff.changes.push_back(Change{ChangeKind::kRemoved, &before.files[i], nullptr});
    }
  }

  for (const Change& change : diff.changes) {
    ++diff.files[static_cast<std::size_t>(change.kind)];
    if ((change.before != nullptr && change.before->configuration) ||
        (change.after != nullptr && change.after->configuration)) {
      diff.configChanged = true;
    }
    if (change.kind == ChangeKind::kMoved) continue;
    if (change.after != nullptr) diff.bytesAdded += change.after->size;
    if (change.before != nullptr) diff.bytesRemoved += change.before->size;
  }
  return diff;
}

}  // namespace quillet::check
