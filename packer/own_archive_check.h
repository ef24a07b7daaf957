// The packer's check of the archive it has just made, through the zip
// reader: the archive must hold exactly what was listed and digested, and
// every entry must read whole, its data matching its CRC-32 and sizes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "byte_source.h"
#include "content_digest.h"

namespace quillet {

// What the check of an archive came to.
struct OwnArchiveResult {
  bool passed = false;
  std::vector<std::string> problems;  // what failed, each naming the entry
  std::size_t files = 0;              // listed files found in the archive
};

// Checks `archive` against what `digest` recorded: the central directory and
// every entry read whole (local header, data, CRC-32, sizes, data
// descriptor); each listed file an entry of the size and CRC-32 digested (a
// configuration file only has to be there) and none of more bytes than the
// device holds in a file; "$md5.bin" holding the digest;
// no other file entry; no folder entry but of a folder the walk scanned;
// no name twice, a folder's less its "/"; no link. Names are compared with the
// list lines less their "FlashDrive\". `archive` may be read on several threads at once (see
// OwnCheckReading): files from openInputFile and memory allow that.
OwnArchiveResult checkArchiveAgainst(ByteSource& archive, const ContentDigest& digest);

// How the check reads the entries' data: once they hold `splitBytes` or
// more together, on `threads` threads (the calling one and helpers, each
// with a zip reader of its own over the archive, thread t of n reading
// entries t, t + n, t + 2n, ...); on the calling thread alone otherwise.
// What the check finds, and the order it says it in, do not depend on it.
struct OwnCheckReading {
  unsigned threads = 2;
  std::uint64_t splitBytes = 4u << 20;
};
// The settings in use; the defaults above unless changed. Tests and the
// benchmark compare one thread and two.
OwnCheckReading ownCheckReading();
void setOwnCheckReading(const OwnCheckReading& settings);

// The run's step: checks "ZarvoEUupdate.zip" against `digest` and prints the
// outcome (one line when it passes). True when it passes.
bool checkOwnArchive(const ContentDigest& digest);

}  // namespace quillet
