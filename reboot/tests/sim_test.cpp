// The simulated device keeps the platform's promises the utility relies
// on: what a person presses reaches the open dialog (an untaken close box
// as the cancel command), a modal run that never hangs, and processes that
// take their windows with them. Its clock and message loop, and its
// storage, have tests of their own.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "device.h"
#include "scratch_folder.h"

namespace ostrel::testing {

using zarvo::testing::ScratchFolder;
namespace {

using fw::WindowHandle;
using Strings = std::vector<std::string>;

constexpr std::uint32_t kTemplate = 7;
constexpr int kButton = 20;

// Records what a modal run delivers, with the time; takes every message
// but the close box.
class Recorder : public fw::DialogEvents {
 public:
  explicit Recorder(fw::sim::Device& device) : device_(device) {}

  void dialogCreated(WindowHandle /*window*/) override {}
  int dialogInitialise() override { return 1; }
  bool dialogMessage(std::uint32_t message, std::uint32_t code, std::uintptr_t id) override {
    const char* name = message == fw::kMsgTimer   ? "timer"
                       : message == fw::kMsgClose ? "close"
                                                  : "command";
    seen.push_back(std::to_string(device_.loop().now()) + " " + name + " " + std::to_string(code) +
                   "," + std::to_string(id));
    return message != fw::kMsgClose;
  }
  void dialogDestroyed() override {}

  Strings seen;

 private:
  fw::sim::Device& device_;
};

class SimDevice : public ::testing::Test {
 protected:
  SimDevice() {
    device.addDialogTemplate({kTemplate, u"Sim", 60, 40, {{kButton, u"Go", {1, 2, 21, 12}}}});
  }

  ScratchFolder scratch;
  fw::sim::Device device{scratch.path()};
};

TEST_F(SimDevice, PressesReachTheOpenDialogAndAnUntakenCloseBoxIsCancel) {
  Recorder recorder(device);
  device.pressAt(50, kButton);
  device.pressCloseBoxAt(400);
  device.loop().at(500, [&] { device.endDialog(device.openDialog(), 9); });
  EXPECT_EQ(device.runModalDialog(kTemplate, WindowHandle::none, recorder), 9);
  EXPECT_EQ(recorder.seen, (Strings{"50 command 0,20", "400 close 0,0", "400 command 0,2"}));
}

TEST_F(SimDevice, ModalRunWithNothingLeftToHappenEndsAsStalled) {
  Recorder recorder(device);
  EXPECT_EQ(device.runModalDialog(kTemplate, WindowHandle::none, recorder), -1);
  EXPECT_TRUE(device.loop().stalled());
  EXPECT_EQ(device.loop().now(), 0u);
}

TEST_F(SimDevice, QuitRequestEndsTheModalRunThenTheLoop) {
  Recorder recorder(device);
  device.loop().at(10, [&] { device.postQuitMessage(4); });
  EXPECT_EQ(device.runModalDialog(kTemplate, WindowHandle::none, recorder), 0);
  EXPECT_EQ(device.runMessageLoop(), 4);   // the quit request is still pending
  EXPECT_EQ(device.runMessageLoop(), -1);  // and now taken
}

TEST_F(SimDevice, PressesNeedAnOpenDialog) {
  EXPECT_FALSE(device.press(kButton));
  EXPECT_FALSE(device.pressCaptionOk());
  EXPECT_FALSE(device.pressCloseBox());
}

TEST_F(SimDevice, TerminatedProcessLosesItsWindows) {
  const std::uint32_t pid = device.startProgram(u"Tolvane");
  device.addWindow(pid, u"Tolvane settings");
  const WindowHandle window = device.findWindow(nullptr, u"Tolvane");
  std::uint32_t owner = 0;
  EXPECT_NE(device.windowProcessId(window, &owner), 0u);
  EXPECT_EQ(owner, pid);

  const fw::ProcessHandle process = device.openProcess(0, false, pid);
  ASSERT_NE(process, fw::ProcessHandle::none);
  EXPECT_TRUE(device.terminateProcess(process, 0));
  EXPECT_FALSE(device.terminateProcess(process, 0));
  EXPECT_EQ(device.findWindow(nullptr, u"Tolvane"), WindowHandle::none);
  EXPECT_EQ(device.findWindow(nullptr, u"Tolvane settings"), WindowHandle::none);
  EXPECT_EQ(device.windowProcessId(window, &owner), 0u);
  EXPECT_EQ(device.openProcess(0, false, pid), fw::ProcessHandle::none);
  EXPECT_EQ(device.openProcess(0, false, 999), fw::ProcessHandle::none);
}

}  // namespace
}  // namespace ostrel::testing
