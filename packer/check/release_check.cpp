// The release check. Divisions of this file:
//   1. Helpers of the check (the name rules are in name_rules.cpp, the name
//      tables in name_index.h and file_names.h, reading a list in
//      list_read.cpp, the second thread that reads entries ahead in
//      entry_read_ahead.h, the findings and their verdict in report.cpp).
//   2. The check itself, step by step: the entries, the top-level files, the
//      two lists, the file lines, the folder lines, the digest, the rest of
//      the contents.
#include "release_check.h"

#include <algorithm>
#include <map>
#include <set>
#include <string_view>
#include <thread>

#include "entry_read_ahead.h"
#include "file_names.h"
#include "list_format.h"
#include "list_read.h"
#include "md5.h"
#include "name_index.h"
#include "report.h"
#include "utf.h"

namespace quillet::check {

// --- 1. Helpers of the check.

namespace {

// ASCII letters folded to lower case, as the device's FAT file system
// compares names.
std::string folded(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string quoted(std::string_view name) { return "'" + std::string(name) + "'"; }
std::string entryWhere(std::string_view name) { return "entry " + quoted(name); }
std::string lineWhere(const char* list, std::uint32_t line) {
  return std::string(list) + " line " + std::to_string(line);
}

// The folder that holds `name` ("" for the top level), without its "/".
std::string_view parentOf(std::string_view name) {
  if (!name.empty() && name.back() == '/') name.remove_suffix(1);
  const std::size_t slash = name.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : name.substr(0, slash);
}

}  // namespace

// --- 2. The check.

namespace {

// Bytes of content between two progress calls at most.
constexpr std::uint64_t kProgressStepBytes = 4u << 20;

class Checker {
 public:
  Checker(ReleaseSource& source, CheckReport& report, const Progress& progress)
      : source_(source), report_(report), progress_(progress) {}

  void run() {
    // The lists are read and decoded on a second thread while this one
    // surveys the entries: the survey decides which entries they are, so
    // the entries that will be are taken now and the results kept only when
    // they are the ones.
    ListRead files;
    ListRead folders;
    files.index = exactTopLevel(source_.entries(), kFileListName);
    folders.index = exactTopLevel(source_.entries(), kFolderListName);
    std::thread lists([&] {
      if (files.index >= 0) readList(source_, files, &files_.exact());
      if (folders.index >= 0) readList(source_, folders, nullptr);
    });
    surveyEntries();
    lists.join();
    if (report_.exitCode() == kExitDamaged) return;  // nothing from it is to be trusted
    const int fileList = topLevel(kFileListName, kExitMalformedLists);
    const int folderList = topLevel(kFolderListName, kExitMalformedLists);
    digestIndex_ = topLevel(kDigestName, kExitDigestMismatch);
    const bool filesDecoded =
        fileList >= 0 && takeList(files, fileList, kFileListName, report_.fileList);
    const bool foldersDecoded =
        folderList >= 0 && takeList(folders, folderList, kFolderListName, report_.folderList);
    readExpectedDigest();
    std::vector<int> listed;
    if (filesDecoded) listed = matchFileLines(files.hashes);
    if (foldersDecoded) matchFolderLines();
    if (filesDecoded) digestListedFiles(listed);
    readTheRest();
  }

 private:
  // Every entry: counts, name rules, the maps the lines are matched with.
  void surveyEntries() {
    const std::vector<ReleaseEntry>& entries = source_.entries();
    // Folder entries met so far.
    NameIndex folderEntries(entries, NameIndex::Compare::kExact);
    std::string_view lastParent;  // the folder of the entry before
    if (source_.usesZip64()) report_.warn("", "the archive uses Zip64 records");
    // The tables' slots for the entries ahead are fetched while one is
    // surveyed: their names' hashes wait in a ring.
    constexpr std::size_t kAhead = 8;
    std::uint32_t exactHashes[kAhead];
    std::uint32_t foldedHashes[kAhead];
    const auto hashAhead = [&](std::size_t at) {
      exactHashes[at % kAhead] = files_.exact().hashOf(entries[at].name);
      foldedHashes[at % kAhead] = files_.folded().hashOf(entries[at].name);
      files_.exact().prefetch(exactHashes[at % kAhead], 0);
      files_.folded().prefetch(foldedHashes[at % kAhead], 0);
    };
    for (std::size_t at = 0; at < kAhead && at < entries.size(); ++at) hashAhead(at);
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const std::uint32_t exactHash = exactHashes[i % kAhead];
      const std::uint32_t foldedHash = foldedHashes[i % kAhead];
      if (i + kAhead < entries.size()) hashAhead(i + kAhead);
      const ReleaseEntry& entry = entries[i];
      const std::string_view name = entry.name;
      const auto index = static_cast<int>(i);
      // Files go into the name table here, once: a second entry of the same
      // name would overwrite the first on extraction.
      const bool fresh = entry.folder     ? folderEntries.insert(index) < 0
                         : entry.readable ? files_.exact().insert(index, exactHash) < 0
                                          : true;
      // Where a problem with the entry is said; built only then.
      const auto where = [&name] { return entryWhere(name); };
      if (!fresh) {
        report_.fail(kExitDamaged, where(), "appears more than once");
        continue;
      }
      if (isUnsafeName(name)) {
        report_.fail(
            kExitDamaged, where(),
            "is unsafe to extract (a \"..\" component, an absolute name or a drive letter)");
        continue;
      }
      if (entry.legacyName) {
        report_.warn(where(), "has its name stored in a legacy code page");
      }
      if (entry.zip64) report_.warn(where(), "has Zip64 sizes or offset");
      const std::string fat = fatProblem(name);
      if (!fat.empty()) report_.warn(where(), fat + ", which the device's file system cannot hold");
      const std::size_t pathBytes = name.size() - (entry.folder ? 1 : 0);
      if (pathBytes > kDevicePathBytesMax) {
        report_.warn(where(), "is longer than " + std::to_string(kDevicePathBytesMax) + " bytes");
      }
      // Every folder on the way to the entry is a folder of the release,
      // whether or not the archive holds an entry for it.
      const std::string_view parent = parentOf(name);
      // A folder met before has had its own folders above it recorded (the
      // entry before's folder most often).
      if (!parent.empty() && parent != lastParent &&
          nonEmptyFolders_.insert(std::string(parent)).second) {
        for (std::string_view up = parent; !up.empty(); up = parentOf(up)) {
          folders_.insert(std::string(up));
        }
      }
      lastParent = parent;
      if (entry.folder) {
        folders_.insert(std::string(name.substr(0, name.size() - 1)));
        continue;
      }
      if (!entry.readable) {
        report_.warn(where(), "is neither a file nor a folder; it is not checked");
        continue;
      }
      ++report_.files;
      report_.bytes += entry.size;
      totalBytes_ += entry.size;
      const int first = files_.folded().insert(index, foldedHash);
      if (first >= 0) {
        report_.warn(where(), "differs only in case from " + entryWhere(entries[first].name) +
                                  "; the device's file system cannot hold both");
      }
    }
    for (const std::string& folder : folders_) foldersFolded_[folded(folder)].push_back(folder);
    report_.folders = folders_.size();
    read_.assign(entries.size(), false);
  }

  // The index of the file `name` at the top level; a name that matches only
  // when case is ignored is used, with a warning. -1 (after an error with
  // `exitCode`) when there is none.
  int topLevel(const char* name, int exitCode) {
    bool loose = false;
    const int index = files_.find(name, &loose);
    if (loose) warnLoose(entryWhere(name), index);
    if (index < 0)
      report_.fail(exitCode, entryWhere(name), "is missing from the release's top level");
    return index;
  }

  void warnLoose(const std::string& where, int index) {
    report_.warn(where, "matches " + entryWhere(source_.entries()[index].name) +
                            " only when case is ignored (the device's file system would find it)");
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

  // Says how reading the list in entry `index` ended (reading it now when
  // the second thread read another entry) and hands over its lines. True
  // when it decoded.
  bool takeList(ListRead& list, int index, const char* listName, TextLines& text) {
    if (list.index != index) {
      list = ListRead();
      list.index = index;
      readList(source_, list, std::string(listName) == kFileListName ? &files_.exact() : nullptr);
    }
    doneBytes_ += list.bytes;
    reportProgress();
    if (list.damaged) {
      report_.fail(kExitDamaged, entryWhere(source_.entries()[index].name), list.problem);
      read_[index] = true;  // said once is enough
      return false;
    }
    if (list.read) read_[index] = true;
    if (list.notUtf16 != 0) {
      report_.fail(kExitMalformedLists, lineWhere(listName, list.notUtf16),
                   std::string(listName) + " holds an unpaired surrogate (not valid UTF-16)");
      return false;
    }
    if (list.malformed) {
      const std::string where =
          list.faultLine > 0 ? lineWhere(listName, list.faultLine) : std::string(listName);
      report_.fail(kExitMalformedLists, where, std::string(listName) + " " + list.problem);
      return false;
    }
    text = std::move(list.lines);
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
          hexBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    } else if (ok || source_.failure() == SourceFailure::kStopped) {
      report_.fail(kExitDigestMismatch, entryWhere(entry.name), "does not hold 16 bytes");
    }
  }

  // Each file line names a file of the release, once; every file is listed
  // but $md5.bin. Returns the entry of each line (-1 when it names none).
  std::vector<int> matchFileLines(const std::vector<std::uint32_t>& hashes) {
    const TextLines& lines = report_.fileList;
    const std::vector<ReleaseEntry>& entries = source_.entries();
    report_.listedFiles = lines.size();
    std::vector<int> listed(lines.size(), -1);
    std::vector<std::uint32_t> lineOf(entries.size(), 0);  // the first line naming each entry
    const std::string_view staging = "FlashDrive/";
    std::vector<int> found;
    std::vector<std::uint8_t> loose;
    files_.findLines(lines, hashes, &found, &loose);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const auto number = static_cast<std::uint32_t>(i + 1);
      const auto where = [number] { return lineWhere(kFileListName, number); };
      const int index = found[i];
      if (loose[i] != 0) warnLoose(where(), index);
      if (index < 0) {
        std::string name(lines[i]);
        std::replace(name.begin(), name.end(), '\\', '/');
        if (std::string_view(name).substr(0, staging.size()) == staging &&
            files_.exact().find(std::string_view(name).substr(staging.size())) >= 0) {
          report_.fail(kExitMalformedLists, where(),
                       quoted(lines[i]) +
                           " is in the walk's form; the file list must be in its second form, "
                           "without 'FlashDrive\\'");
          continue;
        }
        const std::string what = folders_.count(name) != 0 ? "a folder" : "nothing";
        report_.fail(kExitListsDisagree, where(),
                     "names " + quoted(lines[i]) + ", which is " + what + " in the release");
        continue;
      }
      if (lineOf[index] != 0) {
        report_.fail(kExitListsDisagree, where(),
                     "repeats " + lineWhere(kFileListName, lineOf[index]));
        continue;
      }
      lineOf[index] = number;
      listed[i] = index;
    }
    // In the release's own order. The survey let no file name stand twice,
    // so each file is the entry its name finds.
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const ReleaseEntry& entry = entries[i];
      if (entry.folder || !entry.readable) continue;
      if (static_cast<int>(i) == digestIndex_ || lineOf[i] != 0) continue;
      report_.fail(kExitListsDisagree, entryWhere(entry.name), "is not listed in $FileList.txt");
    }
    return listed;
  }

  // The folder lines name exactly the folders that hold an entry.
  void matchFolderLines() {
    const TextLines& lines = report_.folderList;
    report_.folderLines = lines.size();
    const std::string prefix = "FlashDrive\\";
    std::set<std::string> named;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const std::string where = lineWhere(kFolderListName, static_cast<std::uint32_t>(i + 1));
      const std::string_view text = lines[i];
      if (text.compare(0, prefix.size(), prefix) != 0) {
        report_.fail(kExitMalformedLists, where,
                     quoted(text) + " does not begin with " + quoted(prefix));
        continue;
      }
      std::string name(text.substr(prefix.size()));
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
  // The files are read ahead on a second thread while this one digests.
  void digestListedFiles(const std::vector<int>& listed) {
    const TextLines& lines = report_.fileList;
    bool complete = true;
    const std::string mark = kConfigurationMark;
    std::vector<int> order;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].find(mark) != std::string::npos) continue;
      if (listed[i] < 0) {
        complete = false;
      } else {
        order.push_back(listed[i]);
      }
    }
    Md5Context context;
    md5Start(&context);
    {
      ReadAhead reader(source_, order);
      for (const int index : order) {
        const ReadAhead::Outcome outcome =
            reader.next([this, &context](const std::uint8_t* data, std::size_t size) {
              md5AddBytes(&context, data, static_cast<std::uint32_t>(size));
              doneBytes_ += size;
              reportProgress();
            });
        read_[index] = true;
        if (!outcome.ok) {
          complete = false;
          report_.fail(kExitDamaged, entryWhere(source_.entries()[index].name), outcome.message);
        }
      }
    }
    std::uint8_t digest[kMd5DigestBytes];
    md5Finish(digest, &context);
    if (!complete) return;  // what is missing has been said
    report_.foundDigest = hexBytes(digest, sizeof digest);
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
  FileNames files_{source_.entries()};
  std::set<std::string> folders_;          // every folder, no "/"
  std::set<std::string> nonEmptyFolders_;  // folders holding an entry
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
