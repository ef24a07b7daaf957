// The host build's own platform: a simulated device whose storage is a
// folder in the system's temporary folder. Tests install devices of their
// own; this one serves code that runs without one.
#include <filesystem>

#include "device.h"

namespace fw {

Platform& defaultPlatform() {
  static sim::Device device(std::filesystem::temp_directory_path() / "ostrel-device");
  return device;
}

}  // namespace fw
