// Console messages: the fixed texts of the packer, formatted the way the
// C library's printf family would format them, then handed to the platform.
#pragma once

#include <string>

namespace quillet {

// One argument of a message: a UTF-16 text for "%s" or a number for "%d".
struct MessageArg {
  MessageArg(const std::u16string& text) : text(&text) {}  // NOLINT: implicit on purpose
  MessageArg(int number) : number(number) {}               // NOLINT
  const std::u16string* text = nullptr;
  int number = 0;
};

// Formats a wide message: "%s" takes the next text argument, "%d" the next
// number in signed decimal, "%%" is a percent sign.
std::u16string formatWide(const char16_t* format, std::initializer_list<MessageArg> args);

// Prints a wide message (wprintf) on standard output.
void printWide(const char16_t* format, std::initializer_list<MessageArg> args = {});

// Prints byte text (printf) on standard output.
void printNarrow(const std::string& text);

}  // namespace quillet
