#include "content_digest.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "console.h"
#include "file_list.h"
#include "platform.h"

namespace quillet {
namespace {

const std::u16string kDigestPath = u"FlashDrive\\$md5.bin";
const std::u16string kSkipMark = u"$FileList-cfg.txt";

constexpr std::size_t kReadBufferBytes = 1024;

int addOneFile(const std::u16string& path, Md5Context* context) {
  printWide(u"calculateMd5_AddOneFile(%s)\r\n", {path});
  const std::unique_ptr<Stream> in = platform().openFileW(path, "rb");
  if (in == nullptr) {
    printWide(u"The file '%s' was not opened\r\n", {path});
    return 0;
  }
  std::uint8_t buffer[kReadBufferBytes];
  for (;;) {
    const std::size_t got = in->read(buffer, sizeof buffer);
    // A digest of part of a file would vouch for contents nobody packed.
    if (in->readFailed()) {
      printWide(u"Reading '%s' failed\r\n", {path});
      return 0;
    }
    if (got == 0) break;
    md5AddBytes(context, buffer, static_cast<std::uint32_t>(got));
  }
  in->close();
  return 1;
}

}  // namespace

int calculateMd5_AddOneFile(const char16_t* path, Md5Context* context) {
  return addOneFile(std::u16string(path), context);
}

int calculateMd5() {
  Platform& system = platform();
  system.setNormalAttributesW(kDigestPath);
  system.deleteFileW(kDigestPath);

  // The digest reads the first `fileListCount` slots and nothing else.
  if (fileListCount != 0 && pathSlots == nullptr) {
    printWide(u"The file list is not loaded\r\n");
    return 0;
  }

  Md5Context context;
  md5Start(&context);
  std::uint8_t digest[kMd5DigestBytes];
  std::u16string path;
  for (std::size_t i = 0; i < fileListCount; ++i) {
    printNarrow("[MD5](" + std::to_string(i) + ")");
    const char16_t* slot = pathSlots[i];
    std::size_t length = 0;  // never beyond the slot, even without its 0 unit
    while (length < kSlotUnits && slot[length] != u'\0') ++length;
    path.assign(slot, length);
    if (path.find(kSkipMark) != std::u16string::npos) continue;
    if (platform().interrupted() || addOneFile(path, &context) != 1) {
      md5Finish(digest, &context);  // wipes the context; the digest is dropped
      return 0;
    }
  }
  md5Finish(digest, &context);

  const std::unique_ptr<Stream> out = system.openFileW(kDigestPath, "wb");
  if (out == nullptr) {
    printWide(u"The file '%s' was not opened\r\n", {kDigestPath});
    return 0;
  }
  const bool written = out->write(digest, sizeof digest) == sizeof digest;
  // A failed close means accepted bytes may not have reached the file. A
  // partial digest file must not be packed: it is removed.
  if (!written || !out->close()) {
    printWide(u"Write '%s' failed\r\n", {kDigestPath});
    out->close();
    system.deleteFileW(kDigestPath);
    return 0;
  }
  return 1;
}

}  // namespace quillet
