// The simulated device's virtual clock and its one thread's message loop.
//
// The clock counts milliseconds from 0 and moves only when the thread
// pauses or a loop waits for the next event, so ten simulated seconds take
// microseconds. On it:
//  - scripted actions run when the clock reaches their time, also in the
//    middle of a pause (what they post waits in the queue);
//  - window timers fall due every `elapse` ms; a timer message is made only
//    when nothing posted is waiting, as on Windows, and ticks missed while
//    the thread was paused fold into one message;
//  - posted messages are handed out first come, first served; a quit
//    request ends every loop once no posted message is left;
//  - input (what a person does: clicks, the caption's buttons) is handed
//    out after the posted messages and only while no quit request is
//    pending, as Windows ranks input below both: a click that waited
//    behind one that quit is never handled.
// A loop never blocks: with nothing queued, due or scripted up to the
// horizon, it ends as stalled.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "platform.h"

namespace fw::sim {

// A message for a window: posted, or made by a timer (kMsgTimer, code 0,
// id the timer's identifier).
struct Message {
  WindowHandle window;
  std::uint32_t message;
  std::uint32_t code;
  std::uintptr_t id;
};

class MessageLoop {
 public:
  // SetTimer raises shorter periods to this (USER_TIMER_MINIMUM).
  static constexpr std::uint32_t kMinimumElapse = 10;

  // --- The clock and the script.
  std::uint64_t now() const { return now_; }
  // Runs `action` when the clock reaches `time` (at once, on the next move
  // of the clock, if it already has). Actions at the same time keep order.
  void at(std::uint64_t time, std::function<void()> action);
  // The thread pauses: the clock moves on by `milliseconds`, running what
  // is scripted meanwhile; nothing is delivered.
  void pause(std::uint32_t milliseconds);
  // Nothing later than `horizon` ms happens: a loop still waiting then ends
  // as stalled. 10 minutes unless set.
  void setHorizon(std::uint64_t horizon) { horizon_ = horizon; }
  bool stalled() const { return stalled_; }

  // --- Timers of windows.
  // Starts (or restarts) the timer `id` of `window`: first due `elapse` ms
  // from now.
  void setTimer(WindowHandle window, std::uintptr_t id, std::uint32_t elapse);
  // False when there was no such timer.
  bool killTimer(WindowHandle window, std::uintptr_t id);

  // --- Posted messages and the quit request.
  void post(const Message& message);
  // Input from the person: handled after posted messages, before timers.
  void input(const Message& message);
  void postQuit(int exitCode);
  bool quitPosted() const { return quitPosted_; }
  int quitCode() const { return quitCode_; }
  // The window is gone: its timers stop and what was posted or input to it goes.
  void forgetWindow(WindowHandle window);

  // --- Running.
  enum class End { done, quit, stalled };
  // Hands messages to `deliver` (posted ones first, then input, then
  // timers that are due), moving the clock to the next event when there is none, until
  // `done` (asked before each message) says so, a quit request is pending
  // with nothing posted before it left, or nothing is left to happen up to
  // the horizon.
  End run(const std::function<bool()>& done, const std::function<void(const Message&)>& deliver);
  // The program's own loop took the quit request: later runs no longer end
  // for it.
  void takeQuit() { quitPending_ = false; }

 private:
  struct Timer {
    std::uint32_t elapse;
    std::uint64_t due;
  };
  struct Scripted {
    std::uint64_t time;
    std::uint64_t order;
    std::function<void()> action;
  };

  // Moves the clock to `time`, running the scripted actions on the way.
  void advanceTo(std::uint64_t time);

  std::uint64_t now_ = 0;
  std::uint64_t horizon_ = 10 * 60 * 1000;
  bool stalled_ = false;
  std::vector<Scripted> script_;  // by time, then order of scripting
  std::uint64_t scriptOrder_ = 0;
  std::map<std::pair<std::uintptr_t, std::uintptr_t>, Timer> timers_;  // by (window, id)
  std::vector<Message> queue_;
  std::vector<Message> input_;
  bool quitPosted_ = false;
  bool quitPending_ = false;
  int quitCode_ = 0;
};

}  // namespace fw::sim
