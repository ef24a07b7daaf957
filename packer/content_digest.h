// The content digest: one MD5 digest over the contents of every file of the
// loaded file list, in list order, stored as the 16 raw bytes of
// "FlashDrive\$md5.bin".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "md5.h"

namespace quillet {

// Digests the files of the first `fileListCount` path slots, skipping paths
// that contain "$FileList-cfg.txt", and writes "FlashDrive\$md5.bin".
// Returns 1 when all 16 bytes reached the file; 0 after a message when a
// listed file could not be opened or read, or the digest could not be
// written (no partial "$md5.bin" is left behind then).
int calculateMd5();

// One listed file as the digest saw it, so the packer can check its archive
// against exactly the bytes it digested.
struct DigestedFile {
  std::u16string path;  // the loaded line (first form, "FlashDrive\...")
  bool digested =
      false;  // false for lines skipped as configuration files ("$FileList-cfg.txt"): no size/CRC
  std::uint64_t size = 0;
  std::uint32_t crc32 = 0;
};

// The listed files of the last calculateMd5 that returned 1, in list order
// (empty after a failed one), and that digest's 16 bytes.
const std::vector<DigestedFile>& calculateMd5_Files();
const std::uint8_t* calculateMd5_Digest();

// Adds the contents of the file at `path` (NUL-terminated UTF-16, relative
// to the working folder) to `context`. Returns 1 when the whole file was
// read; 0 after a message when it could not be opened or a read failed.
int calculateMd5_AddOneFile(const char16_t* path, Md5Context* context);

}  // namespace quillet
