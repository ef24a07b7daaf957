// A window by its handle: the operations the framework offers on any
// window, each one call through the platform seam.
//
// Method names avoid the Win32 API's macros (SetWindowText, SendMessage)
// so that <windows.h> cannot rename them in one file and not in another.
#pragma once

#include <cstdint>
#include <string>

#include "platform.h"

namespace fw {

class CWnd {
 public:
  CWnd() = default;
  explicit CWnd(WindowHandle window) : window_(window) {}

  WindowHandle GetHandle() const { return window_; }
  bool IsWindow() const { return window_ != WindowHandle::none; }

  // The child control `id` of this window (a handle of none when missing).
  CWnd GetDlgItem(int id) const;
  bool SetText(const char16_t* text);
  std::u16string GetText() const;
  std::intptr_t Send(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
  // kMsgSetIcon with kIconBig or kIconSmall.
  void SetIcon(IconHandle icon, bool bigIcon);
  // Centres the window on the screen's work area, kept inside it.
  void CenterWindow();
  std::uintptr_t SetTimer(std::uint32_t id, std::uint32_t elapse);
  bool KillTimer(std::uint32_t id);

 protected:
  WindowHandle window_ = WindowHandle::none;
};

// Where a window of `size` goes to be centred in `area`: the top-left
// corner, kept inside `area` as far as the window fits.
void CentredPosition(const Rect& area, const Rect& size, int* x, int* y);

}  // namespace fw
