// The simulated device's storage: device paths ("\USB Disk\Zarvo\reboot.txt")
// stand for real files under a host folder that the test chooses, opened as
// C streams. Tests can make the next opens or deletions of a path fail.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "platform.h"

namespace fw::sim {

class Storage {
 public:
  // "\A\b.txt" stands for root/"A"/"b.txt".
  explicit Storage(std::filesystem::path root);
  // Closes the streams still open.
  ~Storage();
  Storage(const Storage&) = delete;
  Storage& operator=(const Storage&) = delete;

  // The host file a device path stands for; empty for paths that are not
  // absolute or that hold "." or ".." components (or a "/").
  std::filesystem::path hostPath(const std::string& devicePath) const;

  // The next opens of `devicePath` fail (as a file that exists but cannot
  // be read would), or its deletions do.
  void refuseOpening(const std::string& devicePath);
  void refuseDeleting(const std::string& devicePath);

  // fopen: `none` for a folder, a path that does not map, a refused path or
  // a file that does not open in `mode`.
  StreamHandle open(const std::string& devicePath, const char* mode);
  // fclose; false when `stream` was not open.
  bool close(StreamHandle stream);
  // True when a file (never a folder) was there and went away.
  bool remove(const std::string& devicePath);

 private:
  std::filesystem::path root_;
  std::map<std::uintptr_t, std::FILE*> streams_;  // by stream number
  std::uintptr_t nextStream_ = 1;
  std::set<std::string> refusedOpens_;
  std::set<std::string> refusedDeletes_;
};

}  // namespace fw::sim
