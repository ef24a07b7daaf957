// The device's rules on the names and paths of a release: what its FAT file
// system (and Windows, where the packer also runs) can hold. The packer
// refuses what breaks them; the check flags it. Pure functions, the same on
// every host.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillet {

// Why no file or folder on the device can be called `name` (one component,
// UTF-16), or nullptr when it can: an empty name, control characters
// U+0001-U+001F, any of < > : " | ? *, a trailing dot or space, or a
// reserved device name (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, CONIN$,
// CONOUT$, CLOCK$, in any case, with or without an extension).
const char* nameTheDeviceCannotHold(std::u16string_view name);

// `name` as the device's file system compares names: letters of the Latin,
// Greek and Cyrillic alphabets in upper case, everything else as it is.
// Two names of one folder whose folded forms are equal cannot both exist
// there: one would overwrite the other.
std::u16string foldedName(std::u16string_view name);

// How many UTF-16 units the device counts for a path of the release that
// takes `unitsBelowStaging` below the staging folder: the lists' first form
// ("FlashDrive\" and the path).
std::size_t devicePathUnits(std::size_t unitsBelowStaging);
// Why the device cannot hold a path of `units` (as devicePathUnits counts
// them), or empty when it can (at most kPathUnitsMax).
std::string pathTooLong(std::size_t units);

}  // namespace quillet
