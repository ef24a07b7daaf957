// The staging tree walk: writes the file list and the folder list into the
// staging folder, in their first form.
#pragma once

#include <cstdint>
#include <string>

#include "list_format.h"

namespace quillet {

inline constexpr int kPathMax = 255;                 // bytes of a path or entry name in the walk
inline constexpr std::uint32_t kFoldersMax = 65535;  // folders the walk can scan

// Walks the staging folder "FlashDrive" below the working folder and writes
// "$FileList.txt" and "$FolderList.txt" into it. Returns 1 when both lists
// are complete and closed; 0 after a message when the walk could not be
// done (no staging folder, lists that cannot be written, a limit of the
// list format exceeded), in which case no list file is left behind. The
// working folder is the same on return either way.
int makeList();

// Scans the working folder and every folder below it that it can enter.
// Returns false when the walk must stop (a message has been printed).
bool makeList_ScanFolder();

// The text of a list line for `path` (an absolute path written with
// `separator`): from the first "FlashDrive" + separator to the end, with
// every separator written as "\". Nothing when the path holds no
// "FlashDrive" + separator.
bool listLineText(const std::string& path, char separator, std::string* text);

}  // namespace quillet
