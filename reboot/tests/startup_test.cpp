// Starts of the utility: the reboot marker decides between ending silently
// and asking.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "call_matchers.h"
#include "marker.h"
#include "ostrel_app.h"
#include "ostrel_device.h"
#include "ostrel_dlg.h"
#include "resource.h"
#include "scratch_folder.h"
#include "win_app.h"

namespace ostrel::testing {

using zarvo::testing::ScratchFolder;
namespace {

using fw::sim::Api;
using fw::sim::testing::At;
using fw::sim::testing::CallTo;
using fw::sim::testing::Returning;
using ::testing::_;
using ::testing::ElementsAre;

TEST(Program, HasOneApplicationObject) { EXPECT_EQ(fw::CWinApp::Current(), &theApp); }

TEST(Program, MessageMapsChainToTheFrameworkClassesMaps) {
  EXPECT_EQ(COstrelApp::messageMap.base, &fw::CWinApp::messageMap);
  EXPECT_EQ(COstrelDlg::messageMap.base, &fw::CDialog::messageMap);
}

// Whatever the marker holds, its presence alone counts.
struct MarkerContents {
  const char* name;
  std::string bytes;
};

void PrintTo(const MarkerContents& contents, std::ostream* out) { *out << contents.name; }

class StartWithMarker : public OstrelDeviceTest,
                        public ::testing::WithParamInterface<MarkerContents> {};

TEST_P(StartWithMarker, DeletesItAndEndsWithoutAWindow) {
  WriteMarker(GetParam().bytes);

  EXPECT_EQ(Start(), 0);

  EXPECT_FALSE(MarkerExists());
  EXPECT_EQ(device().dialogsCreated(), 0);
  EXPECT_TRUE(device().loop().quitPosted());
  EXPECT_EQ(device().loop().quitCode(), 0);
  EXPECT_EQ(log().count(Api::runMessageLoop), 0u) << "StartUp returned nonzero";
  // The stream is closed before the file is deleted: the device deletes no
  // open file.
  EXPECT_THAT(log().calls({Api::openStream, Api::closeStream, Api::deleteFile}),
              ElementsAre(CallTo(Api::openStream, kMarkerPath, "r"), CallTo(Api::closeStream, _),
                          CallTo(Api::deleteFile, kMarkerPath)));
}

INSTANTIATE_TEST_SUITE_P(Contents, StartWithMarker,
                         ::testing::Values(MarkerContents{"Empty", ""},
                                           MarkerContents{"TextLine", "reboot\r\n"},
                                           MarkerContents{"Binary", std::string("\0\xff\x01", 3)}),
                         [](const ::testing::TestParamInfo<MarkerContents>& info) {
                           return std::string(info.param.name);
                         });

using Starting = OstrelDeviceTest;

TEST_F(Starting, WithoutMarkerShowsTheDialogUntilItEnds) {
  MakeMarkerFolder();
  bool dialogIsMainWindow = false;
  device().loop().at(1000, [&] {
    dialogIsMainWindow =
        theApp.mainWindow != nullptr && theApp.mainWindow->GetHandle() == device().openDialog();
  });
  device().pressAt(3000, IDC_NO);

  EXPECT_EQ(Start(), 0);

  EXPECT_EQ(device().dialogsCreated(), 1);
  EXPECT_FALSE(MarkerExists());
  EXPECT_THAT(log().calls({Api::modalRunEnded}),
              ElementsAre(At(3000, Returning(CallTo(Api::modalRunEnded, IDD_OSTREL_DIALOG), 0))));
  EXPECT_EQ(log().count(Api::runMessageLoop), 0u) << "StartUp returned nonzero";
  EXPECT_TRUE(dialogIsMainWindow);
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
  device().storage().refuseOpening(kMarkerPath);
  device().pressAt(500, IDC_NO);

  Start();

  EXPECT_EQ(device().dialogsCreated(), 1);
  EXPECT_TRUE(MarkerExists());
  EXPECT_EQ(log().count(Api::deleteFile), 0u);
}

TEST_F(Starting, MarkerThatCannotBeDeletedSilencesEveryStart) {
  WriteMarker("");
  for (int start = 0; start < 2; ++start) {
    SCOPED_TRACE(start);
    Reboot();
    device().storage().refuseDeleting(kMarkerPath);
    EXPECT_EQ(Start(), 0);
    EXPECT_EQ(device().dialogsCreated(), 0);
    EXPECT_TRUE(device().loop().quitPosted());
    EXPECT_TRUE(MarkerExists());
  }
}

TEST_F(Starting, DialogThatCannotBeCreatedEndsTheProgram) {
  ScratchFolder storage;
  fw::sim::Device bare(storage.path());  // no resources
  fw::ScopedPlatform installed(bare);

  EXPECT_EQ(Start(), 0);

  EXPECT_EQ(bare.dialogsCreated(), 0);
  EXPECT_THAT(bare.log().calls({Api::runModalDialog, Api::dialogInitialise, Api::dialogMessage}),
              ElementsAre(Returning(CallTo(Api::runModalDialog, IDD_OSTREL_DIALOG), false)));
}

}  // namespace
}  // namespace ostrel::testing
