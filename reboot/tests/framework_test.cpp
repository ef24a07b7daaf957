// The dialog framework: message-map dispatch, the dialog's modal run and
// default handling, the main routine, text formatting and centring.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "device.h"
#include "dialog.h"
#include "format.h"
#include "message_map.h"
#include "scratch_folder.h"
#include "win_app.h"
#include "wnd.h"

namespace {

using Strings = std::vector<std::string>;

// --- Message maps.

class Base : public fw::CCmdTarget {
 public:
  Strings calls;
  FW_DECLARE_MESSAGE_MAP()

 protected:
  void OnTen() { calls.push_back("base 10"); }
  void OnTwelve() { calls.push_back("base 12"); }
  void OnTimer(std::uint32_t id) { calls.push_back("base timer " + std::to_string(id)); }
};

// clang-format off
FW_BEGIN_MESSAGE_MAP(Base, fw::CCmdTarget)
  fw::onCommand<&Base::OnTen>(fw::kButtonClicked, 10),
  fw::onCommand<&Base::OnTwelve>(fw::kButtonClicked, 12),
  fw::onTimer<&Base::OnTimer>(),
FW_END_MESSAGE_MAP();
// clang-format on

class Derived : public Base {
 public:
  FW_DECLARE_MESSAGE_MAP()

 private:
  void OnTen() { calls.push_back("derived 10"); }
  void OnElevenAnyCode() { calls.push_back("derived 11"); }
  void OnThirteenFirst() { calls.push_back("derived 13 first"); }
  void OnThirteenSecond() { calls.push_back("derived 13 second"); }
};

// clang-format off
FW_BEGIN_MESSAGE_MAP(Derived, Base)
  fw::onCommand<&Derived::OnTen>(fw::kButtonClicked, 10),
  fw::onCommand<&Derived::OnElevenAnyCode>(fw::kAnyValue, 11),
  fw::onCommand<&Derived::OnThirteenFirst>(fw::kButtonClicked, 13),
  fw::onCommand<&Derived::OnThirteenSecond>(fw::kButtonClicked, 13),
FW_END_MESSAGE_MAP();
// clang-format on

struct Dispatch {
  const char* name;
  std::uint32_t message;
  std::uint32_t code;
  std::uintptr_t id;
  const char* handledBy;  // nullptr: no handler
};

void PrintTo(const Dispatch& d, std::ostream* out) { *out << d.name; }

class MessageMapDispatch : public ::testing::TestWithParam<Dispatch> {};

TEST_P(MessageMapDispatch, RunsTheFirstMatchUpTheChain) {
  const Dispatch& d = GetParam();
  Derived target;
  const bool handled = target.OnMessage(d.message, d.code, d.id);
  EXPECT_EQ(handled, d.handledBy != nullptr);
  EXPECT_EQ(target.calls, d.handledBy != nullptr ? Strings{d.handledBy} : Strings{});
}

INSTANTIATE_TEST_SUITE_P(
    Entries, MessageMapDispatch,
    ::testing::Values(Dispatch{"DerivedEntryHidesBase", fw::kMsgCommand, 0, 10, "derived 10"},
                      Dispatch{"ChainReachesBase", fw::kMsgCommand, 0, 12, "base 12"},
                      Dispatch{"AnyCodeMatchesZero", fw::kMsgCommand, 0, 11, "derived 11"},
                      Dispatch{"AnyCodeMatchesOthers", fw::kMsgCommand, 0x300, 11, "derived 11"},
                      Dispatch{"FirstOfTwoInOneTable", fw::kMsgCommand, 0, 13, "derived 13 first"},
                      Dispatch{"OtherCodeIsNotAClick", fw::kMsgCommand, 1, 10, nullptr},
                      Dispatch{"UnknownControl", fw::kMsgCommand, 0, 99, nullptr},
                      Dispatch{"TimerGetsItsId", fw::kMsgTimer, 0, 0x10400, "base timer 66560"},
                      Dispatch{"TimerWithAnyCode", fw::kMsgTimer, 7, 3, "base timer 3"},
                      Dispatch{"OtherMessage", 0x0200, 0, 10, nullptr},
                      Dispatch{
                          "IdWiderThan32Bits", fw::kMsgTimer, 0,
                          static_cast<std::uintptr_t>(sizeof(std::uintptr_t) > 4 ? ~0ull : 0x10400),
                          nullptr}),
    [](const ::testing::TestParamInfo<Dispatch>& info) { return std::string(info.param.name); });

TEST(MessageMap, RootMapHandlesNothing) {
  fw::CCmdTarget root;
  EXPECT_FALSE(root.OnMessage(fw::kMsgCommand, 0, fw::kIdOk));
  EXPECT_EQ(root.GetMessageMap()->base, nullptr);
  EXPECT_EQ(Derived::messageMap.base, &Base::messageMap);
  EXPECT_EQ(Base::messageMap.base, &fw::CCmdTarget::messageMap);
}

// --- Dialogs on the simulated device.

constexpr std::uint32_t kTemplate = 500;
constexpr int kButton = 100;

class TestDialog : public fw::CDialog {
 public:
  TestDialog() : CDialog(kTemplate) {}
  Strings events;
  FW_DECLARE_MESSAGE_MAP()

 protected:
  void DoDataExchange(bool save) override { events.push_back(save ? "save" : "load"); }
  int OnInitialise() override {
    events.push_back(GetText() == u"Test" ? "init" : "init without window");
    return CDialog::OnInitialise();
  }
  void OnButton() { EndDialog(42); }
};

// clang-format off
FW_BEGIN_MESSAGE_MAP(TestDialog, fw::CDialog)
  fw::onCommand<&TestDialog::OnButton>(fw::kButtonClicked, kButton),
FW_END_MESSAGE_MAP();
// clang-format on

// Takes the OK command itself: the caption's OK no longer ends the run.
class KeepOpenOnOk : public TestDialog {
 public:
  FW_DECLARE_MESSAGE_MAP()

 private:
  void OnOk() { events.push_back("ok kept open"); }
};

// clang-format off
FW_BEGIN_MESSAGE_MAP(KeepOpenOnOk, TestDialog)
  fw::onCommand<&KeepOpenOnOk::OnOk>(fw::kButtonClicked, fw::kIdOk),
FW_END_MESSAGE_MAP();
// clang-format on

class DialogRun : public ::testing::Test {
 protected:
  DialogRun() {
    device.addDialogTemplate({kTemplate, u"Test", 100, 50, {{kButton, u"Go", {5, 30, 45, 44}}}});
  }
  zarvo::testing::ScratchFolder storage;
  fw::sim::Device device{storage.path()};
  fw::ScopedPlatform installed{device};
};

TEST_F(DialogRun, CaptionOkSavesDataAndEndsWithOk) {
  TestDialog dialog;
  device.pressCaptionOkAt(100);
  EXPECT_EQ(dialog.DoModal(), fw::kIdOk);
  EXPECT_EQ(dialog.events, (Strings{"init", "load", "save"}));
  EXPECT_FALSE(dialog.IsWindow());
}

TEST_F(DialogRun, CloseBoxEndsWithCancel) {
  TestDialog dialog;
  device.pressCloseBoxAt(100);
  EXPECT_EQ(dialog.DoModal(), fw::kIdCancel);
  EXPECT_EQ(dialog.events, (Strings{"init", "load"}));
}

TEST_F(DialogRun, HandlerEndsWithItsOwnResult) {
  TestDialog dialog;
  device.pressAt(100, kButton);
  EXPECT_EQ(dialog.DoModal(), 42);
}

TEST_F(DialogRun, DerivedMapOverridesTheDefaultOk) {
  KeepOpenOnOk dialog;
  device.pressCaptionOkAt(100);
  device.pressCloseBoxAt(200);
  EXPECT_EQ(dialog.DoModal(), fw::kIdCancel);
  EXPECT_EQ(dialog.events, (Strings{"init", "load", "ok kept open"}));
}

TEST_F(DialogRun, QuitRequestEndsTheRun) {
  TestDialog dialog;
  device.loop().at(100, [&] { device.postQuitMessage(0); });
  EXPECT_EQ(dialog.DoModal(), 0);
  EXPECT_FALSE(device.loop().stalled());
}

TEST_F(DialogRun, MissingTemplateReturnsAtOnce) {
  fw::CDialog dialog(kTemplate + 1);
  EXPECT_EQ(dialog.DoModal(), -1);
  EXPECT_FALSE(dialog.IsWindow());
  EXPECT_EQ(device.dialogsCreated(), 0);
}

// --- The main routine.

class TestApp : public fw::CWinApp {
 public:
  explicit TestApp(int startUp) : startUp_(startUp) {}
  int StartUp() override { return startUp_; }

 private:
  int startUp_;
};

TEST_F(DialogRun, AppMainEndsWhenStartUpReturnsZero) {
  TestApp app(0);
  EXPECT_EQ(fw::AppMain({}), 0);
  EXPECT_EQ(device.log().count(fw::sim::Api::runMessageLoop), 0u);
}

TEST_F(DialogRun, AppMainRunsTheLoopUntilTheQuitRequest) {
  TestApp app(1);
  device.loop().at(300, [&] { device.postQuitMessage(3); });
  EXPECT_EQ(fw::AppMain({}), 3);
  EXPECT_EQ(device.log().count(fw::sim::Api::runMessageLoop), 1u);
  EXPECT_EQ(device.loop().now(), 300u);
}

TEST(AppMain, WithoutApplicationFails) {
  {
    TestApp gone(0);
    EXPECT_EQ(fw::CWinApp::Current(), &gone);
    EXPECT_EQ(gone.GetAppName(), u"Application");
  }
  EXPECT_EQ(fw::CWinApp::Current(), nullptr);
  EXPECT_EQ(fw::AppMain({}), -1);
}

// --- Installing a backend.

TEST(PlatformInstall, GuardsNestAndPutBackWhatWasInUse) {
  fw::Platform& own = fw::defaultPlatform();
  ASSERT_EQ(&fw::platform(), &own);
  zarvo::testing::ScratchFolder storage;
  fw::sim::Device outer(storage.path());
  fw::sim::Device inner(storage.path());
  {
    fw::ScopedPlatform first(outer);
    {
      fw::ScopedPlatform second(inner);
      EXPECT_EQ(&fw::platform(), &inner);
    }
    EXPECT_EQ(&fw::platform(), &outer);
  }
  EXPECT_EQ(&fw::platform(), &own);
}

TEST(PlatformInstall, SetPlatformReturnsTheBackendInUseNeverNull) {
  zarvo::testing::ScratchFolder storage;
  fw::sim::Device device(storage.path());
  EXPECT_EQ(fw::setPlatform(&device), &fw::defaultPlatform());
  EXPECT_EQ(fw::setPlatform(nullptr), &device);
  EXPECT_EQ(&fw::platform(), &fw::defaultPlatform());
}

// --- Formatting.

struct Format {
  const char* name;
  const char16_t* format;
  std::int32_t value;
  std::size_t capacity;
  int length;  // -1: does not fit or not allowed
  const char16_t* text;
};

void PrintTo(const Format& f, std::ostream* out) {
  *out << fw::sim::Utf8(f.format) << " with " << f.value << " in " << f.capacity;
}

class FormatText : public ::testing::TestWithParam<Format> {};

TEST_P(FormatText, FitsOrFailsCleanly) {
  const Format& f = GetParam();
  std::vector<char16_t> buffer(f.capacity + 1, u'#');  // one guard unit
  EXPECT_EQ(fw::FormatText(buffer.data(), f.capacity, f.format, f.value), f.length);
  if (f.capacity > 0) {
    EXPECT_EQ(std::u16string(buffer.data()), f.text);
  }
  EXPECT_EQ(buffer[f.capacity], u'#') << "wrote past the buffer";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FormatText,
    ::testing::Values(Format{"CountOfTen", u"After %d seconds -> reboot system", 10, 100, 33,
                             u"After 10 seconds -> reboot system"},
                      Format{"CountOfZero", u"After %d seconds -> reboot system", 0, 100, 32,
                             u"After 0 seconds -> reboot system"},
                      Format{"MostNegative", u"%d", -2147483647 - 1, 12, 11, u"-2147483648"},
                      Format{"MostPositive", u"%d", 2147483647, 11, 10, u"2147483647"},
                      Format{"PercentSign", u"%d%%", 5, 3, 2, u"5%"},
                      Format{"ExactlyFits", u"ab%d", 123, 6, 5, u"ab123"},
                      Format{"OneUnitShort", u"ab%d", 123, 5, -1, u""},
                      Format{"NoRoomForTheEnd", u"abc", 0, 3, -1, u""},
                      Format{"OtherConversion", u"%s", 1, 10, -1, u""},
                      Format{"LonePercentAtTheEnd", u"50%", 1, 10, -1, u""},
                      Format{"NoRoomAtAll", u"x", 1, 0, -1, u""}),
    [](const ::testing::TestParamInfo<Format>& info) { return std::string(info.param.name); });

// --- Centring.

TEST(CentredPosition, CentresAndKeepsTheWindowOnTheArea) {
  int x = 0;
  int y = 0;
  fw::CentredPosition({0, 0, 480, 272}, {0, 0, 282, 118}, &x, &y);
  EXPECT_EQ(x, 99);
  EXPECT_EQ(y, 77);
  fw::CentredPosition({0, 26, 480, 272}, {0, 0, 100, 100}, &x, &y);  // a taskbar above
  EXPECT_EQ(x, 190);
  EXPECT_EQ(y, 99);
  fw::CentredPosition({0, 0, 480, 272}, {0, 0, 600, 300}, &x, &y);  // too big: caption visible
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, 0);
}

}  // namespace
