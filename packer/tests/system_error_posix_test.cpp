// System errors in words on POSIX: the C library's text, the errno value in
// brackets.
#include <gtest/gtest.h>

#include <cerrno>

#include "system_error.h"

namespace quillet {
namespace {

TEST(SystemErrorText, SaysTheSystemsWordsAndTheCode) {
  const struct {
    unsigned long code;
    const char* text;
  } kCases[] = {
      {ENOSPC, "No space left on device (errno 28)"},
      {ENOENT, "No such file or directory (errno 2)"},
      {EACCES, "Permission denied (errno 13)"},
      {99999, "Unknown error 99999 (errno 99999)"},
      {0x100000000ul, "Unknown error (errno 4294967296)"},
  };
  for (const auto& row : kCases) EXPECT_EQ(systemErrorText(row.code), row.text) << row.code;
  errno = ENOSPC;
  EXPECT_EQ(lastSystemError(), static_cast<unsigned long>(ENOSPC));
}

}  // namespace
}  // namespace quillet
