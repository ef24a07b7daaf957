// What both programs need of the operating system beyond their own seams:
// a file read at offsets (an archive, or a file of an extracted release),
// and the legacy code page that zip names may be stored in.
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

}  // namespace quillet
