// System errors in words on Windows: the system's message text (Wine's where
// the tests run under Wine), the Windows error code in brackets.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "system_error.h"

namespace quillet {
namespace {

TEST(SystemErrorText, SaysTheSystemsWordsAndTheCode) {
  const struct {
    unsigned long code;
    const char* end;
  } kCases[] = {
      {ERROR_FILE_NOT_FOUND, " (Windows error 2)"},
      {ERROR_INVALID_HANDLE, " (Windows error 6)"},
      {ERROR_DISK_FULL, " (Windows error 112)"},
  };
  for (const auto& row : kCases) {
    const std::string text = systemErrorText(row.code);
    const std::string end = row.end;
    ASSERT_GT(text.size(), end.size()) << text;
    EXPECT_EQ(text.substr(text.size() - end.size()), end);
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << "no line break: " << text;
    EXPECT_NE(text[text.size() - end.size() - 1], ' ') << text;
  }
  EXPECT_EQ(systemErrorText(0x2AAAAAAAul), "Unknown error (Windows error 715827882)");
  SetLastError(ERROR_DISK_FULL);
  EXPECT_EQ(lastSystemError(), static_cast<unsigned long>(ERROR_DISK_FULL));
}

}  // namespace
}  // namespace quillet
