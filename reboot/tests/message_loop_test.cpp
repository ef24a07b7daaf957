// The simulated device's clock and message loop keep the promises the
// utility relies on: timer messages in due order and folded while the
// thread is paused, posted messages first, and a run that never hangs.
#include "message_loop.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace {

using fw::WindowHandle;
using fw::sim::Message;
using fw::sim::MessageLoop;
using Strings = std::vector<std::string>;

const WindowHandle kWindow = static_cast<WindowHandle>(0x100);

class MessageLoopRun : public ::testing::Test {
 protected:
  // Runs until `endAt`, noting each message as "<time> timer <id>" or
  // "<time> posted <id>"; `onMessage` acts inside the handler.
  MessageLoop::End Run(std::uint64_t endAt) {
    bool ended = false;
    loop.at(endAt, [&] { ended = true; });
    return loop.run([&] { return ended; },
                    [&](const Message& message) {
                      seen.push_back(std::to_string(loop.now()) +
                                     (message.message == fw::kMsgTimer ? " timer " : " posted ") +
                                     std::to_string(message.id));
                      if (onMessage) onMessage(message);
                    });
  }

  MessageLoop loop;
  Strings seen;
  std::function<void(const Message&)> onMessage;
};

TEST_F(MessageLoopRun, TimersFireInDueOrderAndRepeat) {
  loop.setTimer(kWindow, 1, 300);
  loop.setTimer(kWindow, 2, 500);
  EXPECT_EQ(Run(1050), MessageLoop::End::done);
  EXPECT_EQ(seen,
            (Strings{"300 timer 1", "500 timer 2", "600 timer 1", "900 timer 1", "1000 timer 2"}));
}

TEST_F(MessageLoopRun, TicksMissedDuringAPauseFoldIntoOne) {
  loop.setTimer(kWindow, 1, 100);
  onMessage = [&](const Message&) {
    if (loop.now() == 100) loop.pause(1000);
  };
  Run(1250);
  EXPECT_EQ(seen, (Strings{"100 timer 1", "1100 timer 1", "1200 timer 1"}));
}

TEST_F(MessageLoopRun, SettingATimerAgainRestartsItAndKillingStopsIt) {
  loop.setTimer(kWindow, 1, 1000);
  loop.at(700, [&] { loop.setTimer(kWindow, 1, 1000); });
  loop.at(2000, [&] { EXPECT_TRUE(loop.killTimer(kWindow, 1)); });
  Run(5000);
  EXPECT_EQ(seen, (Strings{"1700 timer 1"}));
  EXPECT_FALSE(loop.killTimer(kWindow, 1));
}

TEST_F(MessageLoopRun, PostsDuringAPauseWaitAndComeBeforeTimers) {
  loop.setTimer(kWindow, 1, 1000);
  loop.at(50, [&] { loop.post({kWindow, fw::kMsgCommand, 0, 20}); });
  loop.at(400, [&] { loop.post({kWindow, fw::kMsgCommand, 0, 21}); });
  onMessage = [&](const Message& message) {
    if (message.id == 20) loop.pause(2000);
  };
  Run(2500);
  EXPECT_EQ(seen, (Strings{"50 posted 20", "2050 posted 21", "2050 timer 1"}));
}

TEST_F(MessageLoopRun, InputComesAfterPostedMessagesBeforeTimersAndNeverAfterAQuit) {
  loop.setTimer(kWindow, 1, 100);
  loop.at(50, [&] {
    loop.input({kWindow, fw::kMsgCommand, 0, 30});
    loop.post({kWindow, fw::kMsgCommand, 0, 20});
  });
  loop.at(250, [&] {
    loop.input({kWindow, fw::kMsgCommand, 0, 31});
    loop.postQuit(4);
  });
  onMessage = [&](const Message& message) {
    if (message.id == 20) loop.pause(100);
  };
  EXPECT_EQ(Run(1000), MessageLoop::End::quit);
  EXPECT_EQ(seen, (Strings{"50 posted 20", "150 posted 30", "150 timer 1", "200 timer 1"}));
}

TEST_F(MessageLoopRun, RunningTimerStopsAtTheHorizon) {
  loop.setHorizon(5000);
  loop.setTimer(kWindow, 1, 1000);
  EXPECT_EQ(Run(60000), MessageLoop::End::stalled);
  EXPECT_TRUE(loop.stalled());
  EXPECT_EQ(seen.size(), 5u);
}

TEST_F(MessageLoopRun, QuitRequestWaitsForWhatWasPostedBeforeIt) {
  loop.at(10, [&] {
    loop.post({kWindow, fw::kMsgCommand, 0, 20});
    loop.postQuit(4);
  });
  EXPECT_EQ(Run(1000), MessageLoop::End::quit);
  EXPECT_EQ(seen, (Strings{"10 posted 20"}));
  EXPECT_EQ(loop.quitCode(), 4);
}

}  // namespace
