// Files on POSIX.
//
// What may live here: POSIX file calls. Paths are UTF-8 bytes as the file
// system holds them.
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

}  // namespace quillet
