// The content digest.
//
// Divisions of this file:
//   1. the list's lines as the digest sees them;
//   2. reading ahead (support/read_ahead.h): reader threads that open and
//      read the files after the one being hashed, into a bounded amount of
//      memory;
//   3. the digest itself: one MD5 pass in list order on the calling thread,
//      with each file's size and CRC-32, and "$md5.bin".
//
// Why read ahead: on a cold disk the time goes into waiting for each file's
// blocks. Reading one file at a time never asks the disk for more than one
// thing at once; a few readers keep several requests outstanding, while the
// hashing stays one pass in list order. Every console line is printed by
// the hashing thread, at the file's own place in the order, so the output is
// the same as reading each file at its turn: a file that could not be opened
// or read is reported when its turn comes, and nothing after it is hashed.
#include "content_digest.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "console.h"
#include "crc32.h"
#include "file_list.h"
#include "platform.h"
#include "read_ahead.h"

namespace quillet {
namespace {

const std::u16string kDigestPath = u"FlashDrive\\$md5.bin";
const std::u16string kSkipMark = u"$FileList-cfg.txt";

// Reading at each file's turn (no reader threads).
constexpr std::size_t kReadBufferBytes = 1024;

DigestReadAhead settings;

// ===== 1. The list's lines =====

// The path in slot `index`, never read beyond the slot, even without its 0 unit.
std::u16string slotPath(std::size_t index) {
  const char16_t* slot = pathSlots[index];
  std::size_t length = 0;
  while (length < kSlotUnits && slot[length] != u'\0') ++length;
  return std::u16string(slot, length);
}

bool isSkipped(const std::u16string& path) { return path.find(kSkipMark) != std::u16string::npos; }

// How reading a file ahead ended: ReadAhead::Ending's code.
enum Outcome : int {
  kWhole = 0,       // read to its end
  kNotOpened = 1,   // could not be opened
  kReadFailed = 2,  // a read failed; the pieces before it came
};

// ===== 2. Reading ahead =====

// Reads listed file `index` whole through `writer`, on a reader thread, with
// its size and CRC-32; a file skipped as configuration is not read.
ReadAhead::Ending readListedFile(Platform& system, std::size_t index, ReadAhead::Writer& writer) {
  ReadAhead::Ending ending;
  const std::u16string path = slotPath(index);
  if (isSkipped(path)) return ending;
  const std::unique_ptr<Stream> in = system.openForSequentialReadW(path);
  if (in == nullptr) {
    ending.code = kNotOpened;
    return ending;
  }
  std::uint32_t crc = 0;
  try {
    for (;;) {
      std::uint8_t* room = writer.room();
      if (room == nullptr) return ending;  // the digest stopped
      const std::size_t got = in->read(room, writer.pieceBytes());
      // A digest of part of a file would vouch for contents nobody packed:
      // the bytes of a failed read are not hashed.
      if (in->readFailed()) {
        writer.put(0);
        ending.code = kReadFailed;
        return ending;
      }
      writer.put(got);
      if (got == 0) break;
      crc = crc32Add(crc, room, got);
      ending.size += got;
    }
  } catch (const std::bad_alloc&) {
    ending.code = kReadFailed;  // reported as the file's read failure, at its turn
    return ending;
  }
  ending.crc32 = crc;
  return ending;
}

// ===== 3. The digest =====

// Reads the file at its turn on the calling thread and adds it to `context`.
int addOneFile(const std::u16string& path, Md5Context* context, DigestedFile* record) {
  printWide(u"calculateMd5_AddOneFile(%s)\r\n", {path});
  const std::unique_ptr<Stream> in = platform().openForSequentialReadW(path);
  if (in == nullptr) {
    printWide(u"The file '%s' was not opened\r\n", {path});
    return 0;
  }
  std::uint8_t buffer[kReadBufferBytes];
  std::uint32_t crc = 0;
  std::uint64_t size = 0;
  for (;;) {
    const std::size_t got = in->read(buffer, sizeof buffer);
    // A digest of part of a file would vouch for contents nobody packed.
    if (in->readFailed()) {
      printWide(u"Reading '%s' failed\r\n", {path});
      return 0;
    }
    if (got == 0) break;
    md5AddBytes(context, buffer, static_cast<std::uint32_t>(got));
    crc = crc32Add(crc, buffer, got);
    size += got;
  }
  in->close();
  record->size = size;
  record->crc32 = crc;
  return 1;
}

// Hashes entry `index` from what the readers read ahead, with the same
// lines, in the same order, as addOneFile.
// `piece` is the caller's across files: a file's last piece goes back to the
// read-ahead with the next file's first.
int addOneFileReadAhead(ReadAhead* ahead, std::size_t index, const std::u16string& path,
                        Md5Context* context, DigestedFile* record, ReadAhead::Piece& piece) {
  printWide(u"calculateMd5_AddOneFile(%s)\r\n", {path});
  ReadAhead::Ending ending;
  while (ahead->next(index, &piece, &ending)) {
    md5AddBytes(context, piece.bytes.get(), static_cast<std::uint32_t>(piece.size));
    if (piece.last) break;
  }
  if (ending.code == kNotOpened) {
    printWide(u"The file '%s' was not opened\r\n", {path});
    return 0;
  }
  if (ending.code != kWhole) {
    printWide(u"Reading '%s' failed\r\n", {path});
    return 0;
  }
  record->size = ending.size;
  record->crc32 = ending.crc32;
  return 1;
}

}  // namespace

DigestReadAhead digestReadAhead() { return settings; }

void setDigestReadAhead(const DigestReadAhead& wanted) { settings = wanted; }

int calculateMd5_AddOneFile(const char16_t* path, Md5Context* context) {
  DigestedFile record;
  return addOneFile(std::u16string(path), context, &record);
}

int calculateMd5(ContentDigest* recorded) {
  Platform& system = platform();
  system.setNormalAttributesW(kDigestPath);
  system.deleteFileW(kDigestPath);

  // The digest reads the first `fileListCount` slots and nothing else.
  if (fileListCount != 0 && pathSlots == nullptr) {
    printWide(u"The file list is not loaded\r\n");
    return 0;
  }

  std::vector<DigestedFile> files;
  files.reserve(fileListCount);
  Md5Context context;
  md5Start(&context);
  std::uint8_t digest[kMd5DigestBytes];
  {
    // Stopped and joined on every way out of this block.
    std::unique_ptr<ReadAhead> ahead;
    if (settings.readers > 0 && fileListCount > 0) {
      ahead = std::make_unique<ReadAhead>(
          fileListCount, settings.bufferBytes,
          [&system](std::size_t index, ReadAhead::Writer& writer) {
            return readListedFile(system, index, writer);
          },
          [&system] { system.helperThreadStarted(); });
      if (!ahead->start(settings.readers)) ahead.reset();
    }
    ReadAhead::Piece piece;  // taken last, given back with the next
    for (std::size_t i = 0; i < fileListCount; ++i) {
      printNarrow("[MD5](" + std::to_string(i) + ")");
      DigestedFile& record = files.emplace_back();
      record.path = slotPath(i);
      if (isSkipped(record.path)) continue;
      record.digested = true;
      const int added = system.interrupted() ? 0
                        : ahead != nullptr   ? addOneFileReadAhead(ahead.get(), i, record.path,
                                                                   &context, &record, piece)
                                             : addOneFile(record.path, &context, &record);
      if (added != 1) {
        md5Finish(digest, &context);  // wipes the context; the digest is dropped
        return 0;
      }
    }
  }
  md5Finish(digest, &context);

  const std::unique_ptr<Stream> out = system.createNewFileW(kDigestPath);
  if (out == nullptr) {
    printWide(u"The file '%s' was not opened\r\n", {kDigestPath});
    return 0;
  }
  const bool written = out->write(digest, sizeof digest) == sizeof digest;
  // A failed close means accepted bytes may not have reached the file. A
  // partial digest file must not be packed: it is removed.
  if (!written || !out->close()) {
    printWide(u"Write '%s' failed\r\n", {kDigestPath});
    out->close();
    system.deleteFileW(kDigestPath);
    return 0;
  }
  recorded->files = std::move(files);
  std::memcpy(recorded->bytes, digest, sizeof digest);
  return 1;
}

}  // namespace quillet
