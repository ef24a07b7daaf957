// The staging tree walk: the staging folder and every folder below it
// scanned depth-first in the listing's order, each entry held against what
// a release can hold (names the lists and the device can carry, names that
// differ only in case, path lengths, links, special files, file sizes,
// loops) and either listed or refused by name; a refused entry fails the
// walk at its end, after every such entry was named. The list files it
// writes live in walk_lists.cpp.
#include "walk.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <unordered_map>
#include <vector>

#include "console.h"
#include "device_rules.h"
#include "dir_reader.h"
#include "platform.h"
#include "release_format.h"
#include "shown_text.h"
#include "walk_lists.h"

namespace quillet {
namespace {

// The names of one folder as the device compares them, to find two that
// differ only in case. Holds a hash of each folded name and the name itself
// (in the folder's name block, which outlives it), not the folded text.
class FoldedNames {
 public:
  // The earlier name that `name` (UTF-16: `wide`) equals but for case, or
  // nullptr after adding it.
  const char* add(const char* name, const std::u16string& wide) {
    const std::u16string folded = foldedName(wide);
    std::uint64_t hash = 14695981039346656037u;  // FNV-1a
    for (const char16_t unit : folded) {
      hash = (hash ^ unit) * 1099511628211u;
    }
    const auto same = names_.equal_range(hash);
    for (auto it = same.first; it != same.second; ++it) {
      const std::optional<std::u16string> earlier = platform().ansiToUtf16(it->second);
      if (earlier && foldedName(*earlier) == folded) return it->second;
    }
    names_.emplace(hash, name);
    return nullptr;
  }

 private:
  std::unordered_multimap<std::uint64_t, const char*> names_;
};

// Why a file of `size` bytes cannot go into a release.
std::string tooLargeForTheDevice(std::uint64_t size) {
  return "the file holds " + std::to_string(size) +
         " bytes; the device's FAT file system holds at most " + std::to_string(kFileBytesMax) +
         " bytes in a file";
}

// Reports an entry the walk cannot put into a release. The walk goes on, so
// that every such entry is named, and fails at its end.
void refuse(WalkState& state, const std::string& path, const std::string& why) {
  ++state.refused;
  printNarrow("Refused '" + shownText(path) + "': " + why + "\n");
}

// Reads the working folder into `path`; false (with a message) when it
// cannot be read.
bool readWorkingFolder(std::string* path) {
  if (platform().getWorkingFolder(path)) return true;
  printNarrow("The working folder could not be read\n");
  return false;
}

// Makes `path` the working folder and reads it back into `path`.
bool returnTo(std::string* path) {
  if (!platform().changeWorkingFolder(path->c_str())) {
    printNarrow("The folder '" + *path + "' could not be entered again\n");
    return false;
  }
  return readWorkingFolder(path);
}

// Why the lists or the device cannot carry an entry called `name`, or
// nothing. `wide` receives the name in UTF-16 when it is valid.
const char* unrepresentable(const std::string& name, std::u16string* wide) {
  if (platform().separator() != '\\' && name.find('\\') != std::string::npos) {
    return "contains '\\', which separates folders in a list line";
  }
  const std::optional<std::u16string> converted = platform().ansiToUtf16(name);
  if (!converted) return "is not valid in the system's code page";
  // What a conversion puts for characters it could not read (Wine shows a
  // name that is not UTF-8 so): the name listed would not be the file's.
  if (converted->find(u'\uFFFD') != std::u16string::npos) {
    return "holds U+FFFD, which stands for characters the system could not read (a name from "
           "another code page)";
  }
  *wide = *converted;
  return nameTheDeviceCannotHold(*wide);
}

// Why the device cannot hold the path of the entry at `path` (absolute, as
// the system writes it), counted as the lists' first form names it; empty
// when it can.
std::string pathTheDeviceCannotHold(const WalkState& state, const std::string& path) {
  std::string line;
  if (!listLineText(state.stagingFolder, path, platform().separator(), &line)) return "";
  const std::optional<std::u16string> wide = platform().ansiToUtf16(line);
  return pathTooLong(wide ? wide->size() : line.size());
}

// Whether the working folder is one the walk is already in (or, when its
// identity cannot be had, says so); otherwise adds it to the chain.
bool enterChain(WalkState& state, const std::string& path) {
  FolderId id;
  if (!platform().workingFolderId(&id)) {
    refuse(state, path, "the folder cannot be looked at");
    return false;
  }
  for (const FolderId& walked : state.chain) {
    if (walked == id) {
      refuse(state, path, "leads back into a folder the walk is already in (a loop)");
      return false;
    }
  }
  state.chain.push_back(id);
  return true;
}

}  // namespace

bool makeList_ScanFolder(WalkState& state) {
  const char sep = platform().separator();

  // 1. The folder's name block. A folder that cannot be listed is refused:
  // the archiver would fail on it, or pack what the lists never named.
  const std::int32_t size = dirList_GetSize(".");
  if (size < 0) {
    std::string here;
    platform().getWorkingFolder(&here);
    refuse(state, here, "the folder cannot be listed");
    return true;
  }
  if (state.nameBlocks.size() >= kFoldersMax) {
    printNarrow("More than " + std::to_string(kFoldersMax) +
                " folders: the walk cannot scan them\n");
    return false;
  }
  const std::size_t blockSize = size > 0 ? static_cast<std::size_t>(size) : 1;
  std::unique_ptr<char[]> owned(new (std::nothrow) char[blockSize]());
  if (owned == nullptr) {
    printNarrow("Out of memory while listing a folder\n");
    return false;
  }
  char* block = owned.get();
  state.nameBlocks.push_back(std::move(owned));
  const std::int32_t filled = dirList_Fill(".", block, static_cast<std::int32_t>(blockSize));
  if (filled != kFillComplete) {
    std::string here;
    platform().getWorkingFolder(&here);
    if (filled == kFillFailed) {
      refuse(state, here, "the folder cannot be listed");
      return true;
    }
    printNarrow("The folder '" + shownText(here) + "' changed while it was listed\n");
    return false;
  }

  // 2. Both paths hold the folder itself. Only entering a subfolder moves
  // the working folder, and the walk reads it back on its return from one,
  // so a file costs no reading or changing of the working folder.
  std::string currentPath;
  if (!readWorkingFolder(&currentPath)) return false;
  std::string previousPath = currentPath;
  std::string folderLine;
  if (state.folders != nullptr &&
      listLineText(state.stagingFolder, currentPath, sep, &folderLine)) {
    if (const std::optional<std::u16string> wide = platform().ansiToUtf16(folderLine)) {
      state.folders->push_back(*wide);
    }
  }
  FoldedNames foldedNames;

  // 3. Each entry, in the listing's order.
  for (const char* name = block; *name != '\0'; name += std::strlen(name) + 1) {
    const std::string entryName = name;
    if (platform().interrupted()) return false;
    if (entryName == "." || entryName == "..") continue;

    std::u16string wideName;
    if (const char* why = unrepresentable(entryName, &wideName)) {
      refuse(state, currentPath + sep + entryName, std::string("the name ") + why);
      continue;
    }
    if (const char* earlier = foldedNames.add(name, wideName)) {
      refuse(state, currentPath + sep + entryName,
             "the name differs only in case from '" + shownText(earlier) +
                 "', and the device does not tell them apart");
      continue;
    }

    // A folder's line: at its first entry, and again after each subfolder
    // that was entered.
    if (currentPath == previousPath && !writeFolderLine(state, currentPath)) return false;

    std::string savedPath = currentPath;
    currentPath += sep;
    currentPath += entryName;
    const std::string tooLong = pathTheDeviceCannotHold(state, currentPath);
    if (!tooLong.empty()) {
      refuse(state, currentPath, tooLong);
      previousPath = savedPath;
      currentPath = savedPath;
      continue;
    }

    switch (platform().entryKind(name)) {
      case EntryKind::kLink:
        refuse(state, currentPath,
               "a link; the device cannot hold links and the archiver would store "
               "the link itself");
        break;
      case EntryKind::kSpecial:
        refuse(state, currentPath, "neither a file nor a folder (a FIFO, socket or device)");
        break;
      case EntryKind::kNone:
      case EntryKind::kUnknown:
        refuse(state, currentPath, "it cannot be looked at");
        break;
      case EntryKind::kFile: {
        std::uint64_t size = 0;
        if (!platform().opensForReading(name, &size)) {
          refuse(state, currentPath,
                 "the file cannot be opened (no permission, or locked by another "
                 "program)");
        } else if (size > kFileBytesMax) {
          refuse(state, currentPath, tooLargeForTheDevice(size));
        } else if (!writeFileLine(state, entryName, currentPath)) {
          return false;
        }
        break;
      }
      case EntryKind::kFolder:
        if (!platform().changeWorkingFolder(currentPath.c_str())) {
          refuse(state, currentPath,
                 "the folder cannot be entered (" + platform().changeFailure() + ")");
          break;
        }
        if (enterChain(state, currentPath)) {
          if (!readWorkingFolder(&currentPath)) return false;
          if (!makeList_ScanFolder(state)) return false;
          state.chain.pop_back();
        }
        // Back in this folder, whatever happened below it.
        currentPath = savedPath;
        if (!returnTo(&currentPath)) return false;
        savedPath = currentPath;
        break;
    }

    previousPath = currentPath;
    currentPath = savedPath;
  }
  return true;
}

bool stagingFolderIsThere() {
  if (platform().folderExistsW(u"FlashDrive")) return true;
  std::string folder;
  if (readWorkingFolder(&folder)) {
    printNarrow("There is no staging folder 'FlashDrive' in '" + shownText(folder) + "'\n");
  }
  return false;
}

int makeList() { return makeList(nullptr); }

int makeList(std::vector<std::u16string>* folders) {
  WalkState state;
  state.folders = folders;
  const char sep = platform().separator();

  if (!readWorkingFolder(&state.startFolder)) return 0;
  if (!stagingFolderIsThere()) return 0;
  const std::string staging = state.startFolder + sep + kStagingFolderName + sep;
  state.fileListPath = staging + "$FileList.txt";
  state.folderListPath = staging + "$FolderList.txt";

  state.fileListIsOurs = platform().entryKind(state.fileListPath.c_str()) == EntryKind::kNone;
  state.fileList = createList(state.fileListPath);
  if (state.fileList) {
    state.folderListIsOurs = platform().entryKind(state.folderListPath.c_str()) == EntryKind::kNone;
    state.folderList = createList(state.folderListPath);
  }
  if (!state.fileList || !state.folderList) {
    discardLists(state);
    return 0;
  }

  // Lines begin at the staging folder itself, whatever the working folder's
  // own path holds; its path is the one the system reports once inside.
  // The working folder is in the chain too: a way back to it is a loop.
  FolderId id;
  if (platform().workingFolderId(&id)) state.chain.push_back(id);
  bool ok = platform().changeWorkingFolder(kStagingFolderName);
  if (!ok) {
    printNarrow("The staging folder 'FlashDrive' could not be entered\n");
  } else if (!platform().getWorkingFolder(&state.stagingFolder)) {
    printNarrow("The working folder could not be read\n");
    ok = false;
  } else {
    if (platform().workingFolderId(&id)) state.chain.push_back(id);
    ok = makeList_ScanFolder(state);
  }
  if (!platform().changeWorkingFolder(state.startFolder.c_str())) {
    // Nowhere safe to remove the lists from; leave them and say so.
    printNarrow("The folder '" + shownText(state.startFolder) + "' could not be entered again\n");
    return 0;
  }
  if (ok && state.refused > 0) {
    printNarrow("The walk refused " + std::to_string(state.refused) +
                (state.refused == 1 ? " entry" : " entries") +
                " that a release cannot hold; no list was written\n");
    ok = false;
  }
  if (ok) {
    ok = finishList(*state.fileList, state.fileListPath, state.fileLineCount) &&
         finishList(*state.folderList, state.folderListPath, state.folderLineCount);
  }
  if (!ok) {
    discardLists(state);
    return 0;
  }
  return 1;  // the name blocks go with `state`, after both lists are closed
}

}  // namespace quillet
