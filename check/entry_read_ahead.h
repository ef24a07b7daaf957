// Reading a release's entries ahead of the check on a second thread.
#pragma once

#include <zlib.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "release_source.h"

namespace quillet::check {

// Reads entries on a second thread (reading, inflating and checking the CRC)
// while the caller's thread takes their contents in order, so inflating and
// digesting run side by side. The contents travel in batches of up to
// kBatchBytes that may hold many small entries, so the threads meet once a
// batch, not once an entry; at most kDepth batches wait between them. The
// CRC-32 of an entry the source leaves to its caller (inflated data, where
// inflating is the slower side) is computed and checked on the caller's
// thread as the contents are taken. A source that inflates puts its output
// straight into the batch being filled.
class ReadAhead {
 public:
  static constexpr std::size_t kDepth = 4;
  static constexpr std::size_t kBatchBytes = 256 * 1024;
  static constexpr std::size_t kBatchPieces = 4096;
  // A batch's buffer: a batch is handed over once it holds kBatchBytes, so
  // there is room for at least kRoomBytes more before that (the zip
  // reader's inflating asks for 64 KiB at a time).
  static constexpr std::size_t kRoomBytes = 64 * 1024;
  static constexpr std::size_t kBatchCapacity = kBatchBytes + kRoomBytes;

  // What one entry came to, after its last piece.
  struct Outcome {
    bool ok = true;
    SourceFailure failure = SourceFailure::kNone;
    std::string message;
  };

  ReadAhead(ReleaseSource& source, std::vector<int> order)
      : source_(source), order_(std::move(order)), worker_([this] { readAll(); }) {}
  ~ReadAhead() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      cancelled_ = true;
    }
    changed_.notify_all();
    worker_.join();
  }
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // Hands the contents of the next entry in order to `take` (called as
  // take(const std::uint8_t* data, std::size_t size)), piece by piece, and
  // returns how reading it ended.
  template <typename Take>
  Outcome next(const Take& take) {
    const auto index = static_cast<std::size_t>(order_.at(taken_++));
    const std::optional<std::uint32_t> expected = source_.crcLeftToCaller(index);
    uLong crc = ::crc32(0, Z_NULL, 0);
    for (;;) {
      if (piece_ == taking_.pieces.size()) takeBatch();
      const Piece& piece = taking_.pieces[piece_++];
      if (piece.size > 0) {
        const std::uint8_t* data = taking_.bytes.get() + offset_;
        if (expected) crc = ::crc32(crc, data, static_cast<uInt>(piece.size));
        take(data, static_cast<std::size_t>(piece.size));
      }
      offset_ += piece.size;
      if (!piece.last) continue;
      Outcome outcome;
      if (!piece.ok) {
        outcome.ok = false;
        outcome.failure = piece.failure;
        outcome.message = std::move(taking_.messages[piece.message]);
      } else if (expected && crc != *expected) {
        outcome.ok = false;
        outcome.failure = SourceFailure::kDamaged;
        outcome.message = source_.crcMismatch(index, static_cast<std::uint32_t>(crc));
      }
      return outcome;
    }
  }

 private:
  // A run of an entry's contents in a batch; the last of an entry says how
  // reading it ended (an entry of no contents has that one piece only).
  struct Piece {
    std::uint32_t size = 0;     // bytes of contents in the batch
    std::uint32_t message = 0;  // when not ok: the failure's message in the batch's messages
    SourceFailure failure = SourceFailure::kNone;
    bool last = false;  // the end of an entry
    bool ok = true;     // with `last`: whether the entry was read whole
  };
  static_assert(kBatchCapacity <= UINT32_MAX, "a piece's size fits its field");
  struct Batch {
    std::unique_ptr<std::uint8_t[]> bytes;  // kBatchCapacity bytes
    std::size_t used = 0;                   // of them, holding contents
    std::vector<Piece> pieces;
    std::vector<std::string> messages;  // of the entries that failed
    std::size_t messageBytes = 0;       // theirs, counted with the contents
  };

  // The caller's thread: gives the batch it took back as a spare and takes
  // the next one, waiting for it.
  void takeBatch() {
    const bool spare = taking_.bytes != nullptr;
    taking_.used = 0;
    taking_.pieces.clear();
    taking_.messages.clear();
    taking_.messageBytes = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    if (spare) spare_.push_back(std::move(taking_));
    changed_.wait(lock, [this] { return !queue_.empty(); });
    taking_ = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    changed_.notify_all();
    piece_ = 0;
    offset_ = 0;
  }

  // Hands the batch being filled over; false when the reader is cancelled.
  bool flush() {
    if (filling_.pieces.empty()) return true;
    endOpen_ = false;  // the piece an entry's end could be marked on is handed over
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return cancelled_ || queue_.size() < kDepth; });
    if (cancelled_) return false;
    queue_.push_back(std::move(filling_));
    filling_ = Batch();
    if (!spare_.empty()) {
      filling_ = std::move(spare_.back());
      spare_.pop_back();
    }
    lock.unlock();
    changed_.notify_all();
    if (filling_.bytes == nullptr) filling_.bytes.reset(new std::uint8_t[kBatchCapacity]);
    return true;
  }

  bool full() const {
    // (Messages count as contents: failures of entries that name long
    // names one after another fill a batch as their contents would.)
    return filling_.used + filling_.messageBytes >= kBatchBytes ||
           filling_.pieces.size() >= kBatchPieces;
  }

  // The place for the next `size` bytes of the batch being filled; nullptr
  // when the reader is cancelled or the size is beyond any batch.
  std::uint8_t* room(std::size_t size) {
    if (size > kBatchCapacity) return nullptr;
    if (size > kBatchCapacity - filling_.used && !flush()) return nullptr;
    return filling_.bytes.get() + filling_.used;
  }

  // Adds contents to the batch being filled: bytes put in its room already
  // stay where they are, others are copied in (over several batches when
  // they must). False when the reader is cancelled.
  bool put(const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
      std::uint8_t* end = filling_.bytes.get() + filling_.used;
      std::size_t take = size;  // in place: room() saw to it that they fit
      if (data != end) {
        take = std::min(size, kBatchCapacity - filling_.used);
        std::memcpy(end, data, take);
      }
      filling_.used += take;
      Piece piece;
      piece.size = static_cast<std::uint32_t>(take);
      filling_.pieces.push_back(piece);
      endOpen_ = true;
      data += take;
      size -= take;
      if (full() && !flush()) return false;
    }
    return true;
  }

  void readAll() {
    filling_.bytes.reset(new std::uint8_t[kBatchCapacity]);
    const ReleaseSource::Sink sink = [this](const std::uint8_t* data, std::size_t size) {
      return put(data, size);
    };
    const ReleaseSource::Room room = [this](std::size_t size) { return this->room(size); };
    // The entries lie all over the source: what the next ones need is
    // fetched while this one is read.
    constexpr std::size_t kAhead = 4;
    for (std::size_t at = 0; at < order_.size(); ++at) {
      if (at + 2 * kAhead < order_.size()) source_.prefetch(order_[at + 2 * kAhead], false);
      if (at + kAhead < order_.size()) source_.prefetch(order_[at + kAhead], true);
      endOpen_ = false;
      const bool ok = source_.readLeavingCrc(static_cast<std::size_t>(order_[at]), sink, room);
      // The end goes on the entry's last piece while this thread still holds
      // it (the usual case for a small entry), else on a piece of its own.
      if (!endOpen_) filling_.pieces.emplace_back();
      Piece& end = filling_.pieces.back();
      end.last = true;
      end.ok = ok;
      if (!ok) {
        end.failure = source_.failure();
        end.message = static_cast<std::uint32_t>(filling_.messages.size());
        filling_.messages.push_back(source_.message());
        filling_.messageBytes += filling_.messages.back().size();
      }
      if (full() && !flush()) return;
    }
    flush();
  }

  ReleaseSource& source_;
  const std::vector<int> order_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Batch> queue_;
  std::vector<Batch> spare_;  // batches taken, emptied, their memory kept
  bool cancelled_ = false;
  Batch filling_;  // the worker's
  Batch taking_;   // the caller's
  std::size_t piece_ = 0;
  std::size_t offset_ = 0;
  std::size_t taken_ = 0;  // entries of order_ handed to the caller
  // The worker's: the last piece of the batch being filled holds contents of
  // the entry being read.
  bool endOpen_ = false;
  std::thread worker_;  // last: starts once everything above is ready
};

}  // namespace quillet::check
