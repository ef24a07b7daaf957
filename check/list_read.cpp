#include "list_read.h"

#include <algorithm>

#include "finding_places.h"
#include "list_format.h"
#include "utf.h"

namespace quillet::check {

int exactTopLevel(const EntryNames& names, std::string_view name) {
  const std::vector<ReleaseEntry>& entries = names.entries();
  std::string scratch;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    // Only a name of the same length is read back.
    if (names.sizeOf(i) == name.size() && !entries[i].folder && entries[i].readable &&
        names.of(i, scratch) == name) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

void LineQueue::push(Chunk chunk) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return cancelled_ || bytes_ < kQueuedBytesMax; });
  if (cancelled_) return;
  bytes_ += chunk.text.size();
  chunks_.push_back(std::move(chunk));
  lock.unlock();
  changed_.notify_all();
}

void LineQueue::close() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
}

void LineQueue::cancel() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
    chunks_.clear();
    bytes_ = 0;
  }
  changed_.notify_all();
}

bool LineQueue::pop(Chunk* chunk) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return closed_ || cancelled_ || !chunks_.empty(); });
  if (chunks_.empty()) return false;
  *chunk = std::move(chunks_.front());
  chunks_.pop_front();
  bytes_ -= chunk->text.size();
  lock.unlock();
  changed_.notify_all();
  return true;
}

namespace {

// Keeps the lines of `chunk` in `lines`, each that names a file exactly as
// that file's entry. A group of lines at a time: their names hashed, what
// their look-ups need fetched, then the look-ups (the lines name files all
// over the release, so a look-up alone would wait on memory for each step).
void matchChunk(const NameIndex& names, const LineQueue::Chunk& chunk, ListLines& lines) {
  const auto line = [&chunk](std::size_t k) {
    const std::size_t begin = k == 0 ? 0 : chunk.ends[k - 1];
    return std::string_view(chunk.text).substr(begin, chunk.ends[k] - begin);
  };
  constexpr std::size_t kGroup = 32;
  std::uint32_t hashes[kGroup];
  for (std::size_t group = 0; group < chunk.ends.size(); group += kGroup) {
    const std::size_t count = std::min(kGroup, chunk.ends.size() - group);
    for (std::size_t k = 0; k < count; ++k) hashes[k] = names.hashOf(line(group + k));
    names.prefetchAll(hashes, count);
    for (std::size_t k = 0; k < count; ++k) {
      const std::string_view text = line(group + k);
      // (a line with a "/" of its own matches too, but would not read as
      // itself again: it keeps its text)
      const int entry = names.findLine(text, hashes[k]);
      if (entry >= 0 && text.find('/') == std::string_view::npos) {
        lines.pushEntry(static_cast<std::size_t>(entry));
      } else {
        lines.push_back(text);
      }
    }
  }
}

}  // namespace

void FileLineMatcher::match(const LineQueue::Chunk& chunk, ListLines& lines) const {
  matchChunk(files_, chunk, lines);
}

void matchQueuedLines(LineQueue& queue, const LineMatcher& matcher, ListLines& lines) {
  lines.setNames(matcher.names());
  LineQueue::Chunk chunk;
  while (queue.pop(&chunk)) matcher.match(chunk, lines);
}

void readList(ReleaseSource& source, ListRead& list, HeldEntries* hold, const LineMatcher* matcher,
              LineQueue* queue) {
  const auto index = static_cast<std::size_t>(list.index);
  if (hold != nullptr && source.entries()[index].size > hold->roomForList()) hold = nullptr;
  if (hold != nullptr) hold->start(index);
  ListDecoder decoder(ListDecoder::Mode::kStrict);
  // Lines to be matched go a chunk at a time, to the queue or to be matched
  // here.
  const bool matching = matcher != nullptr || queue != nullptr;
  if (matcher != nullptr) list.lines.setNames(matcher->names());
  LineQueue::Chunk chunk;
  const auto endChunk = [&] {
    if (queue != nullptr) {
      queue->push(std::move(chunk));
    } else {
      matcher->match(chunk, list.lines);
    }
    chunk = LineQueue::Chunk();
  };
  const auto keep = [&](std::u16string_view line, std::uint32_t number) {
    // Room for every line at once (a UTF-16 unit becomes at most three bytes
    // of UTF-8), so that the text never moves to a larger buffer while the
    // old one is still held. Room never written to is never given memory by
    // the system; as the entry's declared size is the archive's word, the
    // room is also held to what the count allows. Lines to be matched take
    // no such room: only those that name nothing keep text, as they come.
    if (number == 1 && queue == nullptr) {
      const std::uint64_t count = decoder.headerCount();
      const std::uint64_t most =
          std::min(source.entries()[index].size / 2, count * kListLineUnitsMax);
      list.lines.reserve(static_cast<std::size_t>(count),
                         matching ? 0
                                  : static_cast<std::size_t>(std::min<std::uint64_t>(
                                        most * 3, ListLines::kTextRoomBytes)));
    }
    // (a chunk's text is given its room at once, so that it never moves to
    // a larger buffer while the old one is still held)
    if (matching && chunk.text.empty())
      chunk.text.reserve(LineQueue::kChunkBytes + 3 * kListLineUnitsMax);
    if (!appendUtf16AsUtf8(line, matching ? chunk.text : list.lines.text())) {
      list.notUtf16 = number;
      return false;
    }
    if (!matching) {
      list.lines.endLine();
    } else {
      chunk.ends.push_back(chunk.text.size());
      if (chunk.text.size() >= LineQueue::kChunkBytes) endChunk();
    }
    return true;
  };
  list.read = source.read(index, [&](const std::uint8_t* data, std::size_t size) {
    list.bytes += size;
    if (hold != nullptr) hold->add(data, size);
    if (decoder.feed(data, size, keep)) return true;
    list.malformed = list.notUtf16 == 0;
    return false;
  });
  if (!chunk.ends.empty()) endChunk();
  if (!list.read && source.failure() != SourceFailure::kStopped) {
    list.damaged = true;
    list.problem = source.message();
  } else if (list.read && !decoder.finish()) {
    list.malformed = true;
  }
  if (hold != nullptr) {
    if (list.read) {
      hold->keep();
    } else {
      hold->drop();
    }
  }
  if (list.malformed) {
    list.faultLine = decoder.faultLine();
    list.problem = decoder.message();
  }
}

bool sayListFaults(const ListRead& list, const char* listName, CheckReport& report) {
  if (list.notUtf16 != 0) {
    report.fail(kExitMalformedLists, lineWhere(listName, list.notUtf16),
                std::string(listName) + " holds an unpaired surrogate (not valid UTF-16)");
    return false;
  }
  if (list.malformed) {
    const std::string where =
        list.faultLine > 0 ? lineWhere(listName, list.faultLine) : std::string(listName);
    report.fail(kExitMalformedLists, where, std::string(listName) + " " + list.problem);
    return false;
  }
  if (list.lines.overflowed()) {
    report.fail(kExitDamaged, Mention::entry(static_cast<std::size_t>(list.index)),
                "not supported: its lines that name nothing exactly take more than " +
                    std::to_string(ListLines::kTextBytesMax) +
                    " bytes, the most the check keeps of them");
    return false;
  }
  return true;
}

}  // namespace quillet::check
