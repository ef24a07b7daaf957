// Rules for the names of the staging folder's entries: what the device's
// FAT file system (and Windows, where the packer also runs) can hold. Pure
// functions, the same on every host.
#pragma once

#include <string>

namespace quillet {

// Why no file or folder on the device can be called `name` (UTF-16), or
// nullptr when it can: control characters U+0001-U+001F, any of
// < > : " | ? *, a trailing dot or space, or a reserved device name (CON,
// PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, CONIN$, CONOUT$, CLOCK$, in any case,
// with or without an extension).
const char* nameTheDeviceCannotHold(const std::u16string& name);

// `name` as the device's file system compares names: letters of the Latin,
// Greek and Cyrillic alphabets in upper case, everything else as it is.
// Two names of one folder whose folded forms are equal cannot both exist there.
std::u16string foldedName(const std::u16string& name);

// `text` as a console line can show it: bytes below 0x20 and 0x7F written as
// \xNN, so a name holding a line feed cannot split a message.
std::string shownName(const std::string& text);

}  // namespace quillet
