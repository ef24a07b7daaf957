#include "message_loop.h"

#include <algorithm>
#include <iterator>

namespace fw::sim {

void MessageLoop::at(std::uint64_t time, std::function<void()> action) {
  Scripted event{time, scriptOrder_++, std::move(action)};
  auto place = std::upper_bound(script_.begin(), script_.end(), event,
                                [](const Scripted& a, const Scripted& b) {
                                  return a.time != b.time ? a.time < b.time : a.order < b.order;
                                });
  script_.insert(place, std::move(event));
}

void MessageLoop::advanceTo(std::uint64_t time) {
  while (!script_.empty() && script_.front().time <= time) {
    Scripted event = std::move(script_.front());
    script_.erase(script_.begin());
    now_ = std::max(now_, event.time);
    event.action();
  }
  now_ = std::max(now_, time);
}

void MessageLoop::pause(std::uint32_t milliseconds) { advanceTo(now_ + milliseconds); }

void MessageLoop::setTimer(WindowHandle window, std::uintptr_t id, std::uint32_t elapse) {
  elapse = std::max(elapse, kMinimumElapse);
  timers_[{static_cast<std::uintptr_t>(window), id}] = Timer{elapse, now_ + elapse};
}

bool MessageLoop::killTimer(WindowHandle window, std::uintptr_t id) {
  return timers_.erase({static_cast<std::uintptr_t>(window), id}) != 0;
}

void MessageLoop::post(const Message& message) { queue_.push_back(message); }

void MessageLoop::input(const Message& message) { input_.push_back(message); }

void MessageLoop::postQuit(int exitCode) {
  quitPosted_ = true;
  quitPending_ = true;
  quitCode_ = exitCode;
}

void MessageLoop::forgetWindow(WindowHandle window) {
  const auto raw = static_cast<std::uintptr_t>(window);
  for (auto timer = timers_.begin(); timer != timers_.end();) {
    timer = timer->first.first == raw ? timers_.erase(timer) : std::next(timer);
  }
  for (std::vector<Message>* queue : {&queue_, &input_}) {
    queue->erase(
        std::remove_if(queue->begin(), queue->end(),
                       [window](const Message& queued) { return queued.window == window; }),
        queue->end());
  }
}

MessageLoop::End MessageLoop::run(const std::function<bool()>& done,
                                  const std::function<void(const Message&)>& deliver) {
  for (;;) {
    if (done()) return End::done;
    if (!queue_.empty()) {
      const Message message = queue_.front();
      queue_.erase(queue_.begin());
      deliver(message);
      continue;
    }
    if (quitPending_) return End::quit;
    if (!input_.empty()) {
      const Message message = input_.front();
      input_.erase(input_.begin());
      deliver(message);
      continue;
    }
    // Timer messages come only when nothing is posted or input; a timer whose ticks
    // were missed (the thread was paused) sends one message for them all.
    auto due = timers_.end();
    std::uint64_t earliest = UINT64_MAX;
    for (auto timer = timers_.begin(); timer != timers_.end(); ++timer) {
      if (timer->second.due < earliest) {
        earliest = timer->second.due;
        due = timer;
      }
    }
    if (due != timers_.end() && due->second.due <= now_) {
      Timer& timer = due->second;
      while (timer.due <= now_) timer.due += timer.elapse;
      deliver({static_cast<WindowHandle>(due->first.first), kMsgTimer, 0, due->first.second});
      continue;
    }
    if (!script_.empty()) earliest = std::min(earliest, script_.front().time);
    if (earliest == UINT64_MAX || earliest > horizon_) {
      stalled_ = true;
      return End::stalled;
    }
    advanceTo(earliest);
  }
}

}  // namespace fw::sim
