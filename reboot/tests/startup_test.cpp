// Starts of the utility: the reboot marker decides between ending silently
// and asking.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ostrel_app.h"
#include "ostrel_device.h"
#include "resource.h"
#include "scratch_folder.h"
#include "win_app.h"

namespace ostrel::testing {
namespace {

using Strings = std::vector<std::string>;
const Strings kStartCalls = {"fopen", "fclose", "DeleteFile", "PostQuitMessage", "DialogBox"};

TEST(Program, HasOneApplicationObject) { EXPECT_EQ(fw::CWinApp::Current(), &theApp); }

// Whatever the marker holds, its presence alone counts.
class StartWithMarker : public OstrelDeviceTest,
                        public ::testing::WithParamInterface<std::string> {};

TEST_P(StartWithMarker, DeletesItAndEndsWithoutAWindow) {
  WriteMarker(GetParam());

  EXPECT_EQ(Start(), 0);

  EXPECT_FALSE(MarkerExists());
  EXPECT_EQ(device().dialogsCreated(), 0);
  EXPECT_TRUE(device().quitPosted());
  EXPECT_EQ(device().quitCode(), 0);
  EXPECT_EQ(Trace(kStartCalls, 0, true),
            (Strings{"0 fopen(\\USB Disk\\Zarvo\\reboot.txt,r) -> stream 1", "0 fclose(stream 1)",
                     "0 DeleteFile(\\USB Disk\\Zarvo\\reboot.txt) -> ok", "0 PostQuitMessage(0)"}));
}

INSTANTIATE_TEST_SUITE_P(Contents, StartWithMarker,
                         ::testing::Values(std::string(), std::string("reboot\r\n"),
                                           std::string("\0\xff\x01", 3)));

using Starting = OstrelDeviceTest;

TEST_F(Starting, WithoutMarkerShowsTheDialogUntilItEnds) {
  MakeMarkerFolder();
  device().pressAt(3000, IDC_NO);

  EXPECT_EQ(Start(), 0);

  EXPECT_EQ(device().dialogsCreated(), 1);
  EXPECT_FALSE(MarkerExists());
  EXPECT_EQ(Trace(kStartCalls, 0, true),
            (Strings{"0 fopen(\\USB Disk\\Zarvo\\reboot.txt,r) -> none", "0 DialogBox(102)",
                     "3000 PostQuitMessage(0)", "3000 DialogBox(102) returns -> 0"}));
  EXPECT_EQ(theApp.mainWindow, nullptr);
}

TEST_F(Starting, TwoStartsAfterAResetAreSilentThenAsk) {
  MakeMarkerFolder();
  device().pressAt(1000, IDC_YES);
  device().pressAt(16000, IDC_NO);  // the reset request returns on the simulated device
  Start();
  ASSERT_EQ(device().ioControlRequests().size(), 1u);
  ASSERT_TRUE(MarkerExists());

  Reboot();
  EXPECT_EQ(Start(), 0);
  EXPECT_EQ(device().dialogsCreated(), 0);
  EXPECT_FALSE(MarkerExists());

  Reboot();
  device().pressAt(500, IDC_NO);
  EXPECT_EQ(Start(), 0);
  EXPECT_EQ(device().dialogsCreated(), 1);
}

TEST_F(Starting, AfterNoDuringTheCountdownIsSilentOnce) {
  MakeMarkerFolder();
  device().pressAt(1000, IDC_YES);
  device().pressAt(7500, IDC_NO);
  Start();
  EXPECT_TRUE(device().ioControlRequests().empty());

  Reboot();
  Start();
  EXPECT_EQ(device().dialogsCreated(), 0);
  EXPECT_FALSE(MarkerExists());
}

TEST_F(Starting, MarkerThatCannotBeReadCountsAsAbsent) {
  WriteMarker("");
  device().refuseOpeningFile("\\USB Disk\\Zarvo\\reboot.txt");
  device().pressAt(500, IDC_NO);

  Start();

  EXPECT_EQ(device().dialogsCreated(), 1);
  EXPECT_TRUE(MarkerExists());
  EXPECT_TRUE(device().calls("DeleteFile").empty());
}

TEST_F(Starting, MarkerThatCannotBeDeletedSilencesEveryStart) {
  WriteMarker("");
  for (int start = 0; start < 2; ++start) {
    SCOPED_TRACE(start);
    Reboot();
    device().refuseDeletingFile("\\USB Disk\\Zarvo\\reboot.txt");
    EXPECT_EQ(Start(), 0);
    EXPECT_EQ(device().dialogsCreated(), 0);
    EXPECT_TRUE(device().quitPosted());
    EXPECT_TRUE(MarkerExists());
  }
}

TEST_F(Starting, DialogThatCannotBeCreatedEndsTheProgram) {
  ScratchFolder storage;
  fw::sim::Device bare(storage.path());  // no resources
  fw::ScopedPlatform installed(bare);

  EXPECT_EQ(Start(), 0);

  EXPECT_EQ(bare.dialogsCreated(), 0);
  ASSERT_EQ(bare.calls("DialogBox").size(), 1u);
  EXPECT_EQ(bare.calls("DialogBox")[0].result, "not created");
  EXPECT_TRUE(bare.calls("WM_").empty());
}

}  // namespace
}  // namespace ostrel::testing
