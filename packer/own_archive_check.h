// The packer's check of the archive it has just made, with the release
// check's zip reader: the archive must hold exactly what was listed and
// digested.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "content_digest.h"

namespace quillet::check {

// What the check of an archive came to.
struct OwnArchiveResult {
  bool passed = false;
  std::vector<std::string> problems;  // what failed, each naming the entry
  std::size_t files = 0;              // listed files found in the archive
};

// Checks the archive at `path` against the digest's records: every local
// header and the central directory read cleanly; each listed file is an
// entry of the same size and CRC-32 as the bytes digested (a configuration
// file only has to be there); "$md5.bin" holds `digest`; no other file
// entry. Names are compared with the list lines less their "FlashDrive\".
OwnArchiveResult checkArchiveAgainst(const std::string& path,
                                     const std::vector<DigestedFile>& files,
                                     const std::uint8_t* digest);

// The packer's step: checks "ZarvoEUupdate.zip" against the last digest's
// records and prints the outcome (one line when it passes). True when it
// passes.
bool checkOwnArchive();

}  // namespace quillet::check
