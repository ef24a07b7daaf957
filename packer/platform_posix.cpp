// The packer's platform layer on POSIX systems (Linux).
//
// What may live here: the system calls that stand in for the Windows
// functions the packer is defined with. The file search is a small layer
// over opendir/readdir that behaves as FindFirstFileA and friends do for the
// one kind of pattern the packer builds (a folder, "\", "*"); "." and ".."
// are reported as readdir reports them. Wide paths are UTF-16 with "\"
// between components and become UTF-8 paths with "/". The ANSI code page is
// the locale's narrow encoding, UTF-8.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform.h"
#include "stdio_stream.h"
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

// --- Entry look-ahead of the search (begin).
//
// On a cold disk the walk's file test waits for each entry's inode in turn.
// When a folder is searched, a few threads look its entries up (fstatat) in
// the order the search reports them, so the disk is asked for several inodes
// at once and the walk's own calls find them in the cache. Only the cache is
// warmed: what the search reports, and in which order, does not change. The
// newest folder goes first: the walk is depth-first.
class EntryLookAhead {
 public:
  ~EntryLookAhead() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    work_.notify_all();
    for (std::thread& worker : workers_) worker.join();
  }

  // Looks up the entries of the folder `dir` was opened on, unless that
  // folder was the last one handed in (the walk searches each folder twice).
  void folder(DIR* dir) {
    struct stat info;
    if (::fstat(::dirfd(dir), &info) != 0) return;
    if (info.st_dev == lastDevice_ && info.st_ino == lastInode_) return;
    lastDevice_ = info.st_dev;
    lastInode_ = info.st_ino;
    // Its own open of the folder: the search's stream keeps its position.
    const int fd = ::openat(::dirfd(dir), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    DIR* names = ::fdopendir(fd);
    if (names == nullptr) {
      ::close(fd);
      return;
    }
    auto job = std::make_shared<Job>(::dup(fd));
    while (const dirent* entry = ::readdir(names)) job->names.emplace_back(entry->d_name);
    ::closedir(names);
    if (job->fd < 0 || job->names.size() < kFewestEntries) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (workers_.empty()) startWorkers();
    jobs_.push_back(std::move(job));
    work_.notify_all();
  }

 private:
  static constexpr std::size_t kFewestEntries = 16;  // fewer are looked up by the walk alone
  static constexpr int kWorkers = 6;

  struct Job {
    explicit Job(int folder) : fd(folder) {}
    ~Job() {
      if (fd >= 0) ::close(fd);
    }
    int fd;
    std::vector<std::string> names;
    std::size_t next = 0;  // guarded by the look-ahead's mutex
  };

  // With the lock held. Without threads the walk only goes slower.
  void startWorkers() {
    for (int i = 0; i < kWorkers; ++i) {
      try {
        workers_.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        break;
      }
    }
  }

  void work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      work_.wait(lock, [&] { return stop_ || !jobs_.empty(); });
      if (stop_) return;
      const std::shared_ptr<Job> job = jobs_.back();
      const std::size_t index = job->next++;
      if (job->next >= job->names.size()) jobs_.pop_back();
      lock.unlock();
      struct stat info;
      ::fstatat(job->fd, job->names[index].c_str(), &info, 0);
      lock.lock();
    }
  }

  dev_t lastDevice_ = 0;
  ino_t lastInode_ = 0;
  std::mutex mutex_;
  std::condition_variable work_;
  std::vector<std::shared_ptr<Job>> jobs_;  // the newest last
  std::vector<std::thread> workers_;
  bool stop_ = false;
};

EntryLookAhead& entryLookAhead() {
  static EntryLookAhead instance;
  return instance;
}
// --- Entry look-ahead of the search (end).

class PosixPlatform final : public Platform {
 public:
  SearchHandle findFirstFile(const char* pattern, FindData* data) override {
    std::string folder(pattern);
    if (folder.empty() || folder.back() != '*') {
      errno = EINVAL;  // the packer only ever asks for every entry of a folder
      return kInvalidSearchHandle;
    }
    folder.pop_back();
    if (!folder.empty() && folder.back() == '\\') folder.pop_back();
    if (folder.empty()) folder = ".";
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return kInvalidSearchHandle;
    entryLookAhead().folder(dir);
    auto* search = new PosixSearch{dir};
    if (!findNextFile(reinterpret_cast<SearchHandle>(search), data)) {
      findClose(reinterpret_cast<SearchHandle>(search));
      errno = ENOENT;
      return kInvalidSearchHandle;
    }
    return reinterpret_cast<SearchHandle>(search);
  }

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

  bool changeWorkingFolder(const char* path) override { return ::chdir(path) == 0; }

  char separator() const override { return '/'; }

  bool opensForReading(const char* path) override {
    // Non-blocking, so that a FIFO does not stall the walk; only a regular
    // file counts (glibc's fopen would open a folder for reading).
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info;
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    ::close(fd);
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

  // --- Read-ahead of the content digest (begin).
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
    // The nearest POSIX has to a read-only mark is a missing write permission.
    const std::optional<std::string> native = posixPath(path);
    struct stat info;
    if (!native || ::stat(native->c_str(), &info) != 0) return false;
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

  int readChar() override { return std::getchar(); }

  std::string archiverCommandLine() const override {
    return "../7za a -tzip ../ZarvoEUupdate.zip '*'";
  }

  CommandResult runCommand(const std::string& commandLine) override {
    std::fflush(stdout);
    std::fflush(stderr);
    const int status = std::system(commandLine.c_str());
    CommandResult result;
    if (status == -1) return result;
    if (WIFEXITED(status)) {
      result.exitCode = WEXITSTATUS(status);
      // The shell's own codes for a command it could not find or run.
      result.started = result.exitCode != 127 && result.exitCode != 126;
    } else if (WIFSIGNALED(status)) {
      result.started = true;
      result.exitCode = 128 + WTERMSIG(status);
    }
    return result;
  }
};

}  // namespace

Platform& nativePlatform() {
  static PosixPlatform instance;
  return instance;
}

}  // namespace quillet
