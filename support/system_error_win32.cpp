// System errors in words on Windows: FormatMessageW's text, in UTF-8, and
// the Windows error code.
#include <windows.h>

#include "system_error.h"

namespace quillet {

unsigned long lastSystemError() { return GetLastError(); }

std::string systemErrorText(unsigned long code) {
  const std::string number = std::to_string(code);
  wchar_t wide[512];
  DWORD units =
      FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     static_cast<DWORD>(code), 0, wide, sizeof wide / sizeof wide[0], nullptr);
  // The text ends with a line break, sometimes after a space.
  while (units > 0 &&
         (wide[units - 1] == L'\r' || wide[units - 1] == L'\n' || wide[units - 1] == L' ')) {
    --units;
  }
  std::string text;
  if (units > 0) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(units), nullptr, 0,
                                          nullptr, nullptr);
    if (bytes > 0) {
      text.resize(static_cast<std::size_t>(bytes));
      WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(units), text.data(), bytes, nullptr,
                          nullptr);
    }
  }
  if (text.empty()) text = "Unknown error";
  return text + " (Windows error " + number + ")";
}

}  // namespace quillet
