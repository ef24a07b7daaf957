// System errors in words on POSIX: strerror_r's text and the errno value.
#include <cerrno>
#include <climits>
#include <cstring>

#include "system_error.h"

namespace quillet {
namespace {

// strerror_r comes in two forms: the XSI one returns 0 and fills the
// buffer, the GNU one returns the text (which may not be the buffer).
[[maybe_unused]] const char* textOf(int result, const char* buffer) {
  return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* textOf(const char* result, const char*) { return result; }

}  // namespace

unsigned long lastSystemError() { return static_cast<unsigned long>(errno); }

std::string systemErrorText(unsigned long code) {
  const std::string number = std::to_string(code);
  if (code > static_cast<unsigned long>(INT_MAX)) return "Unknown error (errno " + number + ")";
  char buffer[256] = {};
  const char* text = textOf(::strerror_r(static_cast<int>(code), buffer, sizeof buffer), buffer);
  if (text == nullptr || *text == '\0') text = "Unknown error";
  return std::string(text) + " (errno " + number + ")";
}

}  // namespace quillet
