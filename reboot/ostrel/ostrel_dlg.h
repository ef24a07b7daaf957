// The reboot confirmation dialog: asks "Do you want to reboot system?"; on
// Yes writes the reboot marker, closes three applications by their window
// titles, counts down ten seconds and has the kernel reset the device; on
// No ends the program.
#pragma once

#include <cstdint>

#include "dialog.h"
#include "platform.h"

namespace ostrel {

// The one timer of the dialog: the countdown's one-second tick.
inline constexpr std::uint32_t COUNTDOWN_TIMER_ID = 0x10400;
inline constexpr std::uint32_t kCountdownPeriod = 1000;  // ms
inline constexpr std::int32_t kCountdownStart = 10;
// How long the closing sequence waits after the first application and
// after the last.
inline constexpr std::uint32_t kClosingPause = 2000;  // ms

// The kernel's reset request: device type 0x0101 (the hardware abstraction
// layer), function 0x864 (left to device makers), buffered, any access.
constexpr std::uint32_t ControlCode(std::uint32_t deviceType, std::uint32_t function,
                                    std::uint32_t method, std::uint32_t access) {
  return (deviceType << 16) | (access << 14) | (function << 2) | method;
}
inline constexpr std::uint32_t kResetRequestCode = ControlCode(0x0101, 0x864, 0, 0);
static_assert(kResetRequestCode == 0x01012190);

// Seconds left in the countdown; 0 when the program is loaded.
extern std::int32_t countdown;

class COstrelDlg : public fw::CDialog {
 public:
  explicit COstrelDlg(fw::CWnd* parent = nullptr);
  ~COstrelDlg() override;

  fw::IconHandle GetIcon() const { return icon_; }

  FW_DECLARE_MESSAGE_MAP()

 protected:
  void DoDataExchange(bool save) override;
  int OnInitialise() override;

  void OnYes();
  void OnNo();
  void OnCountdownTick(std::uint32_t timerId);

 private:
  // Ends the application titled `title`, if a window has that title.
  void CloseApplication(const char16_t* title);
  // Shows the count in the message field.
  void ShowCount(fw::CWnd& message);

  fw::IconHandle icon_;
};

}  // namespace ostrel
