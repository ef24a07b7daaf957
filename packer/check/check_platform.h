// What the release check needs of the operating system, and nothing more.
//
// Paths are UTF-8 and may use "/" on every platform ("\" too on Windows).
// One implementation per platform lives in its own file
// (check_platform_posix.cpp, check_platform_win32.cpp); CMake picks the one
// to build. The rest of the check is portable and reaches the system only
// through these functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::check {

// A file opened for reading at any offset.
class InputFile {
 public:
  virtual ~InputFile() = default;
  // The file's size when it was opened.
  virtual std::uint64_t size() const = 0;
  // Reads exactly `size` bytes at `offset`; false on a read error or when the
  // range lies beyond the end of the file. Safe to call from several threads
  // at once (each read says where it reads).
  virtual bool readAt(std::uint64_t offset, void* buffer, std::size_t size) = 0;
};

// Opens a file for reading. Nothing when it cannot be opened (is missing, is
// a folder, is not readable); `error` then says why in words.
std::unique_ptr<InputFile> openInputFile(const std::string& path, std::string* error);

enum class PathKind { kMissing, kFile, kFolder, kOther };

// What `path` names, following links.
PathKind pathKind(const std::string& path);

// Hands over the entries of a folder one at a time, "." and ".." left out,
// in no set order: each entry's name (UTF-8, no separators; valid during
// the call) and kind. A link (or reparse point) is reported as kOther,
// never followed. Stops when `each` returns false. False with `error` set
// when the folder cannot be listed.
using FolderEntrySink = std::function<bool(std::string_view name, PathKind kind)>;
bool listFolder(const std::string& path, const FolderEntrySink& each, std::string* error);

// One entry of a folder: its name and kind.
struct FolderEntry {
  std::string name;
  PathKind kind = PathKind::kOther;
};

// The entries of a folder, as above, up to one more than `most` (a folder
// of millions of entries claims no memory for them: the caller refuses it).
inline bool listFolder(const std::string& path, std::vector<FolderEntry>* entries,
                       std::string* error, std::size_t most = SIZE_MAX) {
  entries->clear();
  return listFolder(
      path,
      [&](std::string_view name, PathKind kind) {
        entries->push_back(FolderEntry{std::string(name), kind});
        return entries->size() <= most;
      },
      error);
}

// True when standard error is a terminal (a progress line may be drawn).
bool stderrIsTerminal();

// Turns a zip entry name stored in the legacy (OEM) code page into UTF-8.
// Empty when this platform has no code page of its own for it (the zip
// reader's code page 437 applies then).
using LegacyNameDecoder = std::function<std::optional<std::string>(std::string_view raw)>;
LegacyNameDecoder legacyNameDecoder();

}  // namespace quillet::check
