// Feeds arbitrary bytes to the zip reader as an archive in memory: opens it
// and reads every entry, and checks what the reader promises whatever the
// bytes are: a failure always has its kind and its message, no entry hands
// over more than its declared size, a read that succeeds handed over
// exactly that size, and every name reads back the same one at a time as in
// the one pass over the directory.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

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
  std::size_t named = 0;
  std::string scratch;
  const bool allRead = reader.forEachName([&](std::size_t i, std::string_view name) {
    if (i != named++ || reader.nameOf(i, scratch) != name) std::abort();
  });
  if (!allRead || named != reader.entries().size() || !reader.namesLost().empty()) std::abort();
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
