// Reading ahead of the thread that takes what is read: reader threads read
// the items after the one being taken, in order, into a bounded amount of
// memory, and the taker takes each item's pieces at its turn. The packer's
// digest reads the listed files ahead so that a cold disk is asked for
// several at once; the release check reads (and inflates) entries on a
// second thread while the first digests them.
//
// Readers claim items in order, at most kWindowItems ahead of the one being
// taken, and read each claimed item whole, piece by piece. What is read and
// not yet taken never exceeds the limit: a reader reserves a piece's room
// before it reads. The item being taken (the head) may use all of it; other
// items leave one piece's room for it, so the head always makes progress
// however the others filled the memory.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillet {

class ReadAhead {
 public:
  // Part of an item, in order.
  struct Piece {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t size = 0;     // bytes of contents
    std::size_t charged = 0;  // what it counts against the limit
    bool last = false;        // the item's last: next() said how its reading ended
  };
  // How an item's reading ended, as its reader says: `code` 0 when it was
  // read whole, any other number the reader's own; the rest for the taker.
  struct Ending {
    int code = 0;
    std::uint64_t size = 0;
    std::uint32_t crc32 = 0;
    std::string message;
  };

  // What a reader writes one item's pieces through.
  class Writer {
   public:
    // Room for the item's next piece, of pieceBytes(), once there is room
    // for it within the limit; nullptr when the read-ahead is stopping.
    std::uint8_t* room();
    // Hands the first `size` bytes of the room over as the item's next
    // piece (none when `size` is 0); the room is used up either way.
    void put(std::size_t size);
    std::size_t pieceBytes() const;

   private:
    friend class ReadAhead;
    Writer(ReadAhead& ahead, std::size_t index) : ahead_(ahead), index_(index) {}
    ReadAhead& ahead_;
    std::size_t index_;
    std::unique_ptr<std::uint8_t[]> spare_;  // the room handed out, not yet put
    bool reserved_ = false;
    // The piece put last, handed over with the next one or with the item's
    // end: a small item costs the readers one lock for its room and one
    // for its end.
    Piece pending_;
    bool hasPending_ = false;
  };

  // Reads item `index` whole through `writer` (on a reader thread) and says
  // how it ended.
  using ReadItem = std::function<Ending(std::size_t index, Writer& writer)>;

  // `count` items, read by `read`, holding at most `bufferBytes` of them
  // (besides a piece's room on each reader); `readerStarted` is called first
  // on each reader thread.
  ReadAhead(std::size_t count, std::size_t bufferBytes, ReadItem read,
            std::function<void()> readerStarted = {});
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;
  // Stops the readers (a read under way ends first) and waits for them.
  ~ReadAhead();

  // Starts up to `readers` threads; false when not one could be started.
  bool start(unsigned readers);
  // The next piece of item `index`, which becomes the head (items are taken
  // in order; skipped ones need not be asked for), waiting for it; the
  // piece `piece` held is given back first (so a taker keeps its Piece from
  // item to item: the last piece of one goes back with the next one's
  // first). Items read whole by then are taken over with it, so that a run
  // of small items costs one lock, not one each. With the item's last piece (`last`
  // set), or false when no piece is left, `ending` says how its reading
  // ended.
  bool next(std::size_t index, Piece* piece, Ending* ending);

 private:
  static constexpr std::size_t kWindowItems = 1024;  // claimed ahead of the head, at most
  // Readers waiting for the window are woken once this many items are free
  // again, not at every turn: small items would cost a wake-up each.
  static constexpr std::size_t kClaimBatch = 64;
  static constexpr std::size_t kNobody = SIZE_MAX;

  struct Item {
    std::size_t index = SIZE_MAX;  // the item that claimed this place last
    std::deque<Piece> pieces;
    bool done = false;
    Ending ending;
  };
  // Takes item `index`'s next piece from taken_, which holds it.
  bool takeOver(Piece* piece, Ending* ending);

  Item& slot(std::size_t index) { return slots_[index % slots_.size()]; }
  void readerLoop();
  // With the lock held.
  void release(std::size_t bytes);
  // Whether the taker, waiting on `item`, is to go on.
  bool takerMayGo(const Item& item, std::size_t index) const;
  void wakeTaker();
  bool roomFor(std::size_t index) const;
  // For a Writer: waits for a piece's room; false when stopping.
  // For `writer`: hands its pending piece over, then waits for the next
  // piece's room, with a buffer when it has none; false when stopping.
  bool reserve(Writer& writer);
  // With the lock held: item `index`'s next piece, in a room of piece_.
  void deliver(std::size_t index, Piece piece);

  const std::size_t count_;
  const std::size_t piece_;  // bytes of one read
  const std::size_t limit_;  // bytes read and not yet taken, at most
  const ReadItem read_;
  const std::function<void()> readerStarted_;

  std::mutex mutex_;                                       // guards everything below but readers_
  std::condition_variable claimable_;                      // readers wait for an item to claim
  std::condition_variable roomFreed_;                      // readers wait for room for a piece
  std::condition_variable takerWaits_;                     // the taker waits for a piece
  std::vector<Item> slots_;                                // item i in slot i % size
  std::vector<std::unique_ptr<std::uint8_t[]>> reusable_;  // taken full buffers
  std::size_t next_ = 0;                                   // the next item to claim
  std::size_t head_ = 0;                                   // the item being taken
  std::size_t used_ = 0;                                   // bytes reserved or held
  std::size_t waitingFor_ = kNobody;                       // the item the taker waits on
  int claimWaiters_ = 0;
  int roomWaiters_ = 0;
  bool stop_ = false;
  std::vector<std::thread> readers_;

  // The taker's own, touched without the lock: items read whole that it
  // took over, and what it gives back at its next lock.
  std::deque<Item> taken_;
  std::size_t givenBack_ = 0;
  std::vector<std::unique_ptr<std::uint8_t[]>> buffersBack_;
};

}  // namespace quillet
