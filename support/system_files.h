// What both programs need of the operating system beyond their own seams:
// a file read at offsets (an archive, or a file of an extracted release),
// and the legacy code page that zip names may be stored in.
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

namespace quillet {

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

// Opens a regular file for reading, never waiting (a named pipe or a device
// is refused as "not a file"). Nothing when it cannot be opened; `error`
// then says why in words, the path first.
std::unique_ptr<InputFile> openInputFile(const std::string& path, std::string* error);

// Turns a zip entry name stored in the legacy (OEM) code page into UTF-8.
// Empty when this platform has no code page of its own for it (the zip
// reader's code page 437 applies then).
using LegacyNameDecoder = std::function<std::optional<std::string>(std::string_view raw)>;
LegacyNameDecoder legacyNameDecoder();

}  // namespace quillet
