// The release check's platform layer on POSIX.
//
// What may live here: POSIX file and folder calls, and isatty. Paths are
// UTF-8 bytes as the file system holds them.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "check_platform.h"
#include "system_error.h"

namespace quillet::check {
namespace {

std::string describeErrno(const std::string& path) {
  return path + ": " + systemErrorText(lastSystemError());
}

PathKind kindOf(const struct stat& info) {
  if (S_ISREG(info.st_mode)) return PathKind::kFile;
  if (S_ISDIR(info.st_mode)) return PathKind::kFolder;
  if (S_ISLNK(info.st_mode)) return PathKind::kLink;
  return PathKind::kOther;
}

}  // namespace

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
    struct stat info;
    const PathKind kind = ::lstat((path + "/" + std::string(name)).c_str(), &info) == 0
                              ? kindOf(info)
                              : PathKind::kMissing;
    if (!each(name, kind)) {
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

}  // namespace quillet::check
