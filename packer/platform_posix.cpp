// The packer's platform layer on POSIX systems (Linux).
//
// What may live here: the system calls that stand in for the Windows
// functions the packer is defined with. The file search is a small layer
// over opendir/readdir that behaves as FindFirstFileA and friends do for the
// one kind of pattern the packer builds (a folder, "\", "*"); "." and ".."
// are reported as readdir reports them. Wide paths are UTF-16 with "\"
// between components and become UTF-8 paths with "/". The ANSI code page is
// the locale's narrow encoding, UTF-8.
//
// The run's safety lives here in part: the run lock (flock on the working
// folder itself: no file is left behind and the lock goes with the
// process) and the standard descriptors opened on /dev/null when they are
// closed. The rest of it has files of its own: the interruptions and the
// archiver as a child in platform_posix_process.cpp, the archiver's output
// in platform_posix_output.cpp (docs/archiver-output.md), the walk's
// look-ahead in platform_posix_lookahead.cpp.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "platform.h"
#include "platform_posix_internal.h"
#include "platform_posix_lookahead.h"
#include "stdio_stream.h"
#include "system_error.h"
#include "system_files.h"
#include "utf.h"

namespace quillet {
namespace {

// Files larger than this are read with the sequential-read hint.
constexpr off_t kSequentialHintBytes = 1024 * 1024;

struct PosixSearch {
  DIR* dir;
};

// "\" in a wide path separates components; POSIX writes "/".
std::optional<std::string> posixPath(const std::u16string& path) {
  std::optional<std::string> narrow = utf16ToUtf8(path);
  if (!narrow) return std::nullopt;
  for (char& c : *narrow) {
    if (c == '\\') c = '/';
  }
  return narrow;
}

bool isFolder(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

class PosixPlatform final : public Platform {
 public:
  SearchHandle findFirstFile(const char* pattern, FindData* data) override {
    std::string folder(pattern);
    if (folder.empty() || folder.back() != '*') {
      searchError_ = EINVAL;  // the packer only ever asks for every entry of a folder
      return kInvalidSearchHandle;
    }
    folder.pop_back();
    if (!folder.empty() && folder.back() == '\\') folder.pop_back();
    if (folder.empty()) folder = ".";
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
      searchError_ = errno;
      return kInvalidSearchHandle;
    }
    posix::lookAheadOf(dir);
    auto* search = new PosixSearch{dir};
    if (!findNextFile(reinterpret_cast<SearchHandle>(search), data)) {
      findClose(reinterpret_cast<SearchHandle>(search));
      searchError_ = ENOENT;
      return kInvalidSearchHandle;
    }
    return reinterpret_cast<SearchHandle>(search);
  }

  std::string searchFailure() override { return systemErrorText(searchError_); }

  bool findNextFile(SearchHandle handle, FindData* data) override {
    auto* search = reinterpret_cast<PosixSearch*>(handle);
    errno = 0;
    const dirent* entry = ::readdir(search->dir);
    if (entry == nullptr) return false;
    data->fileName = entry->d_name;
    return true;
  }

  void findClose(SearchHandle handle) override {
    auto* search = reinterpret_cast<PosixSearch*>(handle);
    ::closedir(search->dir);
    delete search;
  }

  bool getWorkingFolder(std::string* path) override {
    std::vector<char> buffer(256);
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
      if (errno != ERANGE) return false;
      buffer.resize(buffer.size() * 2);
    }
    *path = buffer.data();
    return true;
  }

  bool changeWorkingFolder(const char* path) override {
    if (::chdir(path) == 0) return true;
    changeError_ = errno;
    return false;
  }

  std::string changeFailure() override { return systemErrorText(changeError_); }

  char separator() const override { return '/'; }

  bool opensForReading(const char* path, std::uint64_t* size) override {
    // Non-blocking, so that a FIFO does not stall the walk; only a regular
    // file counts (glibc's fopen would open a folder for reading).
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info;
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    ::close(fd);
    if (regular) *size = static_cast<std::uint64_t>(info.st_size);
    return regular;
  }

  std::unique_ptr<Stream> openFile(const char* path, const char* mode) override {
    if (mode[0] == 'r' && isFolder(path)) {
      errno = EISDIR;
      return nullptr;
    }
    return wrapStdioFile(std::fopen(path, mode));
  }

  std::unique_ptr<Stream> openFileW(const std::u16string& path, const char* mode) override {
    const std::optional<std::string> native = posixPath(path);
    if (!native) {
      errno = EILSEQ;
      return nullptr;
    }
    return openFile(native->c_str(), mode);
  }

  std::unique_ptr<ByteSource> openToReadAtW(const std::u16string& path,
                                            std::string* error) override {
    const std::optional<std::string> native = posixPath(path);
    if (!native) {
      *error = "the path is not valid UTF-16";
      return nullptr;
    }
    return openInputFile(*native, error);
  }

  // --- Read-ahead of the content digest (begin).
  void helperThreadStarted() override { posix::blockSignals(); }

  std::unique_ptr<Stream> openForSequentialReadW(const std::u16string& path) override {
    const std::optional<std::string> native = posixPath(path);
    if (!native) {
      errno = EILSEQ;
      return nullptr;
    }
    // Non-blocking, so that a FIFO put in a listed file's place cannot stall
    // the digest; only a regular file is read.
    const int fd = ::open(native->c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat info;
    const bool statted = ::fstat(fd, &info) == 0;
    if (!statted || !S_ISREG(info.st_mode)) {
      const int error = !statted ? errno : S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
      ::close(fd);
      errno = error;
      return nullptr;
    }
    // O_NONBLOCK changes nothing for a regular file. A larger read-ahead
    // window only pays for a file of many reads; the hint's failure changes
    // nothing either.
    if (info.st_size > kSequentialHintBytes) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    std::FILE* file = ::fdopen(fd, "rb");
    if (file == nullptr) ::close(fd);
    return wrapStdioFile(file);
  }
  // --- Read-ahead of the content digest (end).

  bool deleteFileW(const std::u16string& path) override {
    const std::optional<std::string> native = posixPath(path);
    return native && ::unlink(native->c_str()) == 0;
  }

  bool setNormalAttributesW(const std::u16string& path) override {
    // The nearest POSIX has to a read-only mark is a missing write
    // permission. Only a regular file's mode is touched: never a folder's,
    // nor the target of a link.
    const std::optional<std::string> native = posixPath(path);
    struct stat info;
    if (!native || ::lstat(native->c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    if ((info.st_mode & S_IWUSR) != 0) return true;
    return ::chmod(native->c_str(), (info.st_mode & 07777) | S_IWUSR) == 0;
  }

  bool replaceFileW(const std::u16string& from, const std::u16string& to) override {
    const std::optional<std::string> source = posixPath(from);
    const std::optional<std::string> target = posixPath(to);
    return source && target && std::rename(source->c_str(), target->c_str()) == 0;
  }

  bool folderExistsW(const std::u16string& path) override {
    const std::optional<std::string> native = posixPath(path);
    return native && isFolder(*native);
  }

  std::optional<std::u16string> ansiToUtf16(const std::string& ansi) override {
    return utf8ToUtf16(ansi);
  }

  void print(const std::string& text) override { std::fwrite(text.data(), 1, text.size(), stdout); }

  void printWide(const std::u16string& text) override { print(utf16ToUtf8Lenient(text)); }

  int readChar() override { return posix::readChar(); }

  // --- The walk under hostile conditions.

  EntryKind entryKind(const char* path) override {
    struct stat info;
    if (::lstat(path, &info) != 0) {
      return errno == ENOENT || errno == ENOTDIR ? EntryKind::kNone : EntryKind::kUnknown;
    }
    if (S_ISLNK(info.st_mode)) return EntryKind::kLink;
    if (S_ISDIR(info.st_mode)) return EntryKind::kFolder;
    if (S_ISREG(info.st_mode)) return EntryKind::kFile;
    return EntryKind::kSpecial;
  }

  bool workingFolderId(FolderId* id) override {
    struct stat info;
    if (::stat(".", &info) != 0) return false;
    id->volume = static_cast<std::uint64_t>(info.st_dev);
    id->index = static_cast<std::uint64_t>(info.st_ino);
    return true;
  }

  std::unique_ptr<Stream> createNewFile(const char* path) override {
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    std::FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr) {
      const int error = errno;
      ::close(fd);
      ::unlink(path);
      errno = error;
      return nullptr;
    }
    return wrapStdioFile(file);
  }

  std::unique_ptr<Stream> createNewFileW(const std::u16string& path) override {
    const std::optional<std::string> native = posixPath(path);
    if (!native) {
      errno = EILSEQ;
      return nullptr;
    }
    return createNewFile(native->c_str());
  }

  // --- Child process (platform_posix_process.cpp).

  std::string archiverCommandLine(const std::string& workingFolder) const override {
    return posix::archiverCommandLine(workingFolder);
  }

  CommandResult runCommand(const std::string& commandLine) override {
    return posix::runCommand(commandLine);
  }

  // --- The run under hostile conditions.

  void openClosedStandardStreams() override {
    for (int descriptor = 0; descriptor <= 2; ++descriptor) {
      if (::fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) continue;
      // The lowest free descriptor is the closed one.
      const int opened = ::open("/dev/null", descriptor == 0 ? O_RDONLY : O_WRONLY);
      if (opened >= 0 && opened != descriptor) {
        ::dup2(opened, descriptor);
        ::close(opened);
      }
    }
  }

  void watchInterruptions() override { posix::watchInterruptions(); }

  int interruption() override { return posix::interruption(); }

  RunLock lockWorkingFolder() override {
    // The lock is on the working folder itself: nothing is written, the
    // staging folder stays untouched, and the lock goes with the process.
    const int folder = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return RunLock::kFailed;
    while (::flock(folder, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EINTR) continue;
      const bool busy = errno == EWOULDBLOCK;
      ::close(folder);
      return busy ? RunLock::kBusy : RunLock::kFailed;
    }
    return RunLock::kTaken;  // the descriptor stays open until the process ends
  }

  EntryKind entryKindW(const std::u16string& path) override {
    const std::optional<std::string> native = posixPath(path);
    return native ? entryKind(native->c_str()) : EntryKind::kUnknown;
  }

 private:
  int searchError_ = 0;
  int changeError_ = 0;
};

}  // namespace

Platform& nativePlatform() {
  static PosixPlatform instance;
  return instance;
}

}  // namespace quillet
