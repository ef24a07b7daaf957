// The packer's check of the archive it has just made, through the zip
// reader: the archive must hold exactly what was listed and digested, and
// every entry must read whole, its data matching its CRC-32 and sizes.
#pragma once

#include <cstddef>
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
// configuration file only has to be there); "$md5.bin" holding the digest;
// no other file entry. Names are compared with the list lines less their
// "FlashDrive\".
OwnArchiveResult checkArchiveAgainst(ByteSource& archive, const ContentDigest& digest);

// The run's step: checks "ZarvoEUupdate.zip" against `digest` and prints the
// outcome (one line when it passes). True when it passes.
bool checkOwnArchive(const ContentDigest& digest);

}  // namespace quillet
