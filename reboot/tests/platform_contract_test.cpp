// The platform seam's contract, held in common by the simulated device and
// the build's real backend (Win32 in Windows builds), so that the tests of
// the utility on the simulated device say something about the real one.
// The real backend's instance is skipped, with the reason, where the build
// has none or windows cannot be created.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "contract_backends.h"
#include "device.h"
#include "ostrel_device.h"
#include "resource.h"
#include "scratch_folder.h"

namespace ostrel::testing {

using zarvo::testing::ScratchFolder;
namespace {

class SimBackend final : public ContractBackend {
 public:
  SimBackend() : device_(storage_.path()) {
    std::filesystem::create_directories(storage_.path() / "scratch");
    InstallResources(device_);
  }

  fw::Platform& platform() override { return device_; }
  std::string scratchFolder() const override { return "\\scratch\\"; }
  std::string windowsUnavailable() const override { return {}; }

 private:
  ScratchFolder storage_;
  fw::sim::Device device_;
};

enum class Kind { simulated, real };

std::string KindName(const ::testing::TestParamInfo<Kind>& info) {
  return info.param == Kind::simulated ? "SimulatedDevice" : "RealBackend";
}

class PlatformContract : public ::testing::TestWithParam<Kind> {
 protected:
  void SetUp() override {
    if (GetParam() == Kind::simulated) {
      backend_ = std::make_unique<SimBackend>();
    } else {
      std::string why;
      backend_ = MakeRealBackend(&why);
      if (backend_ == nullptr) GTEST_SKIP() << why;
    }
    scratch_ = backend_->scratchFolder();
  }

  fw::Platform& platform() { return backend_->platform(); }
  // Why the backend cannot create windows; empty when it can.
  std::string NoWindows() const { return backend_->windowsUnavailable(); }
  std::string Path(const std::string& name) const { return scratch_ + name; }
  static std::u16string Wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
  }

  std::unique_ptr<ContractBackend> backend_;
  std::string scratch_;
};

// --- Streams and deletion.

TEST_P(PlatformContract, MissingFileOpensForWritingButNotForReading) {
  const std::string path = Path("reboot.txt");
  EXPECT_EQ(platform().openStream(path.c_str(), "r"), fw::StreamHandle::none);
  const fw::StreamHandle written = platform().openStream(path.c_str(), "w");
  ASSERT_NE(written, fw::StreamHandle::none);
  platform().closeStream(written);
  const fw::StreamHandle read = platform().openStream(path.c_str(), "r");
  EXPECT_NE(read, fw::StreamHandle::none) << "the file \"w\" created";
  platform().closeStream(read);
  EXPECT_TRUE(platform().deleteFile(Wide(path).c_str()));
}

TEST_P(PlatformContract, DeletionReportsWhetherAFileWentAway) {
  const std::string path = Path("marker.txt");
  platform().closeStream(platform().openStream(path.c_str(), "w"));
  EXPECT_TRUE(platform().deleteFile(Wide(path).c_str()));
  EXPECT_EQ(platform().openStream(path.c_str(), "r"), fw::StreamHandle::none);
  EXPECT_FALSE(platform().deleteFile(Wide(path).c_str())) << "already gone";
}

TEST_P(PlatformContract, FolderNeitherOpensNorDeletesAsAFile) {
  std::string folder = scratch_;
  folder.pop_back();  // without the final separator
  EXPECT_EQ(platform().openStream(folder.c_str(), "r"), fw::StreamHandle::none);
  EXPECT_FALSE(platform().deleteFile(Wide(folder).c_str()));
}

TEST_P(PlatformContract, FileInAMissingFolderDoesNotOpen) {
  const std::string path = Path("no such folder\\reboot.txt");
  EXPECT_EQ(platform().openStream(path.c_str(), "w"), fw::StreamHandle::none);
}

// --- Windows and processes that are not there.

TEST_P(PlatformContract, UnknownTitleFindsNoWindow) {
  EXPECT_EQ(platform().findWindow(nullptr, u"Ostrel contract: no window has this title"),
            fw::WindowHandle::none);
}

TEST_P(PlatformContract, NoWindowHasNoProcess) {
  std::uint32_t processId = 77;
  EXPECT_EQ(platform().windowProcessId(fw::WindowHandle::none, &processId), 0u);
  EXPECT_EQ(processId, 77u) << "left untouched";
}

// --- The modal run over the program's dialog template.

// Records what a modal run reports and answers through `onMessage`.
class Recorder : public fw::DialogEvents {
 public:
  std::function<int()> onInitialise = [] { return 1; };
  std::function<bool(std::uint32_t, std::uint32_t, std::uintptr_t)> onMessage =
      [](std::uint32_t, std::uint32_t, std::uintptr_t) { return false; };

  fw::WindowHandle window = fw::WindowHandle::none;
  std::vector<std::string> events;

  void dialogCreated(fw::WindowHandle created) override {
    window = created;
    events.push_back("created");
  }
  int dialogInitialise() override {
    events.push_back("initialise");
    return onInitialise();
  }
  bool dialogMessage(std::uint32_t message, std::uint32_t code, std::uintptr_t id) override {
    if (message == fw::kMsgTimer) {
      events.push_back("timer " + std::to_string(id));
    } else if (message == fw::kMsgCommand && code == fw::kButtonClicked) {
      // Only clicks: the controls' own notifications (an edit field's
      // EN_UPDATE and EN_CHANGE on Win32) are not part of the contract.
      events.push_back("command " + std::to_string(code) + " " + std::to_string(id));
    } else if (message == fw::kMsgClose) {
      events.push_back("close");
    }
    return onMessage(message, code, id);
  }
  void dialogDestroyed() override { events.push_back("destroyed"); }
};

constexpr std::uintptr_t kTimer = 0x10400;
constexpr std::uintptr_t kOtherTimer = 7;

TEST_P(PlatformContract, ModalRunShowsTheTemplatesControlsAndEndsWithEndDialog) {
  if (!NoWindows().empty()) GTEST_SKIP() << NoWindows();
  Recorder dialog;
  dialog.onInitialise = [&] {
    fw::Platform& p = platform();
    EXPECT_NE(p.dialogItem(dialog.window, IDC_YES), fw::WindowHandle::none);
    EXPECT_EQ(p.dialogItem(dialog.window, 4242), fw::WindowHandle::none);
    const fw::WindowHandle message = p.dialogItem(dialog.window, IDC_MESSAGE);
    EXPECT_EQ(p.windowText(message), u"");
    EXPECT_EQ(p.windowText(p.dialogItem(dialog.window, IDC_NO)), u"No");
    EXPECT_TRUE(p.setWindowText(message, u"After 10 seconds -> reboot system \u00e9"));
    EXPECT_EQ(p.windowText(message), u"After 10 seconds -> reboot system \u00e9");
    EXPECT_EQ(p.setTimer(dialog.window, kTimer, 20), kTimer);
    return 1;
  };
  int ticks = 0;
  dialog.onMessage = [&](std::uint32_t message, std::uint32_t, std::uintptr_t id) {
    if (message != fw::kMsgTimer) return false;
    if (id == kOtherTimer) {
      EXPECT_TRUE(platform().endDialog(dialog.window, 42));
    } else if (++ticks == 2) {  // the second tick: stop it
      EXPECT_TRUE(platform().killTimer(dialog.window, kTimer));
      EXPECT_FALSE(platform().killTimer(dialog.window, kTimer)) << "already stopped";
      // Anything of the stopped timer would arrive before this one ends the run.
      platform().setTimer(dialog.window, kOtherTimer, 150);
    }
    return true;
  };
  EXPECT_EQ(platform().runModalDialog(IDD_OSTREL_DIALOG, fw::WindowHandle::none, dialog), 42);
  const std::vector<std::string> expected = {"created",     "initialise", "timer 66560",
                                             "timer 66560", "timer 7",    "destroyed"};
  EXPECT_EQ(dialog.events, expected);
}

TEST_P(PlatformContract, CloseBoxNobodyTakesBecomesCancel) {
  if (!NoWindows().empty()) GTEST_SKIP() << NoWindows();
  Recorder dialog;
  dialog.onInitialise = [&] {
    platform().setTimer(dialog.window, kOtherTimer, 10);
    return 1;
  };
  dialog.onMessage = [&](std::uint32_t message, std::uint32_t code, std::uintptr_t id) {
    if (message == fw::kMsgTimer) {
      platform().killTimer(dialog.window, kOtherTimer);
      platform().sendMessage(dialog.window, fw::kMsgClose, 0, 0);
      return true;
    }
    if (message == fw::kMsgCommand && code == fw::kButtonClicked && id == fw::kIdCancel) {
      platform().endDialog(dialog.window, fw::kIdCancel);
      return true;
    }
    return false;
  };
  EXPECT_EQ(platform().runModalDialog(IDD_OSTREL_DIALOG, fw::WindowHandle::none, dialog),
            static_cast<std::intptr_t>(fw::kIdCancel));
  const std::vector<std::string> expected = {"created", "initialise",  "timer 7",
                                             "close",   "command 0 2", "destroyed"};
  EXPECT_EQ(dialog.events, expected);
}

TEST_P(PlatformContract, QuitRequestEndsTheModalRunAndTheMessageLoop) {
  if (!NoWindows().empty()) GTEST_SKIP() << NoWindows();
  Recorder dialog;
  dialog.onInitialise = [&] {
    platform().setTimer(dialog.window, kOtherTimer, 10);
    return 1;
  };
  dialog.onMessage = [&](std::uint32_t message, std::uint32_t, std::uintptr_t) {
    if (message != fw::kMsgTimer) return false;
    platform().killTimer(dialog.window, kOtherTimer);
    platform().postQuitMessage(5);
    return true;
  };
  EXPECT_EQ(platform().runModalDialog(IDD_OSTREL_DIALOG, fw::WindowHandle::none, dialog), 0);
  EXPECT_EQ(dialog.events.back(), "destroyed");
  // The request ends the program's own loop as well, with its code.
  EXPECT_EQ(platform().runMessageLoop(), 5);
}

TEST_P(PlatformContract, MissingTemplateCreatesNothing) {
  if (!NoWindows().empty()) GTEST_SKIP() << NoWindows();
  Recorder dialog;
  EXPECT_EQ(platform().runModalDialog(4711, fw::WindowHandle::none, dialog), -1);
  EXPECT_EQ(dialog.events, std::vector<std::string>{"destroyed"});
}

TEST_P(PlatformContract, ProgramIconIsFoundAsAGroupIcon) {
  if (!NoWindows().empty()) GTEST_SKIP() << NoWindows();
  const fw::ModuleHandle module = platform().findResourceModule(IDI_OSTREL, fw::kResourceGroupIcon);
  ASSERT_NE(module, fw::ModuleHandle::none);
  EXPECT_NE(platform().loadIcon(module, IDI_OSTREL), fw::IconHandle::none);
  EXPECT_EQ(platform().findResourceModule(4711, fw::kResourceGroupIcon), fw::ModuleHandle::none);
}

INSTANTIATE_TEST_SUITE_P(Backends, PlatformContract, ::testing::Values(Kind::simulated, Kind::real),
                         KindName);

}  // namespace
}  // namespace ostrel::testing
