// The packer's platform layer on desktop Windows (Win32, built with
// mingw-w64 and run natively or under Wine).
//
// What may live here: the Win32 and C runtime calls the packer is defined
// with, and nothing else. The walk's file search is the ANSI search
// (FindFirstFileA and friends) and its paths are narrow strings in the
// process's ANSI code page, handed to the C runtime as they are (_chdir,
// fopen); only the working folder is read wide and converted, since _getcwd
// holds it in MAX_PATH bytes. The later steps' wide paths are already native: UTF-16
// with "\" between components, so they go straight to the wide calls
// (DeleteFileW, SetFileAttributesW, MoveFileExW, _wfopen_s). The program's
// manifest (quillet.manifest) makes UTF-8 the ANSI code page where the system
// honours it (Windows 10 1903 and later, Wine), so every name the search
// reports is whole; with a legacy code page a name it lacks comes back with
// "?" or look-alike letters in place of the missing characters.
//
// The console, and text in the ANSI code page, live in
// platform_win32_console.cpp; the interruptions and the archiver as a child
// (a job object, its output through a pipe) in platform_win32_process.cpp.
//
// The run's safety lives here in part: the run lock, a named mutex keyed
// on the working folder's absolute path (it goes with the process), and
// closed standard streams reopened on NUL.
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <vector>

#include "platform.h"
#include "platform_win32_internal.h"
#include "stdio_stream.h"
#include "system_error.h"
#include "system_files.h"
#include "utf.h"

namespace quillet {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");

// 64-bit FNV-1a over UTF-16 units: the working folder's path in a mutex
// name, which may be shorter than the path.
std::uint64_t fnv1a(const std::wstring& text) {
  std::uint64_t hash = 14695981039346656037ull;
  for (wchar_t unit : text) {
    hash ^= static_cast<std::uint16_t>(unit);
    hash *= 1099511628211ull;
  }
  return hash;
}

// A wide path for the wide calls; nothing when the text holds a NUL unit,
// which would silently cut the path short.
bool toNative(const std::u16string& path, std::wstring* native) {
  if (path.find(u'\0') != std::u16string::npos) {
    errno = EINVAL;
    return false;
  }
  native->assign(path.begin(), path.end());
  return true;
}

// errno for the last Win32 error, as the C runtime's callers expect it.
int errnoFromLastError() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return EACCES;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    default:
      return EINVAL;
  }
}

// A binary stream on a file CreateFile has just made; `undo` removes the
// file when no stream can be had on it.
template <typename Undo>
std::unique_ptr<Stream> streamOnNewFile(HANDLE handle, Undo undo) {
  if (handle == INVALID_HANDLE_VALUE) {
    errno = GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS
                ? EEXIST
                : errnoFromLastError();
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY | _O_WRONLY);
  if (fd < 0) {
    CloseHandle(handle);
    undo();
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "wb");
  if (file == nullptr) {
    _close(fd);
    undo();
    return nullptr;
  }
  return wrapStdioFile(file);
}

// What GetFileAttributes' answer (just given) says of a path.
EntryKind kindOf(DWORD attributes) {
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? EntryKind::kNone
                                                                          : EntryKind::kUnknown;
  }
  // Symbolic links, junctions, and (under Wine) the host's symbolic links
  // where Wine reports them as reparse points.
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return EntryKind::kLink;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EntryKind::kFolder;
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return EntryKind::kSpecial;
  return EntryKind::kFile;
}

class Win32Platform final : public Platform {
 public:
  SearchHandle findFirstFile(const char* pattern, FindData* data) override {
    WIN32_FIND_DATAA found;
    const HANDLE handle = FindFirstFileA(pattern, &found);
    if (handle == INVALID_HANDLE_VALUE) {
      searchError_ = GetLastError();
      return kInvalidSearchHandle;
    }
    data->fileName = found.cFileName;
    return reinterpret_cast<SearchHandle>(handle);
  }

  bool findNextFile(SearchHandle handle, FindData* data) override {
    WIN32_FIND_DATAA found;
    if (!FindNextFileA(reinterpret_cast<HANDLE>(handle), &found)) return false;
    data->fileName = found.cFileName;
    return true;
  }

  void findClose(SearchHandle handle) override { FindClose(reinterpret_cast<HANDLE>(handle)); }

  std::string searchFailure() override { return systemErrorText(searchError_); }

  bool getWorkingFolder(std::string* path) override {
    // The C runtime's _getcwd holds the ANSI path in MAX_PATH bytes, too few
    // for a path of 255 characters in the UTF-8 code page (up to 765 bytes):
    // the wide path is read and converted instead.
    std::vector<wchar_t> wide(MAX_PATH + 1);
    for (;;) {
      const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(wide.size()), wide.data());
      if (length == 0) return false;
      if (length < wide.size()) {
        wide.resize(length);
        break;
      }
      if (length > 32768) return false;
      wide.resize(length + 1);
    }
    const int units = static_cast<int>(wide.size());
    const int bytes =
        WideCharToMultiByte(CP_ACP, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return false;
    std::string ansi(static_cast<std::size_t>(bytes), '\0');
    if (WideCharToMultiByte(CP_ACP, 0, wide.data(), units, ansi.data(), bytes, nullptr, nullptr) !=
        bytes) {
      return false;
    }
    *path = std::move(ansi);
    return true;
  }

  bool changeWorkingFolder(const char* path) override {
    SetLastError(ERROR_SUCCESS);
    if (_chdir(path) == 0) return true;
    changeError_ = GetLastError();
    return false;
  }

  std::string changeFailure() override { return systemErrorText(changeError_); }

  char separator() const override { return '\\'; }

  bool opensForReading(const char* path, std::uint64_t* size) override {
    // The C runtime refuses to open a folder here, unlike glibc.
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) return false;
    const __int64 length = _filelengthi64(_fileno(file));
    std::fclose(file);
    if (length < 0) return false;
    *size = static_cast<std::uint64_t>(length);
    return true;
  }

  std::unique_ptr<Stream> openFile(const char* path, const char* mode) override {
    return wrapStdioFile(std::fopen(path, mode));
  }

  std::unique_ptr<Stream> openFileW(const std::u16string& path, const char* mode) override {
    std::wstring native;
    if (!toNative(path, &native)) return nullptr;
    const std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
    std::FILE* file = nullptr;
    if (_wfopen_s(&file, native.c_str(), wideMode.c_str()) != 0) return nullptr;
    return wrapStdioFile(file);
  }

  std::unique_ptr<ByteSource> openToReadAtW(const std::u16string& path,
                                            std::string* error) override {
    const std::optional<std::string> utf8 = utf16ToUtf8(path);
    if (!utf8) {
      *error = "the path is not valid UTF-16";
      return nullptr;
    }
    return openInputFile(*utf8, error);
  }

  // --- Read-ahead of the content digest (begin).
  std::unique_ptr<Stream> openForSequentialReadW(const std::u16string& path) override {
    std::wstring native;
    if (!toNative(path, &native)) return nullptr;
    // The sharing _wfopen_s grants; the scan hint lets the cache read ahead
    // further and drop pages behind. A folder does not open without
    // FILE_FLAG_BACKUP_SEMANTICS.
    const HANDLE handle =
        CreateFileW(native.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (fd == -1) {
      CloseHandle(handle);
      return nullptr;
    }
    std::FILE* file = _fdopen(fd, "rb");
    if (file == nullptr) _close(fd);  // closes the handle too
    return wrapStdioFile(file);
  }
  // --- Read-ahead of the content digest (end).

  bool deleteFileW(const std::u16string& path) override {
    std::wstring native;
    return toNative(path, &native) && DeleteFileW(native.c_str()) != 0;
  }

  bool setNormalAttributesW(const std::u16string& path) override {
    // Only a plain file's marks are changed: never a folder's or a link's.
    std::wstring native;
    if (!toNative(path, &native)) return false;
    const DWORD attributes = GetFileAttributesW(native.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
      return false;
    }
    return SetFileAttributesW(native.c_str(), FILE_ATTRIBUTE_NORMAL) != 0;
  }

  bool replaceFileW(const std::u16string& from, const std::u16string& to) override {
    std::wstring source;
    std::wstring target;
    return toNative(from, &source) && toNative(to, &target) &&
           MoveFileExW(source.c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  }

  bool folderExistsW(const std::u16string& path) override {
    std::wstring native;
    if (!toNative(path, &native)) return false;
    const DWORD attributes = GetFileAttributesW(native.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  // --- Text and the console (platform_win32_console.cpp).

  std::optional<std::u16string> ansiToUtf16(const std::string& ansi) override {
    return win32::ansiToUtf16(ansi);
  }

  void print(const std::string& text) override { win32::print(text); }

  void printWide(const std::u16string& text) override { win32::printWide(text); }

  int readChar() override { return win32::readChar(); }

  // --- The walk under hostile conditions.

  EntryKind entryKind(const char* path) override { return kindOf(GetFileAttributesA(path)); }

  bool workingFolderId(FolderId* id) override {
    const HANDLE folder =
        CreateFileA(".", 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION information;
    const bool known = GetFileInformationByHandle(folder, &information) != 0;
    CloseHandle(folder);
    if (!known) return false;
    id->volume = information.dwVolumeSerialNumber;
    id->index =
        (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    return true;
  }

  std::unique_ptr<Stream> createNewFile(const char* path) override {
    return streamOnNewFile(
        CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr),
        [path] { DeleteFileA(path); });
  }

  std::unique_ptr<Stream> createNewFileW(const std::u16string& path) override {
    std::wstring native;
    if (!toNative(path, &native)) return nullptr;
    return streamOnNewFile(
        CreateFileW(native.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr),
        [&native] { DeleteFileW(native.c_str()); });
  }

  // --- Child process (platform_win32_process.cpp).

  std::string archiverCommandLine(const std::string&) const override {
    return win32::archiverCommandLine();
  }

  CommandResult runCommand(const std::string& commandLine) override {
    return win32::runCommand(commandLine);
  }

  // --- The run under hostile conditions.

  void openClosedStandardStreams() override {
    // A stream without a valid handle behind it (-1: closed; -2: no
    // console behind it) is opened on NUL, so that the C runtime never hands
    // its descriptor to a file of the run.
    if (_get_osfhandle(0) < 0) std::freopen("NUL", "r", stdin);
    if (_get_osfhandle(1) < 0) std::freopen("NUL", "w", stdout);
    if (_get_osfhandle(2) < 0) std::freopen("NUL", "w", stderr);
  }

  void watchInterruptions() override { win32::watchInterruptions(); }

  int interruption() override { return win32::interruption(); }

  RunLock lockWorkingFolder() override {
    // Keyed on the working folder's full path, upper-cased as the file
    // system compares names. The mutex goes with the process.
    std::vector<wchar_t> folder(32768);
    const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data());
    if (length == 0 || length >= folder.size()) return RunLock::kFailed;
    std::wstring key(folder.data(), length);
    while (key.size() > 3 && key.back() == L'\\') key.pop_back();
    for (wchar_t& unit : key) unit = static_cast<wchar_t>(std::towupper(unit));
    wchar_t name[64];
    std::swprintf(name, sizeof name / sizeof name[0], L"Local\\Quillet-run-%016llx",
                  static_cast<unsigned long long>(fnv1a(key)));
    const HANDLE mutex = CreateMutexW(nullptr, TRUE, name);
    if (mutex == nullptr) return RunLock::kFailed;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
      CloseHandle(mutex);
      return RunLock::kBusy;
    }
    return RunLock::kTaken;  // the handle stays open until the process ends
  }

  EntryKind entryKindW(const std::u16string& path) override {
    std::wstring native;
    if (!toNative(path, &native)) return EntryKind::kUnknown;
    return kindOf(GetFileAttributesW(native.c_str()));
  }

 private:
  DWORD searchError_ = 0;
  DWORD changeError_ = 0;
};

}  // namespace

Platform& nativePlatform() {
  static Win32Platform instance;
  return instance;
}

}  // namespace quillet
