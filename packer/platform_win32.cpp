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
// The console: byte text and wide text both go out through the C runtime's
// stdout stream, so they keep their order in its one buffer. Wide text is
// written in the ANSI code page, the encoding of the walk's byte text, so the
// output is in one encoding throughout; a character that code page lacks
// becomes "?" or a look-alike. (msvcrt's wprintf is no good for this: its locale never
// follows a UTF-8 code page, and it silently drops the rest of a message at
// the first character it cannot convert.) stdout stays in text mode: "\n"
// becomes "\r\n", so a message ending in "\r\n" comes out as "\r\r\n", as it
// always has from this program on Windows.
//
// The run's safety: a console control handler that only notes Ctrl+C,
// Ctrl+Break and the console's closing; the archiver started through the
// command shell in a job object that ends it, and all it started, when the
// run is interrupted or the packer goes away, its output read through a
// pipe and copied to standard output unless that is a console
// (docs/archiver-output.md); the run lock, a named mutex
// keyed on the working folder's absolute path (it goes with the process);
// closed standard streams reopened on NUL.
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <vector>

#include "platform.h"
#include "system_files.h"
#include "utf.h"
#include "stdio_stream.h"
#include "system_error.h"

namespace quillet {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");

// cmd.exe's exit status when it cannot find the program of a command line.
constexpr int kShellCommandNotFound = 9009;

// --- Interruption.

// --- The archiver's output (docs/archiver-output.md).

// Copies what the archiver writes into a pipe to the packer's standard
// output, on a thread of its own (an anonymous pipe cannot be waited on
// beside the process); once a write there fails (the console went away)
// the rest is read and dropped. The thread owns the copy: a process that
// holds the pipe open past the run leaves it blocked until the packer
// exits, and then it only drops what it reads.
struct OutputCopy {
  HANDLE reading = nullptr;
  HANDLE console = nullptr;
  volatile LONG copying = 1;
};

DWORD WINAPI copyOutput(void* argument) {
  OutputCopy* copy = static_cast<OutputCopy*>(argument);
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(copy->reading, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    DWORD offset = 0;
    while (copy->copying != 0 && offset < got) {
      DWORD put = 0;
      if (!WriteFile(copy->console, buffer + offset, got - offset, &put, nullptr) || put == 0) {
        InterlockedExchange(&copy->copying, 0);
      }
      offset += put;
    }
  }
  CloseHandle(copy->reading);
  return 0;
}

// Set by the console control handler (another thread); read by the run.
volatile LONG interruptedByConsole = 0;
// Signalled with it, so that a wait for the archiver ends at once.
HANDLE interruptionEvent = nullptr;

BOOL WINAPI noteConsoleEvent(DWORD event) {
  InterlockedExchange(&interruptedByConsole, 1);
  if (interruptionEvent != nullptr) SetEvent(interruptionEvent);
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  // The console is closing (or the session ending): Windows ends the
  // process when this handler returns, so it waits here while the run
  // cleans up; the process ends when the run returns from wmain.
  Sleep(INFINITE);
  return TRUE;
}

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

  bool changeWorkingFolder(const char* path) override { return _chdir(path) == 0; }

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

  std::optional<std::u16string> ansiToUtf16(const std::string& ansi) override {
    if (ansi.empty()) return std::u16string();
    if (ansi.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
    const int length = static_cast<int>(ansi.size());
    const int units =
        MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi.data(), length, nullptr, 0);
    if (units <= 0) return std::nullopt;
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi.data(), length, wide.data(),
                            units) != units) {
      return std::nullopt;
    }
    return std::u16string(wide.begin(), wide.end());
  }

  void print(const std::string& text) override { std::fwrite(text.data(), 1, text.size(), stdout); }

  void printWide(const std::u16string& text) override {
    if (text.empty()) return;
    if (text.size() > static_cast<std::size_t>(INT_MAX / 4)) {
      // Too long for one conversion: in halves, never splitting a
      // surrogate pair.
      std::size_t half = text.size() / 2;
      if (text[half - 1] >= 0xD800 && text[half - 1] <= 0xDBFF) ++half;
      printWide(text.substr(0, half));
      printWide(text.substr(half));
      return;
    }
    const std::wstring wide(text.begin(), text.end());
    const int units = static_cast<int>(wide.size());
    const int bytes =
        WideCharToMultiByte(CP_ACP, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return;
    std::string ansi(static_cast<std::size_t>(bytes), '\0');
    if (WideCharToMultiByte(CP_ACP, 0, wide.data(), units, ansi.data(), bytes, nullptr, nullptr) !=
        bytes) {
      return;
    }
    print(ansi);
  }

  int readChar() override {
    std::fflush(stdout);  // the prompt shows before the wait, whatever the stream
    return std::getchar();
  }

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

  // --- Child process.

  std::string archiverCommandLine(const std::string&) const override {
    return "..\\7za a -tzip ..\\ZarvoEUupdate.zip *";
  }

  CommandResult runCommand(const std::string& commandLine) override {
    std::fflush(stdout);
    std::fflush(stderr);
    CommandResult result;
    // The command shell, as system() finds it.
    std::vector<char> shell(MAX_PATH + 1);
    const DWORD shellLength =
        GetEnvironmentVariableA("COMSPEC", shell.data(), static_cast<DWORD>(shell.size()));
    std::string shellPath = shellLength > 0 && shellLength < shell.size()
                                ? std::string(shell.data(), shellLength)
                                : std::string("cmd.exe");
    std::string line = "\"" + shellPath + "\" /c " + commandLine;
    std::vector<char> mutableLine(line.begin(), line.end());
    mutableLine.push_back('\0');

    // A job that ends every process in it when its last handle closes:
    // the archiver cannot outlive the packer.
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) return result;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);

    // The archiver writes (standard output and error) into a pipe the packer
    // copies, unless standard output is a console (or NUL): there 7za shows
    // its progress, and a console does not go away as a pipe's reader does.
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    const HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)));
    OutputCopy* output = nullptr;
    HANDLE writing = nullptr;
    if (console != INVALID_HANDLE_VALUE && GetFileType(console) != FILE_TYPE_CHAR) {
      SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
      HANDLE reading = nullptr;
      if (CreatePipe(&reading, &writing, &inherited, 0)) {
        SetHandleInformation(reading, HANDLE_FLAG_INHERIT, 0);
        output = new OutputCopy{reading, console};
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = writing;
        startup.hStdError = writing;
      }
    }
    PROCESS_INFORMATION process{};
    const bool created = CreateProcessA(nullptr, mutableLine.data(), nullptr, nullptr, TRUE,
                                        CREATE_SUSPENDED, nullptr, nullptr, &startup, &process);
    if (writing != nullptr) CloseHandle(writing);  // the output ends with its writers
    HANDLE copier = nullptr;
    if (output != nullptr) {
      copier = created ? CreateThread(nullptr, 0, copyOutput, output, 0, nullptr) : nullptr;
      if (copier == nullptr) {
        CloseHandle(output->reading);
        delete output;
        output = nullptr;
      }
    }
    if (!created) {
      CloseHandle(job);
      return result;  // the command shell itself could not run
    }
    AssignProcessToJobObject(job, process.hProcess);
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);

    const HANDLE waitFor[2] = {process.hProcess, interruptionEvent};
    const DWORD count = interruptionEvent != nullptr ? 2 : 1;
    for (;;) {
      if (interruptedByConsole != 0) {
        TerminateJobObject(job, 130);
        WaitForSingleObject(process.hProcess, 5000);
        result.started = true;
        result.interrupted = true;
        break;
      }
      const DWORD woke = WaitForMultipleObjects(count, waitFor, FALSE, INFINITE);
      if (woke == WAIT_OBJECT_0) {
        DWORD status = 0;
        GetExitCodeProcess(process.hProcess, &status);
        result.exitCode = static_cast<int>(status);
        result.started = result.exitCode != kShellCommandNotFound;
        break;
      }
      if (woke != WAIT_OBJECT_0 + 1) break;  // the wait itself failed
    }
    CloseHandle(process.hProcess);
    CloseHandle(job);  // ends whatever the command left running
    if (copier != nullptr) {
      // Its last output is copied before the run goes on; a writer outside
      // the job (which cannot be ended here) is not waited for long.
      if (WaitForSingleObject(copier, 2000) == WAIT_OBJECT_0) {
        delete output;
      } else {
        InterlockedExchange(&output->copying, 0);
      }
      CloseHandle(copier);
    }
    return result;
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

  void watchInterruptions() override {
    interruptionEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(noteConsoleEvent, TRUE);
  }

  int interruption() override { return interruptedByConsole != 0 ? 130 : 0; }

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
};

}  // namespace

Platform& nativePlatform() {
  static Win32Platform instance;
  return instance;
}

}  // namespace quillet
