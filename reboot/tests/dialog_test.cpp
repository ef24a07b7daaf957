// The confirmation dialog on the simulated device: the question, the
// closing sequence, the countdown and the reset request, and how No, the
// caption's OK and the close box end it in every state.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "call_matchers.h"
#include "device.h"
#include "marker.h"
#include "ostrel_device.h"
#include "ostrel_dlg.h"
#include "resource.h"

namespace ostrel::testing {
namespace {

using fw::sim::Api;
using fw::sim::testing::At;
using fw::sim::testing::CallTo;
using fw::sim::testing::Returning;
using ::testing::_;
using ::testing::Contains;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using Strings = std::vector<std::string>;

// Yes is pressed one second after the start; the closing sequence's two
// pauses put the first count on the screen four seconds later, and the
// tenth tick after that issues the reset request.
constexpr std::uint64_t kYesAt = 1000;
constexpr std::uint64_t kCountAt = kYesAt + 4000;
constexpr std::uint64_t kResetAt = kCountAt + 10000;

// --- The question.

class Asking : public OstrelDeviceTest {};

TEST_F(Asking, InitialisationShowsIconCentresAndAsks) {
  device().pressAt(500, IDC_NO);
  Start();

  const fw::IconHandle icon = device().dialogIcon(true);
  EXPECT_NE(icon, fw::IconHandle::none);
  EXPECT_EQ(device().dialogIcon(false), icon);
  // 141 x 59 dialog units on a 480 x 272 screen, two pixels a unit.
  const fw::Rect place = device().dialogRect();
  EXPECT_EQ(place.left, (480 - 282) / 2);
  EXPECT_EQ(place.top, (272 - 118) / 2);
  EXPECT_EQ(countdown, 10);
  // 1: the platform gives the focus to the first control that takes it.
  EXPECT_THAT(log().calls({Api::dialogInitialise}),
              ElementsAre(Returning(CallTo(Api::dialogInitialise), 1)));
}

TEST_F(Asking, QuestionStaysUntilTheCountAppears) {
  MakeMarkerFolder();
  device().pressAt(kYesAt, IDC_YES);
  device().pressAt(kCountAt + 500, IDC_NO);
  Start();

  const std::vector<fw::sim::TextChange> texts = device().textHistory(IDC_MESSAGE);
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[0].text, u"");  // the template's
  EXPECT_EQ(texts[1].time, 0u);
  EXPECT_EQ(texts[1].text, u"Do you want to reboot system?");
  EXPECT_EQ(texts[2].time, kCountAt);
  EXPECT_EQ(texts[2].text, u"After 10 seconds -> reboot system");
}

// --- The closing sequence, with every mix of the three applications running.

struct Running {
  const char* name;
  bool tolvane;
  bool brevan;
  bool nimbrel;
};

void PrintTo(const Running& running, std::ostream* out) { *out << running.name; }

class Closing : public OstrelDeviceTest, public ::testing::WithParamInterface<Running> {};

TEST_P(Closing, WritesTheMarkerFirstThenEndsWhatRunsWithTwoPauses) {
  const Running running = GetParam();
  MakeMarkerFolder();
  const std::uint32_t bystander = device().startProgram(u"Navigator");
  std::map<std::string, std::uint32_t> pids;
  if (running.tolvane) pids["Tolvane"] = device().startProgram(u"Tolvane");
  if (running.brevan) pids["Brevan_Main"] = device().startProgram(u"Brevan_Main");
  if (running.nimbrel) pids["Nimbrel"] = device().startProgram(u"Nimbrel");
  device().pressAt(kYesAt, IDC_YES);
  device().pressAt(kCountAt + 500, IDC_NO);

  Start();

  // The marker is written before anything is closed; each title is looked
  // up once, in order, with a pause after the first and after the last.
  EXPECT_THAT(log().calls({Api::openStream, Api::closeStream, Api::findWindow, Api::sleep}, kYesAt),
              ElementsAre(At(kYesAt, CallTo(Api::openStream, kMarkerPath, "w")),
                          At(kYesAt, CallTo(Api::closeStream, _)),
                          At(kYesAt, CallTo(Api::findWindow, "Tolvane")),
                          At(kYesAt, CallTo(Api::sleep, kClosingPause)),
                          At(kYesAt + 2000, CallTo(Api::findWindow, "Brevan_Main")),
                          At(kYesAt + 2000, CallTo(Api::findWindow, "Nimbrel")),
                          At(kYesAt + 2000, CallTo(Api::sleep, kClosingPause))));
  // The device's own way to end a process: no access asked for, exit code 0.
  EXPECT_THAT(log().calls({Api::openProcess}), Each(CallTo(Api::openProcess, 0, false, _)));
  EXPECT_THAT(log().calls({Api::terminateProcess}), Each(CallTo(Api::terminateProcess, _, 0)));
  EXPECT_EQ(Counts(), CountTexts(kCountAt, 10, 10));

  // Nothing is opened or ended for an application that is not running.
  std::vector<::testing::Matcher<const fw::sim::Call&>> ended;
  for (const char* title : {"Tolvane", "Brevan_Main", "Nimbrel"}) {
    if (pids.count(title) == 0) continue;
    ended.push_back(CallTo(Api::openProcess, 0, false, pids[title]));
    ended.push_back(CallTo(Api::terminateProcess, pids[title], 0));
  }
  EXPECT_THAT(log().calls({Api::openProcess, Api::terminateProcess}), ElementsAreArray(ended));

  EXPECT_TRUE(device().running(bystander));
  for (const auto& [title, pid] : pids) {
    SCOPED_TRACE(title);
    EXPECT_FALSE(device().running(pid));
    EXPECT_EQ(device().terminatedAt(pid), title == "Tolvane" ? kYesAt : kYesAt + 2000);
  }
  EXPECT_TRUE(MarkerExists());
  EXPECT_EQ(std::filesystem::file_size(MarkerFile()), 0u);
}

INSTANTIATE_TEST_SUITE_P(Applications, Closing,
                         ::testing::Values(Running{"All", true, true, true},
                                           Running{"None", false, false, false},
                                           Running{"OnlyTolvane", true, false, false},
                                           Running{"OnlyBrevanMain", false, true, false},
                                           Running{"OnlyNimbrel", false, false, true},
                                           Running{"FirstAndLast", true, false, true},
                                           Running{"AllButTolvane", false, true, true},
                                           Running{"AllButNimbrel", true, true, false}),
                         [](const ::testing::TestParamInfo<Running>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(Closing, EndsOnlyTheFirstOfTwoProgramsWithTheSameTitle) {
  const std::uint32_t first = device().startProgram(u"Tolvane");
  const std::uint32_t second = device().startProgram(u"Tolvane");
  device().pressAt(kYesAt, IDC_YES);
  device().pressAt(kCountAt + 500, IDC_NO);
  Start();

  EXPECT_FALSE(device().running(first));
  EXPECT_TRUE(device().running(second));
  EXPECT_THAT(log().all(), Contains(CallTo(Api::findWindow, "Tolvane")).Times(1));
}

TEST_F(Closing, GoesOnWhenAProcessCannotBeOpened) {
  const std::uint32_t tolvane = device().startProgram(u"Tolvane");
  const std::uint32_t nimbrel = device().startProgram(u"Nimbrel");
  device().refuseOpening(tolvane);
  device().pressAt(kYesAt, IDC_YES);
  device().pressAt(kCountAt + 500, IDC_NO);
  Start();

  EXPECT_TRUE(device().running(tolvane));
  EXPECT_FALSE(device().running(nimbrel));
  // A process that did not open is not handed to terminateProcess.
  EXPECT_THAT(log().calls({Api::terminateProcess}),
              ElementsAre(CallTo(Api::terminateProcess, nimbrel, 0)));
  EXPECT_EQ(Counts(), CountTexts(kCountAt, 10, 10));
}

TEST_F(Closing, GoesOnWhenTheMarkerCannotBeCreated) {
  // No "\USB Disk\Zarvo" folder: the marker cannot be opened for writing.
  const std::uint32_t tolvane = device().startProgram(u"Tolvane");
  device().pressAt(kYesAt, IDC_YES);
  device().pressAt(kResetAt + 500, IDC_NO);
  Start();

  EXPECT_THAT(log().all(), Contains(Returning(CallTo(Api::openStream, kMarkerPath, "w"),
                                              fw::StreamHandle::none)));
  EXPECT_EQ(log().count(Api::closeStream), 0u) << "no stream, nothing to close";
  EXPECT_FALSE(device().running(tolvane));
  EXPECT_EQ(device().ioControlRequests().size(), 1u);
  EXPECT_FALSE(MarkerExists());

  Reboot();  // the next start asks again
  device().pressAt(500, IDC_NO);
  Start();
  EXPECT_EQ(device().dialogsCreated(), 1);
}

// --- The countdown and the reset request.

class Countdown : public OstrelDeviceTest {
 protected:
  void SetUp() override {
    OstrelDeviceTest::SetUp();
    MakeMarkerFolder();
    device().pressAt(kYesAt, IDC_YES);
  }
};

TEST_F(Countdown, CountsToZeroAndRequestsTheResetOnce) {
  device().pressAt(kResetAt + 30000, IDC_NO);
  Start();

  EXPECT_EQ(Counts(), CountTexts(kCountAt, 10));
  // The request comes after the count 0 is shown and the timer stopped.
  EXPECT_THAT(
      log().calls({Api::setWindowText, Api::killTimer, Api::kernelIoControl}, kResetAt),
      ElementsAre(
          At(kResetAt, CallTo(Api::setWindowText, IDC_MESSAGE, "After 0 seconds -> reboot system")),
          At(kResetAt, CallTo(Api::killTimer, COUNTDOWN_TIMER_ID)),
          At(kResetAt,
             CallTo(Api::kernelIoControl, kResetRequestCode, false, 0, false, 0, false))));
  ASSERT_EQ(device().ioControlRequests().size(), 1u);
  const fw::sim::IoControlRequest& reset = device().ioControlRequests()[0];
  EXPECT_EQ(reset.code, 0x01012190u);
  EXPECT_EQ(reset.inBuffer, nullptr);
  EXPECT_EQ(reset.inSize, 0u);
  EXPECT_EQ(reset.outBuffer, nullptr);
  EXPECT_EQ(reset.outSize, 0u);
  EXPECT_EQ(reset.bytesReturned, nullptr);
  // Stopped: no tick in the thirty seconds that follow.
  EXPECT_THAT(log().all(),
              Contains(CallTo(Api::dialogMessage, fw::kMsgTimer, 0, COUNTDOWN_TIMER_ID)).Times(10));
  EXPECT_EQ(countdown, 0);
}

// Timers of any other identifier go through the dialog's map and change nothing.
class ForeignTimer : public Countdown, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(ForeignTimer, ChangesNothing) {
  const std::uint32_t id = GetParam();
  // One from the start (while asking), one during the count.
  device().loop().at(0, [&] { device().setTimer(device().openDialog(), id, 300); });
  device().pressAt(kResetAt + 500, IDC_NO);
  Start();

  std::size_t whileAsking = 0;
  std::size_t whileCounting = 0;
  const auto foreignTick = CallTo(Api::dialogMessage, fw::kMsgTimer, 0, id);
  for (const fw::sim::Call& tick : log().calls({Api::dialogMessage})) {
    if (!::testing::Matches(foreignTick)(tick)) continue;
    if (tick.time < kYesAt) ++whileAsking;
    if (tick.time > kCountAt && tick.time < kResetAt) ++whileCounting;
  }
  EXPECT_EQ(whileAsking, 3u);
  EXPECT_GE(whileCounting, 30u);
  EXPECT_EQ(Counts(), CountTexts(kCountAt, 10));
  EXPECT_EQ(device().ioControlRequests().size(), 1u);
  EXPECT_EQ(device().ioControlRequests()[0].time, kResetAt);
}

INSTANTIATE_TEST_SUITE_P(Identifiers, ForeignTimer,
                         ::testing::Values(0u, 1u, 0x400u, 0x10000u, 0x10401u, 0x1010400u),
                         [](const ::testing::TestParamInfo<std::uint32_t>& info) {
                           char name[16];
                           std::snprintf(name, sizeof name, "Id%X", info.param);
                           return std::string(name);
                         });

TEST_F(Countdown, SecondYesCarriesOnFromTheCurrentCount) {
  // The count shows 7 at kCountAt + 3000; Yes again half a second later,
  // with Tolvane started again meanwhile and the marker no longer empty.
  constexpr std::uint64_t kAgainAt = kCountAt + 3500;
  std::uint32_t tolvane = 0;
  device().loop().at(kCountAt + 3200, [&] {
    tolvane = device().startProgram(u"Tolvane");
    WriteMarker("left over");
  });
  device().pressAt(kAgainAt, IDC_YES);
  device().pressAt(kAgainAt + 4000 + 8000, IDC_NO);
  Start();

  Strings expected = CountTexts(kCountAt, 10, 7);
  for (const std::string& text : CountTexts(kAgainAt + 4000, 7)) expected.push_back(text);
  EXPECT_EQ(Counts(), expected);
  // The whole closing sequence again, its pauses included, then the timer.
  EXPECT_THAT(log().calls({Api::openStream, Api::findWindow, Api::sleep, Api::setTimer}, kAgainAt),
              ElementsAre(At(kAgainAt, CallTo(Api::openStream, kMarkerPath, "w")),
                          At(kAgainAt, CallTo(Api::findWindow, "Tolvane")),
                          At(kAgainAt, CallTo(Api::sleep, kClosingPause)),
                          At(kAgainAt + 2000, CallTo(Api::findWindow, "Brevan_Main")),
                          At(kAgainAt + 2000, CallTo(Api::findWindow, "Nimbrel")),
                          At(kAgainAt + 2000, CallTo(Api::sleep, kClosingPause)),
                          At(kAgainAt + 4000,
                             CallTo(Api::setTimer, COUNTDOWN_TIMER_ID, kCountdownPeriod))));
  EXPECT_EQ(device().terminatedAt(tolvane), kAgainAt);
  EXPECT_EQ(std::filesystem::file_size(MarkerFile()), 0u);
  ASSERT_EQ(device().ioControlRequests().size(), 1u);
  EXPECT_EQ(device().ioControlRequests()[0].time, kAgainAt + 4000 + 7000);
}

TEST_F(Countdown, YesAfterAReturnedResetRequestCountsFromTenAgain) {
  constexpr std::uint64_t kAgainAt = kResetAt + 1000;
  device().pressAt(kAgainAt, IDC_YES);
  device().pressAt(kAgainAt + 4000 + 10000 + 500, IDC_NO);
  Start();

  Strings expected = CountTexts(kCountAt, 10);
  for (const std::string& text : CountTexts(kAgainAt + 4000, 10)) expected.push_back(text);
  EXPECT_EQ(Counts(), expected);
  ASSERT_EQ(device().ioControlRequests().size(), 2u);
  EXPECT_EQ(device().ioControlRequests()[1].time, kAgainAt + 4000 + 10000);
  EXPECT_EQ(device().ioControlRequests()[1].code, kResetRequestCode);
  EXPECT_EQ(countdown, 0);
}

// --- Ending the dialog, in every state.

enum class EndBy { no, captionOk, closeBox };

struct EndCase {
  const char* name;
  EndBy ending;
  std::uint64_t at;         // when the person acts
  std::uint64_t handledAt;  // when the dialog gets to it
  bool markerAfter;
  std::size_t resetRequests;
  std::size_t counts;  // count texts shown before the end
};

void PrintTo(const EndCase& c, std::ostream* out) { *out << c.name; }

// Yes at kYesAt is pressed in every case but the first three.
const EndCase kEndCases[] = {
    {"NoWhileAsking", EndBy::no, 500, 500, false, 0, 0},
    {"CaptionOkWhileAsking", EndBy::captionOk, 500, 500, false, 0, 0},
    {"CloseBoxWhileAsking", EndBy::closeBox, 500, 500, false, 0, 0},
    // Pressed during the closing sequence's pauses: the thread is busy, so
    // the press waits until Yes is done.
    {"NoWhileClosing", EndBy::no, kYesAt + 1500, kCountAt, true, 0, 1},
    {"CaptionOkWhileClosing", EndBy::captionOk, kYesAt + 3000, kCountAt, true, 0, 1},
    {"NoWhileCounting", EndBy::no, kCountAt + 3500, kCountAt + 3500, true, 0, 4},
    {"CaptionOkWhileCounting", EndBy::captionOk, kCountAt + 3500, kCountAt + 3500, true, 0, 4},
    {"CloseBoxWhileCounting", EndBy::closeBox, kCountAt + 3500, kCountAt + 3500, true, 0, 4},
    {"NoAfterTheResetRequest", EndBy::no, kResetAt + 2000, kResetAt + 2000, true, 1, 11},
    {"CloseBoxAfterTheResetRequest", EndBy::closeBox, kResetAt + 2000, kResetAt + 2000, true, 1,
     11},
};

class Ending : public OstrelDeviceTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(Ending, EndsTheModalRunAndKeepsWhatYesDid) {
  const EndCase& c = GetParam();
  MakeMarkerFolder();
  const std::uint32_t tolvane = device().startProgram(u"Tolvane");
  const bool yes = c.at > kYesAt;
  if (yes) device().pressAt(kYesAt, IDC_YES);
  switch (c.ending) {
    case EndBy::no:
      device().pressAt(c.at, IDC_NO);
      break;
    case EndBy::captionOk:
      device().pressCaptionOkAt(c.at);
      break;
    case EndBy::closeBox:
      device().pressCloseBoxAt(c.at);
      break;
  }

  EXPECT_EQ(Start(), 0);

  // No posts the quit request; the caption's buttons end the run through
  // the framework's default OK and cancel handling.
  const std::intptr_t result = c.ending == EndBy::no          ? 0
                               : c.ending == EndBy::captionOk ? fw::kIdOk
                                                              : fw::kIdCancel;
  EXPECT_THAT(log().calls({Api::modalRunEnded}),
              ElementsAre(At(c.handledAt,
                             Returning(CallTo(Api::modalRunEnded, IDD_OSTREL_DIALOG), result))));
  EXPECT_EQ(device().loop().quitPosted(), c.ending == EndBy::no);
  EXPECT_EQ(device().loop().quitCode(), 0);
  EXPECT_EQ(log().count(Api::endDialog), c.ending == EndBy::no ? 0u : 1u);

  EXPECT_EQ(MarkerExists(), c.markerAfter);
  EXPECT_EQ(device().running(tolvane), !yes);
  EXPECT_EQ(device().ioControlRequests().size(), c.resetRequests);
  EXPECT_EQ(Counts().size(), c.counts);
  // Nothing happens after the end: the dialog's timer went with its window.
  EXPECT_EQ(log().all().back().api, Api::modalRunEnded);
}

INSTANTIATE_TEST_SUITE_P(States, Ending, ::testing::ValuesIn(kEndCases),
                         [](const ::testing::TestParamInfo<EndCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace ostrel::testing
