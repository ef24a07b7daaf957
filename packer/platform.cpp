#include "platform.h"

namespace quillet {
namespace {
Platform* installed = nullptr;
}  // namespace

std::unique_ptr<Stream> Platform::openForSequentialReadW(const std::u16string& path) {
  return openFileW(path, "rb");
}

Platform& platform() { return installed != nullptr ? *installed : nativePlatform(); }

Platform* setPlatform(Platform* replacement) {
  Platform* previous = &platform();
  installed = replacement;
  return previous;
}

}  // namespace quillet
