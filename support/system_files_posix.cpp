// Files on POSIX.
//
// What may live here: POSIX file and folder calls, and isatty. Paths are
// UTF-8 bytes as the file system holds them.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "system_error.h"
#include "system_files.h"

namespace quillet {
namespace {

std::string describeErrno(const std::string& path) {
  return path + ": " + systemErrorText(lastSystemError());
}

class PosixInputFile final : public ByteSource {
 public:
  PosixInputFile(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  ~PosixInputFile() override { ::close(fd_); }
  std::uint64_t size() const override { return size_; }
  std::uint64_t sizeNow() const override {
    struct stat info;
    return ::fstat(fd_, &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : size_;
  }
  bool readAt(std::uint64_t offset, void* buffer, std::size_t size) override {
    if (offset > size_ || size > size_ - offset) return false;
    auto* bytes = static_cast<char*>(buffer);
    while (size > 0) {
      const ssize_t got = ::pread(fd_, bytes, size, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      bytes += got;
      size -= static_cast<std::size_t>(got);
      offset += static_cast<std::uint64_t>(got);
    }
    return true;
  }

 private:
  int fd_;
  std::uint64_t size_;
};

PathKind kindOf(const struct stat& info) {
  if (S_ISREG(info.st_mode)) return PathKind::kFile;
  if (S_ISDIR(info.st_mode)) return PathKind::kFolder;
  if (S_ISLNK(info.st_mode)) return PathKind::kLink;
  return PathKind::kOther;
}

}  // namespace

std::unique_ptr<ByteSource> openInputFile(const std::string& path, std::string* error) {
  // (Not waiting for a writer: opening a named pipe would block until one
  // came, and a pipe is refused below anyway.)
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *error = describeErrno(path);
    return nullptr;
  }
  struct stat info;
  if (::fstat(fd, &info) != 0) {
    *error = describeErrno(path);
    ::close(fd);
    return nullptr;
  }
  if (!S_ISREG(info.st_mode)) {
    *error = path + ": not a file";
    ::close(fd);
    return nullptr;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return std::make_unique<PosixInputFile>(fd, static_cast<std::uint64_t>(info.st_size));
}

LegacyNameDecoder legacyNameDecoder() { return {}; }

std::string literalFolderPath(const std::string& path) { return path; }

PathKind pathKind(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return PathKind::kMissing;
  return kindOf(info);
}

bool listFolder(const std::string& path, const FolderEntrySink& each, std::string* error) {
  DIR* folder = ::opendir(path.c_str());
  if (folder == nullptr) {
    *error = describeErrno(path);
    return false;
  }
  errno = 0;
  while (const dirent* entry = ::readdir(folder)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    // Links are not followed: an extracted release holds none, and a link
    // to a folder above would make the walk endless.
    // An entry that cannot be looked at (a folder that may be listed but
    // not searched, or one gone since it was listed) fails the listing: it
    // is no entry of some other kind.
    const std::string entryPath = path + "/" + std::string(name);
    struct stat info;
    if (::lstat(entryPath.c_str(), &info) != 0) {
      *error = describeErrno(entryPath);
      ::closedir(folder);
      return false;
    }
    if (!each(name, kindOf(info))) {
      errno = 0;
      break;
    }
    errno = 0;
  }
  const bool failed = errno != 0;
  if (failed) *error = describeErrno(path);
  ::closedir(folder);
  return !failed;
}

bool stderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

}  // namespace quillet
