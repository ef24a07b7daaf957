// The simulated device keeps the platform's promises the utility relies
// on: timer messages in order and folded while the thread is paused,
// posted messages first, a modal run that never hangs, storage mapped under
// the test's folder, and processes that take their windows with them.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "device.h"
#include "scratch_folder.h"

namespace {

using fw::WindowHandle;
using Strings = std::vector<std::string>;

constexpr std::uint32_t kTemplate = 7;
constexpr int kButton = 20;

// Records what a modal run delivers, with the time, and lets a test act
// inside the handler.
class Recorder : public fw::DialogEvents {
 public:
  explicit Recorder(fw::sim::Device& device) : device_(device) {}

  void dialogCreated(WindowHandle window) override { window_ = window; }
  int dialogInitialise() override {
    if (onInitialise) onInitialise(window_);
    return 1;
  }
  bool dialogMessage(std::uint32_t message, std::uint32_t code, std::uintptr_t id) override {
    const char* name = message == fw::kMsgTimer   ? "timer"
                       : message == fw::kMsgClose ? "close"
                                                  : "command";
    seen.push_back(std::to_string(device_.now()) + " " + name + " " + std::to_string(code) + "," +
                   std::to_string(id));
    if (onMessage) onMessage(message, id);
    return message != fw::kMsgClose;
  }
  void dialogDestroyed() override { window_ = WindowHandle::none; }

  Strings seen;
  std::function<void(WindowHandle)> onInitialise;
  std::function<void(std::uint32_t, std::uintptr_t)> onMessage;

 private:
  fw::sim::Device& device_;
  WindowHandle window_ = WindowHandle::none;
};

class SimDevice : public ::testing::Test {
 protected:
  SimDevice() {
    device.addDialogTemplate({kTemplate, u"Sim", 60, 40, {{kButton, u"Go", {1, 2, 21, 12}}}});
  }

  // Runs the dialog, ending it at `endAt`.
  std::intptr_t Run(Recorder& recorder, std::uint64_t endAt) {
    device.at(endAt, [&] { device.endDialog(device.openDialog(), 9); });
    return device.runModalDialog(kTemplate, WindowHandle::none, recorder);
  }

  ostrel::testing::ScratchFolder scratch;
  const std::filesystem::path& root = scratch.path();
  fw::sim::Device device{root};
};

TEST_F(SimDevice, TimersFireInDueOrderAndRepeat) {
  Recorder recorder(device);
  recorder.onInitialise = [&](WindowHandle window) {
    device.setTimer(window, 1, 300);
    device.setTimer(window, 2, 500);
  };
  EXPECT_EQ(Run(recorder, 1050), 9);
  EXPECT_EQ(recorder.seen, (Strings{"300 timer 0,1", "500 timer 0,2", "600 timer 0,1",
                                    "900 timer 0,1", "1000 timer 0,2"}));
}

TEST_F(SimDevice, TicksMissedDuringAPauseFoldIntoOne) {
  Recorder recorder(device);
  recorder.onInitialise = [&](WindowHandle window) { device.setTimer(window, 1, 100); };
  recorder.onMessage = [&](std::uint32_t, std::uintptr_t) {
    if (device.now() == 100) device.sleep(1000);
  };
  Run(recorder, 1250);
  EXPECT_EQ(recorder.seen, (Strings{"100 timer 0,1", "1100 timer 0,1", "1200 timer 0,1"}));
}

TEST_F(SimDevice, SettingATimerAgainRestartsItAndKillingStopsIt) {
  Recorder recorder(device);
  WindowHandle dialog = WindowHandle::none;
  recorder.onInitialise = [&](WindowHandle window) {
    dialog = window;
    device.setTimer(window, 1, 1000);
  };
  device.at(700, [&] { device.setTimer(dialog, 1, 1000); });
  device.at(2000, [&] { EXPECT_TRUE(device.killTimer(dialog, 1)); });
  Run(recorder, 5000);
  EXPECT_EQ(recorder.seen, (Strings{"1700 timer 0,1"}));
  EXPECT_FALSE(device.killTimer(dialog, 1));
}

TEST_F(SimDevice, PressesDuringAPauseWaitAndComeBeforeTimers) {
  Recorder recorder(device);
  recorder.onInitialise = [&](WindowHandle window) { device.setTimer(window, 1, 1000); };
  device.pressAt(50, kButton);
  device.pressCloseBoxAt(400);
  recorder.onMessage = [&](std::uint32_t message, std::uintptr_t) {
    if (message == fw::kMsgCommand && device.now() == 50) device.sleep(2000);
  };
  Run(recorder, 2500);
  // The close box is not handled by the recorder: the device turns it into
  // the cancel command.
  EXPECT_EQ(recorder.seen,
            (Strings{"50 command 0,20", "2050 close 0,0", "2050 command 0,2", "2050 timer 0,1"}));
}

TEST_F(SimDevice, ModalRunWithNothingLeftToHappenEndsAsStalled) {
  Recorder recorder(device);
  EXPECT_EQ(device.runModalDialog(kTemplate, WindowHandle::none, recorder), -1);
  EXPECT_TRUE(device.stalled());
  EXPECT_EQ(device.now(), 0u);
}

TEST_F(SimDevice, RunningTimerStopsAtTheHorizon) {
  Recorder recorder(device);
  device.setHorizon(5000);
  recorder.onInitialise = [&](WindowHandle window) { device.setTimer(window, 1, 1000); };
  EXPECT_EQ(device.runModalDialog(kTemplate, WindowHandle::none, recorder), -1);
  EXPECT_TRUE(device.stalled());
  EXPECT_EQ(recorder.seen.size(), 5u);
}

TEST_F(SimDevice, QuitRequestEndsTheModalRunThenTheLoop) {
  Recorder recorder(device);
  device.at(10, [&] { device.postQuitMessage(4); });
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

struct Mapping {
  const char* devicePath;
  const char* hostRelative;  // nullptr: not mapped
};

void PrintTo(const Mapping& m, std::ostream* out) { *out << m.devicePath; }

class StorageMapping : public SimDevice, public ::testing::WithParamInterface<Mapping> {};

TEST_P(StorageMapping, MapsAbsoluteDevicePathsUnderTheRoot) {
  const Mapping& m = GetParam();
  const std::filesystem::path host = device.hostPath(m.devicePath);
  if (m.hostRelative == nullptr) {
    EXPECT_TRUE(host.empty()) << host;
  } else {
    EXPECT_EQ(host, root / m.hostRelative);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, StorageMapping,
    ::testing::Values(Mapping{"\\USB Disk\\Zarvo\\reboot.txt", "USB Disk/Zarvo/reboot.txt"},
                      Mapping{"\\a\\\\b", "a/b"}, Mapping{"relative.txt", nullptr},
                      Mapping{"", nullptr}, Mapping{"\\a\\..\\..\\b", nullptr},
                      Mapping{"\\.\\b", nullptr}, Mapping{"\\a/..\\b", nullptr}));

TEST_F(SimDevice, StreamsAndDeletionWorkOnRealFiles) {
  std::filesystem::create_directories(root / "d");
  EXPECT_EQ(device.openStream("\\d\\missing.txt", "r"), fw::StreamHandle::none);
  EXPECT_EQ(device.openStream("\\d", "r"), fw::StreamHandle::none);  // a folder
  EXPECT_EQ(device.openStream("\\nofolder\\x.txt", "w"), fw::StreamHandle::none);

  std::ofstream(root / "d" / "f.txt") << "old";
  const fw::StreamHandle stream = device.openStream("\\d\\f.txt", "w");
  ASSERT_NE(stream, fw::StreamHandle::none);
  device.closeStream(stream);
  EXPECT_EQ(std::filesystem::file_size(root / "d" / "f.txt"), 0u);

  device.refuseDeletingFile("\\d\\f.txt");
  EXPECT_FALSE(device.deleteFile(u"\\d\\f.txt"));
  EXPECT_FALSE(device.deleteFile(u"\\d"));
  EXPECT_TRUE(std::filesystem::exists(root / "d"));
  std::ofstream(root / "d" / "g.txt") << "x";
  EXPECT_TRUE(device.deleteFile(u"\\d\\g.txt"));
  EXPECT_FALSE(std::filesystem::exists(root / "d" / "g.txt"));
  EXPECT_FALSE(device.deleteFile(u"\\d\\g.txt"));
}

}  // namespace
