// The release check. Divisions of this file:
//   1. Name rules (pure).
//   2. The report.
//   3. The check itself, step by step: the entries, the top-level files, the
//      two lists, the file lines, the folder lines, the digest, the rest of
//      the contents.
#include "release_check.h"

#include <algorithm>
#include <map>
#include <set>

#include "list_format.h"
#include "md5.h"
#include "utf.h"

namespace quillet::check {

// --- 1. Name rules.

namespace {

std::vector<std::string> components(const std::string& name) {
  std::vector<std::string> parts(1);
  for (char c : name) {
    if (c == '/' || c == '\\') {
      parts.emplace_back();
    } else {
      parts.back().push_back(c);
    }
  }
  return parts;
}

// ASCII letters folded to lower case, as the device's FAT file system
// compares names.
std::string folded(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string hex(const std::uint8_t* bytes, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return text;
}

std::string quoted(const std::string& name) { return "'" + name + "'"; }
std::string entryWhere(const std::string& name) { return "entry " + quoted(name); }
std::string lineWhere(const char* list, std::uint32_t line) {
  return std::string(list) + " line " + std::to_string(line);
}

// The folder that holds `name` ("" for the top level), without its "/".
std::string parentOf(const std::string& name) {
  const std::string trimmed =
      !name.empty() && name.back() == '/' ? name.substr(0, name.size() - 1) : name;
  const std::size_t slash = trimmed.rfind('/');
  return slash == std::string::npos ? std::string() : trimmed.substr(0, slash);
}

}  // namespace

bool isUnsafeName(const std::string& name) {
  if (name.empty() || name[0] == '/' || name[0] == '\\') return true;
  if (name.size() >= 2 && name[1] == ':' &&
      ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'))) {
    return true;
  }
  for (const std::string& part : components(name)) {
    if (part == "..") return true;
  }
  return false;
}

std::string fatProblem(const std::string& name) {
  std::vector<std::string> parts = components(name);
  if (!parts.empty() && parts.back().empty()) parts.pop_back();  // a folder's trailing "/"
  for (const std::string& part : parts) {
    for (char c : part) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte < 0x20 || byte == 0x7F) return "holds a control character";
      if (std::string("<>:\"|?*").find(c) != std::string::npos) {
        return std::string("holds '") + c + "'";
      }
    }
    if (!part.empty() && (part.back() == '.' || part.back() == ' ')) {
      return "has a component ending in a dot or a space";
    }
  }
  return "";
}

// --- 2. The report.

int CheckReport::exitCode() const {
  int code = kExitPassed;
  for (const Finding& finding : findings) {
    if (finding.severity != Severity::kError) continue;
    if (code == kExitPassed || finding.exitCode < code) code = finding.exitCode;
  }
  return code;
}

void CheckReport::warn(std::string where, std::string message) {
  findings.push_back(Finding{Severity::kWarning, 0, std::move(where), std::move(message)});
}

void CheckReport::fail(int exitCode, std::string where, std::string message) {
  findings.push_back(Finding{Severity::kError, exitCode, std::move(where), std::move(message)});
}

// --- 3. The check.

namespace {

// Bytes of content between two progress calls at most.
constexpr std::uint64_t kProgressStepBytes = 4u << 20;

class Checker {
 public:
  Checker(ReleaseSource& source, CheckReport& report, const Progress& progress)
      : source_(source), report_(report), progress_(progress) {}

  void run() {
    surveyEntries();
    if (report_.exitCode() == kExitDamaged) return;  // nothing from it is to be trusted
    const int fileList = topLevel(kFileListName, kExitMalformedLists);
    const int folderList = topLevel(kFolderListName, kExitMalformedLists);
    digestIndex_ = topLevel(kDigestName, kExitDigestMismatch);
    std::vector<std::u16string> fileLines;
    std::vector<std::u16string> folderLines;
    const bool filesDecoded = fileList >= 0 && decodeList(fileList, kFileListName, &fileLines);
    const bool foldersDecoded =
        folderList >= 0 && decodeList(folderList, kFolderListName, &folderLines);
    readExpectedDigest();
    std::vector<int> listed;
    if (filesDecoded) listed = matchFileLines(fileLines);
    if (foldersDecoded) matchFolderLines(folderLines);
    if (filesDecoded) digestListedFiles(fileLines, listed);
    readTheRest();
  }

 private:
  // Every entry: counts, name rules, the maps the lines are matched with.
  void surveyEntries() {
    const std::vector<ReleaseEntry>& entries = source_.entries();
    std::set<std::string> seen;
    if (source_.usesZip64()) report_.warn("", "the archive uses Zip64 records");
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const ReleaseEntry& entry = entries[i];
      const std::string& name = entry.name;
      const std::string where = entryWhere(name);
      if (!seen.insert(name).second) {
        report_.fail(kExitDamaged, where, "appears more than once");
        continue;
      }
      if (isUnsafeName(name)) {
        report_.fail(
            kExitDamaged, where,
            "is unsafe to extract (a \"..\" component, an absolute name or a drive letter)");
        continue;
      }
      // An ASCII name reads the same in every code page; only others are at risk.
      const bool ascii = std::all_of(entry.rawName.begin(), entry.rawName.end(),
                                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
      if (entry.legacyName && !ascii) {
        report_.warn(where, "has its name stored in a legacy code page");
      }
      if (entry.zip64) report_.warn(where, "has Zip64 sizes or offset");
      const std::string fat = fatProblem(name);
      if (!fat.empty()) report_.warn(where, fat + ", which the device's file system cannot hold");
      const std::size_t pathBytes = name.size() - (entry.folder ? 1 : 0);
      if (pathBytes > kDevicePathBytesMax) {
        report_.warn(where, "is longer than " + std::to_string(kDevicePathBytesMax) + " bytes");
      }
      // Every folder on the way to the entry is a folder of the release,
      // whether or not the archive holds an entry for it.
      const std::string parent = parentOf(name);
      if (!parent.empty()) nonEmptyFolders_.insert(parent);
      for (std::string up = parent; !up.empty(); up = parentOf(up)) folders_.insert(up);
      if (entry.folder) {
        folders_.insert(name.substr(0, name.size() - 1));
        continue;
      }
      if (!entry.readable) {
        report_.warn(where, "is neither a file nor a folder; it is not checked");
        continue;
      }
      ++report_.files;
      report_.bytes += entry.size;
      totalBytes_ += entry.size;
      files_[name] = static_cast<int>(i);
      filesFolded_[folded(name)].push_back(static_cast<int>(i));
    }
    for (const std::string& folder : folders_) foldersFolded_[folded(folder)].push_back(folder);
    report_.folders = folders_.size();
    read_.assign(entries.size(), false);
  }

  // The index of the file `name` at the top level; a name that matches only
  // when case is ignored is used, with a warning. -1 (after an error with
  // `exitCode`) when there is none.
  int topLevel(const char* name, int exitCode) {
    const int index = findFile(name, entryWhere(name));
    if (index < 0)
      report_.fail(exitCode, entryWhere(name), "is missing from the release's top level");
    return index;
  }

  // A file of the release by name, or -1.
  int findFile(const std::string& name, const std::string& where) {
    const auto exact = files_.find(name);
    if (exact != files_.end()) return exact->second;
    const auto loose = filesFolded_.find(folded(name));
    if (loose == filesFolded_.end()) return -1;
    const int index = loose->second.front();
    report_.warn(where, "matches " + entryWhere(source_.entries()[index].name) +
                            " only when case is ignored (the device's file system would find it)");
    return index;
  }

  // Reads entry `index` through `sink`; a failure is reported as an error.
  bool readEntry(int index, const ReleaseSource::Sink& sink) {
    const ReleaseEntry& entry = source_.entries()[index];
    const bool ok = source_.read(static_cast<std::size_t>(index),
                                 [&](const std::uint8_t* data, std::size_t size) {
                                   doneBytes_ += size;
                                   reportProgress();
                                   return sink(data, size);
                                 });
    if (!ok && source_.failure() != SourceFailure::kStopped) {
      report_.fail(kExitDamaged, entryWhere(entry.name), source_.message());
      read_[index] = true;  // said once is enough
      return false;
    }
    if (ok) read_[index] = true;
    return ok;
  }

  void reportProgress() {
    if (progress_ && doneBytes_ - lastProgress_ >= kProgressStepBytes) {
      lastProgress_ = doneBytes_;
      progress_(doneBytes_, totalBytes_);
    }
  }

  bool decodeList(int index, const char* listName, std::vector<std::u16string>* lines) {
    ListDecoder decoder(ListDecoder::Mode::kStrict);
    const auto keep = [lines](std::u16string_view line, std::uint32_t) {
      lines->emplace_back(line);
      return true;
    };
    bool malformed = false;
    const bool read = readEntry(index, [&](const std::uint8_t* data, std::size_t size) {
      if (decoder.feed(data, size, keep)) return true;
      malformed = true;
      return false;
    });
    if (!read && !malformed) return false;  // damaged: already said
    if (malformed || !decoder.finish()) {
      const std::string where = decoder.faultLine() > 0 ? lineWhere(listName, decoder.faultLine())
                                                        : std::string(listName);
      report_.fail(kExitMalformedLists, where, std::string(listName) + " " + decoder.message());
      return false;
    }
    std::vector<std::string>& text =
        std::string(listName) == kFileListName ? report_.fileList : report_.folderList;
    for (std::size_t i = 0; i < lines->size(); ++i) {
      const std::optional<std::string> utf8 = utf16ToUtf8((*lines)[i]);
      if (!utf8) {
        report_.fail(kExitMalformedLists, lineWhere(listName, static_cast<std::uint32_t>(i + 1)),
                     "holds an unpaired surrogate (not valid UTF-16)");
        text.clear();
        return false;
      }
      text.push_back(*utf8);
    }
    return true;
  }

  void readExpectedDigest() {
    if (digestIndex_ < 0) return;
    const ReleaseEntry& entry = source_.entries()[digestIndex_];
    if (entry.size != kMd5DigestBytes) {
      report_.fail(kExitDigestMismatch, entryWhere(entry.name),
                   "holds " + std::to_string(entry.size) + " bytes instead of " +
                       std::to_string(kMd5DigestBytes));
      return;
    }
    std::string bytes;
    const bool ok = readEntry(digestIndex_, [&bytes](const std::uint8_t* data, std::size_t size) {
      if (bytes.size() + size > kMd5DigestBytes) return false;
      bytes.append(reinterpret_cast<const char*>(data), size);
      return true;
    });
    if (ok && bytes.size() == kMd5DigestBytes) {
      report_.expectedDigest =
          hex(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    } else if (ok || source_.failure() == SourceFailure::kStopped) {
      report_.fail(kExitDigestMismatch, entryWhere(entry.name), "does not hold 16 bytes");
    }
  }

  // Each file line names a file of the release, once; every file is listed
  // but $md5.bin. Returns the entry of each line (-1 when it names none).
  std::vector<int> matchFileLines(const std::vector<std::u16string>& lines) {
    report_.listedFiles = lines.size();
    std::vector<int> listed(lines.size(), -1);
    std::map<int, std::uint32_t> lineOf;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const auto number = static_cast<std::uint32_t>(i + 1);
      const std::string where = lineWhere(kFileListName, number);
      std::string name = report_.fileList[i];
      std::replace(name.begin(), name.end(), '\\', '/');
      const int index = findFile(name, where);
      if (index < 0) {
        const std::string what = folders_.count(name) != 0 ? "a folder" : "nothing";
        report_.fail(
            kExitListsDisagree, where,
            "names " + quoted(report_.fileList[i]) + ", which is " + what + " in the release");
        continue;
      }
      const auto [at, fresh] = lineOf.emplace(index, number);
      if (!fresh) {
        report_.fail(kExitListsDisagree, where, "repeats " + lineWhere(kFileListName, at->second));
        continue;
      }
      listed[i] = index;
    }
    for (const auto& [name, index] : files_) {
      if (index == digestIndex_ || lineOf.count(index) != 0) continue;
      report_.fail(kExitListsDisagree, entryWhere(name), "is not listed in $FileList.txt");
    }
    return listed;
  }

  // The folder lines name exactly the folders that hold an entry.
  void matchFolderLines(const std::vector<std::u16string>& lines) {
    report_.folderLines = lines.size();
    const std::string prefix = "FlashDrive\\";
    std::set<std::string> named;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const std::string where = lineWhere(kFolderListName, static_cast<std::uint32_t>(i + 1));
      const std::string& text = report_.folderList[i];
      if (text.compare(0, prefix.size(), prefix) != 0) {
        report_.fail(kExitMalformedLists, where,
                     quoted(text) + " does not begin with " + quoted(prefix));
        continue;
      }
      std::string name = text.substr(prefix.size());
      std::replace(name.begin(), name.end(), '\\', '/');
      if (nonEmptyFolders_.count(name) == 0) {
        const auto loose = foldersFolded_.find(folded(name));
        if (loose != foldersFolded_.end() && nonEmptyFolders_.count(loose->second.front()) != 0) {
          report_.warn(where, "matches folder " + quoted(loose->second.front()) +
                                  " only when case is ignored (the device's file system would "
                                  "find it)");
          name = loose->second.front();
        } else {
          const std::string what =
              folders_.count(name) != 0 ? "a folder that holds no entry" : "no folder";
          report_.fail(kExitListsDisagree, where, "names " + quoted(text) + ", which is " + what);
          continue;
        }
      }
      named.insert(name);
    }
    for (const std::string& folder : nonEmptyFolders_) {
      if (named.count(folder) == 0) {
        report_.fail(kExitListsDisagree, "folder " + quoted(folder),
                     "holds entries but has no line in $FolderList.txt");
      }
    }
  }

  // MD5 over the listed files in list order, leaving out configuration lines.
  void digestListedFiles(const std::vector<std::u16string>& lines, const std::vector<int>& listed) {
    Md5Context context;
    md5Start(&context);
    bool complete = true;
    const std::u16string mark = utf8ToUtf16(kConfigurationMark).value();
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].find(mark) != std::u16string::npos) continue;
      if (listed[i] < 0) {
        complete = false;
        continue;
      }
      const bool ok = readEntry(listed[i], [&context](const std::uint8_t* data, std::size_t size) {
        md5AddBytes(&context, data, static_cast<std::uint32_t>(size));
        return true;
      });
      if (!ok) complete = false;
    }
    std::uint8_t digest[kMd5DigestBytes];
    md5Finish(digest, &context);
    if (!complete) return;  // what is missing has been said
    report_.foundDigest = hex(digest, sizeof digest);
    if (!report_.expectedDigest.empty() && report_.expectedDigest != report_.foundDigest) {
      report_.fail(kExitDigestMismatch, entryWhere(kDigestName),
                   "holds " + report_.expectedDigest + " but the listed files digest to " +
                       report_.foundDigest);
    }
  }

  // Every entry not read yet is read once, so its CRC and local header are
  // checked too.
  void readTheRest() {
    const std::vector<ReleaseEntry>& entries = source_.entries();
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (read_[i] || !entries[i].readable) continue;
      readEntry(static_cast<int>(i), [](const std::uint8_t*, std::size_t) { return true; });
    }
  }

  ReleaseSource& source_;
  CheckReport& report_;
  const Progress& progress_;
  std::map<std::string, int> files_;                     // file name -> entry
  std::map<std::string, std::vector<int>> filesFolded_;  // folded name -> entries
  std::set<std::string> folders_;                        // every folder, no "/"
  std::set<std::string> nonEmptyFolders_;                // folders holding an entry
  std::map<std::string, std::vector<std::string>> foldersFolded_;
  std::vector<bool> read_;  // entries read already
  int digestIndex_ = -1;
  std::uint64_t totalBytes_ = 0;
  std::uint64_t doneBytes_ = 0;
  std::uint64_t lastProgress_ = 0;
};

}  // namespace

CheckReport checkRelease(ReleaseSource& source, const std::string& path, const Progress& progress) {
  CheckReport report;
  report.path = path;
  report.source = source.kind();
  Checker(source, report, progress).run();
  return report;
}

CheckReport checkPath(const std::string& path, const Progress& progress) {
  SourceFailure failure = SourceFailure::kNone;
  std::string message;
  const std::unique_ptr<ReleaseSource> source = openRelease(path, &failure, &message);
  if (source == nullptr) {
    CheckReport report;
    report.path = path;
    report.source = "archive";
    report.fail(kExitDamaged, "", message);
    return report;
  }
  return checkRelease(*source, path, progress);
}

}  // namespace quillet::check
