// The staging tree walk: writes the file list and the folder list into the
// staging folder, in their first form.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "list_format.h"
#include "platform.h"
#include "release_format.h"

namespace quillet {

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
// The same, adding to `folders` (when not null) the first-form path of
// every folder scanned below the staging folder, in scan order.
int makeList(std::vector<std::u16string>* folders);

// Whether the working folder holds the staging folder "FlashDrive"; false
// after a message naming the working folder when it does not. The run asks
// before it deletes anything: a folder without one is no working folder
// (the packer started in the wrong place, or as `quillet --help`), and an
// archive kept there stays.
bool stagingFolderIsThere();

// What one walk carries from folder to folder. makeList makes one, opens
// both lists into it and hands it to makeList_ScanFolder; it serves that one
// walk and goes with it.
struct WalkState {
  std::string startFolder;
  std::string stagingFolder;  // its absolute path, as the system writes it
  std::string fileListPath;
  std::string folderListPath;
  std::unique_ptr<Stream> fileList;
  std::unique_ptr<Stream> folderList;
  // Whether nothing was there by a list's name before the walk created it:
  // only what the walk made is removed after a failure.
  bool fileListIsOurs = false;
  bool folderListIsOurs = false;
  std::uint32_t fileLineCount = 0;
  std::uint32_t folderLineCount = 0;
  // Every scanned folder's name block, held until both lists are closed.
  std::vector<std::unique_ptr<char[]>> nameBlocks;
  // The folders being walked, from the working folder down to the current
  // one: entering any of them again would go round for ever.
  std::vector<FolderId> chain;
  // Entries refused so far; the walk goes on to name them all, then fails.
  std::uint32_t refused = 0;
  // Where the scanned folders' first-form paths go; may be null.
  std::vector<std::u16string>* folders = nullptr;
};

// Scans the working folder and every folder below it into the lists of
// `state`, which makeList has prepared (both lists open, the staging
// folder's path read, the folders above in the chain). Returns false when
// the walk must stop at once (a message has been printed); entries it
// refuses are counted in `state` and named, and the scan goes on.
bool makeList_ScanFolder(WalkState& state);

// The text of a list line for `path`, an absolute path below
// `stagingFolder` (both as the system writes them, with `separator`):
// "FlashDrive\" and the part of `path` below the staging folder, with every
// separator written as "\". Nothing for the staging folder itself and for
// paths outside it, whatever "FlashDrive" their folders' names hold.
bool listLineText(const std::string& stagingFolder, const std::string& path, char separator,
                  std::string* text);

}  // namespace quillet
