// The content digest: one MD5 digest over the contents of every file of the
// loaded file list, in list order, stored as the 16 raw bytes of
// "FlashDrive\$md5.bin".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "md5.h"

namespace quillet {

// One line of the file list as the digest saw it.
struct DigestedFile {
  std::u16string path;  // the loaded line (first form, "FlashDrive\...")
  bool digested =
      false;  // false for lines skipped as configuration files ("$FileList-cfg.txt"): no size/CRC
  std::uint64_t size = 0;
  std::uint32_t crc32 = 0;
};

// What a digest recorded: the listed files in list order, and the digest's
// 16 bytes. The run hands it to the check of its archive.
struct ContentDigest {
  std::vector<DigestedFile> files;
  std::uint8_t bytes[kMd5DigestBytes] = {};
  // The folders the walk scanned below the staging folder, empty ones
  // included, as first-form paths ("FlashDrive\..."): the archive may hold
  // a folder entry for each of them and for no other. The run fills it
  // from the walk.
  std::vector<std::u16string> folders;
};

// Digests the files of the first `fileListCount` path slots, skipping paths
// that contain "$FileList-cfg.txt", and writes "FlashDrive\$md5.bin".
// Returns 1 when all 16 bytes reached the file, with what it digested in
// `recorded`; 0 after a message when a listed file could not be opened or
// read, or the digest could not be written (no partial "$md5.bin" is left
// behind then).
int calculateMd5(ContentDigest* recorded);

// Adds the contents of the file at `path` (NUL-terminated UTF-16, relative
// to the working folder) to `context`. Returns 1 when the whole file was
// read; 0 after a message when it could not be opened or a read failed.
int calculateMd5_AddOneFile(const char16_t* path, Md5Context* context);

// How calculateMd5 reads ahead of its hashing. The files are hashed in list
// order on the calling thread; `readers` threads open and read the files
// after the one being hashed, holding at most `bufferBytes` of their
// contents (a large file streams through that much), so a cold disk is asked
// for several files at once.
struct DigestReadAhead {
  unsigned readers = 8;                 // 0: each file is read at its turn, by the caller
  std::size_t bufferBytes = 32u << 20;  // contents read and not yet hashed, at most
                                        // (besides, up to two read buffers of 256 KiB per reader)
};
// The settings in use; the defaults above unless changed. Tests and the
// benchmark compare the digest with and without reading ahead.
DigestReadAhead digestReadAhead();
void setDigestReadAhead(const DigestReadAhead& settings);

}  // namespace quillet
