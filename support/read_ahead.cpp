#include "read_ahead.h"

#include <algorithm>
#include <cstring>
#include <system_error>

namespace quillet {
namespace {

constexpr std::size_t kLargestPieceBytes = 256 * 1024;  // one read of a reader
constexpr std::size_t kSmallestPieceBytes = 1024;

}  // namespace

ReadAhead::ReadAhead(std::size_t count, std::size_t bufferBytes, ReadItem read,
                     std::function<void()> readerStarted)
    : count_(count),
      piece_(std::clamp(bufferBytes / 8, kSmallestPieceBytes, kLargestPieceBytes)),
      limit_(std::max(bufferBytes, 2 * piece_)),
      read_(std::move(read)),
      readerStarted_(std::move(readerStarted)),
      slots_(std::max<std::size_t>(1, std::min(count, kWindowItems))) {}

ReadAhead::~ReadAhead() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  claimable_.notify_all();
  roomFreed_.notify_all();
  for (std::thread& reader : readers_) reader.join();
}

bool ReadAhead::start(unsigned readers) {
  for (unsigned i = 0; i < readers; ++i) {
    try {
      readers_.emplace_back([this] { readerLoop(); });
    } catch (const std::system_error&) {
      break;  // fewer readers read as well, only less far ahead
    }
  }
  return !readers_.empty();
}

bool ReadAhead::next(std::size_t index, Piece* piece, Ending* ending) {
  givenBack_ += piece->charged;
  // A full buffer goes back to the readers: allocating and freeing one per
  // read costs more than taking it.
  if (piece->bytes != nullptr && piece->charged == piece_ && buffersBack_.size() < 2) {
    buffersBack_.push_back(std::move(piece->bytes));
  }
  *piece = Piece();
  // (items the taker skipped go back unread)
  while (!taken_.empty() && taken_.front().index < index) {
    for (const Piece& skipped : taken_.front().pieces) givenBack_ += skipped.charged;
    taken_.pop_front();
  }
  if (!taken_.empty()) return takeOver(piece, ending);

  std::unique_lock<std::mutex> lock(mutex_);
  release(givenBack_);
  givenBack_ = 0;
  for (auto& buffer : buffersBack_) {
    if (reusable_.size() < readers_.size()) reusable_.push_back(std::move(buffer));
  }
  buffersBack_.clear();
  // The head moves to `index`: readers may claim further, and its priority
  // passes to it.
  head_ = index;
  if (claimWaiters_ > 0 && next_ + std::min(kClaimBatch, slots_.size()) <= head_ + slots_.size()) {
    claimable_.notify_all();
  }
  if (roomWaiters_ > 0) roomFreed_.notify_all();
  Item& item = slot(index);
  if (!takerMayGo(item, index)) {
    waitingFor_ = index;
    takerWaits_.wait(lock, [&] { return takerMayGo(item, index); });
    waitingFor_ = kNobody;
  }
  if (item.done) {
    // This item and the ones read whole after it, taken over at once.
    for (std::size_t at = index; at < next_; ++at) {
      Item& done = slot(at);
      if (done.index != at || !done.done) break;
      taken_.push_back(std::move(done));
      done.pieces.clear();
    }
    return takeOver(piece, ending);
  }
  *piece = std::move(item.pieces.front());
  item.pieces.pop_front();
  return true;
}

bool ReadAhead::takeOver(Piece* piece, Ending* ending) {
  Item& item = taken_.front();
  const bool got = !item.pieces.empty();
  if (got) {
    *piece = std::move(item.pieces.front());
    item.pieces.pop_front();
  }
  piece->last = item.pieces.empty();
  if (piece->last) {
    *ending = std::move(item.ending);
    taken_.pop_front();
  }
  return got;
}

void ReadAhead::release(std::size_t bytes) {
  if (bytes == 0) return;
  used_ -= bytes;
  if (roomWaiters_ > 0) roomFreed_.notify_all();
}

bool ReadAhead::takerMayGo(const Item& item, std::size_t index) const {
  // (The place holds an item kWindowItems earlier until a reader claims this
  // one.)
  return item.index == index && (!item.pieces.empty() || item.done);
}

void ReadAhead::wakeTaker() {
  if (waitingFor_ != kNobody && takerMayGo(slot(waitingFor_), waitingFor_)) {
    takerWaits_.notify_one();
  }
}

bool ReadAhead::roomFor(std::size_t index) const {
  const std::size_t keep = index == head_ ? 0 : piece_;
  return used_ + piece_ + keep <= limit_;
}

bool ReadAhead::reserve(Writer& writer) {
  const std::size_t index = writer.index_;
  std::unique_ptr<std::uint8_t[]>* buffer = &writer.spare_;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // (the pending piece first: the taker may be waiting for it, and only
    // it frees room)
    if (writer.hasPending_) {
      deliver(index, std::move(writer.pending_));
      writer.hasPending_ = false;
    }
    ++roomWaiters_;
    if (!roomFor(index)) wakeTaker();  // (only the taker frees room)
    roomFreed_.wait(lock, [&] { return stop_ || roomFor(index); });
    --roomWaiters_;
    if (stop_) return false;
    used_ += piece_;
    if (*buffer != nullptr) return true;
    if (!reusable_.empty()) {
      *buffer = std::move(reusable_.back());
      reusable_.pop_back();
      return true;
    }
  }
  buffer->reset(new std::uint8_t[piece_]);  // read into: not zeroed
  return true;
}

void ReadAhead::deliver(std::size_t index, Piece piece) {
  release(piece_ - piece.charged);  // what the room held beyond the piece
  if (piece.size > 0) slot(index).pieces.push_back(std::move(piece));
  wakeTaker();
}

void ReadAhead::readerLoop() {
  if (readerStarted_) readerStarted_();
  std::unique_lock<std::mutex> lock(mutex_);
  std::unique_ptr<std::uint8_t[]> spare;  // this reader's buffer for its next read
  for (;;) {
    ++claimWaiters_;
    wakeTaker();  // (a reader about to wait holds nothing more back)
    claimable_.wait(lock,
                    [&] { return stop_ || next_ >= count_ || next_ < head_ + slots_.size(); });
    --claimWaiters_;
    if (stop_ || next_ >= count_) return;
    const std::size_t index = next_++;
    Item& item = slot(index);
    item.index = index;
    item.pieces.clear();
    item.done = false;
    item.ending = Ending();
    lock.unlock();
    Writer writer(*this, index);
    writer.spare_ = std::move(spare);
    Ending ending = read_(index, writer);
    spare = std::move(writer.spare_);
    lock.lock();
    if (writer.reserved_) release(piece_);
    if (writer.hasPending_) deliver(index, std::move(writer.pending_));
    item.ending = std::move(ending);
    item.done = true;
    wakeTaker();
  }
}

std::uint8_t* ReadAhead::Writer::room() {
  if (!reserved_) {
    if (!ahead_.reserve(*this)) return nullptr;  // stopping
    reserved_ = true;
  }
  return spare_.get();
}

void ReadAhead::Writer::put(std::size_t size) {
  if (!reserved_) return;
  Piece piece;
  piece.size = size;
  if (size > 0 && size <= ahead_.piece_ / 8) {
    // A small item (or an item's short end) holds only its own size.
    piece.bytes.reset(new std::uint8_t[size]);  // overwritten at once: not zeroed
    std::memcpy(piece.bytes.get(), spare_.get(), size);
    piece.charged = size;
  } else if (size > 0) {
    piece.bytes = std::move(spare_);
    piece.charged = ahead_.piece_;
  }
  reserved_ = false;
  if (hasPending_) {
    std::lock_guard<std::mutex> lock(ahead_.mutex_);
    ahead_.deliver(index_, std::move(pending_));
  }
  // Handed over with the next room, or with the item's end.
  pending_ = std::move(piece);
  hasPending_ = true;
}

std::size_t ReadAhead::Writer::pieceBytes() const { return ahead_.piece_; }

}  // namespace quillet
