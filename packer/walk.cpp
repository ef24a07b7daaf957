#include "walk.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "console.h"
#include "dir_reader.h"
#include "platform.h"

namespace quillet {
namespace {

constexpr char kStagingFolder[] = "FlashDrive";

// The walk's process-wide state; it serves one makeList call.
struct WalkState {
  std::string startFolder;
  std::string fileListPath;
  std::string folderListPath;
  std::unique_ptr<Stream> fileList;
  std::unique_ptr<Stream> folderList;
  std::uint32_t fileLineCount = 0;
  std::uint32_t folderLineCount = 0;
  // Every scanned folder's name block, held until both lists are closed.
  std::vector<std::unique_ptr<char[]>> nameBlocks;
};

WalkState* walk = nullptr;

bool fitsPath(const std::string& path) {
  if (path.size() <= static_cast<std::size_t>(kPathMax)) return true;
  printNarrow("The path '" + path + "' is longer than 255 bytes\n");
  return false;
}

// Reads the working folder into `path`; false (with a message) when it
// cannot be read or is too long for the walk.
bool readWorkingFolder(std::string* path) {
  if (!platform().getWorkingFolder(path)) {
    printNarrow("The working folder could not be read\n");
    return false;
  }
  return fitsPath(*path);
}

// Makes `path` the working folder and reads it back into `path`.
bool returnTo(std::string* path) {
  if (!platform().changeWorkingFolder(path->c_str())) {
    printNarrow("The folder '" + *path + "' could not be entered again\n");
    return false;
  }
  return readWorkingFolder(path);
}

// Writes one list line: the UTF-16LE units of `text` and the unit 0x000A.
bool writeLine(Stream& list, const std::string& listPath, const std::string& text) {
  const std::optional<std::u16string> wide = platform().ansiToUtf16(text);
  if (!wide) {
    printNarrow("The name '" + text + "' is not valid in the system's code page\n");
    return false;
  }
  std::vector<unsigned char> bytes;
  bytes.reserve(wide->size() * 2 + 2);
  for (char16_t unit : *wide) {
    bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
    bytes.push_back(static_cast<unsigned char>(unit >> 8));
  }
  bytes.push_back(0x0A);
  bytes.push_back(0x00);
  if (list.write(bytes.data(), bytes.size()) != bytes.size()) {
    printNarrow("Writing '" + listPath + "' failed\n");
    return false;
  }
  return true;
}

// Counts one more line of a list, refusing to wrap its 16-bit header.
bool countLine(std::uint32_t* count, const char* listName) {
  if (*count >= kListLinesMax) {
    printNarrow(std::string("More than 65535 lines for ") + listName +
                ": the list's header cannot count them\n");
    return false;
  }
  ++*count;
  return true;
}

// An entry name the device's lists cannot carry, or nothing.
const char* unrepresentable(const std::string& name) {
  if (platform().separator() != '\\' && name.find('\\') != std::string::npos) {
    return "contains '\\', which separates folders in a list line";
  }
  if (!platform().ansiToUtf16(name)) return "is not valid in the system's code page";
  if (name.size() > static_cast<std::size_t>(kPathMax)) return "is longer than 255 bytes";
  return nullptr;
}

bool writeFolderLine(const std::string& currentPath) {
  const std::string scratchPath = currentPath;
  std::string text;
  if (!listLineText(scratchPath, platform().separator(), &text)) return true;
  if (!countLine(&walk->folderLineCount, "$FolderList.txt")) return false;
  if (!writeLine(*walk->folderList, walk->folderListPath, text)) return false;
  printNarrow("PATH: " + currentPath + "\n");
  return true;
}

bool writeFileLine(const std::string& entryName, const std::string& currentPath) {
  printNarrow("NAME: " + entryName + "\n");
  std::string text;
  if (!listLineText(currentPath, platform().separator(), &text)) return true;
  if (!countLine(&walk->fileLineCount, "$FileList.txt")) return false;
  if (!writeLine(*walk->fileList, walk->fileListPath, text)) return false;
  printNarrow(text + "\n");
  return true;
}

// Creates a list file with its 2-byte placeholder header.
std::unique_ptr<Stream> createList(const std::string& path) {
  std::unique_ptr<Stream> list = platform().openFile(path.c_str(), "wb");
  if (list == nullptr) {
    printNarrow("The file '" + path + "' could not be created\n");
    return nullptr;
  }
  const unsigned char header[2] = {0, 0};
  if (list->write(header, 2) != 2) {
    printNarrow("Writing '" + path + "' failed\n");
    return nullptr;
  }
  return list;
}

// Writes the final count over the header and closes the list.
bool finishList(Stream& list, const std::string& path, std::uint32_t count) {
  const unsigned char header[2] = {static_cast<unsigned char>(count & 0xFF),
                                   static_cast<unsigned char>((count >> 8) & 0xFF)};
  if (!list.rewind() || list.write(header, 2) != 2 || !list.close()) {
    printNarrow("Writing '" + path + "' failed\n");
    return false;
  }
  return true;
}

// Closes whatever list is still open and removes both, so that a failed
// walk leaves the staging folder as it found it. Only called with the start
// folder as the working folder, which the relative paths need.
void discardLists() {
  if (walk->fileList) walk->fileList->close();
  if (walk->folderList) walk->folderList->close();
  platform().deleteFileW(u"FlashDrive\\$FileList.txt");
  platform().deleteFileW(u"FlashDrive\\$FolderList.txt");
}

}  // namespace

bool listLineText(const std::string& path, char separator, std::string* text) {
  const std::string marker = std::string(kStagingFolder) + separator;
  const std::size_t at = path.find(marker);
  if (at == std::string::npos) return false;
  *text = path.substr(at);
  if (separator != '\\') {
    for (char& c : *text) {
      if (c == separator) c = '\\';
    }
  }
  return true;
}

bool makeList_ScanFolder() {
  const char sep = platform().separator();

  // 1. The folder's name block. A folder that can be entered but not
  // listed keeps its contents out of the lists; the walk goes on.
  const std::int32_t size = dirList_GetSize(".");
  if (size < 0) return true;
  if (walk->nameBlocks.size() >= kFoldersMax) {
    printNarrow("More than 65535 folders: the walk cannot scan them\n");
    return false;
  }
  const std::size_t blockSize = size > 0 ? static_cast<std::size_t>(size) : 1;
  std::unique_ptr<char[]> owned(new (std::nothrow) char[blockSize]());
  if (owned == nullptr) {
    printNarrow("Out of memory while listing a folder\n");
    return false;
  }
  char* block = owned.get();
  walk->nameBlocks.push_back(std::move(owned));
  if (dirList_Fill(".", block, static_cast<std::int32_t>(blockSize)) == kFillBlockFull) {
    std::string here;
    platform().getWorkingFolder(&here);
    printNarrow("The folder '" + here + "' changed while it was listed\n");
    return false;
  }

  // 2. Both paths hold the folder itself.
  std::string currentPath;
  if (!readWorkingFolder(&currentPath)) return false;
  std::string previousPath = currentPath;

  // 3. Each entry, in the listing's order.
  for (const char* name = block; *name != '\0'; name += std::strlen(name) + 1) {
    const std::string entryName = name;
    if (platform().interrupted() || !readWorkingFolder(&currentPath)) return false;
    if (entryName == "." || entryName == "..") continue;

    if (const char* why = unrepresentable(entryName)) {
      printNarrow("The name '" + entryName + "' in '" + currentPath + "' " + why + "\n");
      return false;
    }

    // A folder's line: at its first entry, and again after each subfolder
    // that was entered.
    if (currentPath == previousPath && !writeFolderLine(currentPath)) return false;

    std::string savedPath = currentPath;
    currentPath += sep;
    currentPath += entryName;
    if (!fitsPath(currentPath)) return false;

    if (platform().opensForReading(currentPath.c_str())) {
      if (!writeFileLine(entryName, currentPath)) return false;
    } else if (platform().changeWorkingFolder(currentPath.c_str())) {
      if (!readWorkingFolder(&currentPath)) return false;
      if (!makeList_ScanFolder()) return false;
      currentPath = savedPath;
      if (!returnTo(&currentPath)) return false;
    } else {
      printNarrow("Skipped '" + currentPath + "': neither a file that opens nor a folder\n");
    }

    previousPath = currentPath;
    currentPath = savedPath;
    if (!returnTo(&currentPath)) return false;
  }
  return true;
}

int makeList() {
  WalkState state;
  walk = &state;
  struct Reset {
    ~Reset() { walk = nullptr; }
  } reset;
  const char sep = platform().separator();

  if (!readWorkingFolder(&state.startFolder)) return 0;
  if (!platform().folderExistsW(u"FlashDrive")) {
    printNarrow("There is no staging folder 'FlashDrive' in '" + state.startFolder + "'\n");
    return 0;
  }
  const std::string staging = state.startFolder + sep + kStagingFolder + sep;
  state.fileListPath = staging + "$FileList.txt";
  state.folderListPath = staging + "$FolderList.txt";
  if (!fitsPath(state.fileListPath) || !fitsPath(state.folderListPath)) return 0;

  state.fileList = createList(state.fileListPath);
  if (state.fileList) state.folderList = createList(state.folderListPath);
  if (!state.fileList || !state.folderList) {
    discardLists();
    return 0;
  }

  bool ok = platform().changeWorkingFolder(kStagingFolder);
  if (!ok) {
    printNarrow("The staging folder 'FlashDrive' could not be entered\n");
  } else {
    ok = makeList_ScanFolder();
  }
  if (!platform().changeWorkingFolder(state.startFolder.c_str())) {
    // Nowhere safe to remove the lists from; leave them and say so.
    printNarrow("The folder '" + state.startFolder + "' could not be entered again\n");
    return 0;
  }
  if (ok) {
    ok = finishList(*state.fileList, state.fileListPath, state.fileLineCount) &&
         finishList(*state.folderList, state.folderListPath, state.folderLineCount);
  }
  if (!ok) {
    discardLists();
    return 0;
  }
  return 1;  // the name blocks go with `state`, after both lists are closed
}

}  // namespace quillet
