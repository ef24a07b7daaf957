// The read-ahead thread: whatever the entries' sizes and however their
// reading ends, the caller takes every entry in the order given, with its
// own contents and its own outcome, many entries to a batch or one entry
// over many batches.
#include "entry_read_ahead.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillet::check {
namespace {

// One entry of the fake source and how reading it goes.
struct FakeEntry {
  std::string contents;
  std::size_t chunk = 1000;  // handed over this much at a time
  bool inPlace = false;      // put in the reader's room, as inflated data is
  bool fails = false;        // fails after half its contents
  bool crcLeft = false;      // its CRC-32 left to the caller
  bool crcWrong = false;     // and that CRC does not match
};

class FakeSource final : public ReleaseSource {
 public:
  explicit FakeSource(std::vector<FakeEntry> entries) : fakes_(std::move(entries)) {
    entries_.resize(fakes_.size());
  }
  const char* kind() const override { return "fake"; }
  const std::vector<ReleaseEntry>& entries() const override { return entries_; }
  bool usesZip64() const override { return false; }
  bool read(std::size_t index, const Sink& sink) override {
    return readLeavingCrc(index, sink, {});
  }
  std::optional<std::uint32_t> crcLeftToCaller(std::size_t index) const override {
    const FakeEntry& fake = fakes_[index];
    if (!fake.crcLeft) return std::nullopt;
    const auto* bytes = reinterpret_cast<const Bytef*>(fake.contents.data());
    const auto crc =
        static_cast<std::uint32_t>(::crc32(0, bytes, static_cast<uInt>(fake.contents.size())));
    return fake.crcWrong ? crc ^ 1 : crc;
  }
  bool readLeavingCrc(std::size_t index, const Sink& sink, const Room& room) override {
    const FakeEntry& fake = fakes_[index];
    const std::size_t end = fake.fails ? fake.contents.size() / 2 : fake.contents.size();
    for (std::size_t at = 0; at < end; at += fake.chunk) {
      const std::size_t size = std::min(fake.chunk, end - at);
      const auto* data = reinterpret_cast<const std::uint8_t*>(fake.contents.data()) + at;
      std::uint8_t* place = fake.inPlace ? room(size) : nullptr;
      if (place != nullptr) {
        std::memcpy(place, data, size);
        data = place;
      }
      if (!sink(data, size)) return fail(SourceFailure::kStopped, "stopped");
    }
    if (fake.fails)
      return fail(SourceFailure::kDamaged, "entry " + std::to_string(index) + " failed");
    return true;
  }
  std::string crcMismatch(std::size_t index, std::uint32_t) const override {
    return "entry " + std::to_string(index) + " has the wrong CRC-32";
  }
  SourceFailure failure() const override { return failure_; }
  const std::string& message() const override { return message_; }

 private:
  bool fail(SourceFailure failure, std::string message) {
    failure_ = failure;
    message_ = std::move(message);
    return false;
  }
  std::vector<FakeEntry> fakes_;
  std::vector<ReleaseEntry> entries_;
  SourceFailure failure_ = SourceFailure::kNone;
  std::string message_;
};

// Contents that differ from entry to entry and along each entry.
std::string contentsOf(std::size_t index, std::size_t size) {
  std::string contents(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    contents[i] = static_cast<char>(index * 31 + i * 7 + i / 253);
  return contents;
}

struct Expected {
  std::string contents;  // as the caller takes them
  bool ok;
  std::string message;
};

// What entry `index`, read from `fake`, must come to: a failing one ends
// after half its contents, one with the wrong CRC-32 gives them all.
Expected expectedOf(const FakeEntry& fake, std::size_t index) {
  Expected want;
  want.ok = !fake.fails && !fake.crcWrong;
  want.contents = fake.fails ? fake.contents.substr(0, fake.contents.size() / 2) : fake.contents;
  if (fake.fails) want.message = "entry " + std::to_string(index) + " failed";
  if (fake.crcWrong) want.message = "entry " + std::to_string(index) + " has the wrong CRC-32";
  return want;
}

// Takes every entry of `order` and checks what each came to.
void expectOutcomes(FakeSource& source, const std::vector<int>& order,
                    const std::vector<Expected>& expected) {
  ReadAhead reader(source, order);
  for (std::size_t i = 0; i < order.size(); ++i) {
    SCOPED_TRACE("entry " + std::to_string(order[i]) + ", taken " + std::to_string(i));
    std::string taken;
    const ReadAhead::Outcome outcome =
        reader.next([&taken](const std::uint8_t* data, std::size_t size) {
          taken.append(reinterpret_cast<const char*>(data), size);
        });
    const Expected& want = expected[static_cast<std::size_t>(order[i])];
    EXPECT_EQ(outcome.ok, want.ok);
    EXPECT_EQ(outcome.failure, want.ok ? SourceFailure::kNone : SourceFailure::kDamaged);
    EXPECT_EQ(outcome.message, want.message);
    EXPECT_TRUE(taken == want.contents)
        << taken.size() << " bytes taken, " << want.contents.size() << " expected";
  }
}

// Many small entries, several to a batch, failing in each way in turn, in an
// order that is not the source's: each gets its own contents and message.
TEST(ReadAheadOutcomes, EverySmallEntryGetsItsOwnContentsAndOutcomeInOrder) {
  constexpr std::size_t kCount = 10000;  // more than a batch has pieces
  std::vector<FakeEntry> fakes(kCount);
  std::vector<Expected> expected(kCount);
  for (std::size_t i = 0; i < kCount; ++i) {
    FakeEntry& fake = fakes[i];
    fake.contents = contentsOf(i, i % 5 == 0 ? 0 : 9 + i % 40);
    fake.inPlace = i % 2 == 0;
    fake.crcLeft = i % 3 == 0;
    switch (i % 7) {
      case 1:
        fake.fails = true;
        break;
      case 2:
        fake.crcWrong = fake.crcLeft;
        break;
      default:
        break;
    }
    expected[i] = expectedOf(fake, i);
  }
  FakeSource source(fakes);
  std::vector<int> order;
  for (std::size_t i = 0; i < kCount; ++i) order.push_back(static_cast<int>((i * 7919) % kCount));
  expectOutcomes(source, order, expected);
}

// Entries larger than a batch, copied or put in place, whole or failing
// after a part, between small ones.
TEST(ReadAheadOutcomes, LargeEntriesSpanBatchesAndKeepTheirOutcome) {
  constexpr std::size_t kLarge = ReadAhead::kBatchCapacity + ReadAhead::kBatchBytes / 3;
  std::vector<FakeEntry> fakes(8);
  std::vector<Expected> expected(8);
  for (std::size_t i = 0; i < fakes.size(); ++i) {
    FakeEntry& fake = fakes[i];
    const bool large = i % 2 == 1;
    fake.contents = contentsOf(i, large ? kLarge + i : 10);
    fake.chunk = large ? 64 * 1024 : 10;
    fake.inPlace = i % 4 == 1 || i % 4 == 2;
    fake.fails = i == 5 || i == 6;
    fake.crcLeft = i == 3 || i == 7;
    fake.crcWrong = i == 7;
    expected[i] = expectedOf(fake, i);
  }
  FakeSource source(fakes);
  expectOutcomes(source, {7, 0, 1, 2, 3, 4, 5, 6}, expected);
}

// The caller may stop taking at any entry: the reader ends its thread.
TEST(ReadAheadOutcomes, ACallerThatStopsEarlyEndsTheReader) {
  std::vector<FakeEntry> fakes(3000);
  for (std::size_t i = 0; i < fakes.size(); ++i) fakes[i].contents = contentsOf(i, 500);
  FakeSource source(fakes);
  std::vector<int> order;
  for (int i = 0; i < 3000; ++i) order.push_back(i);
  ReadAhead reader(source, order);
  std::string taken;
  EXPECT_TRUE(reader
                  .next([&taken](const std::uint8_t* data, std::size_t size) {
                    taken.append(reinterpret_cast<const char*>(data), size);
                  })
                  .ok);
  EXPECT_EQ(taken, fakes[0].contents);
}

}  // namespace
}  // namespace quillet::check
