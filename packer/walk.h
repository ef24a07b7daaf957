// The staging tree walk: writes the file list and the folder list into the
// staging folder, in their first form.
#pragma once

#include <cstdint>
#include <string>

#include "list_format.h"

namespace quillet {

inline constexpr int kPathMax = 255;                 // UTF-16 units of a path in the walk
inline constexpr std::uint32_t kFoldersMax = 65535;  // folders the walk can scan

// Walks the staging folder "FlashDrive" below the working folder and writes
// "$FileList.txt" and "$FolderList.txt" into it. Returns 1 when both lists
// are complete and closed; 0 after a message when the walk could not be
// done (no staging folder, lists that cannot be written, a limit of the
// list format exceeded, or entries a release cannot hold: links, special
// files, names the device cannot hold, folders that cannot be listed, files
// that cannot be opened, loops), in which case no list file is left behind.
// Refused entries are each named, all of them. The working folder is the
// same on return either way.
int makeList();

// Scans the working folder and every folder below it. Returns false when the
// walk must stop at once (a message has been printed); entries it refuses
// are counted and named, and the scan goes on.
bool makeList_ScanFolder();

// The text of a list line for `path`, an absolute path below
// `stagingFolder` (both as the system writes them, with `separator`):
// "FlashDrive\" and the part of `path` below the staging folder, with every
// separator written as "\". Nothing for the staging folder itself and for
// paths outside it, whatever "FlashDrive" their folders' names hold.
bool listLineText(const std::string& stagingFolder, const std::string& path, char separator,
                  std::string* text);

}  // namespace quillet
