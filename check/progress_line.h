// The progress line quillet-check draws on standard error while a large
// release is checked: only on a terminal, from about two seconds on, a few
// times a second, and wiped when the check ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>

namespace quillet::check {

class ProgressLine {
 public:
  using Clock = std::chrono::steady_clock;
  using Now = std::function<Clock::time_point()>;

  // Quiet for this long after the start: a quick check draws nothing.
  static constexpr std::chrono::milliseconds kQuietStart{2000};
  // At most one drawing per this long.
  static constexpr std::chrono::milliseconds kRedrawEvery{250};

  // `enabled` is false when `out` is not a terminal: then nothing is ever
  // written. `now` is the clock (the steady clock but in tests).
  ProgressLine(bool enabled, std::FILE* out, Now now = Clock::now);
  ~ProgressLine();  // wipes a line that was drawn
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // `done` of `total` bytes of contents checked so far.
  void update(std::uint64_t done, std::uint64_t total);
  // Wipes a line that was drawn, so that text can be written on the
  // terminal; the next update draws it again.
  void wipe();

 private:
  bool enabled_;
  std::FILE* out_;
  Now now_;
  bool drawn_ = false;
  Clock::time_point start_;
  Clock::time_point last_;
};

}  // namespace quillet::check
