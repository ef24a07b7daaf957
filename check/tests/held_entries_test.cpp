// The small files the check reads ahead and holds: which ones, up to what,
// and what becomes of one that is not what it said.
#include "held_entries.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "memory_release.h"

namespace quillet::check {
namespace {

using testing::MemoryRelease;

constexpr std::uint64_t kMax = HeldEntries::kEntryBytesMax;

// Every small file of `release` read ahead, none skipped.
HeldEntries readAhead(MemoryRelease& release) {
  HeldEntries held(release.entries().size());
  const std::atomic<bool> cancel{false};
  held.readSmallFiles(release, {}, cancel);
  return held;
}

TEST(HeldEntries, HoldsFilesUpToTheirSizeLimitInTheSourcesOrder) {
  MemoryRelease release;
  release.add("a", kMax, std::string(kMax, 'a'));
  release.add("b", kMax + 1, std::string(kMax + 1, 'b'));
  release.add("skipped", 3, "abc");
  release.add("c", 2, "cc");
  release.finish();
  HeldEntries held(release.entries().size());
  const std::atomic<bool> cancel{false};
  held.readSmallFiles(release, {2}, cancel);
  EXPECT_TRUE(held.holds(0));
  EXPECT_FALSE(held.holds(1));  // one byte past the limit: streamed at its turn
  EXPECT_FALSE(held.holds(2));
  EXPECT_EQ(held.get(3).contents, "cc");
  EXPECT_TRUE(held.get(0).read);
  EXPECT_EQ(release.readOrder, (std::vector<std::size_t>{0, 3}));
}

// The budget gives way to the entries, 128 bytes each, down to a quarter.
TEST(HeldEntries, BudgetGivesWayToEntriesDownToAQuarter) {
  constexpr std::uint64_t kMiB = 1u << 20;
  EXPECT_EQ(HeldEntries::budgetBeside(0), 16 * kMiB);
  EXPECT_EQ(HeldEntries::budgetBeside(65536), 8 * kMiB);
  EXPECT_EQ(HeldEntries::budgetBeside(65537), 8 * kMiB - 128);
  EXPECT_EQ(HeldEntries::budgetBeside(98304), 4 * kMiB);  // the quarter reached
  EXPECT_EQ(HeldEntries::budgetBeside(98305), 4 * kMiB);
  EXPECT_EQ(HeldEntries::budgetBeside(~0ull / 256), 4 * kMiB);
}

TEST(HeldEntries, StopsAtItsBudget) {
  MemoryRelease release;
  const std::uint64_t fit = HeldEntries::kBudgetBytes / kMax;  // files of the limit that fit
  for (std::uint64_t i = 0; i < fit + 1; ++i) release.add("f", kMax, std::string(kMax, 'x'));
  release.finish();
  const HeldEntries held = readAhead(release);
  EXPECT_TRUE(held.holds(fit - 1));
  EXPECT_FALSE(held.holds(fit));
  EXPECT_EQ(held.heldBytes(), HeldEntries::kBudgetBytes);
}

TEST(HeldEntries, AFileLongerThanItSaidIsLeftToBeReadAtItsTurn) {
  MemoryRelease release;
  release.add("grew", 10, std::string(kMax + 1, 'g'));
  release.add("next", 1, "n");
  release.finish();
  const HeldEntries held = readAhead(release);
  EXPECT_FALSE(held.holds(0));
  EXPECT_EQ(held.get(1).contents, "n");  // nothing of the first stays behind
  EXPECT_EQ(held.heldBytes(), 1u);
}

// Holds entry `index` as a reader of a list would: `bytes` handed over in
// pieces of at most half a budget's size.
void holdList(HeldEntries& held, std::size_t index, std::uint64_t bytes) {
  const std::string piece(static_cast<std::size_t>(std::min<std::uint64_t>(bytes, 4u << 20)), 'l');
  held.start(index);
  for (std::uint64_t left = bytes; left > 0;) {
    const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(left, piece.size()));
    held.add(reinterpret_cast<const std::uint8_t*>(piece.data()), size);
    left -= size;
  }
  held.keep();
}

// A list is held as another reader reads it: up to its limit, exactly.
TEST(HeldEntries, HoldsAListReadElsewhereUpToItsLimit) {
  HeldEntries held(2);
  holdList(held, 0, HeldEntries::kListBytesMax);
  ASSERT_TRUE(held.holds(0));
  EXPECT_EQ(held.get(0).contents.size(), HeldEntries::kListBytesMax);
  holdList(held, 1, HeldEntries::kListBytesMax + 1);  // not held, and nothing of it stays
  EXPECT_FALSE(held.holds(1));
  EXPECT_EQ(held.heldBytes(), HeldEntries::kListBytesMax);
}

// Beside many entries the budget is a quarter: the lists count against it,
// held up to it exactly and not one byte past.
TEST(HeldEntries, HoldsListsWithinTheBudgetBesideTheEntries) {
  const std::vector<ReleaseEntry> entries(98305);
  const std::uint64_t budget = HeldEntries::budgetBeside(entries.size());
  HeldEntries held(entries.size());
  held.prepare(entries, {0, 1});
  EXPECT_EQ(held.roomForList(), budget);
  holdList(held, 0, budget);
  EXPECT_TRUE(held.holds(0));
  EXPECT_EQ(held.roomForList(), 0u);
  holdList(held, 1, 1);
  EXPECT_FALSE(held.holds(1));
  EXPECT_EQ(held.heldBytes(), budget);
}

TEST(HeldEntries, KeepsAFailedReadingWithTheSourcesMessage) {
  MemoryRelease release;
  release.add("bad", 4, "data");
  release.finish();
  release.failing = 0;
  const HeldEntries held = readAhead(release);
  ASSERT_TRUE(held.holds(0));
  const HeldEntries::Held bad = held.get(0);
  EXPECT_FALSE(bad.read);
  EXPECT_EQ(bad.failure, SourceFailure::kDamaged);
  EXPECT_EQ(bad.message, "damaged: CRC mismatch");
}

// Failures' messages are held up to their own limit: past it, the files
// are left to be read at their turn.
TEST(HeldEntries, HoldsFailuresUpToTheirLimitAndNoMore) {
  constexpr std::uint64_t kCost = 1024;  // each failure's, message included
  constexpr std::uint64_t kFit = HeldEntries::kFailureBytesMax / kCost;
  MemoryRelease release;
  for (std::uint64_t i = 0; i < kFit + 2; ++i) release.add("f" + std::to_string(i), 1, "x");
  release.finish();
  release.failingFrom = 0;
  release.failingMessage.assign(kCost - HeldEntries::kFailureOverheadBytes, 'm');
  const HeldEntries held = readAhead(release);
  EXPECT_TRUE(held.holds(kFit - 1));
  EXPECT_FALSE(held.get(kFit - 1).read);
  EXPECT_EQ(held.get(kFit - 1).message, release.failingMessage);
  EXPECT_FALSE(held.holds(kFit));  // the limit reached: left for its turn
  EXPECT_EQ(release.readOrder.size(), kFit);
}

TEST(HeldEntries, ReadsNothingMoreOnceCancelled) {
  MemoryRelease release;
  release.add("a", 1, "a");
  release.finish();
  HeldEntries held(release.entries().size());
  const std::atomic<bool> cancel{true};
  held.readSmallFiles(release, {}, cancel);
  EXPECT_FALSE(held.holds(0));
  EXPECT_TRUE(release.readOrder.empty());
}

}  // namespace
}  // namespace quillet::check
