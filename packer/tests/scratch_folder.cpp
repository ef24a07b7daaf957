#include "scratch_folder.h"

#include <random>
#include <stdexcept>

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
  ListFile list;
  if (bytes.size() < 2) return list;
  list.count = static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[0]) |
                                          (static_cast<unsigned char>(bytes[1]) << 8));
  if (bytes.size() % 2 != 0) return list;
  std::u16string line;
  for (std::size_t i = 2; i < bytes.size(); i += 2) {
    const char16_t unit = static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                                (static_cast<unsigned char>(bytes[i + 1]) << 8));
    if (unit == u'\n') {
      list.lines.push_back(line);
      line.clear();
    } else {
      line.push_back(unit);
    }
  }
  list.wellFormed = line.empty();
  return list;
}

std::u16string u16(const std::string& utf8) { return utf8ToUtf16(utf8).value(); }

}  // namespace quillet::testing
