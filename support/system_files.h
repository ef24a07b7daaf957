// What both programs need of the operating system beyond their own seams:
// a file read at offsets (an archive, or a file of an extracted release),
// the legacy code page that zip names may be stored in, and for the check,
// an extracted release's folders and whether standard error is a terminal.
//
// The file's reads are safe to make from several threads at once (each
// read says where it reads).
//
// Paths are UTF-8 and may use "/" on every platform ("\" too on Windows).
// One implementation per platform lives in its own file
// (system_files_posix.cpp, system_files_win32.cpp); CMake picks the one to
// build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "byte_source.h"

namespace quillet {

// Opens a regular file for reading, never waiting (a named pipe or a device
// is refused as "not a file"). Nothing when it cannot be opened; `error`
// then says why in words, the path first.
std::unique_ptr<ByteSource> openInputFile(const std::string& path, std::string* error);

// Turns a zip entry name stored in the legacy (OEM) code page into UTF-8.
// Empty when this platform has no code page of its own for it (the zip
// reader's code page 437 applies then).
using LegacyNameDecoder = std::function<std::optional<std::string>(std::string_view raw)>;
LegacyNameDecoder legacyNameDecoder();

// The form of folder `path` (as the user typed it) through which the
// entries below it are reached by their own names, whatever those are:
// "/" and a name listFolder handed over may be put after it. On Windows the
// folder's full path in the extended form ("\\?\C:\..."), so that a name
// with a trailing dot or space, a device's name (CON, nul.txt) or a path
// past 260 characters names that very entry, as POSIX names it; `path`
// itself elsewhere, or when it has no such form.
std::string literalFolderPath(const std::string& path);

// What a path names: kLink only for an entry listFolder hands over.
enum class PathKind { kMissing, kFile, kFolder, kLink, kOther };

// What `path` names, following links.
PathKind pathKind(const std::string& path);

// Hands over the entries of a folder one at a time, "." and ".." left out,
// in no set order: each entry's name (UTF-8, no separators; valid during
// the call) and kind. A link (or reparse point) is reported as kLink, never
// followed. Stops when `each` returns false. False with `error` set
// when the folder cannot be listed, or an entry of it cannot be looked at.
using FolderEntrySink = std::function<bool(std::string_view name, PathKind kind)>;
bool listFolder(const std::string& path, const FolderEntrySink& each, std::string* error);

// True when standard error is a terminal (a progress line may be drawn).
bool stderrIsTerminal();

}  // namespace quillet
