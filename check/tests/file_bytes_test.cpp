// The archive's byte source: its cache of blocks gives back the file's bytes
// whatever the order and size of the reads, reads each block once while it
// stays cached, and keeps no block whose read failed; it is given fewer
// blocks when the entries' names take much of the check's memory.
#include "file_bytes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillet::check {
namespace {

constexpr std::size_t kBlock = FileBytes::kBlockBytes;

// What the file under the cache was asked for, and which of its reads fail.
struct FileLog {
  std::vector<std::uint64_t> reads;    // the offset of every read
  std::uint64_t failingBlock = ~0ull;  // reads at this offset fail while set
};

class LoggedFile final : public InputFile {
 public:
  LoggedFile(std::string bytes, FileLog& log) : bytes_(std::move(bytes)), log_(log) {}
  std::uint64_t size() const override { return bytes_.size(); }
  bool readAt(std::uint64_t offset, void* buffer, std::size_t size) override {
    log_.reads.push_back(offset);
    if (offset == log_.failingBlock) return false;
    if (offset > bytes_.size() || size > bytes_.size() - offset) return false;
    std::memcpy(buffer, bytes_.data() + offset, size);
    return true;
  }

 private:
  std::string bytes_;
  FileLog& log_;
};

class BlockCache : public ::testing::Test {
 protected:
  // A file of `size` bytes in which no two nearby bytes are equal.
  void open(std::size_t size, std::size_t blocks = FileBytes::kBlocks) {
    content_.resize(size);
    for (std::size_t i = 0; i < size; ++i)
      content_[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    bytes_ = std::make_unique<FileBytes>(std::make_unique<LoggedFile>(content_, log_), blocks);
  }

  // Reads `size` bytes at `offset` and expects the file's own.
  void expectRead(std::uint64_t offset, std::size_t size) {
    SCOPED_TRACE("offset " + std::to_string(offset) + ", " + std::to_string(size) + " bytes");
    std::string got(size, '\0');
    ASSERT_TRUE(bytes_->readAt(offset, got.data(), size));
    EXPECT_EQ(got, content_.substr(offset, size));
  }

  std::string content_;
  FileLog log_;
  std::unique_ptr<FileBytes> bytes_;
};

TEST_F(BlockCache, ReadsAcrossABlockBoundaryFromBothBlocks) {
  open(3 * kBlock);
  expectRead(kBlock - 10, 30);
  expectRead(2 * kBlock - 1, 2);
  EXPECT_EQ(log_.reads, (std::vector<std::uint64_t>{0, kBlock, 2 * kBlock}));
}

TEST_F(BlockCache, ReadsUpToTheFileEndAndRefusesOneBytePast) {
  open(2 * kBlock + 100);
  expectRead(2 * kBlock + 90, 10);  // the short last block, to its last byte
  expectRead(2 * kBlock + 100, 0);
  std::string ten(10, '\0');
  EXPECT_FALSE(bytes_->readAt(2 * kBlock + 91, ten.data(), ten.size()));
  EXPECT_FALSE(bytes_->readAt(2 * kBlock + 101, ten.data(), 0));
  EXPECT_EQ(log_.reads, (std::vector<std::uint64_t>{2 * kBlock}));
}

TEST_F(BlockCache, ReadsEachBlockOnceWhateverTheOrder) {
  open(8 * kBlock + 5);
  const std::vector<std::uint64_t> offsets = {7 * kBlock + 3, 100, 4 * kBlock, 8 * kBlock,
                                              kBlock / 2,     100, 7 * kBlock, 4 * kBlock + 9};
  for (const std::uint64_t offset : offsets) expectRead(offset, 5);
  EXPECT_EQ(log_.reads, (std::vector<std::uint64_t>{7 * kBlock, 0, 4 * kBlock, 8 * kBlock}));
}

TEST_F(BlockCache, HoldsAtMostItsBlocksAndRereadsAnEvictedOne) {
  open(4 * kBlock, 2);
  expectRead(0, 4);
  expectRead(kBlock, 4);
  expectRead(2 * kBlock, 4);  // the cache is full: the first block read goes
  expectRead(kBlock, 4);
  expectRead(2 * kBlock, 4);
  expectRead(0, 4);  // read again, in place of one of the two others
  expectRead(2 * kBlock, 4);
  EXPECT_EQ(log_.reads, (std::vector<std::uint64_t>{0, kBlock, 2 * kBlock, 0}));
}

TEST_F(BlockCache, ReadsOfABlockOrMoreGoStraightToTheFile) {
  open(4 * kBlock);
  expectRead(10, kBlock);
  expectRead(kBlock + 10, kBlock - 1);
  expectRead(kBlock + 20, 2 * kBlock);
  EXPECT_EQ(log_.reads, (std::vector<std::uint64_t>{10, kBlock, 2 * kBlock, kBlock + 20}));
}

TEST_F(BlockCache, AFailedRefillKeepsNoBlockAndTheNextReadTriesAgain) {
  open(3 * kBlock);
  expectRead(0, 4);
  log_.failingBlock = kBlock;
  std::string got(20, '\0');
  EXPECT_FALSE(bytes_->readAt(kBlock - 10, got.data(), got.size()));
  EXPECT_FALSE(bytes_->readAt(kBlock + 10, got.data(), got.size()));
  log_.failingBlock = ~0ull;
  expectRead(kBlock - 10, 20);
  EXPECT_EQ(log_.reads, (std::vector<std::uint64_t>{0, kBlock, kBlock, kBlock}));
}

TEST_F(BlockCache, PrefetchIsOnlyAHintAndNeverReadsTheFile) {
  open(3 * kBlock);
  bytes_->prefetch(kBlock, 10);      // not cached
  bytes_->prefetch(5 * kBlock, 10);  // beyond the end
  bytes_->prefetch(0, 2 * kBlock);   // a read that would bypass the cache
  EXPECT_TRUE(log_.reads.empty());
  expectRead(kBlock + 5, 4);
  bytes_->prefetch(2 * kBlock - 2, 100);  // cached, running past its block
  expectRead(kBlock + 5, 4);
  EXPECT_EQ(log_.reads, (std::vector<std::uint64_t>{kBlock}));
}

TEST_F(BlockCache, ViewsBytesWithinOneBlockAndLeavesOthersToReadAt) {
  open(3 * kBlock + 100);
  const auto expectView = [this](std::uint64_t offset, std::size_t size) {
    SCOPED_TRACE("view at " + std::to_string(offset) + ", " + std::to_string(size) + " bytes");
    const std::uint8_t* view = bytes_->view(offset, size);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(view), size),
              content_.substr(offset, size));
  };
  expectView(kBlock + 5, 10);
  expectView(kBlock, kBlock - 1);                         // a whole block but one byte
  expectView(3 * kBlock + 90, 10);                        // the short last block, to its last byte
  EXPECT_EQ(bytes_->view(kBlock - 5, 10), nullptr);       // across two blocks
  EXPECT_EQ(bytes_->view(0, kBlock), nullptr);            // a block's size
  EXPECT_EQ(bytes_->view(3 * kBlock + 91, 10), nullptr);  // past the end
  EXPECT_EQ(bytes_->view(3 * kBlock + 100, 0), nullptr);  // nothing to view
  log_.failingBlock = 2 * kBlock;
  EXPECT_EQ(bytes_->view(2 * kBlock + 1, 4), nullptr);  // its block cannot be read
  log_.failingBlock = ~0ull;
  expectView(2 * kBlock + 1, 4);
  EXPECT_EQ(log_.reads, (std::vector<std::uint64_t>{kBlock, 3 * kBlock, 2 * kBlock, 2 * kBlock}));
}

TEST_F(BlockCache, SetBlocksDropsWhatItHeldAndHoldsAtMostTheNewCount) {
  open(4 * kBlock);
  expectRead(0, 4);
  expectRead(kBlock, 4);
  expectRead(2 * kBlock, 4);
  bytes_->setBlocks(2);
  expectRead(0, 4);  // read again: the cache was emptied
  expectRead(kBlock, 4);
  expectRead(2 * kBlock, 4);  // full at two: one of the others goes
  expectRead(kBlock, 4);
  expectRead(0, 4);
  EXPECT_EQ(log_.reads,
            (std::vector<std::uint64_t>{0, kBlock, 2 * kBlock, 0, kBlock, 2 * kBlock, 0}));
}

// The documented policy, as a model: a block is read from the file only
// when no slot holds it; it goes into an empty slot, else into the first slot
// the clock's hand finds not read since the hand last passed it.
class ClockModel {
 public:
  explicit ClockModel(std::size_t slots) : blocks_(slots, kEmpty), used_(slots, false) {}
  // Whether reading a byte of `block` reads the file.
  bool read(std::uint64_t block) {
    for (std::size_t i = 0; i < blocks_.size(); ++i) {
      if (blocks_[i] == block) {
        used_[i] = true;
        return false;
      }
    }
    while (blocks_[hand_] != kEmpty && used_[hand_]) {
      used_[hand_] = false;
      hand_ = (hand_ + 1) % blocks_.size();
    }
    blocks_[hand_] = block;
    used_[hand_] = true;
    hand_ = (hand_ + 1) % blocks_.size();
    return true;
  }

 private:
  static constexpr std::uint64_t kEmpty = ~0ull;
  std::vector<std::uint64_t> blocks_;
  std::vector<bool> used_;
  std::size_t hand_ = 0;
};

class BlockCacheUnderLoad : public BlockCache, public ::testing::WithParamInterface<std::size_t> {};

// Many blocks through few slots, in an order with repeats near and far: the
// cache reads exactly what the model reads, and every read gives the file's
// bytes.
TEST_P(BlockCacheUnderLoad, ReadsTheFileExactlyAsItsPolicySays) {
  const std::size_t slots = GetParam();
  constexpr std::uint64_t kFileBlocks = 300;
  open(kFileBlocks * kBlock, slots);
  ClockModel model(slots);
  std::vector<std::uint64_t> expected;
  std::uint32_t state = 12345;
  for (int i = 0; i < 6000; ++i) {
    state = state * 1103515245u + 12345u;
    const std::uint32_t random = state >> 8;
    // Mostly a few hot blocks, else any block of the file.
    const std::uint64_t block =
        random % 4 != 0 ? (random >> 4) % (slots + 3) : (random >> 4) % kFileBlocks;
    const std::uint64_t offset = block * kBlock + (random >> 12) % (kBlock - 16);
    if (model.read(block)) expected.push_back(block * kBlock);
    expectRead(offset, 16);
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(log_.reads, expected);
}

INSTANTIATE_TEST_SUITE_P(Slots, BlockCacheUnderLoad, ::testing::Values(1, 2, 16, 255, 256),
                         [](const auto& info) { return std::to_string(info.param) + "Slots"; });

// A file of as many blocks as the cache holds, read in a scattered order
// twice, is read once; one block more, and the second pass reads again.
TEST_F(BlockCache, HoldsAFileOfAllItsBlocksAndNotOneMore) {
  for (const std::uint64_t blocks : {FileBytes::kBlocks, FileBytes::kBlocks + 1}) {
    SCOPED_TRACE(std::to_string(blocks) + " blocks");
    log_.reads.clear();
    open(blocks * kBlock);
    for (int pass = 0; pass < 2; ++pass) {
      for (std::uint64_t i = 0; i < blocks; ++i) {
        const std::uint64_t block = (i * 1237) % blocks;  // 1237 is prime
        std::uint8_t byte = 0;
        ASSERT_TRUE(bytes_->readAt(block * kBlock + 7, &byte, 1));
        ASSERT_EQ(byte, static_cast<std::uint8_t>(content_[block * kBlock + 7]));
      }
    }
    if (blocks == FileBytes::kBlocks) {
      EXPECT_EQ(log_.reads.size(), blocks);
    } else {
      EXPECT_GT(log_.reads.size(), blocks);
    }
  }
}

struct BudgetCase {
  std::uint64_t nameBytes;
  std::size_t blocks;
  std::uint64_t entries = 0;
};

class BlocksBesideNames : public ::testing::TestWithParam<BudgetCase> {};

TEST_P(BlocksBesideNames, ShareTheBudgetDownToTheFewest) {
  EXPECT_EQ(FileBytes::blocksBeside(GetParam().nameBytes, GetParam().entries), GetParam().blocks);
}

constexpr std::uint64_t kMiB = 1024 * 1024;
// The names beside which the blocks are the fewest.
constexpr std::uint64_t kFewestReached =
    (FileBytes::kNamesAndBlocksBytes - FileBytes::kFewestBlocks * FileBytes::kBlockBytes) / 2;

INSTANTIATE_TEST_SUITE_P(
    Budget, BlocksBesideNames,
    ::testing::Values(BudgetCase{0, FileBytes::kBlocks},
                      BudgetCase{8 * kMiB, FileBytes::kBlocks},  // the most names beside all blocks
                      BudgetCase{8 * kMiB + 1, FileBytes::kBlocks - 1},
                      BudgetCase{8 * kMiB + 4096, FileBytes::kBlocks - 1},
                      BudgetCase{8 * kMiB + 4097, FileBytes::kBlocks - 2},
                      BudgetCase{kFewestReached - 4096, FileBytes::kFewestBlocks + 1},
                      BudgetCase{kFewestReached, FileBytes::kFewestBlocks},  // the fewest, reached
                      BudgetCase{kFewestReached + 4096, FileBytes::kFewestBlocks},
                      BudgetCase{16 * kMiB, FileBytes::kFewestBlocks},
                      BudgetCase{~0ull, FileBytes::kFewestBlocks},
                      // Entries take their share too: 65,536 of them half the blocks.
                      BudgetCase{8 * kMiB, FileBytes::kBlocks - 1, 1},
                      BudgetCase{0, FileBytes::kBlocks, 65536},
                      BudgetCase{0, FileBytes::kBlocks - 1, 65537},
                      BudgetCase{4 * kMiB, FileBytes::kBlocks / 2, 65536},
                      BudgetCase{0, FileBytes::kFewestBlocks, 131071},
                      BudgetCase{~0ull, FileBytes::kFewestBlocks, ~0ull}));

}  // namespace
}  // namespace quillet::check
