// Throughput of the MD5 engine.
//
//   md5_bench [MiB]
//       Digests an in-memory buffer of MiB mebibytes (default 256) in one
//       piece and in the 1024-byte pieces the content digest uses, and
//       prints the best of a few passes of each in MB/s (10^6 bytes).
//   md5_bench --file PATH [--chunk BYTES]
//       Digests a file read in pieces of BYTES (default 65536) and prints
//       the digest as md5sum does, then the time and rate on standard error.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "md5.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string hex(const std::uint8_t* digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned k = 0; k < quillet::kMd5DigestBytes; ++k) {
    text.push_back(kDigits[digest[k] >> 4]);
    text.push_back(kDigits[digest[k] & 0x0f]);
  }
  return text;
}

// Seconds taken to digest `data` in pieces of `piece` bytes; the digest goes
// to `digest` so that the work cannot be left out.
double timeDigest(const std::vector<std::uint8_t>& data, std::size_t piece, std::uint8_t* digest) {
  const Clock::time_point start = Clock::now();
  quillet::Md5Context context;
  quillet::md5Start(&context);
  for (std::size_t at = 0; at < data.size(); at += piece) {
    const std::size_t n = std::min(piece, data.size() - at);
    quillet::md5AddBytes(&context, data.data() + at, static_cast<std::uint32_t>(n));
  }
  quillet::md5Finish(digest, &context);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int benchMemory(std::size_t mebibytes) {
  std::vector<std::uint8_t> data(mebibytes << 20);
  std::uint32_t x = 2463534242u;  // xorshift: data that no stage can shortcut
  for (std::uint8_t& byte : data) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    byte = static_cast<std::uint8_t>(x);
  }
  std::printf("MD5 engine over %zu MiB in memory (best of 5 passes)\n", mebibytes);
  // Pieces of up to 2^31 bytes stand for "one piece" (the length is 32-bit).
  const std::size_t pieces[] = {std::size_t{1} << 31, 1024};
  for (std::size_t piece : pieces) {
    double best = 1e30;
    std::uint8_t digest[quillet::kMd5DigestBytes];
    for (int pass = 0; pass < 5; ++pass) best = std::min(best, timeDigest(data, piece, digest));
    std::printf("  %-16s %9.1f MB/s  %s\n", piece == 1024 ? "1024-byte pieces" : "one piece",
                static_cast<double>(data.size()) / best / 1e6, hex(digest).c_str());
  }
  return 0;
}

int benchFile(const char* path, std::size_t chunk) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    std::perror(path);
    return 1;
  }
  std::vector<std::uint8_t> buffer(chunk);
  const Clock::time_point start = Clock::now();
  quillet::Md5Context context;
  quillet::md5Start(&context);
  std::uint64_t total = 0;
  for (;;) {
    const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), file);
    if (got == 0) break;
    quillet::md5AddBytes(&context, buffer.data(), static_cast<std::uint32_t>(got));
    total += got;
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    std::fprintf(stderr, "%s: read error\n", path);
    return 1;
  }
  std::uint8_t digest[quillet::kMd5DigestBytes];
  quillet::md5Finish(digest, &context);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("%s  %s\n", hex(digest).c_str(), path);
  std::fprintf(stderr, "%.3f s, %.1f MB/s\n", seconds, static_cast<double>(total) / seconds / 1e6);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--file") == 0) {
    std::size_t chunk = 65536;
    if (argc >= 5 && std::strcmp(argv[3], "--chunk") == 0) {
      chunk = std::strtoul(argv[4], nullptr, 10);
      if (chunk == 0 || chunk > (std::size_t{1} << 30)) {
        std::fprintf(stderr, "--chunk takes 1 to 2^30 bytes\n");
        return 2;
      }
    }
    return benchFile(argv[2], chunk);
  }
  std::size_t mebibytes = 256;
  if (argc >= 2) {
    mebibytes = std::strtoul(argv[1], nullptr, 10);
    if (mebibytes == 0 || mebibytes > 4096) {
      std::fprintf(stderr, "usage: md5_bench [MiB (1-4096)] | --file PATH [--chunk BYTES]\n");
      return 2;
    }
  }
  return benchMemory(mebibytes);
}
