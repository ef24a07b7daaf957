#include "platform.h"

namespace quillet {
namespace {
Platform* installed = nullptr;
}  // namespace

Platform& platform() { return installed != nullptr ? *installed : nativePlatform(); }

Platform* setPlatform(Platform* replacement) {
  Platform* previous = &platform();
  installed = replacement;
  return previous;
}

}  // namespace quillet
