#include "own_archive_check.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "console.h"
#include "platform.h"
#include "release_format.h"
#include "shown_text.h"
#include "system_files.h"
#include "utf.h"
#include "zip_reader.h"

namespace quillet {
namespace {

// The archive's name for a first-form list line: without "FlashDrive\",
// "/" between components. Empty for a line that is not in the first form.
std::string entryNameOf(const std::u16string& line) {
  const std::u16string prefix = u"FlashDrive\\";
  if (line.compare(0, prefix.size(), prefix) != 0) return "";
  std::string name = utf16ToUtf8Lenient(line.substr(prefix.size()));
  std::replace(name.begin(), name.end(), '\\', '/');
  return name;
}

std::string entryWhere(std::string_view name) { return "entry '" + shownText(name) + "'"; }

OwnCheckReading reading;

// Opens `reader` on `archive` with the check's limits.
bool openReader(zip::Reader& reader, ByteSource& archive, const LegacyNameDecoder& decoder) {
  reader.setEntryLimit(kReleaseEntriesMax,
                       "a release can hold (a full file list's files, $md5.bin and the packer's "
                       "most folders)");
  reader.setNameLimit(kEntryNameBytesMax, "a line of a list can name");
  return reader.open(archive, decoder);
}

// What reading entries whole came to on one thread: the entries that did
// not read, with the reader's message, and the digest entry's bytes when it
// was read whole.
struct EntryReads {
  std::vector<std::pair<std::size_t, std::string>> failed;
  bool digestRead = false;
  std::string digestBytes;
};

// Reads entries `first`, `first + stride`, ... whole with `reader`: a
// folder's local header; a file's local header, data, CRC-32 and sizes.
void readEntries(zip::Reader& reader, std::size_t first, std::size_t stride,
                 std::size_t digestIndex, EntryReads& reads) {
  const std::vector<zip::Entry>& entries = reader.entries();
  for (std::size_t i = first; i < entries.size(); i += stride) {
    const bool isDigest = i == digestIndex;
    std::string bytes;
    const bool read = entries[i].folder
                          ? reader.checkLocalHeader(i)
                          : reader.readEntry(i, [&](const std::uint8_t* data, std::size_t size) {
                              if (isDigest && bytes.size() <= kMd5DigestBytes) {
                                bytes.append(reinterpret_cast<const char*>(data), size);
                              }
                              return true;
                            });
    if (!read) {
      reads.failed.emplace_back(i, reader.message());
    } else if (isDigest) {
      reads.digestRead = true;
      reads.digestBytes = std::move(bytes);
    }
  }
}

// Whether the entries' data come to `enough` bytes or more together (the
// sizes the archive declares, never added past `enough`).
bool holdAtLeast(const std::vector<zip::Entry>& entries, std::uint64_t enough) {
  std::uint64_t bytes = 0;
  for (const zip::Entry& entry : entries) {
    if (entry.size >= enough - bytes) return true;
    bytes += entry.size;
  }
  return enough == 0;
}

// Reads every entry whole into `reads`, one EntryReads per thread. When the
// entries hold enough to share, helper threads with zip readers of their
// own over the same archive take every n-th entry (n threads in all), the
// calling thread the first and every n-th after it; otherwise the calling
// thread reads them all with `reader`.
void readAllEntries(zip::Reader& reader, ByteSource& archive, const LegacyNameDecoder& decoder,
                    std::size_t digestIndex, std::vector<EntryReads>& reads) {
  std::vector<std::unique_ptr<zip::Reader>> readers;  // the helpers'
  if (reading.threads > 1 && holdAtLeast(reader.entries(), reading.splitBytes)) {
    for (unsigned h = 1; h < reading.threads; ++h) {
      auto own = std::make_unique<zip::Reader>();
      if (!openReader(*own, archive, decoder)) break;  // fewer threads share them
      readers.push_back(std::move(own));
    }
  }
  const std::size_t stride = 1 + readers.size();
  reads.assign(stride, EntryReads());
  // The helpers are joined before what they use goes, however this ends.
  struct Helpers {
    std::vector<std::thread> threads;
    ~Helpers() {
      for (std::thread& thread : threads) thread.join();
    }
  } helping;
  std::vector<std::size_t> unstarted;  // the first entries of helpers that could not start
  for (std::size_t h = 1; h < stride; ++h) {
    zip::Reader& own = *readers[h - 1];
    EntryReads& ownReads = reads[h];
    try {
      helping.threads.emplace_back([&own, h, stride, digestIndex, &ownReads] {
        platform().helperThreadStarted();
        readEntries(own, h, stride, digestIndex, ownReads);
      });
    } catch (const std::system_error&) {
      unstarted.push_back(h);
    }
  }
  readEntries(reader, 0, stride, digestIndex, reads[0]);
  for (const std::size_t first : unstarted) {
    readEntries(reader, first, stride, digestIndex, reads[0]);
  }
}

}  // namespace

OwnArchiveResult checkArchiveAgainst(ByteSource& archive, const ContentDigest& digest) {
  OwnArchiveResult result;
  zip::Reader reader;
  const LegacyNameDecoder decoder = legacyNameDecoder();
  if (!openReader(reader, archive, decoder)) {
    result.problems.push_back(reader.message());
    return result;
  }
  const std::vector<zip::Entry>& entries = reader.entries();
  std::unordered_map<std::string, std::size_t> byName;  // file name -> its first entry
  byName.reserve(entries.size());
  // A name appears once, a folder's less its "/": a folder entry twice, or
  // a folder of a file's name, cannot both be extracted.
  std::unordered_set<std::string> folders;
  const bool namesRead = reader.forEachName([&](std::size_t i, std::string_view name) {
    bool twice = false;
    if (entries[i].folder) {
      const std::string bare(name.substr(0, name.size() - 1));
      twice = byName.count(bare) != 0 || !folders.insert(bare).second;
    } else {
      twice = !byName.emplace(name, i).second || folders.count(std::string(name)) != 0;
    }
    if (twice) result.problems.push_back(entryWhere(name) + " appears more than once");
    if (entries[i].isLink()) {
      result.problems.push_back(entryWhere(name) +
                                " is a symbolic link, which is unsafe to extract");
    }
  });
  if (!namesRead) {
    result.problems.push_back(reader.namesLost());
    return result;
  }

  // A folder entry names a folder the walk scanned: one made after the
  // walk was never held against the device's rules.
  std::unordered_set<std::string> walked;
  for (const std::u16string& folder : digest.folders) walked.insert(entryNameOf(folder));
  std::vector<std::string> unwalked;
  for (const std::string& folder : folders) {
    if (walked.count(folder) == 0) unwalked.push_back(folder);
  }
  std::sort(unwalked.begin(), unwalked.end());
  for (const std::string& folder : unwalked) {
    result.problems.push_back(entryWhere(folder + "/") +
                              " is a folder that was not there when the staging folder was walked");
  }

  std::vector<bool> expected(entries.size(), false);  // named by a list line, or the digest
  for (const DigestedFile& listed : digest.files) {
    const std::string name = entryNameOf(listed.path);
    const std::string path = shownText(utf16ToUtf8Lenient(listed.path));
    if (name.empty()) {
      result.problems.push_back("the listed file '" + path + "' is outside the staging folder");
      continue;
    }
    // The walk refused a larger file; this one grew after it.
    if (listed.size > kFileBytesMax) {
      result.problems.push_back("the listed file '" + path + "' grew after the walk to " +
                                std::to_string(listed.size) +
                                " bytes; the device's FAT file system holds at most " +
                                std::to_string(kFileBytesMax) + " bytes in a file");
    }
    const auto found = byName.find(name);
    if (found == byName.end()) {
      result.problems.push_back("the listed file '" + path + "' is not in the archive");
      continue;
    }
    expected[found->second] = true;
    ++result.files;
    if (!listed.digested) continue;  // a configuration file may differ
    const zip::Entry& entry = entries[found->second];
    if (entry.size != listed.size || entry.crc32 != listed.crc32) {
      result.problems.push_back(entryWhere(name) + " holds " + std::to_string(entry.size) +
                                " bytes with CRC-32 " + hex32(entry.crc32) + ", but " +
                                std::to_string(listed.size) + " bytes with CRC-32 " +
                                hex32(listed.crc32) + " were digested");
    }
  }

  const auto stored = byName.find(kDigestName);
  const std::string digestHex = hexBytes(digest.bytes, kMd5DigestBytes);
  if (stored == byName.end()) {
    result.problems.push_back(entryWhere(kDigestName) + " is not in the archive");
  } else {
    expected[stored->second] = true;
  }
  // In name order, as a sorted table would give them.
  std::vector<std::string_view> unlisted;
  for (const auto& [name, index] : byName) {
    if (!expected[index]) unlisted.push_back(name);
  }
  std::sort(unlisted.begin(), unlisted.end());
  for (const std::string_view name : unlisted) {
    result.problems.push_back(entryWhere(name) + " is not listed");
  }

  // Every entry read whole: its local header, data, CRC-32 and sizes; the
  // digest's bytes kept to be compared. What failed is said in the
  // directory's order, however the threads shared the entries.
  const std::size_t digestIndex = stored != byName.end() ? stored->second : SIZE_MAX;
  std::vector<EntryReads> reads;
  readAllEntries(reader, archive, decoder, digestIndex, reads);
  std::vector<std::pair<std::size_t, std::string>> failed;
  bool digestRead = false;
  std::string digestBytes;
  for (EntryReads& thread : reads) {
    failed.insert(failed.end(), std::make_move_iterator(thread.failed.begin()),
                  std::make_move_iterator(thread.failed.end()));
    if (thread.digestRead) {
      digestRead = true;
      digestBytes = std::move(thread.digestBytes);
    }
  }
  std::sort(failed.begin(), failed.end());
  const bool digestWrong =
      digestRead &&
      digestBytes != std::string(reinterpret_cast<const char*>(digest.bytes), kMd5DigestBytes);
  const std::string digestProblem =
      entryWhere(kDigestName) + " does not hold the digest " + digestHex;
  bool digestSaid = false;
  for (auto& [index, message] : failed) {
    if (digestWrong && !digestSaid && index > digestIndex) {
      result.problems.push_back(digestProblem);
      digestSaid = true;
    }
    result.problems.push_back(std::move(message));
  }
  if (digestWrong && !digestSaid) result.problems.push_back(digestProblem);
  result.passed = result.problems.empty();
  return result;
}

OwnCheckReading ownCheckReading() { return reading; }

void setOwnCheckReading(const OwnCheckReading& settings) { reading = settings; }

bool checkOwnArchive(const ContentDigest& digest) {
  std::string error;
  const std::u16string archivePath = u"ZarvoEUupdate.zip";
  // (a link is refused before it is followed: what would be checked is
  // another file, which can change after the check, not the archive)
  const bool link = platform().entryKindW(archivePath) == EntryKind::kLink;
  const std::unique_ptr<ByteSource> archive =
      link ? nullptr : platform().openToReadAtW(archivePath, &error);
  OwnArchiveResult result;
  if (link) {
    result.problems.push_back("it is a link, not the archive itself");
  } else if (archive == nullptr) {
    result.problems.push_back("there is no archive (" + error + ")");
  } else {
    result = checkArchiveAgainst(*archive, digest);
  }
  if (!result.passed) {
    for (const std::string& problem : result.problems) {
      printNarrow(std::string("Checking ") + kArchiveName + ": " + problem + "\n");
    }
    return false;
  }
  printNarrow(std::string("Checked ") + kArchiveName + ": " + std::to_string(result.files) +
              " files, digest " + hexBytes(digest.bytes, kMd5DigestBytes) + "\n");
  return true;
}

}  // namespace quillet
