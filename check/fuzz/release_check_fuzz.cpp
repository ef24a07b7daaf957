// Feeds arbitrary bytes to the release check as an archive in memory, and
// renders its three reports (text, --list, --json), checking what they
// promise whatever the bytes are: each report's form, the verdict last with
// the check's exit code, no control character on the terminal, one line of
// well-formed JSON, and a passing release that matches its digest and does
// not differ from itself. Bytes holding kNewRelease are two releases, the old
// before it and the new after it, compared as `--diff` does (from files).
// Bytes that begin with kEntries are a release's files, which the target
// lays out as the packer would (their lists and digest, which the flags of
// each file may spoil), so that mutations reach the lists' matching and
// the digest past the archive's CRC-32s.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "byte_source.h"
#include "diff_report.h"
#include "list_format.h"
#include "md5.h"
#include "release_check.h"
#include "release_diff.h"
#include "report.h"
#include "utf.h"
#include "zip_writer.h"

namespace {

using namespace quillet;
using namespace quillet::check;

constexpr std::string_view kNewRelease = "=QUILLET=NEW=RELEASE=";
constexpr std::string_view kEntries = "=QUILLET=ENTRIES=";

void require(bool promise) {
  if (!promise) std::abort();
}

// Shown safely on a terminal: UTF-8 without C0 (but the line ends), DEL or C1.
bool shownSafely(std::string_view text) {
  if (!quillet::isValidUtf8(text)) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if ((c < 0x20 && c != '\n') || c == 0x7F || (c == 0xC2 && next >= 0x80 && next <= 0x9F)) {
      return false;
    }
  }
  return true;
}

std::size_t linesOf(std::string_view text) {
  std::size_t lines = 0;
  for (const char c : text) lines += c == '\n';
  return lines;
}

bool endsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// A JSON string, a value (the reports write no white space), at `at`.
bool isJsonString(std::string_view s, std::size_t& at) {
  if (at >= s.size() || s[at] != '"') return false;
  for (++at; at < s.size(); ++at) {
    const auto c = static_cast<unsigned char>(s[at]);
    if (c == '"') return ++at, true;
    if (c < 0x20) return false;
    if (c != '\\' || ++at >= s.size()) continue;
    if (s[at] == 'u') {
      for (int k = 0; k < 4; ++k) {
        if (++at >= s.size() || std::strchr("0123456789abcdefABCDEF", s[at]) == nullptr) {
          return false;
        }
      }
    } else if (std::strchr("\"\\/bfnrt", s[at]) == nullptr) {
      return false;
    }
  }
  return false;
}

bool isJsonValue(std::string_view s, std::size_t& at, int depth) {
  if (at >= s.size() || depth > 8) return false;
  const char open = s[at];
  if (open == '{' || open == '[') {
    const char close = open == '{' ? '}' : ']';
    if (++at < s.size() && s[at] == close) return ++at, true;
    for (;;) {
      if (open == '{' && !(isJsonString(s, at) && at < s.size() && s[at++] == ':')) return false;
      if (!isJsonValue(s, at, depth + 1) || at >= s.size()) return false;
      if (s[at] == close) return ++at, true;
      if (s[at++] != ',') return false;
    }
  }
  if (open == '"') return isJsonString(s, at);
  for (const std::string_view word : {"true", "false", "null"}) {
    if (s.substr(at, word.size()) == word) return at += word.size(), true;
  }
  const std::size_t digits = at;
  while (at < s.size() && s[at] >= '0' && s[at] <= '9') ++at;
  return at > digits;
}

// One JSON object on one line, ending with the exit code `code`.
void requireJsonReport(const std::string& json, int code) {
  std::size_t at = 0;
  require(isJsonValue(json, at, 0) && json[0] == '{' && at + 1 == json.size());
  require(linesOf(json) == 1 && json.back() == '\n' && quillet::isValidUtf8(json));
  require(endsWith(json, ",\"exitCode\":" + std::to_string(code) + "}\n"));
}

// The text report's last line: the verdict, with the exit code it gives.
int verdictCode(const std::string& text) {
  const std::size_t last = text.rfind('\n', text.size() - 2) + 1;  // (npos + 1: the first)
  const std::string_view line = std::string_view(text).substr(last);
  const std::size_t exit = line.rfind(" (exit ");
  require(line.substr(0, 9) == "Verdict: " && exit != std::string_view::npos &&
          endsWith(line, ")\n"));
  return std::atoi(line.data() + exit + 7);
}

void checkReports(const CheckReport& report) {
  const int code = report.exitCode();
  require(code == kExitPassed || (code >= kExitDamaged && code <= kExitDeviceCannotHold));
  int lowest = kExitPassed;
  for (const Finding& finding : report.findings) {
    if (finding.exitCode != kExitPassed && (lowest == kExitPassed || finding.exitCode < lowest)) {
      lowest = finding.exitCode;
    }
  }
  require(report.findingsLeftOut > 0 || lowest == code);
  if (code == kExitPassed) {
    require(!report.expectedDigest.empty() && report.expectedDigest == report.foundDigest);
  }

  std::string text;
  writeTextReport(report, [&text](std::string_view piece) { text += piece; });
  require(shownSafely(text) && verdictCode(text) == code);
  require(endsWith(text, std::string("Verdict: ") + verdictText(code) + " (exit " +
                             std::to_string(code) + ")\n"));
  // Five lines before the findings, one per finding, the note, the verdict.
  require(linesOf(text) == 6 + report.findings.size() + (report.findingsLeftOut > 0));

  std::string lists;
  writeTextLists(report, [&lists](std::string_view piece) { lists += piece; });
  require(shownSafely(lists) &&
          linesOf(lists) == 2 + report.fileList.size() + report.folderList.size());

  for (const bool withLists : {false, true}) {
    std::string json;
    writeJsonReport(report, withLists, [&json](std::string_view piece) { json += piece; });
    requireJsonReport(json, code);
  }
}

// A passing release compared with itself: nothing differs.
void checkSelfDiff(const CheckReport& report, ReleaseNames&& names) {
  const ReleaseFiles kept = keptOf(report, std::move(names));
  if (report.exitCode() != kExitPassed || !kept.compared) return;
  const ReleaseDiff diff = diffReleases(kept, kept);
  require(!diff.differ() && diff.unchanged == kept.files.size());
}

// After kEntries, each file is a byte of these flags, a byte of its
// name's length, its name ("/" between components), a byte of its
// contents' length and its contents.
enum : std::uint8_t {
  kUnlisted = 1,      // no line in $FileList.txt
  kListedTwice = 2,   // two lines
  kListedUpper = 4,   // its line in ASCII capitals
  kFirstForm = 8,     // its line begins with "FlashDrive\"
  kFolderEntry = 16,  // a folder entry of that name instead
  kStored = 32,       // stored, not deflated
  kWrongDigest = 64,  // $md5.bin of one byte changed
};

std::u16string unitsOf(const std::string& text) {
  if (const auto units = quillet::utf8ToUtf16(text)) return *units;
  return std::u16string(text.begin(), text.end());
}

std::string releaseOf(std::string_view bytes) {
  using quillet::zip::testing::WriterEntry;
  std::vector<WriterEntry> entries;
  std::vector<std::u16string> fileLines = {unitsOf(kFileListName), unitsOf(kFolderListName)};
  std::vector<std::u16string> folderLines;
  std::string listed;  // the listed files' contents, in list order
  bool wrongDigest = false;
  for (std::size_t at = 0; at + 2 <= bytes.size();) {
    const auto flags = static_cast<std::uint8_t>(bytes[at]);
    const std::string name(bytes.substr(at + 2, static_cast<std::uint8_t>(bytes[at + 1])));
    at += 2 + name.size();
    const std::string contents(
        at < bytes.size() ? bytes.substr(at + 1, static_cast<std::uint8_t>(bytes[at])) : "");
    at += 1 + contents.size();
    wrongDigest |= (flags & kWrongDigest) != 0;
    entries.emplace_back(name + ((flags & kFolderEntry) ? "/" : ""), contents,
                         (flags & kStored) ? 0 : 8, 0x0800);  // (names in UTF-8)
    if (flags & kFolderEntry) continue;
    std::string line = name;
    std::replace(line.begin(), line.end(), '/', '\\');
    if (line.rfind('\\') != std::string::npos) {
      const std::u16string folder = unitsOf(kStagingPrefix + line.substr(0, line.rfind('\\')));
      if (std::find(folderLines.begin(), folderLines.end(), folder) == folderLines.end()) {
        folderLines.push_back(folder);
      }
    }
    if (flags & kUnlisted) continue;
    if (flags & kListedUpper) {
      for (char& c : line) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    }
    if (flags & kFirstForm) line = kStagingPrefix + line;
    fileLines.insert(fileLines.end(), (flags & kListedTwice) ? 2 : 1, unitsOf(line));
    if (name.find(kConfigurationMark) == std::string::npos) listed += contents;
  }
  const std::string fileList = quillet::encodeList(fileLines);
  const std::string folderList = quillet::encodeList(folderLines);
  listed = fileList + folderList + listed;
  quillet::Md5Context context;
  quillet::md5Start(&context);
  quillet::md5AddBytes(&context, listed.data(), static_cast<std::uint32_t>(listed.size()));
  std::uint8_t digest[quillet::kMd5DigestBytes];
  quillet::md5Finish(digest, &context);
  digest[0] ^= wrongDigest ? 1 : 0;
  entries.insert(entries.begin(),
                 {WriterEntry(kFileListName, fileList), WriterEntry(kFolderListName, folderList),
                  WriterEntry(kDigestName, std::string(digest, digest + sizeof digest), 0)});
  return quillet::zip::testing::writeZip(entries).bytes;
}

// The archive of a release: the bytes themselves, or the release laid out
// from the files after kEntries.
std::string archiveOf(std::string_view bytes) {
  if (bytes.substr(0, kEntries.size()) != kEntries) return std::string(bytes);
  return releaseOf(bytes.substr(kEntries.size()));
}

// A folder of its own for the releases --diff reads as files.
struct ScratchFolder {
  std::string path =
      (std::filesystem::temp_directory_path() / "quillet-check-fuzz-XXXXXX").string();
  ScratchFolder() { require(mkdtemp(path.data()) != nullptr); }
  ~ScratchFolder() { std::filesystem::remove_all(path); }
  std::string saved(const char* name, std::string_view bytes) const {
    const std::string file = path + "/" + name;
    std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<long>(bytes.size()));
    return file;
  }
};

void checkDiff(std::string_view before, std::string_view after) {
  const ScratchFolder folder;
  const DiffRequest request{folder.saved("old.zip", before), folder.saved("new.zip", after), false,
                            true};
  std::string text;
  const int textCode = diffPaths(request, [&text](std::string_view piece) { text += piece; });
  require(textCode == kExitPassed || (textCode >= kExitDamaged && textCode <= kExitReleasesDiffer));
  require(shownSafely(text) && verdictCode(text) == textCode);
  require(before != after || textCode != kExitReleasesDiffer);

  std::string json;
  const int jsonCode = diffPaths(DiffRequest{request.oldPath, request.newPath, true, false},
                                 [&json](std::string_view piece) { json += piece; });
  require(jsonCode == (textCode == kExitReleasesDiffer ? kExitPassed : textCode));
  requireJsonReport(json, jsonCode);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::size_t split = bytes.find(kNewRelease);
  if (split != std::string_view::npos) {
    checkDiff(archiveOf(bytes.substr(0, split)),
              archiveOf(bytes.substr(split + kNewRelease.size())));
    return 0;
  }

  SourceFailure failure = SourceFailure::kNone;
  std::string message;
  std::shared_ptr<ReleaseSource> source = openArchiveRelease(
      std::make_unique<quillet::MemorySource>(archiveOf(bytes)), "fuzz.zip", &failure, &message);
  if (source == nullptr) {
    require(failure != SourceFailure::kNone && !message.empty());
    return 0;
  }
  std::uint64_t done = 0;
  ReleaseNames names;
  const CheckReport report = checkRelease(
      source, "fuzz.zip",
      [&done](std::uint64_t now, std::uint64_t total) {
        require(now >= done && now <= total);
        done = now;
      },
      &names);
  checkReports(report);
  checkSelfDiff(report, std::move(names));
  return 0;
}
