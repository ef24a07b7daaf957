// System errors in words: the system's own text for an error code, with the
// code in brackets, as every message that names a system error shows it:
// "No space left on device (errno 28)" on POSIX, "The system cannot find the
// file specified. (Windows error 2)" on Windows (in the system's language).
// One implementation per platform (system_error_posix.cpp,
// system_error_win32.cpp); CMake picks the one to build.
#pragma once

#include <string>

namespace quillet {

// The calling thread's last error: errno on POSIX, GetLastError() on
// Windows. Read it at once after the call that failed.
unsigned long lastSystemError();

// The words for `code` (an errno value, or a Windows error code).
std::string systemErrorText(unsigned long code);

}  // namespace quillet
