#include "own_archive_check.h"

#include <algorithm>
#include <unordered_map>

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

}  // namespace

OwnArchiveResult checkArchiveAgainst(ByteSource& archive, const ContentDigest& digest) {
  OwnArchiveResult result;
  zip::Reader reader;
  reader.setEntryLimit(kReleaseEntriesMax,
                       "a release can hold (a full file list's files, $md5.bin and the packer's "
                       "most folders)");
  reader.setNameLimit(kEntryNameBytesMax, "a line of a list can name");
  const LegacyNameDecoder decoder = legacyNameDecoder();
  if (!(decoder ? reader.open(archive, decoder) : reader.open(archive))) {
    result.problems.push_back(reader.message());
    return result;
  }
  const std::vector<zip::Entry>& entries = reader.entries();
  std::unordered_map<std::string, std::size_t> byName;  // file name -> its first entry
  byName.reserve(entries.size());
  const bool namesRead = reader.forEachName([&](std::size_t i, std::string_view name) {
    if (!entries[i].folder && !byName.emplace(name, i).second) {
      result.problems.push_back(entryWhere(name) + " appears more than once");
    }
  });
  if (!namesRead) {
    result.problems.push_back(reader.namesLost());
    return result;
  }

  std::vector<bool> expected(entries.size(), false);  // named by a list line, or the digest
  for (const DigestedFile& listed : digest.files) {
    const std::string name = entryNameOf(listed.path);
    const std::string path = shownText(utf16ToUtf8Lenient(listed.path));
    if (name.empty()) {
      result.problems.push_back("the listed file '" + path + "' is outside the staging folder");
      continue;
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
  // digest's bytes kept to be compared.
  std::string digestRead;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const bool isDigest = stored != byName.end() && i == stored->second;
    const bool read = entries[i].folder
                          ? reader.checkLocalHeader(i)
                          : reader.readEntry(i, [&](const std::uint8_t* data, std::size_t size) {
                              if (isDigest && digestRead.size() <= kMd5DigestBytes) {
                                digestRead.append(reinterpret_cast<const char*>(data), size);
                              }
                              return true;
                            });
    if (!read) result.problems.push_back(reader.message());
    if (isDigest && read &&
        digestRead != std::string(reinterpret_cast<const char*>(digest.bytes), kMd5DigestBytes)) {
      result.problems.push_back(entryWhere(kDigestName) + " does not hold the digest " + digestHex);
    }
  }
  result.passed = result.problems.empty();
  return result;
}

bool checkOwnArchive(const ContentDigest& digest) {
  std::string error;
  const std::u16string archivePath = u"ZarvoEUupdate.zip";
  const std::unique_ptr<ByteSource> archive = platform().openToReadAtW(archivePath, &error);
  OwnArchiveResult result;
  if (archive == nullptr) {
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
