// The content digest.
//
// Divisions of this file:
//   1. the list's lines as the digest sees them;
//   2. reading ahead: reader threads that open and read the files after the
//      one being hashed, into a bounded amount of memory;
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

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "console.h"
#include "file_list.h"
#include "platform.h"

namespace quillet {
namespace {

const std::u16string kDigestPath = u"FlashDrive\\$md5.bin";
const std::u16string kSkipMark = u"$FileList-cfg.txt";

// Reading at each file's turn (no reader threads).
constexpr std::size_t kReadBufferBytes = 1024;

// Reading ahead.
constexpr std::size_t kLargestPieceBytes = 256 * 1024;  // one read of a reader
constexpr std::size_t kSmallestPieceBytes = 1024;
constexpr std::size_t kWindowFiles = 1024;  // files claimed ahead of the one hashed, at most
// Readers waiting for the window are woken once this many entries are free
// again, not at every turn: small files would cost a wake-up each.
constexpr std::size_t kClaimBatch = 64;

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

std::uint32_t crcStart() { return static_cast<std::uint32_t>(::crc32(0L, Z_NULL, 0)); }

std::uint32_t crcAdd(std::uint32_t crc, const std::uint8_t* bytes, std::size_t size) {
  return static_cast<std::uint32_t>(::crc32(crc, bytes, static_cast<uInt>(size)));
}

// How reading a file ended.
enum class Outcome {
  kReading,     // pieces may still come
  kWhole,       // read to its end
  kNotOpened,   // could not be opened
  kReadFailed,  // a read failed; the pieces before it came
};

// ===== 2. Reading ahead =====

// Part of a file's contents, in file order.
struct Piece {
  std::unique_ptr<std::uint8_t[]> bytes;
  std::size_t size = 0;     // bytes of contents
  std::size_t charged = 0;  // what it counts against the read-ahead limit
};

// A file claimed by a reader: its pieces not yet hashed, and how its reading
// ended, with its size and CRC-32 once it was read whole.
struct AheadFile {
  std::size_t index = SIZE_MAX;  // the entry that claimed this place last
  std::deque<Piece> pieces;
  Outcome outcome = Outcome::kReading;
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
};

// Readers claim the list's entries in order, at most kWindowFiles ahead of
// the one being hashed, and read each claimed file whole, piece by piece.
// Contents read and not yet hashed never exceed `limit_` bytes: a reader
// reserves a piece's room before it reads. The file being hashed (the head)
// may use all of it; other files leave one piece's room for it, so the head
// always makes progress however the others filled the memory.
class ReadAhead {
 public:
  ReadAhead(Platform& system, std::size_t count, const DigestReadAhead& wanted)
      : system_(system),
        count_(count),
        piece_(std::clamp(wanted.bufferBytes / 8, kSmallestPieceBytes, kLargestPieceBytes)),
        limit_(std::max(wanted.bufferBytes, 2 * piece_)),
        slots_(std::min(count, kWindowFiles)) {}

  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // Stops the readers (a read under way ends first) and waits for them.
  ~ReadAhead() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    claimable_.notify_all();
    roomFreed_.notify_all();
    for (std::thread& reader : readers_) reader.join();
  }

  // Starts up to `readers` threads; false when not one could be started.
  bool start(unsigned readers) {
    for (unsigned i = 0; i < readers; ++i) {
      try {
        readers_.emplace_back([this] { readerLoop(); });
      } catch (const std::system_error&) {
        break;  // fewer readers read as well, only less far ahead
      }
    }
    return !readers_.empty();
  }

  // The hashing thread's turn moved to entry `index`: the readers may claim
  // one entry further (waiting readers are woken kClaimBatch entries at a
  // time), and the head's priority passes to `index`.
  void turn(std::size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    head_ = index;
    if (claimWaiters_ > 0 &&
        next_ + std::min(kClaimBatch, slots_.size()) <= head_ + slots_.size()) {
      claimable_.notify_all();
    }
    if (roomWaiters_ > 0) roomFreed_.notify_all();
  }

  // The next piece of the head's file, waiting for it. The piece that
  // `piece` held is released first. False when the file has no more pieces:
  // `ending(index)` then tells how its reading ended.
  bool nextPiece(std::size_t index, Piece* piece) {
    std::unique_ptr<std::uint8_t[]> done = std::move(piece->bytes);
    std::unique_lock<std::mutex> lock(mutex_);
    release(piece->charged);
    // A full buffer goes back to the readers: allocating and freeing one per
    // read costs more than hashing it.
    if (done != nullptr && piece->charged == piece_ && reusable_.size() < readers_.size()) {
      reusable_.push_back(std::move(done));
    }
    *piece = Piece();
    AheadFile& file = slot(index);
    waitingFor_ = index;
    // The place holds an entry kWindowFiles earlier until a reader claims
    // this one.
    hashedWaits_.wait(lock, [&] {
      return file.index == index && (!file.pieces.empty() || file.outcome != Outcome::kReading);
    });
    waitingFor_ = kNobody;
    if (file.pieces.empty()) return false;
    *piece = std::move(file.pieces.front());
    file.pieces.pop_front();
    return true;
  }

  // How the reading of the head's file ended, once nextPiece returned false.
  // Its reader is done with it then, and no other claims it before the
  // next turn.
  const AheadFile& ending(std::size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    return slot(index);
  }

 private:
  static constexpr std::size_t kNobody = SIZE_MAX;

  AheadFile& slot(std::size_t index) { return slots_[index % slots_.size()]; }

  // With the lock held.
  void release(std::size_t bytes) {
    if (bytes == 0) return;
    used_ -= bytes;
    if (roomWaiters_ > 0) roomFreed_.notify_all();
  }

  // A buffer of one piece: one the hashing thread is done with, or a new one.
  std::unique_ptr<std::uint8_t[]> takeBuffer() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!reusable_.empty()) {
        std::unique_ptr<std::uint8_t[]> buffer = std::move(reusable_.back());
        reusable_.pop_back();
        return buffer;
      }
    }
    return std::unique_ptr<std::uint8_t[]>(new std::uint8_t[piece_]);  // read into: not zeroed
  }

  // With the lock held: whether a reader of entry `index` may reserve a piece.
  bool roomFor(std::size_t index) const {
    const std::size_t keep = index == head_ ? 0 : piece_;
    return used_ + piece_ + keep <= limit_;
  }

  // With the lock held: a reader has put something in `index`'s slot.
  void delivered(std::size_t index) {
    if (waitingFor_ == index) hashedWaits_.notify_one();
  }

  void readerLoop() {
    system_.helperThreadStarted();
    std::unique_lock<std::mutex> lock(mutex_);
    std::unique_ptr<std::uint8_t[]> spare;  // this reader's buffer for its next read
    for (;;) {
      ++claimWaiters_;
      claimable_.wait(lock,
                      [&] { return stop_ || next_ >= count_ || next_ < head_ + slots_.size(); });
      --claimWaiters_;
      if (stop_ || next_ >= count_) return;
      const std::size_t index = next_++;
      AheadFile& file = slot(index);
      file.index = index;
      file.pieces.clear();
      file.outcome = Outcome::kReading;
      lock.unlock();
      const std::u16string path = slotPath(index);
      if (!isSkipped(path)) readFile(index, path, &spare);
      lock.lock();
    }
  }

  // Reads entry `index` whole, or until the digest stops. Called without the
  // lock; returns without it.
  void readFile(std::size_t index, const std::u16string& path,
                std::unique_ptr<std::uint8_t[]>* spare) {
    const std::unique_ptr<Stream> in = system_.openForSequentialReadW(path);
    if (in == nullptr) {
      std::lock_guard<std::mutex> lock(mutex_);
      slot(index).outcome = Outcome::kNotOpened;
      delivered(index);
      return;
    }
    std::uint32_t crc = crcStart();
    std::uint64_t size = 0;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ++roomWaiters_;
        roomFreed_.wait(lock, [&] { return stop_ || roomFor(index); });
        --roomWaiters_;
        if (stop_) return;
        used_ += piece_;
      }
      Piece piece;
      bool failed = false;
      try {
        if (*spare == nullptr) *spare = takeBuffer();
        const std::size_t got = in->read(spare->get(), piece_);
        failed = in->readFailed();
        // A digest of part of a file would vouch for contents nobody packed:
        // the bytes of a failed read are not hashed.
        if (!failed && got > 0) {
          crc = crcAdd(crc, spare->get(), got);
          size += got;
          piece.size = got;
          if (got <= piece_ / 8) {
            // A small file (or a file's short end) holds only its own size.
            piece.bytes.reset(new std::uint8_t[got]);  // overwritten at once: not zeroed
            std::memcpy(piece.bytes.get(), spare->get(), got);
            piece.charged = got;
          } else {
            piece.bytes = std::move(*spare);
            piece.charged = piece_;
          }
        }
      } catch (const std::bad_alloc&) {
        failed = true;  // reported as the file's read failure, at its turn
        piece = Piece();
      }
      std::lock_guard<std::mutex> lock(mutex_);
      release(piece_ - piece.charged);
      AheadFile& file = slot(index);
      const bool atEnd = piece.size == 0;
      if (!atEnd) file.pieces.push_back(std::move(piece));
      if (failed) {
        file.outcome = Outcome::kReadFailed;
      } else if (atEnd) {
        file.outcome = Outcome::kWhole;
        file.size = size;
        file.crc = crc;
      }
      delivered(index);
      if (file.outcome != Outcome::kReading) return;
    }
  }

  Platform& system_;
  const std::size_t count_;  // entries of the list
  const std::size_t piece_;  // bytes of one read
  const std::size_t limit_;  // bytes read and not yet hashed, at most

  std::mutex mutex_;                     // guards everything below but readers_
  std::condition_variable claimable_;    // readers wait for an entry to claim
  std::condition_variable roomFreed_;    // readers wait for room for a piece
  std::condition_variable hashedWaits_;  // the hashing thread waits for a piece
  std::vector<AheadFile> slots_;         // entry i in slot i % size
  std::vector<std::unique_ptr<std::uint8_t[]>>
      reusable_;                      // hashed full buffers, one per reader at most
  std::size_t next_ = 0;              // the next entry to claim
  std::size_t head_ = 0;              // the entry being hashed
  std::size_t used_ = 0;              // bytes reserved or held by pieces
  std::size_t waitingFor_ = kNobody;  // the entry the hashing thread waits on
  int claimWaiters_ = 0;
  int roomWaiters_ = 0;
  bool stop_ = false;
  std::vector<std::thread> readers_;
};

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
  std::uint32_t crc = crcStart();
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
    crc = crcAdd(crc, buffer, got);
    size += got;
  }
  in->close();
  record->size = size;
  record->crc32 = crc;
  return 1;
}

// Hashes entry `index` from what the readers read ahead, with the same
// lines, in the same order, as addOneFile.
int addOneFileReadAhead(ReadAhead* ahead, std::size_t index, const std::u16string& path,
                        Md5Context* context, DigestedFile* record) {
  printWide(u"calculateMd5_AddOneFile(%s)\r\n", {path});
  Piece piece;
  while (ahead->nextPiece(index, &piece)) {
    md5AddBytes(context, piece.bytes.get(), static_cast<std::uint32_t>(piece.size));
  }
  const AheadFile& file = ahead->ending(index);
  switch (file.outcome) {
    case Outcome::kNotOpened:
      printWide(u"The file '%s' was not opened\r\n", {path});
      return 0;
    case Outcome::kReadFailed:
    case Outcome::kReading:  // not reached: nextPiece waits for the end
      printWide(u"Reading '%s' failed\r\n", {path});
      return 0;
    case Outcome::kWhole:
      break;
  }
  record->size = file.size;
  record->crc32 = file.crc;
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
      ahead = std::make_unique<ReadAhead>(system, fileListCount, settings);
      if (!ahead->start(settings.readers)) ahead.reset();
    }
    for (std::size_t i = 0; i < fileListCount; ++i) {
      if (ahead != nullptr) ahead->turn(i);
      printNarrow("[MD5](" + std::to_string(i) + ")");
      DigestedFile& record = files.emplace_back();
      record.path = slotPath(i);
      if (isSkipped(record.path)) continue;
      record.digested = true;
      const int added = system.interrupted() ? 0
                        : ahead != nullptr
                            ? addOneFileReadAhead(ahead.get(), i, record.path, &context, &record)
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
