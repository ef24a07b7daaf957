// The console on desktop Windows, and text in the ANSI code page; part of
// the Win32 platform layer (platform_win32.cpp).
//
// The console: byte text and wide text both go out through the C runtime's
// stdout stream, so they keep their order in its one buffer. Wide text is
// written in the ANSI code page, the encoding of the walk's byte text, so the
// output is in one encoding throughout; a character that code page lacks
// becomes "?" or a look-alike. (msvcrt's wprintf is no good for this: its locale never
// follows a UTF-8 code page, and it silently drops the rest of a message at
// the first character it cannot convert.) stdout stays in text mode: "\n"
// becomes "\r\n", so a message ending in "\r\n" comes out as "\r\r\n", as it
// always has from this program on Windows.
#include <windows.h>

#include <climits>
#include <cstdio>
#include <optional>
#include <string>

#include "platform_win32_internal.h"

namespace quillet::win32 {

std::optional<std::u16string> ansiToUtf16(const std::string& ansi) {
  if (ansi.empty()) return std::u16string();
  if (ansi.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
  const int length = static_cast<int>(ansi.size());
  const int units =
      MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi.data(), length, nullptr, 0);
  if (units <= 0) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(units), L'\0');
  if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi.data(), length, wide.data(), units) !=
      units) {
    return std::nullopt;
  }
  return std::u16string(wide.begin(), wide.end());
}

void print(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

void printWide(const std::u16string& text) {
  if (text.empty()) return;
  if (text.size() > static_cast<std::size_t>(INT_MAX / 4)) {
    // Too long for one conversion: in halves, never splitting a
    // surrogate pair.
    std::size_t half = text.size() / 2;
    if (text[half - 1] >= 0xD800 && text[half - 1] <= 0xDBFF) ++half;
    printWide(text.substr(0, half));
    printWide(text.substr(half));
    return;
  }
  const std::wstring wide(text.begin(), text.end());
  const int units = static_cast<int>(wide.size());
  const int bytes =
      WideCharToMultiByte(CP_ACP, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return;
  std::string ansi(static_cast<std::size_t>(bytes), '\0');
  if (WideCharToMultiByte(CP_ACP, 0, wide.data(), units, ansi.data(), bytes, nullptr, nullptr) !=
      bytes) {
    return;
  }
  print(ansi);
}

int readChar() {
  std::fflush(stdout);  // the prompt shows before the wait, whatever the stream
  return std::getchar();
}

}  // namespace quillet::win32
