#include "ostrel_dlg.h"

#include "format.h"
#include "marker.h"
#include "resource.h"
#include "win_app.h"

namespace ostrel {
namespace {

constexpr char16_t kQuestion[] = u"Do you want to reboot system?";
constexpr char16_t kCountdownFormat[] = u"After %d seconds -> reboot system";

// The applications that Yes closes, in this order.
constexpr char16_t kFirstApplication[] = u"Tolvane";
constexpr char16_t kSecondApplication[] = u"Brevan_Main";
constexpr char16_t kThirdApplication[] = u"Nimbrel";

}  // namespace

std::int32_t countdown = 0;

// clang-format off
FW_BEGIN_MESSAGE_MAP(COstrelDlg, fw::CDialog)
  fw::onCommand<&COstrelDlg::OnYes>(fw::kButtonClicked, IDC_YES),
  fw::onCommand<&COstrelDlg::OnNo>(fw::kButtonClicked, IDC_NO),
  fw::onTimer<&COstrelDlg::OnCountdownTick>(),
FW_END_MESSAGE_MAP();
// clang-format on

COstrelDlg::COstrelDlg(fw::CWnd* parent)
    : CDialog(IDD_OSTREL_DIALOG, parent), icon_(fw::LoadIconResource(IDI_OSTREL)) {}

COstrelDlg::~COstrelDlg() = default;

void COstrelDlg::DoDataExchange(bool /*save*/) {}

int COstrelDlg::OnInitialise() {
  CDialog::OnInitialise();
  SetIcon(icon_, true);
  SetIcon(icon_, false);
  CenterWindow();
  GetDlgItem(IDC_MESSAGE).SetText(kQuestion);
  countdown = kCountdownStart;
  return 1;
}

void COstrelDlg::OnYes() {
  fw::CWnd message = GetDlgItem(IDC_MESSAGE);
  fw::Platform& device = fw::platform();

  // The marker: an empty file, written before anything is closed.
  const fw::StreamHandle marker = device.openStream(kMarkerPath, "w");
  if (marker != fw::StreamHandle::none) device.closeStream(marker);

  CloseApplication(kFirstApplication);
  device.sleep(kClosingPause);
  CloseApplication(kSecondApplication);
  CloseApplication(kThirdApplication);
  device.sleep(kClosingPause);

  // The count reaches 0 only on the tick that issues the reset request; a
  // Yes after that request returned counts down afresh, so the request is
  // made again. Any other Yes carries on from the current count.
  if (countdown <= 0) countdown = kCountdownStart;
  ShowCount(message);
  SetTimer(COUNTDOWN_TIMER_ID, kCountdownPeriod);
}

void COstrelDlg::OnNo() { fw::platform().postQuitMessage(0); }

void COstrelDlg::OnCountdownTick(std::uint32_t timerId) {
  fw::CWnd message = GetDlgItem(IDC_MESSAGE);
  if (timerId != COUNTDOWN_TIMER_ID) return;
  countdown = countdown - 1;
  ShowCount(message);
  if (countdown == 0) {
    KillTimer(COUNTDOWN_TIMER_ID);
    fw::platform().kernelIoControl(kResetRequestCode, nullptr, 0, nullptr, 0, nullptr);
  }
}

void COstrelDlg::CloseApplication(const char16_t* title) {
  fw::Platform& device = fw::platform();
  const fw::WindowHandle window = device.findWindow(nullptr, title);
  if (window == fw::WindowHandle::none) return;
  std::uint32_t processId = 0;
  device.windowProcessId(window, &processId);
  const fw::ProcessHandle process = device.openProcess(0, false, processId);
  if (process != fw::ProcessHandle::none) device.terminateProcess(process, 0);
}

void COstrelDlg::ShowCount(fw::CWnd& message) {
  char16_t text[100];
  fw::FormatText(text, kCountdownFormat, countdown);
  message.SetText(text);
}

}  // namespace ostrel
