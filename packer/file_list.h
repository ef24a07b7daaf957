// Loading the file list into path slots, and rewriting it on disk with
// paths relative to the staging folder.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillet {

inline constexpr std::size_t kSlotUnits = 512;   // UTF-16 units of a path slot (1024 bytes)
inline constexpr std::size_t kPrefixUnits = 11;  // "FlashDrive\"

using PathSlot = char16_t[kSlotUnits];

// The loaded file list: `fileListCount` slots in `pathSlots`, each a path of
// at most 511 units and a 0 unit, zero to the slot's end.
extern std::uint16_t fileListCount;
extern PathSlot* pathSlots;

// Reads "FlashDrive\$FileList.txt" (first form) into `pathSlots`. Returns 1
// when the list was loaded; 0 after a message when it could not be opened
// or does not hold what its header says.
int fileList_Load();

// Releases `pathSlots` (the run owns it after a load).
void fileList_Release();

// Whether the scratch file's name "FlashDrive\$temp.txt" is free. Returns
// 1 when nothing is there; 0 after a message naming it when anything is
// (a file of the user's, a folder, a link), which the run must not touch.
int fileList_ScratchNameIsFree();

// Rewrites "FlashDrive\$FileList.txt" into its second form through the
// scratch file "FlashDrive\$temp.txt". Returns 1 after the rewrite; 0 after
// a message when it could not be done, with the list left as it was.
int fileList_StripPrefix();

}  // namespace quillet
