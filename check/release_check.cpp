// The release check, step by step: the entries, the top-level files, the two
// lists, the file lines, the folder lines, the digest, the rest of the
// contents. Its helpers: the name rules in name_rules.cpp, the name tables in
// name_index.h, file_names.h and folder_names.cpp, reading a list in
// list_read.cpp, the small files read ahead in held_entries.cpp, the second
// thread that streams entries in entry_read_ahead.h, the findings and their
// verdict in report.cpp (how they name what they concern: finding_places.h).
#include "release_check.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string_view>
#include <thread>

#include "entry_read_ahead.h"
#include "file_names.h"
#include "finding_places.h"
#include "folder_names.h"
#include "held_entries.h"
#include "list_format.h"
#include "list_read.h"
#include "md5.h"
#include "name_index.h"
#include "report.h"
#include "utf.h"

namespace quillet::check {

namespace {

// Bytes of content between two progress calls at most.
constexpr std::uint64_t kProgressStepBytes = 4u << 20;

class Checker {
 public:
  Checker(ReleaseSource& source, CheckReport& report, const Progress& progress)
      : source_(source), report_(report), progress_(progress) {}

  void run() {
    // A second thread reads the lists and $md5.bin while this one surveys
    // the entries (the file list's lines come here as they are decoded, to
    // be matched with the files once the survey is done), then the small
    // files while this one matches the lists. The survey decides which
    // entries the lists are, so the entries that will be are taken now and
    // what they gave is kept only when they are the ones.
    ListRead files;
    ListRead folders;
    HeldDigest first;  // $md5.bin alone
    bool firstDone = false;
    // (everything the second thread sets before firstDone is this thread's
    // to read once it is set; after that, the second thread touches nothing
    // of this function's own: it may have returned)
    second_ = std::thread([&] {
      const std::vector<ReleaseEntry>& entries = source_.entries();
      const EntryNames names(source_);
      files.index = exactTopLevel(names, kFileListName);
      folders.index = files.index >= 0 ? exactTopLevel(names, kFolderListName) : -1;
      const int digestFile = exactTopLevel(names, kDigestName);
      const std::vector<int> readFirst = {files.index, folders.index, digestFile};
      held_.prepare(entries, readFirst);
      if (files.index >= 0) readList(source_, files, &held_, nullptr, &fileLines_);
      fileLines_.close();
      if (folders.index >= 0) readList(source_, folders, &held_, nullptr, &folderLines_);
      folderLines_.close();
      if (digestFile >= 0 && entries[digestFile].size == kMd5DigestBytes) {
        first.read(source_, static_cast<std::size_t>(digestFile));
      }
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        firstDone = true;
      }
      firstRead_.notify_one();
      held_.readSmallFiles(source_, readFirst, cancel_);
    });
    surveyEntries();
    const FileLineMatcher fileLines(files_.exact());
    const FolderLineMatcher folderLines(folders_);
    matchQueuedLines(fileLines_, fileLines, files.lines);
    matchQueuedLines(folderLines_, folderLines, folders.lines);
    {
      std::unique_lock<std::mutex> lock(mutex_);
      firstRead_.wait(lock, [&firstDone] { return firstDone; });
    }
    if (report_.exitCode() == kExitDamaged) return;  // nothing from it is to be trusted
    const int fileList = topLevel(kFileListName, kExitMalformedLists);
    const int folderList = topLevel(kFolderListName, kExitMalformedLists);
    digestIndex_ = topLevel(kDigestName, kExitDigestMismatch);
    const bool filesDecoded =
        fileList >= 0 && takeList(files, fileList, kFileListName, &fileLines, report_.fileList);
    const bool foldersDecoded = folderList >= 0 && takeList(folders, folderList, kFolderListName,
                                                            &folderLines, report_.folderList);
    readExpectedDigest(first);
    std::vector<int> listed;
    if (filesDecoded) listed = matchFileLines();
    if (foldersDecoded && !folders_.tooMany()) {
      report_.folderLines = report_.folderList.size();
      folders_.matchLines(report_.folderList, report_);
    }
    files_.clear();  // no name is looked up from here on
    endSecondThread(/*cancel=*/false);
    if (filesDecoded) digestListedFiles(listed);
    readTheRest();
  }

  ~Checker() { endSecondThread(/*cancel=*/true); }

 private:
  // Every entry: counts, name rules, the maps the lines are matched with.
  void surveyEntries() {
    const std::vector<ReleaseEntry>& entries = source_.entries();
    const EntryNames names(source_);
    files_.reserve(entries.size());
    configuration_.assign(entries.size(), false);
    // Folder entries met so far.
    NameIndex folderEntries(names, NameIndex::Compare::kExact);
    if (source_.usesZip64()) report_.warn("", "the archive uses Zip64 records");
    FileNames::Ahead ahead(files_, names);
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const FileNames::Ahead::Name next = ahead.next();
      const std::uint32_t exactHash = next.exactHash;
      const std::uint32_t foldedHash = next.foldedHash;
      const std::string_view name = next.name;
      const ReleaseEntry& entry = entries[i];
      const auto index = static_cast<int>(i);
      configuration_[i] = name.find(kConfigurationMark) != std::string_view::npos;
      // Files go into the name table here, once: a second entry of the same
      // name would overwrite the first on extraction.
      const bool fresh = entry.folder     ? folderEntries.insert(index, exactHash) < 0
                         : entry.readable ? files_.exact().insert(index, exactHash) < 0
                                          : true;
      const Mention where = Mention::entry(i);
      if (!fresh) {
        report_.fail(kExitDamaged, where, "appears more than once");
        continue;
      }
      if (!judgeEntryName(entry, name, i, report_)) continue;  // unsafe: said
      // Every folder on the way to the entry is a folder of the release,
      // whether or not the archive holds an entry for it.
      if (!folders_.note(name, entry.folder, i)) {
        report_.fail(kExitDamaged, "",
                     "not supported: the release holds more than " + std::to_string(kFoldersMax) +
                         " folders, the most the packer's walk scans");
      }
      if (entry.folder) continue;
      if (!entry.readable) {
        report_.warn(where, "is neither a file nor a folder; it is not checked");
        continue;
      }
      ++report_.files;
      report_.bytes += entry.size;
      totalBytes_ += entry.size;
      const int first = files_.folded().insert(index, foldedHash);
      if (first >= 0) {
        report_.warn(where, Words("differs only in case from ", Mention::entry(first),
                                  "; the device's file system cannot hold both"));
      }
    }
    report_.folders = folders_.count();
    read_.assign(entries.size(), false);
    failed_.assign(entries.size(), false);
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

  void warnLoose(Place where, int index) {
    report_.warn(std::move(where),
                 Words("matches ", Mention::entry(index),
                       " only when case is ignored (the device's file system would find it)"));
  }

  // Reads entry `index` through `sink`; a failure is reported as an error.
  bool readEntry(int index, const ReleaseSource::Sink& sink) {
    const bool ok = source_.read(static_cast<std::size_t>(index),
                                 [&](const std::uint8_t* data, std::size_t size) {
                                   doneBytes_ += size;
                                   reportProgress();
                                   return sink(data, size);
                                 });
    if (!ok && source_.failure() != SourceFailure::kStopped)
      return sayDamaged(index, source_.message());
    if (ok) read_[index] = true;
    return ok;
  }

  // Says that entry `index` could not be read (false); past kDamagedEntriesMax
  // such entries, or kDamagedMessageBytesMax bytes of their messages, that
  // the rest is not read, once.
  bool sayDamaged(int index, std::string message) {
    read_[index] = true;
    failed_[index] = true;
    if (tooDamaged_) return false;
    damagedBytes_ += message.size();
    if (damaged_ == kDamagedEntriesMax || damagedBytes_ > kDamagedMessageBytesMax) {
      tooDamaged_ = true;
      const std::string what = damaged_ == kDamagedEntriesMax
                                   ? "more than " + std::to_string(kDamagedEntriesMax) + " entries"
                                   : std::to_string(damaged_ + 1) +
                                         " entries, whose messages take more than " +
                                         std::to_string(kDamagedMessageBytesMax) + " bytes,";
      report_.fail(
          kExitDamaged, "",
          what + " could not be read: the rest of the " + source_.kind() + " was not read");
      return false;
    }
    ++damaged_;
    report_.fail(kExitDamaged, Mention::entry(index), std::move(message));
    return false;
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
  bool takeList(ListRead& list, int index, const char* listName, const LineMatcher* matcher,
                ListLines& lines) {
    if (list.index != index) {
      endSecondThread(/*cancel=*/true);  // the source is this thread's alone
      list = ListRead();
      list.index = index;
      readList(source_, list, nullptr, matcher);
    }
    doneBytes_ += list.bytes;
    reportProgress();
    if (list.damaged) return sayDamaged(index, list.problem);
    if (list.read) read_[index] = true;
    if (!sayListFaults(list, listName, report_)) return false;
    lines = std::move(list.lines);
    return true;
  }

  // $md5.bin, as the second thread read it when it took the right entry.
  void readExpectedDigest(const HeldDigest& first) {
    if (digestIndex_ < 0) return;
    const ReleaseEntry& entry = source_.entries()[digestIndex_];
    if (entry.size != kMd5DigestBytes) {
      report_.fail(kExitDigestMismatch, Mention::entry(digestIndex_),
                   "holds " + std::to_string(entry.size) + " bytes instead of " +
                       std::to_string(kMd5DigestBytes));
      return;
    }
    std::string bytes;
    bool ok = false;
    SourceFailure failure = SourceFailure::kNone;
    if (first.index == digestIndex_) {
      const HeldEntries::Held held = first.held();
      bytes = std::string(held.contents);
      ok = takeHeld(digestIndex_, held);
      failure = held.failure;
    } else {
      endSecondThread(/*cancel=*/true);  // the source is this thread's alone
      ok = readEntry(digestIndex_, [&bytes](const std::uint8_t* data, std::size_t size) {
        if (bytes.size() + size > kMd5DigestBytes) return false;
        bytes.append(reinterpret_cast<const char*>(data), size);
        return true;
      });
      failure = source_.failure();
    }
    if (ok && bytes.size() == kMd5DigestBytes) {
      report_.expectedDigest =
          hexBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    } else if (ok || failure == SourceFailure::kStopped) {
      report_.fail(kExitDigestMismatch, Mention::entry(digestIndex_), "does not hold 16 bytes");
    }
  }

  // What readEntry() does once an entry is read, for one read ahead: its
  // bytes counted, a failure said. True when it was read.
  bool takeHeld(int index, const HeldEntries::Held& held) {
    doneBytes_ += held.contents.size();
    reportProgress();
    if (!held.read && held.failure != SourceFailure::kStopped) {
      return sayDamaged(index, std::string(held.message));
    }
    if (held.read) read_[index] = true;
    return held.read;
  }

  // Ends the second thread, at once (`cancel`) or when it has read all it
  // reads ahead.
  void endSecondThread(bool cancel) {
    if (!second_.joinable()) return;
    if (cancel) {
      cancel_.store(true, std::memory_order_relaxed);
      fileLines_.cancel();  // (it may wait to hand over lines)
      folderLines_.cancel();
    }
    second_.join();
  }

  // Each file line names a file of the release, once; every file is listed
  // but $md5.bin. Returns the entry of each line (-1 when it names none).
  std::vector<int> matchFileLines() {
    const ListLines& lines = report_.fileList;
    const std::vector<ReleaseEntry>& entries = source_.entries();
    report_.listedFiles = lines.size();
    std::vector<int> listed(lines.size(), -1);
    std::vector<std::uint32_t> lineOf(entries.size(), 0);  // the first line naming each entry
    const std::string_view staging = "FlashDrive/";
    // The lines that name a file exactly were matched as they came; the
    // others are looked up here, where case may be ignored.
    std::vector<int> found;
    std::vector<std::uint8_t> loose;
    files_.findLines(lines.textLines(), &found, &loose);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const auto number = static_cast<std::uint32_t>(i + 1);
      const auto where = [i] { return Mention::fileLineAt(i); };
      int index = lines.entryOf(i);
      if (index < 0) {
        const std::size_t text = lines.textIndexOf(i);
        index = found[text];
        if (loose[text] != 0) warnLoose(where(), index);
      }
      if (index < 0) {
        std::string name(lines.textOf(i));
        std::replace(name.begin(), name.end(), '\\', '/');
        if (std::string_view(name).substr(0, staging.size()) == staging &&
            files_.exact().find(std::string_view(name).substr(staging.size())) >= 0) {
          report_.fail(kExitMalformedLists, where(),
                       Words("", Mention::fileLine(i),
                             " is in the walk's form; the file list must be in its second form, "
                             "without 'FlashDrive\\'"));
          continue;
        }
        const std::string what = folders_.isFolder(name) ? "a folder" : "nothing";
        report_.fail(
            kExitListsDisagree, where(),
            Words("names ", Mention::fileLine(i), ", which is " + what + " in the release"));
        continue;
      }
      if (lineOf[index] != 0) {
        report_.fail(kExitListsDisagree, where(),
                     Words("repeats ", Mention::fileLineAt(lineOf[index] - 1), ""));
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
      report_.fail(kExitListsDisagree, Mention::entry(i), "is not listed in $FileList.txt");
    }
    return listed;
  }

  // MD5 over the listed files in list order, leaving out configuration lines.
  // The files are read ahead on a second thread while this one digests.
  void digestListedFiles(const std::vector<int>& listed) {
    const ListLines& lines = report_.fileList;
    bool complete = true;
    const std::string mark = kConfigurationMark;
    std::vector<int> order;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const int entry = lines.entryOf(i);
      if (entry >= 0 ? configuration_[static_cast<std::size_t>(entry)] : lines.holds(i, mark)) {
        continue;
      }
      if (listed[i] < 0) {
        complete = false;
      } else {
        order.push_back(listed[i]);
      }
    }
    Md5Context context;
    md5Start(&context);
    {
      std::vector<int> streamed;  // the files not held, read at their turn
      for (const int index : order) {
        if (!held_.holds(static_cast<std::size_t>(index)) && !failed_[index]) {
          streamed.push_back(index);
        }
      }
      ReadAhead reader(source_, std::move(streamed));
      // The held files lie in the archive's order, which is not the list's:
      // what the next ones need is fetched while this one is digested.
      constexpr std::size_t kAhead = 16;
      for (std::size_t at = 0; at < order.size(); ++at) {
        if (tooDamaged()) {
          complete = false;
          break;
        }
        const int index = order[at];
        if (at + kAhead < order.size()) held_.prefetch(order[at + kAhead], 0);
        if (at + kAhead / 2 < order.size()) held_.prefetch(order[at + kAhead / 2], 1);
        if (failed_[index]) {  // a list that could not be read: said already
          complete = false;
          continue;
        }
        if (held_.holds(static_cast<std::size_t>(index))) {
          const HeldEntries::Held held = held_.get(static_cast<std::size_t>(index));
          md5AddBytes(&context, reinterpret_cast<const std::uint8_t*>(held.contents.data()),
                      static_cast<std::uint32_t>(held.contents.size()));
          read_[index] = true;
          if (!takeHeld(index, held)) complete = false;
          continue;
        }
        const ReadAhead::Outcome outcome =
            reader.next([this, &context](const std::uint8_t* data, std::size_t size) {
              md5AddBytes(&context, data, static_cast<std::uint32_t>(size));
              doneBytes_ += size;
              reportProgress();
            });
        read_[index] = true;
        if (!outcome.ok) complete = sayDamaged(index, outcome.message);
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
    for (std::size_t i = 0; i < entries.size() && !tooDamaged(); ++i) {
      if (read_[i] || !entries[i].readable) continue;
      if (held_.holds(i)) {
        takeHeld(static_cast<int>(i), held_.get(i));
        continue;
      }
      readEntry(static_cast<int>(i), [](const std::uint8_t*, std::size_t) { return true; });
    }
  }

  ReleaseSource& source_;
  CheckReport& report_;
  const Progress& progress_;
  FileNames files_{EntryNames(source_)};  // sized by the survey
  // The second thread, and the small files it reads ahead.
  std::thread second_;
  std::atomic<bool> cancel_{false};
  std::mutex mutex_;
  std::condition_variable firstRead_;  // the lists and $md5.bin are read
  LineQueue fileLines_;                // the file list's lines, decoded
  LineQueue folderLines_;              // the folder list's
  HeldEntries held_{0};                // sized by the second thread
  FolderNames folders_{EntryNames(source_)};
  std::vector<bool> configuration_;  // entries whose name holds kConfigurationMark
  std::vector<bool> read_;           // entries read already
  std::vector<bool> failed_;         // entries whose reading failed, said once
  std::size_t damaged_ = 0;          // of them, said
  std::size_t damagedBytes_ = 0;     // their messages' bytes
  bool tooDamaged_ = false;          // past either limit: the rest is not read
  bool tooDamaged() const { return tooDamaged_; }
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
  report.names = EntryNames(source);
  Checker(source, report, progress).run();
  // A name read back otherwise than it was first read: the archive changed
  // while it was checked, and what was found holds for no one archive.
  const std::string lost = source.namesLost();
  if (!lost.empty()) report.fail(kExitDamaged, "", lost);
  return report;
}

CheckReport checkPath(const std::string& path, const Progress& progress) {
  SourceFailure failure = SourceFailure::kNone;
  std::string message;
  std::shared_ptr<ReleaseSource> opened = openRelease(path, &failure, &message);
  if (opened == nullptr) {
    CheckReport report;
    report.path = path;
    report.source = "archive";
    report.fail(kExitDamaged, "", message);
    return report;
  }
  CheckReport report = checkRelease(*opened, path, progress);
  report.release = std::move(opened);
  return report;
}

}  // namespace quillet::check
