// Reading one of the release's lists: the bytes through the strict decoder
// into UTF-8 lines. The check reads both lists on a second thread while it
// surveys the entries, so what becomes of a list is kept here and said to
// the report afterwards, in the check's order.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "held_entries.h"
#include "name_index.h"
#include "release_check.h"
#include "release_source.h"
#include "text_lines.h"

namespace quillet::check {

struct ListRead {
  int index = -1;               // the entry read; -1 when none was
  ListLines lines;              // UTF-8, or the entries they name
  std::uint64_t bytes = 0;      // of contents read
  bool read = false;            // read to its end: CRC and size checked
  bool damaged = false;         // reading failed; `problem` says why
  std::uint32_t notUtf16 = 0;   // the first line that is not valid UTF-16
  bool malformed = false;       // the decoder found a fault
  std::uint32_t faultLine = 0;  // its line (0 for the header or the count)
  std::string problem;          // the source's message, or the decoder's
};

// Lines of a list on their way from the thread that decodes it to the one
// that matches them with the release's files, a chunk at a time, with at
// most kQueuedBytesMax of their text waiting.
class LineQueue {
 public:
  static constexpr std::size_t kChunkBytes = 64 * 1024;  // of text in a chunk, about
  static constexpr std::size_t kQueuedBytesMax = 1u << 20;

  struct Chunk {
    std::string text;               // the lines end to end, UTF-8
    std::vector<std::size_t> ends;  // where each ends in `text`
  };

  // Hands a chunk over; waits while kQueuedBytesMax is waiting. Once
  // cancelled, drops it.
  void push(Chunk chunk);
  // No more chunks come.
  void close();
  // Lets a waiting push() go, and drops every chunk from then on.
  void cancel();
  // The next chunk, waiting for one; false once closed and emptied.
  bool pop(Chunk* chunk);

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Chunk> chunks_;
  std::size_t bytes_ = 0;
  bool closed_ = false;
  bool cancelled_ = false;
};

// What a list's lines are matched with as they are decoded: a line that
// names something of the release exactly is kept as what it names, not as
// text (a list of 65,535 long lines would otherwise hold every name again).
class LineMatcher {
 public:
  virtual ~LineMatcher() = default;
  // The names the kept lines are said with.
  virtual const EntryNames& names() const = 0;
  // Keeps the lines of `chunk` in `lines`, in order.
  virtual void match(const LineQueue::Chunk& chunk, ListLines& lines) const = 0;
};

// The file list's: a line naming a file exactly is kept as that file's entry.
class FileLineMatcher final : public LineMatcher {
 public:
  explicit FileLineMatcher(const NameIndex& files) : files_(files) {}
  const EntryNames& names() const override { return files_.names(); }
  void match(const LineQueue::Chunk& chunk, ListLines& lines) const override;

 private:
  const NameIndex& files_;
};

// The first file named exactly `name` (at the top level), or -1: the entry
// the check takes for it when nothing is wrong with the entries.
int exactTopLevel(const EntryNames& names, std::string_view name);

// Reads and strictly decodes the list in entry `list.index` of `source`, and
// with a `hold`, holds its bytes there when it is no larger than
// HeldEntries::roomForList() and reads to its end (the digest reads the
// list again otherwise). With a `matcher`, each line that names something
// exactly is kept as the matcher keeps it; with a `queue` instead, the lines
// are handed to it, and `list.lines` is left alone for the thread that
// takes them (matchQueuedLines) to fill. Touches nothing but `source`
// (which no other thread may read meanwhile), `list`, `hold` and `queue`,
// and only reads what `matcher` reads.
void readList(ReleaseSource& source, ListRead& list, HeldEntries* hold = nullptr,
              const LineMatcher* matcher = nullptr, LineQueue* queue = nullptr);

// Takes the lines of `queue` until it is closed into `lines`, each that
// names something exactly as `matcher` keeps it.
void matchQueuedLines(LineQueue& queue, const LineMatcher& matcher, ListLines& lines);

// Says in `report` what is wrong with `list`, read whole (named
// `listName`): not UTF-16, malformed, or too much text to keep (refused as
// not supported). True when nothing is.
bool sayListFaults(const ListRead& list, const char* listName, CheckReport& report);

}  // namespace quillet::check
