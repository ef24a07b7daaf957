// The release check's platform layer on desktop Windows.
//
// What may live here: the wide Win32 file calls (CreateFileW, ReadFile,
// FindFirstFileW), the console test for standard error, and the OEM code
// page conversion of legacy zip names (GetOEMCP, MultiByteToWideChar).
// Paths arrive as UTF-8 and are turned into UTF-16 at this edge.
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "check_platform.h"
#include "system_error.h"

namespace quillet::check {
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

std::string describeLastError(const std::string& path) {
  return path + ": " + systemErrorText(lastSystemError());
}

PathKind kindOfAttributes(DWORD attributes) {
  if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::kMissing;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return PathKind::kFolder;
  if (attributes & FILE_ATTRIBUTE_DEVICE) return PathKind::kOther;
  return PathKind::kFile;
}

}  // namespace

PathKind pathKind(const std::string& path) {
  const std::wstring wide = toWide(path, CP_UTF8);
  if (wide.empty()) return PathKind::kMissing;
  return kindOfAttributes(GetFileAttributesW(wide.c_str()));
}

bool listFolder(const std::string& path, const FolderEntrySink& each, std::string* error) {
  const std::wstring pattern = toWide(path + "\\*", CP_UTF8);
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
    if (!each(*utf8, kind)) break;
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return ok;
}

bool stderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

}  // namespace quillet::check
