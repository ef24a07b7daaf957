// What the release check needs of the operating system besides files
// (system_files.h): folders and the terminal.
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

#include "system_files.h"

namespace quillet::check {

// What a path names: kLink only for an entry listFolder hands over.
enum class PathKind { kMissing, kFile, kFolder, kLink, kOther };

// What `path` names, following links.
PathKind pathKind(const std::string& path);

// Hands over the entries of a folder one at a time, "." and ".." left out,
// in no set order: each entry's name (UTF-8, no separators; valid during
// the call) and kind. A link (or reparse point) is reported as kLink, never
// followed. Stops when `each` returns false. False with `error` set
// when the folder cannot be listed.
using FolderEntrySink = std::function<bool(std::string_view name, PathKind kind)>;
bool listFolder(const std::string& path, const FolderEntrySink& each, std::string* error);

// True when standard error is a terminal (a progress line may be drawn).
bool stderrIsTerminal();

}  // namespace quillet::check
