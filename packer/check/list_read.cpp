#include "list_read.h"

#include <algorithm>

#include "list_format.h"
#include "utf.h"

namespace quillet::check {

int exactTopLevel(const std::vector<ReleaseEntry>& entries, std::string_view name) {
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].name == name && !entries[i].folder && entries[i].readable) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

void readList(ReleaseSource& source, ListRead& list, HeldEntries* hold) {
  const auto index = static_cast<std::size_t>(list.index);
  if (hold != nullptr && source.entries()[index].size > HeldEntries::kListBytesMax) hold = nullptr;
  if (hold != nullptr) hold->start(index);
  ListDecoder decoder(ListDecoder::Mode::kStrict);
  const auto keep = [&](std::u16string_view line, std::uint32_t number) {
    // Room for the most the lines can take, so that the text never moves to
    // a larger buffer while the old one is still held: a UTF-16 unit
    // becomes at most three bytes of UTF-8. (Room not written to is never
    // given memory by the system; the entry's declared size is the
    // archive's word, so the room is also held to what the count allows.)
    if (list.lines.empty()) {
      const std::uint64_t count = decoder.headerCount();
      const std::uint64_t most =
          std::min(source.entries()[index].size / 2, count * kListLineUnitsMax);
      list.lines.reserve(static_cast<std::size_t>(count), static_cast<std::size_t>(most * 3));
    }
    if (!appendUtf16AsUtf8(line, list.lines.text())) {
      list.notUtf16 = number;
      return false;
    }
    list.lines.endLine();
    return true;
  };
  list.read = source.read(index, [&](const std::uint8_t* data, std::size_t size) {
    list.bytes += size;
    if (hold != nullptr) hold->add(data, size);
    if (decoder.feed(data, size, keep)) return true;
    list.malformed = list.notUtf16 == 0;
    return false;
  });
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

}  // namespace quillet::check
