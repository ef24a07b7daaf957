// The packer's check of its own archive, timed alone (run-real-bench.sh).
// Started in a working folder that holds the staging folder and the
// ZarvoEUupdate.zip the packer made of it:
//
//   own_check_bench [RUNS [THREADS]]
//
// does what a run does before its archiver, to have the digest's records
// (the walk, the list loaded and rewritten, the digest, with their console
// lines on standard output), then checks the archive against them RUNS
// times (default 5), its entries read on THREADS threads (default: as the
// packer reads them, see OwnCheckReading), and prints on standard error the
// median wall-clock and CPU seconds of one check, and the fastest and
// slowest, and what the steps before the archiver took. The lists and
// $md5.bin it wrote are removed again. Exit status 1 when anything failed,
// the check included.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "content_digest.h"
#include "file_list.h"
#include "own_archive_check.h"
#include "platform.h"
#include "walk.h"

namespace {

void removeIntermediates() {
  quillet::platform().deleteFileW(u"FlashDrive\\$FileList.txt");
  quillet::platform().deleteFileW(u"FlashDrive\\$FolderList.txt");
  quillet::platform().deleteFileW(u"FlashDrive\\$md5.bin");
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 5;
  quillet::OwnCheckReading reading = quillet::ownCheckReading();
  if (argc > 2) reading.threads = static_cast<unsigned>(std::atoi(argv[2]));
  if (runs < 1 || reading.threads < 1 || argc > 3) {
    std::fprintf(stderr, "usage: %s [RUNS [THREADS]]\n", argv[0]);
    return 2;
  }
  quillet::setOwnCheckReading(reading);
  const std::clock_t beforeCpu = std::clock();
  const auto before = std::chrono::steady_clock::now();
  quillet::ContentDigest digest;
  const bool prepared = quillet::makeList(&digest.folders) == 1 && quillet::fileList_Load() == 1 &&
                        quillet::fileList_StripPrefix() == 1 && quillet::calculateMd5(&digest) == 1;
  const double beforeWall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count();
  const double beforeCpuSeconds = static_cast<double>(std::clock() - beforeCpu) / CLOCKS_PER_SEC;
  quillet::fileList_Release();
  removeIntermediates();
  if (!prepared) {
    std::fprintf(stderr, "the walk, the list or the digest failed\n");
    return 1;
  }

  std::vector<double> wall;
  std::vector<double> cpu;
  for (int run = 0; run < runs; ++run) {
    std::string error;
    const std::unique_ptr<quillet::ByteSource> archive =
        quillet::platform().openToReadAtW(u"ZarvoEUupdate.zip", &error);
    if (archive == nullptr) {
      std::fprintf(stderr, "ZarvoEUupdate.zip: %s\n", error.c_str());
      return 1;
    }
    const std::clock_t cpuStart = std::clock();
    const auto start = std::chrono::steady_clock::now();
    const quillet::OwnArchiveResult result = quillet::checkArchiveAgainst(*archive, digest);
    wall.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    cpu.push_back(static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC);
    if (!result.passed) {
      for (const std::string& problem : result.problems) {
        std::fprintf(stderr, "%s\n", problem.c_str());
      }
      return 1;
    }
  }
  std::fprintf(stderr,
               "the check of %zu files on %u thread(s): median %.3f s (CPU %.3f s), "
               "fastest %.3f s, slowest %.3f s, of %d\n",
               digest.files.size(), reading.threads, median(wall), median(cpu),
               *std::min_element(wall.begin(), wall.end()),
               *std::max_element(wall.begin(), wall.end()), runs);
  std::fprintf(stderr, "the walk, the list and the digest, once: %.3f s (CPU %.3f s)\n", beforeWall,
               beforeCpuSeconds);
  return 0;
}
