// Host-only code: C stdio and std::filesystem.
#include "storage.h"

#include <system_error>
#include <utility>

namespace fw::sim {

Storage::Storage(std::filesystem::path root) : root_(std::move(root)) {}

Storage::~Storage() {
  for (auto& [number, file] : streams_) std::fclose(file);
}

std::filesystem::path Storage::hostPath(const std::string& devicePath) const {
  if (devicePath.empty() || devicePath[0] != '\\') return {};
  std::filesystem::path host = root_;
  std::size_t start = 1;
  while (start <= devicePath.size()) {
    std::size_t end = devicePath.find('\\', start);
    if (end == std::string::npos) end = devicePath.size();
    const std::string component = devicePath.substr(start, end - start);
    if (component == "." || component == ".." || component.find('/') != std::string::npos) {
      return {};
    }
    if (!component.empty()) host /= component;
    start = end + 1;
  }
  return host;
}

void Storage::refuseOpening(const std::string& devicePath) { refusedOpens_.insert(devicePath); }

void Storage::refuseDeleting(const std::string& devicePath) { refusedDeletes_.insert(devicePath); }

StreamHandle Storage::open(const std::string& devicePath, const char* mode) {
  const std::filesystem::path host = hostPath(devicePath);
  std::error_code error;
  if (mode == nullptr || refusedOpens_.count(devicePath) != 0 || host.empty() ||
      std::filesystem::is_directory(host, error)) {
    return StreamHandle::none;
  }
  std::FILE* file = std::fopen(host.string().c_str(), mode);
  if (file == nullptr) return StreamHandle::none;
  const std::uintptr_t number = nextStream_++;
  streams_[number] = file;
  return static_cast<StreamHandle>(number);
}

bool Storage::close(StreamHandle stream) {
  auto found = streams_.find(static_cast<std::uintptr_t>(stream));
  if (found == streams_.end()) return false;
  std::fclose(found->second);
  streams_.erase(found);
  return true;
}

bool Storage::remove(const std::string& devicePath) {
  const std::filesystem::path host = hostPath(devicePath);
  std::error_code error;
  return refusedDeletes_.count(devicePath) == 0 && !host.empty() &&
         std::filesystem::is_regular_file(host, error) && std::filesystem::remove(host, error);
}

}  // namespace fw::sim
