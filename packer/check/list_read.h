// Reading one of the release's lists: the bytes through the strict decoder
// into UTF-8 lines. The check reads both lists on a second thread while it
// surveys the entries, so what becomes of a list is kept here and said to
// the report afterwards, in the check's order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "held_entries.h"
#include "release_source.h"
#include "text_lines.h"

namespace quillet::check {

struct ListRead {
  int index = -1;               // the entry read; -1 when none was
  TextLines lines;              // UTF-8
  std::uint64_t bytes = 0;      // of contents read
  bool read = false;            // read to its end: CRC and size checked
  bool damaged = false;         // reading failed; `problem` says why
  std::uint32_t notUtf16 = 0;   // the first line that is not valid UTF-16
  bool malformed = false;       // the decoder found a fault
  std::uint32_t faultLine = 0;  // its line (0 for the header or the count)
  std::string problem;          // the source's message, or the decoder's
};

// The first file named exactly `name` (at the top level), or -1: the entry
// the check takes for it when nothing is wrong with the entries.
int exactTopLevel(const std::vector<ReleaseEntry>& entries, std::string_view name);

// Reads and strictly decodes the list in entry `list.index` of `source`, and
// with a `hold`, holds its bytes there when it is no larger than
// HeldEntries::kListBytesMax and reads to its end (the digest reads the
// list again otherwise). Touches nothing but `source` (which no other thread
// may read meanwhile), `list` and `hold`.
void readList(ReleaseSource& source, ListRead& list, HeldEntries* hold = nullptr);

}  // namespace quillet::check
