// The queue that carries a file list's lines from the thread that decodes
// them to the one that matches them: chunks arrive whole and in order, no
// more than its limit waits, and cancelling frees a thread that waits to
// hand one over.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "list_read.h"

namespace quillet::check {
namespace {

LineQueue::Chunk chunkOf(char letter, std::size_t bytes) {
  LineQueue::Chunk chunk;
  chunk.text.assign(bytes, letter);
  chunk.ends = {bytes / 2, bytes};
  return chunk;
}

// Waits (a while at most) until `pushed` reaches `count`.
bool reaches(const std::atomic<int>& pushed, int count) {
  for (int i = 0; i < 2000 && pushed.load() < count; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return pushed.load() >= count;
}

TEST(LineQueue, HandsChunksOverInOrderAndLetsNoMoreThanItsLimitWait) {
  LineQueue queue;
  const std::size_t half = LineQueue::kQueuedBytesMax / 2;
  std::atomic<int> pushed{0};
  std::thread decoder([&] {
    for (const char letter : {'a', 'b', 'c', 'd'}) {
      queue.push(chunkOf(letter, half));
      ++pushed;
    }
    queue.close();
  });
  // Two halves fill the queue: the third waits until one is taken.
  ASSERT_TRUE(reaches(pushed, 2));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(pushed.load(), 2);

  std::string order;
  LineQueue::Chunk chunk;
  while (queue.pop(&chunk)) {
    ASSERT_EQ(chunk.text.size(), half);
    EXPECT_EQ(chunk.ends, (std::vector<std::size_t>{half / 2, half}));
    order += chunk.text[0];
  }
  decoder.join();
  EXPECT_EQ(order, "abcd");
}

TEST(LineQueue, CancellingFreesAWaitingPushAndDropsWhatWaits) {
  LineQueue queue;
  std::atomic<int> pushed{0};
  std::thread decoder([&] {
    for (const char letter : {'a', 'b', 'c'}) {
      queue.push(chunkOf(letter, LineQueue::kQueuedBytesMax));
      ++pushed;
    }
  });
  ASSERT_TRUE(reaches(pushed, 1));
  queue.cancel();
  decoder.join();  // would wait for ever if the second push still waited
  EXPECT_EQ(pushed.load(), 3);
  LineQueue::Chunk chunk;
  EXPECT_FALSE(queue.pop(&chunk));
}

}  // namespace
}  // namespace quillet::check
