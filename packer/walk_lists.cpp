// The walk's two list files, $FileList.txt and $FolderList.txt, in their
// first form: each created new with a placeholder header, a line written
// for every folder and file the walk takes (counted against the 16-bit
// header), the count written over the header at the end, and both removed
// after a failed walk. The walk itself lives in walk.cpp.
#include "walk_lists.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "console.h"
#include "list_format.h"
#include "platform.h"
#include "release_format.h"

namespace quillet {
namespace {

// Writes one list line: the UTF-16LE units of `text` and the unit 0x000A.
bool writeLine(Stream& list, const std::string& listPath, const std::string& text) {
  const std::optional<std::u16string> wide = platform().ansiToUtf16(text);
  if (!wide) {
    printNarrow("The name '" + text + "' is not valid in the system's code page\n");
    return false;
  }
  const std::string bytes = encodeListLine(*wide);
  if (list.write(bytes.data(), bytes.size()) != bytes.size()) {
    printNarrow("Writing '" + listPath + "' failed\n");
    return false;
  }
  return true;
}

// Counts one more line of a list, refusing to wrap its 16-bit header.
bool countLine(std::uint32_t* count, const char* listName) {
  if (*count >= kListLinesMax) {
    printNarrow("More than " + std::to_string(kListLinesMax) + " lines for " + listName +
                ": the list's header cannot count them\n");
    return false;
  }
  ++*count;
  return true;
}

}  // namespace

bool writeFolderLine(WalkState& state, const std::string& currentPath) {
  const std::string scratchPath = currentPath;
  std::string text;
  if (!listLineText(state.stagingFolder, scratchPath, platform().separator(), &text)) return true;
  if (!countLine(&state.folderLineCount, "$FolderList.txt")) return false;
  if (!writeLine(*state.folderList, state.folderListPath, text)) return false;
  printNarrow("PATH: " + currentPath + "\n");
  return true;
}

bool writeFileLine(WalkState& state, const std::string& entryName, const std::string& currentPath) {
  printNarrow("NAME: " + entryName + "\n");
  std::string text;
  if (!listLineText(state.stagingFolder, currentPath, platform().separator(), &text)) return true;
  if (!countLine(&state.fileLineCount, "$FileList.txt")) return false;
  if (!writeLine(*state.fileList, state.fileListPath, text)) return false;
  printNarrow(text + "\n");
  return true;
}

// Creates a list file with its 2-byte placeholder header.
std::unique_ptr<Stream> createList(const std::string& path) {
  // Always a new file: a stale list the run could not delete, or a link by
  // its name, is never written through.
  std::unique_ptr<Stream> list = platform().createNewFile(path.c_str());
  if (list == nullptr) {
    printNarrow("The file '" + path + "' could not be created\n");
    return nullptr;
  }
  const std::string header = encodeListHeader(0);
  if (list->write(header.data(), header.size()) != header.size()) {
    printNarrow("Writing '" + path + "' failed\n");
    return nullptr;
  }
  return list;
}

// Writes the final count over the header and closes the list.
bool finishList(Stream& list, const std::string& path, std::uint32_t count) {
  const std::string header = encodeListHeader(static_cast<std::uint16_t>(count));
  if (!list.rewind() || list.write(header.data(), header.size()) != header.size() ||
      !list.close()) {
    printNarrow("Writing '" + path + "' failed\n");
    return false;
  }
  return true;
}

// Closes whatever list is still open and removes the lists this walk
// created (never a file by their names that it could not replace), so that
// a failed walk leaves the staging folder as it found it. Only called with
// the start folder as the working folder, which the relative paths need.
void discardLists(WalkState& state) {
  if (state.fileList) state.fileList->close();
  if (state.folderList) state.folderList->close();
  if (state.fileListIsOurs) platform().deleteFileW(u"FlashDrive\\$FileList.txt");
  if (state.folderListIsOurs) platform().deleteFileW(u"FlashDrive\\$FolderList.txt");
}

bool listLineText(const std::string& stagingFolder, const std::string& path, char separator,
                  std::string* text) {
  const std::string below = stagingFolder + separator;
  if (path.size() <= below.size() || path.compare(0, below.size(), below) != 0) return false;
  *text = std::string(kStagingFolderName) + '\\' + path.substr(below.size());
  if (separator != '\\') {
    for (char& c : *text) {
      if (c == separator) c = '\\';
    }
  }
  return true;
}

}  // namespace quillet
