// Reads every entry of an archive with the zip reader (local header check,
// inflate or copy, CRC-32) and prints the speed over the uncompressed bytes.
// Usage: zip_read_bench ARCHIVE
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "zip_reader.h"

namespace {

// The archive as a file, read with positioned reads through one stream.
class FileSource final : public quillet::zip::ByteSource {
 public:
  explicit FileSource(const char* path) : in_(path, std::ios::binary) {
    in_.seekg(0, std::ios::end);
    size_ = in_ ? static_cast<std::uint64_t>(in_.tellg()) : 0;
  }
  bool good() const { return static_cast<bool>(in_); }
  std::uint64_t size() const override { return size_; }
  bool readAt(std::uint64_t offset, void* buffer, std::size_t size) override {
    if (offset > size_ || size > size_ - offset) return false;
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(offset));
    in_.read(static_cast<char*>(buffer), static_cast<std::streamsize>(size));
    return static_cast<std::size_t>(in_.gcount()) == size;
  }

 private:
  std::ifstream in_;
  std::uint64_t size_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s ARCHIVE\n", argv[0]);
    return 2;
  }
  FileSource source(argv[1]);
  if (!source.good()) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 1;
  }
  const auto start = std::chrono::steady_clock::now();
  quillet::zip::Reader reader;
  if (!reader.open(source)) {
    std::fprintf(stderr, "%s\n", reader.message().c_str());
    return 1;
  }
  std::uint64_t bytes = 0;
  for (std::size_t i = 0; i < reader.entries().size(); ++i) {
    if (!reader.readEntry(i, [&](const std::uint8_t*, std::size_t size) {
          bytes += size;
          return true;
        })) {
      std::fprintf(stderr, "%s\n", reader.message().c_str());
      return 1;
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%s: %zu entries, %llu bytes in %.2f s: %.0f MB/s\n", argv[1],
              reader.entries().size(), static_cast<unsigned long long>(bytes), seconds,
              bytes / seconds / 1e6);
  return 0;
}
