#include "platform.h"

namespace fw {
namespace {
Platform* installed = nullptr;
}  // namespace

Platform& platform() { return installed != nullptr ? *installed : defaultPlatform(); }

Platform* setPlatform(Platform* replacement) {
  Platform* previous = &platform();
  installed = replacement;
  return previous;
}

}  // namespace fw
