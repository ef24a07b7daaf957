#include "scratch_folder.h"

#include <random>
#include <stdexcept>

#include "list_format.h"
#include "utf.h"

namespace quillet::testing {

std::filesystem::path ScratchFolder::makeTempFolder() {
  std::random_device seed;
  std::mt19937_64 random(seed());
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path candidate =
        base / ("quillet-" + std::to_string(random() % 1000000000));
    if (std::filesystem::create_directory(candidate)) return std::filesystem::canonical(candidate);
  }
  throw std::runtime_error("no scratch folder could be created");
}
ListFile parseList(const std::string& bytes) {
  const DecodedList decoded = decodeList(bytes, ListDecoder::Mode::kRaw);
  ListFile list;
  list.wellFormed = decoded.fault == ListFault::kNone;
  list.count = decoded.count;
  list.lines = decoded.lines;
  return list;
}

std::u16string u16(const std::string& utf8) { return utf8ToUtf16(utf8).value(); }

}  // namespace quillet::testing
