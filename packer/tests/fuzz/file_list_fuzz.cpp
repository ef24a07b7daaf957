// Feeds arbitrary bytes to the file list's loading and stripping as
// "FlashDrive\$FileList.txt", in memory through the fake platform, and
// checks what the two steps promise whatever the list holds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "fake_platform.h"
#include "file_list.h"

namespace {

// Every slot a successful load hands over is a terminated path, zero to its end.
void checkSlots() {
  for (std::size_t i = 0; i < quillet::fileListCount; ++i) {
    const char16_t* slot = quillet::pathSlots[i];
    std::size_t length = 0;
    while (length < quillet::kSlotUnits && slot[length] != u'\0') ++length;
    if (length == 0 || length == quillet::kSlotUnits) std::abort();
    for (std::size_t unit = length; unit < quillet::kSlotUnits; ++unit) {
      if (slot[unit] != u'\0') std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  // Counts above 2047 are capped: no input of at most 8192 bytes (the
  // script's -max_len) holds more lines than that, and the loader's 64 MiB
  // of slots for a count near 65535 would slow the fuzzer a hundredfold.
  if (bytes.size() >= 2) bytes[1] = static_cast<char>(bytes[1] & 0x07);
  quillet::testing::FakePlatform fake;
  fake.addFile("FlashDrive/$FileList.txt", bytes);
  const quillet::ScopedPlatform useFake(fake);

  if (quillet::fileList_Load() == 1) {
    checkSlots();
  } else if (quillet::fileListCount != 0 || quillet::pathSlots != nullptr) {
    std::abort();  // a failed load leaves nothing to read
  }

  const int stripped = quillet::fileList_StripPrefix();
  const std::optional<std::string> list = fake.fileBytes("FlashDrive/$FileList.txt");
  if (!list || fake.exists("FlashDrive/$temp.txt")) std::abort();
  if (stripped == 0 && *list != bytes) std::abort();  // a failed rewrite changes nothing
  if (stripped == 1 && (list->size() > bytes.size() || list->compare(0, 2, bytes, 0, 2) != 0)) {
    std::abort();  // the header is copied, the lines only shortened
  }

  quillet::fileList_Release();
  return 0;
}
