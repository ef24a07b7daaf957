// What the files of the Win32 platform layer share: the console
// (platform_win32_console.cpp), the interruptions and the archiver run as a
// child (platform_win32_process.cpp). Each function does what the Platform
// function of the same name does. Nothing outside the Win32 platform layer
// includes this.
#pragma once

#include <optional>
#include <string>

#include "platform.h"

namespace quillet::win32 {

// --- The console and the ANSI code page (platform_win32_console.cpp).
std::optional<std::u16string> ansiToUtf16(const std::string& ansi);
void print(const std::string& text);
void printWide(const std::u16string& text);
int readChar();

// --- Interruption and the child process (platform_win32_process.cpp).
void watchInterruptions();
int interruption();
std::string archiverCommandLine();
CommandResult runCommand(const std::string& commandLine);

}  // namespace quillet::win32
