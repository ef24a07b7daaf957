#include "own_archive_check.h"

#include <zlib.h>

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "console.h"
#include "md5.h"
#include "release_format.h"
#include "system_files.h"
#include "utf.h"
#include "zip_reader.h"

namespace quillet::check {
namespace {

// The archive's bytes, as the zip reader reads them.
class FileSource final : public zip::ByteSource {
 public:
  explicit FileSource(std::unique_ptr<InputFile> file) : file_(std::move(file)) {}
  std::uint64_t size() const override { return file_->size(); }
  bool readAt(std::uint64_t offset, void* buffer, std::size_t size) override {
    return file_->readAt(offset, buffer, size);
  }

 private:
  std::unique_ptr<InputFile> file_;
};

std::string hexBytes(const std::uint8_t* bytes, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return text;
}

constexpr char kArchiveName[] = "ZarvoEUupdate.zip";
constexpr char16_t kStagingPrefix[] = u"FlashDrive\\";
constexpr char kDigestEntry[] = "$md5.bin";

// The archive's name for a first-form list line: without "FlashDrive\",
// "/" between components. Empty for a line that is not in the first form.
std::string entryNameOf(const std::u16string& line) {
  const std::u16string prefix = kStagingPrefix;
  if (line.compare(0, prefix.size(), prefix) != 0) return "";
  std::string name = utf16ToUtf8Lenient(line.substr(prefix.size()));
  for (char& c : name) c = c == '\\' ? '/' : c;
  return name;
}

std::string crcText(std::uint32_t crc) {
  const std::uint8_t bytes[4] = {
      static_cast<std::uint8_t>(crc >> 24), static_cast<std::uint8_t>(crc >> 16),
      static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc)};
  return hexBytes(bytes, 4);
}

}  // namespace

OwnArchiveResult checkArchiveAgainst(const std::string& path,
                                     const std::vector<DigestedFile>& files,
                                     const std::uint8_t* digest) {
  OwnArchiveResult result;
  std::string error;
  std::unique_ptr<InputFile> file = openInputFile(path, &error);
  if (file == nullptr) {
    result.problems.push_back("there is no archive (" + error + ")");
    return result;
  }
  FileSource bytes(std::move(file));
  zip::Reader reader;
  reader.setEntryLimit(kReleaseEntriesMax,
                       "a release can hold (a full file list's files, $md5.bin and the packer's "
                       "most folders)");
  reader.setNameLimit(kEntryNameBytesMax, "a line of a list can name");
  const LegacyNameDecoder decoder = quillet::legacyNameDecoder();
  if (!(decoder ? reader.open(bytes, decoder) : reader.open(bytes))) {
    result.problems.push_back(reader.message());
    return result;
  }
  // The names stay in the reader's entries: a release of many long names
  // is not held again in the tables.
  const std::vector<zip::Entry>& entries = reader.entries();
  std::unordered_map<std::string_view, std::size_t> byName;  // file name -> its first entry
  byName.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (!reader.checkLocalHeader(i)) result.problems.push_back(reader.message());
    if (!entries[i].isFolder() && !byName.emplace(entries[i].name, i).second) {
      result.problems.push_back("entry '" + std::string(entries[i].name) +
                                "' appears more than once");
    }
  }

  std::vector<bool> expected(entries.size(), false);  // named by a list line, or the digest
  for (const DigestedFile& listed : files) {
    const std::string name = entryNameOf(listed.path);
    if (name.empty()) {
      result.problems.push_back("the listed file '" + utf16ToUtf8Lenient(listed.path) +
                                "' is outside the staging folder");
      continue;
    }
    const auto found = byName.find(name);
    if (found == byName.end()) {
      result.problems.push_back("the listed file '" + utf16ToUtf8Lenient(listed.path) +
                                "' is not in the archive");
      continue;
    }
    expected[found->second] = true;
    ++result.files;
    if (!listed.digested) continue;  // a configuration file may differ
    const zip::Entry& entry = entries[found->second];
    if (entry.size != listed.size || entry.crc32 != listed.crc32) {
      result.problems.push_back("entry '" + name + "' holds " + std::to_string(entry.size) +
                                " bytes with CRC-32 " + crcText(entry.crc32) + ", but " +
                                std::to_string(listed.size) + " bytes with CRC-32 " +
                                crcText(listed.crc32) + " were digested");
    }
  }

  const auto stored = byName.find(kDigestEntry);
  if (stored != byName.end()) expected[stored->second] = true;
  const auto digestCrc =
      static_cast<std::uint32_t>(::crc32(0L, digest, static_cast<uInt>(kMd5DigestBytes)));
  if (stored == byName.end()) {
    result.problems.push_back(std::string("entry '") + kDigestEntry + "' is not in the archive");
  } else if (entries[stored->second].size != kMd5DigestBytes ||
             entries[stored->second].crc32 != digestCrc) {
    result.problems.push_back(std::string("entry '") + kDigestEntry +
                              "' does not hold the digest " + hexBytes(digest, kMd5DigestBytes));
  }
  // In name order, as a sorted table would give them.
  std::vector<std::string_view> unlisted;
  for (const auto& [name, index] : byName) {
    if (!expected[index]) unlisted.push_back(name);
  }
  std::sort(unlisted.begin(), unlisted.end());
  for (const std::string_view name : unlisted) {
    result.problems.push_back("entry '" + std::string(name) + "' is not listed");
  }
  result.passed = result.problems.empty();
  return result;
}

bool checkOwnArchive() {
  const std::uint8_t* digest = calculateMd5_Digest();
  const OwnArchiveResult result = checkArchiveAgainst(kArchiveName, calculateMd5_Files(), digest);
  if (!result.passed) {
    for (const std::string& problem : result.problems) {
      printNarrow(std::string("Checking ") + kArchiveName + ": " + problem + "\n");
    }
    return false;
  }
  printNarrow(std::string("Checked ") + kArchiveName + ": " + std::to_string(result.files) +
              " files, digest " + hexBytes(digest, kMd5DigestBytes) + "\n");
  return true;
}

}  // namespace quillet::check
