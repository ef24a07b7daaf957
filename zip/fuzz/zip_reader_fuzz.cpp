// Feeds arbitrary bytes to the zip reader as an archive in memory: opens it
// and reads every entry, and checks what the reader promises whatever the
// bytes are: a failure always has its kind and its message, no entry hands
// over more than its declared size, a read that succeeds handed over
// exactly that size, and names left in the archive read back as held.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "zip_reader.h"

using quillet::zip::Failure;

namespace {

void checkFailure(const quillet::zip::Reader& reader) {
  if (reader.failure() == Failure::kNone || reader.message().empty()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quillet::zip::MemorySource source(std::string(reinterpret_cast<const char*>(data), size));
  quillet::zip::Reader reader;
  if (!reader.open(source)) {
    checkFailure(reader);
    return 0;
  }
  // Every entry held came from at least 46 bytes of the file.
  if (reader.entries().size() > size / 46) std::abort();
  // The same archive with its names left in it, from the start or from
  // midway (past half of what the names take held, or past all but a byte):
  // each name reads back as it is held, and each local header is judged
  // alike.
  const std::uint64_t heldBytes = reader.namesHeldBytes();
  for (const std::uint64_t most : {std::uint64_t{0}, heldBytes / 2, heldBytes - 1}) {
    if (most >= heldBytes && heldBytes > 0) continue;
    quillet::zip::Reader leaving;
    leaving.setNamesHeldMax(most);
    if (!leaving.open(source) || leaving.entries().size() != reader.entries().size()) {
      std::abort();
    }
    std::string scratch;
    for (std::size_t i = 0; i < reader.entries().size(); ++i) {
      if (leaving.nameOf(i, scratch) != reader.entries()[i].name) std::abort();
      const bool held = reader.checkLocalHeader(i);
      if (leaving.checkLocalHeader(i) != held) std::abort();
      if (!held && leaving.message() != reader.message()) std::abort();
    }
  }
  for (std::size_t i = 0; i < reader.entries().size(); ++i) {
    std::uint64_t delivered = 0;
    const bool read = reader.readEntry(i, [&](const std::uint8_t*, std::size_t chunk) {
      if (chunk == 0 || chunk > quillet::zip::Reader::kChunkSize) std::abort();
      delivered += chunk;
      return true;
    });
    const quillet::zip::Entry& entry = reader.entries()[i];
    if (delivered > entry.size) std::abort();
    if (read && delivered != entry.size) std::abort();
    if (!read) checkFailure(reader);
  }
  return 0;
}
