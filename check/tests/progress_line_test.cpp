// The progress line: when it is drawn, how often, what it says, and that it
// is wiped. A hand-driven clock stands in for the steady clock.
#include "progress_line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "release_files.h"

namespace quillet::check {
namespace {

using std::chrono::milliseconds;

constexpr std::uint64_t kMiB = 1u << 20;

class ProgressLineTest : public ::testing::Test {
 protected:
  ProgressLineTest() : out_(std::fopen("progress.txt", "w+b")) {}
  ~ProgressLineTest() override {
    if (out_ != nullptr) std::fclose(out_);
  }

  std::unique_ptr<ProgressLine> line(bool enabled) {
    return std::make_unique<ProgressLine>(enabled, out_, [this] { return now_; });
  }
  void wait(milliseconds span) { now_ += span; }

  // Everything written so far.
  std::string written() {
    std::fflush(out_);
    std::string text;
    std::rewind(out_);
    for (int c; (c = std::fgetc(out_)) != EOF;) text += static_cast<char>(c);
    std::fseek(out_, 0, SEEK_END);
    return text;
  }

  quillet::testing::ScratchFolder scratch_;
  std::FILE* out_;
  ProgressLine::Clock::time_point now_{};
};

TEST_F(ProgressLineTest, StaysQuietUntilTwoSecondsHavePassedThenDraws) {
  ASSERT_NE(out_, nullptr);
  auto progress = line(true);
  wait(ProgressLine::kQuietStart - milliseconds(1));
  progress->update(1 * kMiB, 8 * kMiB);
  EXPECT_EQ(written(), "");
  wait(milliseconds(1));
  progress->update(3 * kMiB, 8 * kMiB);
  EXPECT_EQ(written(), "\rChecked 3 of 8 MiB");
}

TEST_F(ProgressLineTest, RedrawsAtMostFourTimesASecond) {
  ASSERT_NE(out_, nullptr);
  auto progress = line(true);
  wait(ProgressLine::kQuietStart);
  progress->update(1 * kMiB, 8 * kMiB);
  wait(ProgressLine::kRedrawEvery - milliseconds(1));
  progress->update(2 * kMiB, 8 * kMiB);
  EXPECT_EQ(written(), "\rChecked 1 of 8 MiB");
  wait(milliseconds(1));
  progress->update(5 * kMiB, 8 * kMiB);
  EXPECT_EQ(written(), "\rChecked 1 of 8 MiB\rChecked 5 of 8 MiB");
}

TEST_F(ProgressLineTest, IsWipedAtTheEndOnlyWhenItWasDrawn) {
  ASSERT_NE(out_, nullptr);
  line(true)->update(1 * kMiB, 2 * kMiB);  // before two seconds: never drawn
  EXPECT_EQ(written(), "");

  auto progress = line(true);
  wait(ProgressLine::kQuietStart);
  progress->update(2 * kMiB, 2 * kMiB);
  progress.reset();
  EXPECT_EQ(written(), "\rChecked 2 of 2 MiB\r" + std::string(60, ' ') + "\r");
}

// Wiped so that a report can be written between two checks, it is drawn
// again at the next update, without waiting its turn.
TEST_F(ProgressLineTest, WipedInTheMiddleIsDrawnAgainAtTheNextUpdate) {
  ASSERT_NE(out_, nullptr);
  auto progress = line(true);
  progress->wipe();  // never drawn: nothing to wipe
  EXPECT_EQ(written(), "");
  wait(ProgressLine::kQuietStart);
  progress->update(1 * kMiB, 4 * kMiB);
  progress->wipe();
  progress->update(2 * kMiB, 4 * kMiB);
  progress.reset();
  const std::string wiped = "\r" + std::string(60, ' ') + "\r";
  EXPECT_EQ(written(), "\rChecked 1 of 4 MiB" + wiped + "\rChecked 2 of 4 MiB" + wiped);
}

TEST_F(ProgressLineTest, WritesNothingWhenNotOnATerminal) {
  ASSERT_NE(out_, nullptr);
  auto progress = line(false);
  for (int i = 0; i < 20; ++i) {
    wait(ProgressLine::kQuietStart);
    progress->update(static_cast<std::uint64_t>(i) * kMiB, 20 * kMiB);
  }
  progress.reset();
  EXPECT_EQ(written(), "");
}

}  // namespace
}  // namespace quillet::check
