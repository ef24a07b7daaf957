#include "progress_line.h"

#include <utility>

namespace quillet::check {

ProgressLine::ProgressLine(bool enabled, std::FILE* out, Now now)
    : enabled_(enabled), out_(out), now_(std::move(now)), start_(now_()) {}

ProgressLine::~ProgressLine() { wipe(); }

void ProgressLine::wipe() {
  if (!drawn_) return;
  std::fprintf(out_, "\r%-60s\r", "");
  std::fflush(out_);
  drawn_ = false;
}

void ProgressLine::update(std::uint64_t done, std::uint64_t total) {
  if (!enabled_) return;
  const Clock::time_point now = now_();
  if (now - start_ < kQuietStart) return;
  if (drawn_ && now - last_ < kRedrawEvery) return;
  last_ = now;
  drawn_ = true;
  std::fprintf(out_, "\rChecked %llu of %llu MiB", static_cast<unsigned long long>(done >> 20),
               static_cast<unsigned long long>(total >> 20));
  std::fflush(out_);
}

}  // namespace quillet::check
