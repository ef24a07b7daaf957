// The reading side of quillet-check over one release archive, phase by
// phase: opening it (the central directory, the layout of the local headers,
// the release's entries), then reading every listed file on the read-ahead
// thread in the file list's order, as the digest does, the caller taking the
// contents. Prints the best time and the CPU time of each phase over ROUNDS
// rounds, and per entry. Not a test: nothing here fails on a time.
// Usage: archive_read_bench ARCHIVE [ROUNDS]
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "entry_read_ahead.h"
#include "list_format.h"
#include "release_source.h"
#include "utf.h"

namespace {

using quillet::check::ReadAhead;
using quillet::check::ReleaseEntry;
using quillet::check::ReleaseSource;
using quillet::check::SourceFailure;

double cpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double wallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Phase {
  const char* name;
  double wall = 1e9;      // best
  double cpu = 1e9;       // best
  double firstWall = -1;  // the first round's, with the process's memory still fresh
  double firstCpu = -1;
  void add(double w, double c) {
    if (firstWall < 0) firstWall = w, firstCpu = c;
    wall = std::min(wall, w);
    cpu = std::min(cpu, c);
  }
};

std::unique_ptr<ReleaseSource> openSource(const char* path) {
  SourceFailure failure = SourceFailure::kNone;
  std::string message;
  std::unique_ptr<ReleaseSource> source =
      quillet::check::openArchiveRelease(path, &failure, &message);
  if (source == nullptr) {
    std::fprintf(stderr, "%s\n", message.c_str());
    std::exit(1);
  }
  return source;
}

// The listed files' entries in the file list's order; all files in the
// archive's order when there is no file list.
std::vector<int> listOrder(ReleaseSource& source) {
  const std::vector<ReleaseEntry>& entries = source.entries();
  std::unordered_map<std::string_view, int> byName;
  int listIndex = -1;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].folder) continue;
    byName.emplace(entries[i].name, static_cast<int>(i));
    if (entries[i].name == "$FileList.txt") listIndex = static_cast<int>(i);
  }
  std::vector<int> order;
  if (listIndex < 0) {
    for (const auto& [name, index] : byName) order.push_back(index);
    std::sort(order.begin(), order.end());
    return order;
  }
  std::string bytes;
  if (!source.read(static_cast<std::size_t>(listIndex),
                   [&bytes](const std::uint8_t* data, std::size_t size) {
                     bytes.append(reinterpret_cast<const char*>(data), size);
                     return true;
                   })) {
    std::fprintf(stderr, "%s\n", source.message().c_str());
    std::exit(1);
  }
  const quillet::DecodedList list = quillet::decodeList(bytes, quillet::ListDecoder::Mode::kRaw);
  for (const std::u16string& line : list.lines) {
    std::string name = quillet::utf16ToUtf8Lenient(line);
    std::replace(name.begin(), name.end(), '\\', '/');
    const auto found = byName.find(name);
    if (found != byName.end()) order.push_back(found->second);
  }
  return order;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: %s ARCHIVE [ROUNDS]\n", argv[0]);
    return 2;
  }
  const int rounds = argc == 3 ? std::max(1, std::atoi(argv[2])) : 10;
  Phase open{"open"};
  Phase read{"read"};
  std::size_t entries = 0;
  std::size_t files = 0;
  std::uint64_t bytes = 0;
  std::vector<int> order;  // the same in every round
  for (int round = 0; round < rounds; ++round) {
    double wall = wallSeconds();
    double cpu = cpuSeconds();
    std::unique_ptr<ReleaseSource> source = openSource(argv[1]);
    open.add(wallSeconds() - wall, cpuSeconds() - cpu);
    entries = source->entries().size();

    if (round == 0) order = listOrder(*source);
    files = order.size();
    bytes = 0;
    wall = wallSeconds();
    cpu = cpuSeconds();
    {
      ReadAhead reader(*source, order);
      for (std::size_t i = 0; i < order.size(); ++i) {
        const ReadAhead::Outcome outcome =
            reader.next([&bytes](const std::uint8_t*, std::size_t size) { bytes += size; });
        if (!outcome.ok) {
          std::fprintf(stderr, "%s\n", outcome.message.c_str());
          return 1;
        }
      }
    }
    read.add(wallSeconds() - wall, cpuSeconds() - cpu);
  }
  std::printf("%s: %zu entries, %zu files read (%llu bytes), best of %d rounds\n", argv[1], entries,
              files, static_cast<unsigned long long>(bytes), rounds);
  const auto show = [](const Phase& phase, std::size_t count) {
    const double per = 1e9 / static_cast<double>(std::max<std::size_t>(count, 1));
    std::printf(
        "  %-5s best %7.2f ms wall %7.2f ms CPU (%4.0f / %4.0f ns per entry);"
        " first %7.2f ms wall %7.2f ms CPU\n",
        phase.name, phase.wall * 1e3, phase.cpu * 1e3, phase.wall * per, phase.cpu * per,
        phase.firstWall * 1e3, phase.firstCpu * 1e3);
  };
  show(open, entries);
  show(read, files);
  return 0;
}
