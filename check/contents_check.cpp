// The check's contents: every entry read once, its CRC-32, sizes and local
// header checked, the listed files digested in list order on a second
// thread's reading (see checker.h).
#include <algorithm>
#include <cstring>

#include "checker.h"
#include "md5.h"
#include "shown_text.h"

namespace quillet::check {
namespace {

// Bytes of content between two progress calls at most.
constexpr std::uint64_t kProgressStepBytes = 4u << 20;
// Contents read ahead of the digest and not yet digested, at most, and what
// the files the second thread reads at a time hold (the last may pass it).
constexpr std::size_t kReadAheadBytes = 8u << 20;
constexpr std::uint64_t kGroupBytes = 256u << 10;

}  // namespace

// Counts `size` bytes more read, now and then telling the progress.
void Checker::countRead(std::size_t size) {
  doneBytes_ += size;
  if (progress_ && doneBytes_ - lastProgress_ >= kProgressStepBytes) {
    lastProgress_ = doneBytes_;
    progress_(doneBytes_, report_.bytes);
  }
}

// Reads entry `index` through `sink`; a failure is reported as an error.
bool Checker::readEntry(std::size_t index, const ReleaseSource::Sink& sink) {
  const bool ok = source_.read(index, [&](const std::uint8_t* data, std::size_t size) {
    countRead(size);
    return sink(data, size);
  });
  if (ok) {
    flags_[index] |= kRead;
  } else if (source_.failure() != SourceFailure::kStopped) {
    sayDamaged(index, source_.message());
  }
  return ok;
}

// Says that entry `index` could not be read; past kDamagedEntriesMax such
// entries, or kDamagedMessageBytesMax bytes of their messages, that the
// rest is not read, once.
void Checker::sayDamaged(std::size_t index, const std::string& message) {
  flags_[index] |= kRead | kFailed;
  if (tooDamaged_) return;
  damagedBytes_ += message.size();
  if (damaged_ == kDamagedEntriesMax || damagedBytes_ > kDamagedMessageBytesMax) {
    tooDamaged_ = true;
    const std::string what = damaged_ == kDamagedEntriesMax
                                 ? "more than " + std::to_string(kDamagedEntriesMax) + " entries"
                                 : std::to_string(damaged_ + 1) +
                                       " entries, whose messages take more than " +
                                       std::to_string(kDamagedMessageBytesMax) + " bytes,";
    report_.failWith(
        kExitDamaged, "",
        what + " could not be read: the rest of the " + source_.kind() + " was not read");
    return;
  }
  ++damaged_;
  report_.failAt(kExitDamaged, index, message);
}

// MD5 over the listed files in list order, leaving out configuration
// lines. A second thread reads (and inflates) the files ahead, while this
// one digests them: each reading costs about what MD5 does.
void Checker::digestListedFiles(const std::vector<std::int64_t>& listed) {
  const ListLines& lines = report_.fileList;
  bool complete = true;
  std::vector<std::size_t> order;  // the entries to digest
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::int64_t entry = lines.entryOf(i);  // (a file line is an entry or text)
    if (entry >= 0 ? (flags_[static_cast<std::size_t>(entry)] & kConfiguration) != 0
                   : lines.textOf(i).find(kConfigurationMark) != std::string_view::npos) {
      continue;
    }
    // (a list that could not be read has been said already)
    if (listed[i] < 0 || (flags_[static_cast<std::size_t>(listed[i])] & kFailed) != 0) {
      complete = false;
    } else {
      order.push_back(static_cast<std::size_t>(listed[i]));
    }
  }
  // Files in groups of consecutive ones, each group read whole by the
  // second thread as one piece of work (a release of 65,533 small files
  // would otherwise cost the two threads a hand-over each).
  std::vector<std::size_t> groupEnds;  // where each group ends in `order`
  std::uint64_t groupBytes = 0;
  for (std::size_t at = 0; at < order.size(); ++at) {
    groupBytes += source_.entry(order[at]).size;
    if (groupBytes >= kGroupBytes || at + 1 == order.size()) {
      groupEnds.push_back(at + 1);
      groupBytes = 0;
    }
  }
  // What could not be read in each group: written by the second thread
  // before it ends the group, read by this one after.
  std::vector<std::vector<std::pair<std::size_t, std::string>>> unread(groupEnds.size());
  Md5Context context;
  md5Start(&context);
  {
    ReadAhead ahead(groupEnds.size(), kReadAheadBytes,
                    [&](std::size_t group, ReadAhead::Writer& writer) {
                      const std::size_t from = group == 0 ? 0 : groupEnds[group - 1];
                      return readAhead(order, from, groupEnds[group], writer, unread[group]);
                    });
    const bool threaded = ahead.start(1);
    ReadAhead::Piece piece;  // taken last, given back with the next
    for (std::size_t group = 0; group < groupEnds.size() && !tooDamaged_; ++group) {
      const std::size_t from = group == 0 ? 0 : groupEnds[group - 1];
      if (!threaded) {  // (no thread to be had: each file at its turn)
        for (std::size_t at = from; at < groupEnds[group] && !tooDamaged_; ++at) {
          complete &= readEntry(order[at], [&context](const std::uint8_t* data, std::size_t size) {
            md5AddBytes(&context, data, static_cast<std::uint32_t>(size));
            return true;
          });
        }
        continue;
      }
      ReadAhead::Ending ending;
      while (ahead.next(group, &piece, &ending)) {
        md5AddBytes(&context, piece.bytes.get(), static_cast<std::uint32_t>(piece.size));
        countRead(piece.size);
        if (piece.last) break;
      }
      for (std::size_t at = from; at < groupEnds[group]; ++at) flags_[order[at]] |= kRead;
      for (const auto& [index, message] : unread[group]) {
        sayDamaged(index, message);
        complete = false;
      }
    }
    if (tooDamaged_) complete = false;
  }
  std::uint8_t digest[kMd5DigestBytes];
  md5Finish(digest, &context);
  if (!complete) return;  // what is missing has been said
  report_.foundDigest = hexBytes(digest, sizeof digest);
  if (!report_.expectedDigest.empty() && report_.expectedDigest != report_.foundDigest) {
    report_.failWith(kExitDigestMismatch, std::string("entry '") + kDigestName + "'",
                     "holds " + report_.expectedDigest + " but the listed files digest to " +
                         report_.foundDigest);
  }
}

// Reads the entries order[from] to order[to] whole into `writer`'s
// pieces, back to back, on the second thread: only the source is touched
// there, and `unread`, which gets each entry that could not be read.
ReadAhead::Ending Checker::readAhead(const std::vector<std::size_t>& order, std::size_t from,
                                     std::size_t to, ReadAhead::Writer& writer,
                                     std::vector<std::pair<std::size_t, std::string>>& unread) {
  std::uint8_t* room = nullptr;
  std::size_t used = 0;
  const auto put = [&](const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
      if (room == nullptr) {
        room = writer.room();
        used = 0;
        if (room == nullptr) return false;  // the digest stopped
      }
      const std::size_t take = std::min(size, writer.pieceBytes() - used);
      std::memcpy(room + used, data, take);
      used += take;
      data += take;
      size -= take;
      if (used == writer.pieceBytes()) {
        writer.put(used);
        room = nullptr;
      }
    }
    return true;
  };
  for (std::size_t at = from; at < to; ++at) {
    if (source_.read(order[at], put)) continue;
    if (source_.failure() == SourceFailure::kStopped) break;
    unread.emplace_back(order[at], source_.message());
  }
  if (room != nullptr) writer.put(used);
  return ReadAhead::Ending();
}

// Every entry not read yet is read once, so its CRC and local header are
// checked too.
void Checker::readTheRest() {
  for (std::size_t i = 0; i < source_.count() && !tooDamaged_; ++i) {
    const ReleaseEntry& entry = source_.entry(i);
    if ((flags_[i] & kRead) != 0 || !entry.readable || entry.link) continue;
    readEntry(i, [](const std::uint8_t*, std::size_t) { return true; });
  }
}

}  // namespace quillet::check
