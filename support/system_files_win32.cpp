// Files on desktop Windows.
//
// What may live here: the wide Win32 file and folder calls (CreateFileW,
// ReadFile, FindFirstFileW, GetFullPathNameW), the console test, and the OEM code page
// conversion of legacy zip names (GetOEMCP, MultiByteToWideChar). Paths arrive as UTF-8 and are
// turned into UTF-16 at this edge.
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "system_error.h"
#include "system_files.h"

namespace quillet {
namespace {

std::wstring toWide(const std::string& text, UINT codePage) {
  if (text.empty()) return std::wstring();
  const int units = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(),
                                        static_cast<int>(text.size()), nullptr, 0);
  if (units <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(units), L'\0');
  MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                      wide.data(), units);
  return wide;
}

std::optional<std::string> toUtf8(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  const int bytes =
      WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), static_cast<int>(wide.size()),
                          nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::nullopt;
  std::string text(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), static_cast<int>(wide.size()),
                      text.data(), bytes, nullptr, nullptr);
  return text;
}

// A path as the wide calls take it. In the extended form ("\\?\") the
// system takes each name as it is and "/" as part of one, so the "/" that
// callers put before a name is made "\" there.
std::wstring systemPath(const std::string& path) {
  std::wstring wide = toWide(path, CP_UTF8);
  if (wide.compare(0, 4, L"\\\\?\\") == 0) std::replace(wide.begin(), wide.end(), L'/', L'\\');
  return wide;
}

std::string describeLastError(const std::string& path) {
  return path + ": " + systemErrorText(lastSystemError());
}

class WindowsInputFile final : public ByteSource {
 public:
  WindowsInputFile(HANDLE file, std::uint64_t size) : file_(file), size_(size) {}
  ~WindowsInputFile() override { CloseHandle(file_); }
  std::uint64_t size() const override { return size_; }
  std::uint64_t sizeNow() const override {
    LARGE_INTEGER now;
    return GetFileSizeEx(file_, &now) ? static_cast<std::uint64_t>(now.QuadPart) : size_;
  }
  bool readAt(std::uint64_t offset, void* buffer, std::size_t size) override {
    if (offset > size_ || size > size_ - offset) return false;
    auto* bytes = static_cast<char*>(buffer);
    while (size > 0) {
      OVERLAPPED at = {};
      at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      const DWORD want = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
      DWORD got = 0;
      if (!ReadFile(file_, bytes, want, &got, &at) || got == 0) return false;
      bytes += got;
      size -= got;
      offset += got;
    }
    return true;
  }

 private:
  HANDLE file_;
  std::uint64_t size_;
};

PathKind kindOfAttributes(DWORD attributes) {
  if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::kMissing;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return PathKind::kFolder;
  if (attributes & FILE_ATTRIBUTE_DEVICE) return PathKind::kOther;
  return PathKind::kFile;
}

}  // namespace

std::unique_ptr<ByteSource> openInputFile(const std::string& path, std::string* error) {
  const std::wstring wide = systemPath(path);
  if (wide.empty()) {
    *error = path + ": not a valid UTF-8 path";
    return nullptr;
  }
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *error = path + ": not a file";
    return nullptr;
  }
  const HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = describeLastError(path);
    return nullptr;
  }
  if (GetFileType(file) != FILE_TYPE_DISK) {  // a device (NUL, CON) or a pipe
    *error = path + ": not a file";
    CloseHandle(file);
    return nullptr;
  }
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) {
    *error = describeLastError(path);
    CloseHandle(file);
    return nullptr;
  }
  return std::make_unique<WindowsInputFile>(file, static_cast<std::uint64_t>(size.QuadPart));
}

LegacyNameDecoder legacyNameDecoder() {
  return [](std::string_view raw) -> std::optional<std::string> {
    if (raw.empty()) return std::string();
    const std::wstring wide = toWide(std::string(raw), GetOEMCP());
    if (wide.empty()) return std::nullopt;
    return toUtf8(wide);
  };
}

std::string literalFolderPath(const std::string& path) {
  // The path as typed is read as Windows reads it (a relative path, "/",
  // "..", a trailing dot); only what is put after it is taken literally.
  const std::wstring wide = toWide(path, CP_UTF8);
  if (wide.empty() || wide.compare(0, 4, L"\\\\?\\") == 0) return path;
  const DWORD units = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (units == 0) return path;
  std::wstring full(units, L'\0');
  const DWORD written = GetFullPathNameW(wide.c_str(), units, full.data(), nullptr);
  if (written == 0 || written >= units) return path;
  full.resize(written);
  while (!full.empty() && full.back() == L'\\') full.pop_back();
  std::wstring extended;
  if (full.size() >= 2 && full[1] == L':') {
    extended = L"\\\\?\\" + full;  // C:\...
  } else if (full.compare(0, 2, L"\\\\") == 0 && full.compare(0, 4, L"\\\\.\\") != 0) {
    extended = L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share\...
  } else {
    return path;  // a device's path (\\.\...) has no extended form
  }
  const std::optional<std::string> utf8 = toUtf8(extended);
  return utf8 ? *utf8 : path;
}

PathKind pathKind(const std::string& path) {
  const std::wstring wide = systemPath(path);
  if (wide.empty()) return PathKind::kMissing;
  return kindOfAttributes(GetFileAttributesW(wide.c_str()));
}

bool listFolder(const std::string& path, const FolderEntrySink& each, std::string* error) {
  const std::wstring pattern = systemPath(path + "\\*");
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    *error = describeLastError(path);
    return false;
  }
  bool ok = true;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::optional<std::string> utf8 = toUtf8(name);
    if (!utf8) {
      *error = path + ": holds a name that is not valid UTF-16";
      ok = false;
      break;
    }
    const PathKind kind = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0
                              ? PathKind::kLink
                              : kindOfAttributes(found.dwFileAttributes);
    if (!each(*utf8, kind)) {
      FindClose(search);
      return true;
    }
  } while (FindNextFileW(search, &found));
  // A listing that breaks off is no whole folder.
  if (ok && GetLastError() != ERROR_NO_MORE_FILES) {
    *error = describeLastError(path);
    ok = false;
  }
  FindClose(search);
  return ok;
}

bool stderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

}  // namespace quillet
