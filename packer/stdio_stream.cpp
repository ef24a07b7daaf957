#include "stdio_stream.h"

namespace quillet {
namespace {

class StdioStream final : public Stream {
 public:
  explicit StdioStream(std::FILE* file) : file_(file) {}
  ~StdioStream() override { close(); }

  std::size_t read(void* buffer, std::size_t size) override {
    if (file_ == nullptr) return 0;
    const std::size_t got = std::fread(buffer, 1, size, file_);
    if (got < size && std::ferror(file_)) failed_ = true;
    return got;
  }
  bool readFailed() const override { return failed_; }
  std::size_t write(const void* data, std::size_t size) override {
    if (file_ == nullptr) return 0;
    wrote_ = true;
    return std::fwrite(data, 1, size, file_);
  }
  bool rewind() override { return file_ != nullptr && std::fseek(file_, 0, SEEK_SET) == 0; }
  bool close() override {
    if (file_ == nullptr) return true;
    const bool flushed = !wrote_ || (std::fflush(file_) == 0 && !std::ferror(file_));
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    return flushed && closed;
  }

 private:
  std::FILE* file_;
  bool failed_ = false;
  bool wrote_ = false;
};

}  // namespace

std::unique_ptr<Stream> wrapStdioFile(std::FILE* file) {
  if (file == nullptr) return nullptr;
  // The digest reads in 1024-byte pieces; a larger buffer saves system calls.
  std::setvbuf(file, nullptr, _IOFBF, 64 * 1024);
  return std::make_unique<StdioStream>(file);
}

}  // namespace quillet
