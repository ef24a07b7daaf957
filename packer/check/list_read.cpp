#include "list_read.h"

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
    // (a line's UTF-8 takes about as many bytes as its UTF-16 units, and a
    // list's UTF-16 takes two bytes a unit)
    if (list.lines.empty())
      list.lines.reserve(decoder.headerCount(), source.entries()[index].size / 2);
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
