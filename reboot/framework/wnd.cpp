#include "wnd.h"

#include <algorithm>

namespace fw {

CWnd CWnd::GetDlgItem(int id) const { return CWnd(platform().dialogItem(window_, id)); }

bool CWnd::SetText(const char16_t* text) { return platform().setWindowText(window_, text); }

std::u16string CWnd::GetText() const { return platform().windowText(window_); }

std::intptr_t CWnd::Send(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  return platform().sendMessage(window_, message, wParam, lParam);
}

void CWnd::SetIcon(IconHandle icon, bool bigIcon) {
  Send(kMsgSetIcon, bigIcon ? kIconBig : kIconSmall, static_cast<std::intptr_t>(icon));
}

void CentredPosition(const Rect& area, const Rect& size, int* x, int* y) {
  int left = area.left + (area.width() - size.width()) / 2;
  int top = area.top + (area.height() - size.height()) / 2;
  // Keep the caption on the screen: never left of or above the area, and
  // inside its right and bottom edges as far as the window fits.
  left = std::max(area.left, std::min(left, area.right - size.width()));
  top = std::max(area.top, std::min(top, area.bottom - size.height()));
  *x = left;
  *y = top;
}

void CWnd::CenterWindow() {
  Rect own;
  if (!platform().windowRect(window_, &own)) return;
  int x = 0;
  int y = 0;
  CentredPosition(platform().workArea(), own, &x, &y);
  platform().moveWindow(window_, x, y);
}

std::uintptr_t CWnd::SetTimer(std::uint32_t id, std::uint32_t elapse) {
  return platform().setTimer(window_, id, elapse);
}

bool CWnd::KillTimer(std::uint32_t id) { return platform().killTimer(window_, id); }

}  // namespace fw
