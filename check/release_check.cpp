// The release check, step by step: the entries (their names, the rules on
// them, the tables the lines are matched with), the top-level files, the
// two lists, the file lines, the folder lines, the digest in list order,
// the rest of the contents in the release's order. The findings and their
// words are in report.cpp.
#include "release_check.h"

#include <algorithm>
#include <cstring>

#include "device_rules.h"
#include "list_format.h"
#include "md5.h"
#include "name_table.h"
#include "read_ahead.h"
#include "shown_text.h"
#include "utf.h"

namespace quillet::check {

namespace {

// Bytes of content between two progress calls at most.
constexpr std::uint64_t kProgressStepBytes = 4u << 20;
// Contents read ahead of the digest and not yet digested, at most, and what
// the files the second thread reads at a time hold (the last may pass it).
constexpr std::size_t kReadAheadBytes = 8u << 20;
constexpr std::uint64_t kGroupBytes = 256u << 10;

// What the check knows of each entry, in a byte.
enum : std::uint8_t {
  kConfiguration = 1,  // its name holds kConfigurationMark
  kRead = 2,           // read already (or its reading failed)
  kFailed = 4,         // its reading failed, said once
};

// The top-level files, as Said::kTopLevel* number them.
constexpr const char* kTopLevelNames[] = {kFileListName, kFolderListName, kDigestName};
enum TopLevel : std::uint32_t { kFileList = 0, kFolderList = 1, kDigest = 2 };

bool isSeparator(char c) { return c == '/' || c == '\\'; }

// `text` with every "\" made "/", as the release's names separate components.
std::string withSlashes(std::string_view text) {
  std::string name(text);
  std::replace(name.begin(), name.end(), '\\', '/');
  return name;
}

// UTF-16 units of `text`: one for each character, two beyond U+FFFF (a byte
// that is no UTF-8 counts one).
std::size_t unitsOf(std::string_view text) {
  std::size_t units = 0;
  for (const char c : text) {
    const auto byte = static_cast<std::uint8_t>(c);
    if ((byte & 0xC0) != 0x80) ++units;
    if (byte >= 0xF0) ++units;
  }
  return units;
}

class Checker {
 public:
  Checker(ReleaseSource& source, CheckReport& report, const Progress& progress)
      : source_(source),
        report_(report),
        progress_(progress),
        flags_(source.count(), 0),
        entryHashes_(source.count(), 0),
        names_(source.count()),
        folded_(source.count() + kFoldersMax) {}

  void run() {
    survey();
    if (report_.exitCode() == kExitDamaged) return;  // nothing of it is to be trusted
    const std::int64_t fileList = topLevel(kFileList, kExitMalformedLists);
    const std::int64_t folderList = topLevel(kFolderList, kExitMalformedLists);
    digestIndex_ = topLevel(kDigest, kExitDigestMismatch);
    const bool filesDecoded = fileList >= 0 && readList(fileList, kFileList, report_.fileList);
    const bool foldersDecoded =
        folderList >= 0 && readList(folderList, kFolderList, report_.folderList);
    readExpectedDigest();
    std::vector<std::int64_t> listed;
    if (filesDecoded) listed = matchFileLines();
    if (foldersDecoded && !folders_.tooMany()) matchFolderLines();
    names_ = NameTable();  // no name is looked up from here on
    folded_ = NameTable();
    if (filesDecoded) digestListedFiles(listed);
    readTheRest();
  }

 private:
  // --- The entries.

  // Every entry: counts, name rules, the tables the lines are matched with.
  void survey() {
    if (source_.usesZip64()) report_.warnWith("", "the archive uses Zip64 records");
    source_.forEachName([this](std::size_t i, std::string_view name) {
      const ReleaseEntry& entry = source_.entry(i);
      const auto index = static_cast<std::uint32_t>(i);
      if (name.find(kConfigurationMark) != std::string_view::npos) flags_[i] |= kConfiguration;
      // Files and folders go into the table here, once: a second entry of
      // the same name would overwrite the first on extraction.
      entryHashes_[i] = nameHash(name);
      if (entry.readable && names_.insert(entryHashes_[i], index) >= 0) {
        report_.fail(kExitDamaged, Said::kAppearsTwice, index);
        return;
      }
      if (!judgeName(entry, name, index)) return;  // unsafe: said
      // Every folder on the way to the entry is a folder of the release,
      // whether or not the archive holds an entry for it.
      const auto newFolder = [this](std::uint32_t folder, std::string_view folderName) {
        checkCaseTwin(kFolderPath | folder, folderName);
      };
      if (!folders_.note(name, i, newFolder)) {
        report_.failWith(kExitDamaged, "",
                         "not supported: the release holds more than " +
                             std::to_string(kFoldersMax) +
                             " folders, the most the packer's walk scans");
      }
      if (entry.folder) return;
      if (entry.link) {
        report_.fail(kExitDamaged, Said::kLink, index);
        return;
      }
      if (!entry.readable) {
        report_.warn(Said::kNotAFile, index);
        return;
      }
      ++report_.files;
      report_.bytes += entry.size;
      totalBytes_ += entry.size;
      if (entry.size > kFileBytesMax)
        report_.fail(kExitDeviceCannotHold, Said::kFileTooLarge, index);
      checkCaseTwin(index, name);
    });
    report_.folders = folders_.size();
  }

  // Says in the report what is wrong with entry `index`'s name: an error
  // when it is unsafe to extract (then false), or what the device cannot
  // hold; warnings for a name stored in a legacy code page and Zip64 fields.
  bool judgeName(const ReleaseEntry& entry, std::string_view name, std::uint32_t index) {
    if (isUnsafeName(name)) {
      report_.fail(kExitDamaged, Said::kUnsafeName, index);
      return false;
    }
    if (entry.legacyName) report_.warn(Said::kLegacyName, index);
    if (entry.zip64) report_.warn(Said::kZip64Entry, index);
    std::string_view path = name;
    if (!path.empty() && isSeparator(path.back())) path.remove_suffix(1);  // a folder's "/"
    for (std::size_t start = 0; start <= path.size();) {
      std::size_t end = start;
      while (end < path.size() && !isSeparator(path[end])) ++end;
      const std::string_view component = path.substr(start, end - start);
      std::u16string units;
      if (const auto wide = utf8ToUtf16(component)) {
        units = *wide;
      } else {
        units.assign(component.begin(), component.end());  // (bytes as they are: not UTF-8)
      }
      if (nameTheDeviceCannotHold(units) != nullptr) {
        report_.fail(kExitDeviceCannotHold, Said::kDeviceName, index,
                     static_cast<std::uint32_t>(start));
        break;
      }
      start = end + 1;
    }
    const std::size_t units = devicePathUnits(unitsOf(path));
    if (!pathTooLong(units).empty()) {
      report_.fail(kExitDeviceCannotHold, Said::kPathTooLong, index,
                   static_cast<std::uint32_t>(units));
    }
    return true;
  }

  // The hash of a path as a case twin names it: an entry's name, or a
  // folder's.
  std::uint64_t pathHash(std::uint32_t path) const {
    return (path & kFolderPath) != 0 ? folders_[path & ~kFolderPath].hash : entryHashes_[path];
  }

  // A path (a file, or a folder when first noted) that differs only in case
  // from one before it cannot be held beside it by the device: one would
  // overwrite the other.
  void checkCaseTwin(std::uint32_t path, std::string_view name) {
    const std::int64_t first = folded_.insert(nameHash(foldedKey(name)), path);
    if (first < 0 || pathHash(static_cast<std::uint32_t>(first)) == nameHash(name)) return;
    report_.fail(kExitDeviceCannotHold, Said::kCaseTwin, path, static_cast<std::uint32_t>(first));
  }

  // The file named exactly `name` ("/" between components), or -1.
  std::int64_t findExactFile(std::string_view name) const {
    const std::int64_t found = names_.find(nameHash(name));
    return found >= 0 && !source_.entry(static_cast<std::size_t>(found)).folder ? found : -1;
  }

  // The file named `name` ("/" between components), or -1. `loose` says
  // whether it matched only when case is ignored (the first file of that
  // name then).
  std::int64_t findFile(std::string_view name, bool* loose) {
    *loose = false;
    const std::int64_t exact = findExactFile(name);
    if (exact >= 0) return exact;
    const std::int64_t folded = folded_.find(nameHash(foldedKey(name)));
    if (folded < 0 || (folded & kFolderPath) != 0) return -1;
    *loose = true;
    return folded;
  }

  // --- The top-level files and the lists.

  // The index of top-level file `which`; a name that matches only when case
  // is ignored is used, with a warning. -1 (after an error with `exitCode`)
  // when there is none.
  std::int64_t topLevel(TopLevel which, int exitCode) {
    bool loose = false;
    const std::int64_t index = findFile(kTopLevelNames[which], &loose);
    if (loose) report_.warn(Said::kTopLevelLoose, which, static_cast<std::uint32_t>(index));
    if (index < 0) report_.fail(exitCode, Said::kTopLevelMissing, which);
    return index;
  }

  // Counts `size` bytes more read, now and then telling the progress.
  void countRead(std::size_t size) {
    doneBytes_ += size;
    if (progress_ && doneBytes_ - lastProgress_ >= kProgressStepBytes) {
      lastProgress_ = doneBytes_;
      progress_(doneBytes_, totalBytes_);
    }
  }

  // Reads entry `index` through `sink`; a failure is reported as an error.
  bool readEntry(std::size_t index, const ReleaseSource::Sink& sink) {
    const bool ok = source_.read(index, [&](const std::uint8_t* data, std::size_t size) {
      countRead(size);
      return sink(data, size);
    });
    if (!ok && source_.failure() != SourceFailure::kStopped) {
      return sayDamaged(index, source_.message());
    }
    if (ok) flags_[index] |= kRead;
    return ok;
  }

  // Says that entry `index` could not be read (false); past
  // kDamagedEntriesMax such entries, or kDamagedMessageBytesMax bytes of
  // their messages, that the rest is not read, once.
  bool sayDamaged(std::size_t index, const std::string& message) {
    flags_[index] |= kRead | kFailed;
    if (tooDamaged_) return false;
    damagedBytes_ += message.size();
    if (damaged_ == kDamagedEntriesMax || damagedBytes_ > kDamagedMessageBytesMax) {
      tooDamaged_ = true;
      const std::string what = damaged_ == kDamagedEntriesMax
                                   ? "more than " + std::to_string(kDamagedEntriesMax) + " entries"
                                   : std::to_string(damaged_ + 1) +
                                         " entries, whose messages take more than " +
                                         std::to_string(kDamagedMessageBytesMax) + " bytes,";
      report_.failWith(
          kExitDamaged, "",
          what + " could not be read: the rest of the " + source_.kind() + " was not read");
      return false;
    }
    ++damaged_;
    report_.failAt(kExitDamaged, index, message);
    return false;
  }

  // Reads and strictly decodes the list in entry `index` into `lines`,
  // keeping each line that names an entry (or a folder) exactly as what it
  // names. True when it decoded.
  bool readList(std::int64_t index, TopLevel which, ListLines& lines) {
    if (decodeList(index, which, lines)) return true;
    lines = ListLines();  // a list that does not decode shows no lines
    return false;
  }

  bool decodeList(std::int64_t index, TopLevel which, ListLines& lines) {
    const char* listName = kTopLevelNames[which];
    const auto entry = static_cast<std::size_t>(index);
    lines.setNames(&source_, &folders_);
    ListDecoder decoder(ListDecoder::Mode::kStrict);
    std::uint32_t notUtf16 = 0;
    bool malformed = false;
    std::string line;
    const auto keep = [&](std::u16string_view units, std::uint32_t number) {
      line.clear();
      if (!appendUtf16AsUtf8(units, line)) {
        notUtf16 = number;
        return false;
      }
      if (which == kFileList) {
        keepFileLine(line, lines);
      } else {
        keepFolderLine(line, lines);
      }
      return true;
    };
    const bool read = readEntry(entry, [&](const std::uint8_t* data, std::size_t size) {
      if (decoder.feed(data, size, keep)) return true;
      malformed = notUtf16 == 0;
      return false;
    });
    if (flags_[entry] & kFailed) return false;  // said
    if (read && !decoder.finish()) malformed = true;
    if (notUtf16 != 0) {
      report_.failWith(kExitMalformedLists, lineWhere(listName, notUtf16),
                       std::string(listName) + " holds an unpaired surrogate (not valid UTF-16)");
      return false;
    }
    if (malformed) {
      report_.failWith(
          kExitMalformedLists,
          decoder.faultLine() > 0 ? lineWhere(listName, decoder.faultLine()) : listName,
          std::string(listName) + " " + decoder.message());
      return false;
    }
    if (lines.overflowed()) {
      report_.fail(kExitDamaged, Said::kListTooMuchText, static_cast<std::uint32_t>(entry));
      return false;
    }
    return true;
  }

  static std::string lineWhere(const char* list, std::uint64_t line) {
    return std::string(list) + " line " + std::to_string(line);
  }

  // A file line that names a file exactly is kept as that file's entry
  // (one with a "/" of its own matches too, but would not read as itself
  // again: it keeps its text).
  void keepFileLine(const std::string& text, ListLines& lines) {
    if (text.find('/') == std::string::npos) {
      const std::string name = withSlashes(text);
      const std::int64_t entry = findExactFile(name);
      if (entry >= 0) return lines.pushEntry(static_cast<std::size_t>(entry));
    }
    lines.pushText(text);
  }

  // A folder line "FlashDrive\" and a folder that holds an entry is kept as
  // that folder.
  void keepFolderLine(const std::string& text, ListLines& lines) {
    const std::string_view prefix = kStagingPrefix;
    if (text.compare(0, prefix.size(), prefix) == 0 && text.find('/') == std::string::npos) {
      const std::int64_t folder = folders_.find(withSlashes(text.substr(prefix.size())));
      if (folder >= 0 && folders_[static_cast<std::size_t>(folder)].holdsEntry) {
        return lines.pushFolder(static_cast<std::size_t>(folder));
      }
    }
    lines.pushText(text);
  }

  // $md5.bin's 16 bytes, in hex.
  void readExpectedDigest() {
    if (digestIndex_ < 0) return;
    const auto index = static_cast<std::size_t>(digestIndex_);
    const ReleaseEntry& entry = source_.entry(index);
    if (entry.size != kMd5DigestBytes) {
      report_.failAt(kExitDigestMismatch, index,
                     "holds " + std::to_string(entry.size) + " bytes instead of " +
                         std::to_string(kMd5DigestBytes));
      return;
    }
    std::string bytes;
    const bool ok = readEntry(index, [&bytes](const std::uint8_t* data, std::size_t size) {
      if (bytes.size() + size > kMd5DigestBytes) return false;
      bytes.append(reinterpret_cast<const char*>(data), size);
      return true;
    });
    if (ok && bytes.size() == kMd5DigestBytes) {
      report_.expectedDigest = hexBytes(bytes.data(), bytes.size());
    } else if (ok || source_.failure() == SourceFailure::kStopped) {
      report_.failAt(kExitDigestMismatch, index, "does not hold 16 bytes");
    }
  }

  // --- The lines against the release.

  // Each file line names a file of the release, once; every file is listed
  // but $md5.bin. Returns the entry of each line (-1 when it names none).
  std::vector<std::int64_t> matchFileLines() {
    const ListLines& lines = report_.fileList;
    report_.listedFiles = lines.size();
    std::vector<std::int64_t> listed(lines.size(), -1);
    std::vector<std::uint32_t> lineOf(source_.count(), 0);  // the first line naming each entry
    const std::string staging = withSlashes(kStagingPrefix);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const auto line = static_cast<std::uint32_t>(i);
      std::int64_t index = lines.entryOf(i);
      std::string name;
      if (index < 0) {
        name = withSlashes(lines.textOf(i));
        bool loose = false;
        index = findFile(name, &loose);
        if (loose) report_.warn(Said::kFileLineLoose, line, static_cast<std::uint32_t>(index));
      }
      if (index < 0) {
        const std::string below = name.substr(std::min(name.size(), staging.size()));
        if (name.compare(0, staging.size(), staging) == 0 && findExactFile(below) >= 0) {
          report_.fail(kExitMalformedLists, Said::kFileLineFirstForm, line);
        } else {
          report_.fail(kExitListsDisagree,
                       folders_.find(name) >= 0 ? Said::kFileLineFolder : Said::kFileLineNothing,
                       line);
        }
        continue;
      }
      const auto entry = static_cast<std::size_t>(index);
      if (lineOf[entry] != 0) {
        report_.fail(kExitListsDisagree, Said::kFileLineRepeats, line, lineOf[entry] - 1);
        continue;
      }
      lineOf[entry] = line + 1;
      listed[i] = index;
    }
    // In the release's own order. The survey let no file name stand twice,
    // so each file is the entry its name finds.
    for (std::size_t i = 0; i < source_.count(); ++i) {
      const ReleaseEntry& entry = source_.entry(i);
      if (entry.folder || !entry.readable || entry.link) continue;
      if (static_cast<std::int64_t>(i) == digestIndex_ || lineOf[i] != 0) continue;
      report_.fail(kExitListsDisagree, Said::kNotListed, static_cast<std::uint32_t>(i));
    }
    return listed;
  }

  // The folder lines name exactly the folders that hold an entry: each line
  // one ("FlashDrive\" and the folder; one matching only when case is
  // ignored is taken, with a warning), each such folder a line.
  void matchFolderLines() {
    const ListLines& lines = report_.folderList;
    report_.folderLines = lines.size();
    std::vector<bool> named(folders_.size(), false);
    const std::string_view prefix = kStagingPrefix;
    std::string scratch;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const auto line = static_cast<std::uint32_t>(i);
      if (lines.folderOf(i) >= 0) {
        named[static_cast<std::size_t>(lines.folderOf(i))] = true;
        continue;
      }
      const std::string_view text = lines.textOf(i);
      if (text.compare(0, prefix.size(), prefix) != 0) {
        report_.fail(kExitMalformedLists, Said::kFolderLineNoPrefix, line);
        continue;
      }
      const std::string name = withSlashes(text.substr(prefix.size()));
      const std::int64_t exact = folders_.find(name);
      if (exact >= 0 && folders_[static_cast<std::size_t>(exact)].holdsEntry) {
        named[static_cast<std::size_t>(exact)] = true;
        continue;
      }
      const std::int64_t loose = folded_.find(nameHash(foldedKey(name)));
      if (loose >= 0 && (loose & kFolderPath) != 0 &&
          folders_[static_cast<std::size_t>(loose & ~kFolderPath)].holdsEntry) {
        const auto folder = static_cast<std::uint32_t>(loose & ~kFolderPath);
        report_.warn(Said::kFolderLineLoose, line, folder);
        named[folder] = true;
        continue;
      }
      report_.fail(kExitListsDisagree,
                   exact >= 0 ? Said::kFolderLineEmptyFolder : Said::kFolderLineNoFolder, line);
    }
    // Said in the order of the folders' names.
    std::vector<std::uint32_t> unnamed;
    for (std::size_t folder = 0; folder < folders_.size(); ++folder) {
      if (folders_[folder].holdsEntry && !named[folder]) {
        unnamed.push_back(static_cast<std::uint32_t>(folder));
      }
    }
    std::string other;
    std::sort(unnamed.begin(), unnamed.end(), [&](std::uint32_t a, std::uint32_t b) {
      return folders_.nameOf(a, scratch) < folders_.nameOf(b, other);
    });
    for (const std::uint32_t folder : unnamed) {
      report_.fail(kExitListsDisagree, Said::kFolderWithoutLine, folder);
    }
  }

  // --- The contents.

  // MD5 over the listed files in list order, leaving out configuration
  // lines. A second thread reads (and inflates) the files ahead, while this
  // one digests them: each reading costs about what MD5 does.
  void digestListedFiles(const std::vector<std::int64_t>& listed) {
    const ListLines& lines = report_.fileList;
    bool complete = true;
    std::vector<std::size_t> order;  // the entries to digest
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const std::int64_t entry = lines.entryOf(i);
      if (entry >= 0 ? (flags_[static_cast<std::size_t>(entry)] & kConfiguration) != 0
                     : lines.isText(i) &&
                           lines.textOf(i).find(kConfigurationMark) != std::string_view::npos) {
        continue;
      }
      // (a list that could not be read has been said already)
      if (listed[i] < 0 || (flags_[static_cast<std::size_t>(listed[i])] & kFailed) != 0) {
        complete = false;
      } else {
        order.push_back(static_cast<std::size_t>(listed[i]));
      }
    }
    // Files in groups of consecutive ones, each group read whole by the
    // second thread as one piece of work (a release of 65,533 small files
    // would otherwise cost the two threads a hand-over each).
    std::vector<std::size_t> groupEnds;  // where each group ends in `order`
    std::uint64_t groupBytes = 0;
    for (std::size_t at = 0; at < order.size(); ++at) {
      groupBytes += source_.entry(order[at]).size;
      if (groupBytes >= kGroupBytes || at + 1 == order.size()) {
        groupEnds.push_back(at + 1);
        groupBytes = 0;
      }
    }
    // What could not be read in each group: written by the second thread
    // before it ends the group, read by this one after.
    std::vector<std::vector<std::pair<std::size_t, std::string>>> unread(groupEnds.size());
    Md5Context context;
    md5Start(&context);
    {
      ReadAhead ahead(groupEnds.size(), kReadAheadBytes,
                      [&](std::size_t group, ReadAhead::Writer& writer) {
                        const std::size_t from = group == 0 ? 0 : groupEnds[group - 1];
                        return readAhead(order, from, groupEnds[group], writer, unread[group]);
                      });
      const bool threaded = ahead.start(1);
      ReadAhead::Piece piece;  // taken last, given back with the next
      for (std::size_t group = 0; group < groupEnds.size() && !tooDamaged_; ++group) {
        const std::size_t from = group == 0 ? 0 : groupEnds[group - 1];
        if (!threaded) {  // (no thread to be had: each file at its turn)
          for (std::size_t at = from; at < groupEnds[group] && !tooDamaged_; ++at) {
            const bool read =
                readEntry(order[at], [&context](const std::uint8_t* data, std::size_t size) {
                  md5AddBytes(&context, data, static_cast<std::uint32_t>(size));
                  return true;
                });
            flags_[order[at]] |= kRead;
            if (!read) complete = false;
          }
          continue;
        }
        ReadAhead::Ending ending;
        while (ahead.next(group, &piece, &ending)) {
          md5AddBytes(&context, piece.bytes.get(), static_cast<std::uint32_t>(piece.size));
          countRead(piece.size);
          if (piece.last) break;
        }
        for (std::size_t at = from; at < groupEnds[group]; ++at) flags_[order[at]] |= kRead;
        for (const auto& [index, message] : unread[group]) {
          complete = sayDamaged(index, message);
        }
      }
      if (tooDamaged_) complete = false;
    }
    std::uint8_t digest[kMd5DigestBytes];
    md5Finish(digest, &context);
    if (!complete) return;  // what is missing has been said
    report_.foundDigest = hexBytes(digest, sizeof digest);
    if (!report_.expectedDigest.empty() && report_.expectedDigest != report_.foundDigest) {
      report_.failWith(kExitDigestMismatch, std::string("entry '") + kDigestName + "'",
                       "holds " + report_.expectedDigest + " but the listed files digest to " +
                           report_.foundDigest);
    }
  }

  // Reads the entries order[from] to order[to] whole into `writer`'s
  // pieces, back to back, on the second thread: only the source is touched
  // there, and `unread`, which gets each entry that could not be read.
  ReadAhead::Ending readAhead(const std::vector<std::size_t>& order, std::size_t from,
                              std::size_t to, ReadAhead::Writer& writer,
                              std::vector<std::pair<std::size_t, std::string>>& unread) {
    std::uint8_t* room = nullptr;
    std::size_t used = 0;
    const auto put = [&](const std::uint8_t* data, std::size_t size) {
      while (size > 0) {
        if (room == nullptr) {
          room = writer.room();
          used = 0;
          if (room == nullptr) return false;  // the digest stopped
        }
        const std::size_t take = std::min(size, writer.pieceBytes() - used);
        std::memcpy(room + used, data, take);
        used += take;
        data += take;
        size -= take;
        if (used == writer.pieceBytes()) {
          writer.put(used);
          room = nullptr;
        }
      }
      return true;
    };
    for (std::size_t at = from; at < to; ++at) {
      if (source_.read(order[at], put)) continue;
      if (source_.failure() == SourceFailure::kStopped) break;
      unread.emplace_back(order[at], source_.message());
    }
    if (room != nullptr) writer.put(used);
    return ReadAhead::Ending();
  }

  // Every entry not read yet is read once, so its CRC and local header are
  // checked too.
  void readTheRest() {
    for (std::size_t i = 0; i < source_.count() && !tooDamaged_; ++i) {
      const ReleaseEntry& entry = source_.entry(i);
      if ((flags_[i] & kRead) != 0 || !entry.readable || entry.link) continue;
      readEntry(i, [](const std::uint8_t*, std::size_t) { return true; });
    }
  }

  ReleaseSource& source_;
  CheckReport& report_;
  const Progress& progress_;
  std::vector<std::uint8_t> flags_;         // by entry: kConfiguration, kRead, kFailed
  std::vector<std::uint64_t> entryHashes_;  // of each entry's name
  NameTable names_;                         // files and folder entries by their names
  NameTable folded_;  // files and folders by their names folded, the first of each
  FolderSet& folders_ = *report_.folderSet;
  std::int64_t digestIndex_ = -1;
  std::size_t damaged_ = 0;       // entries that could not be read, said
  std::size_t damagedBytes_ = 0;  // their messages' bytes
  bool tooDamaged_ = false;       // past either limit: the rest is not read
  std::uint64_t totalBytes_ = 0;
  std::uint64_t doneBytes_ = 0;
  std::uint64_t lastProgress_ = 0;
};

}  // namespace

bool isUnsafeName(std::string_view name) {
  if (name.empty() || isSeparator(name[0])) return true;
  if (name.size() >= 2 && name[1] == ':' &&
      ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'))) {
    return true;
  }
  // A ".." component: ".." between separators or the name's ends.
  for (std::size_t at = name.find(".."); at != std::string_view::npos;
       at = name.find("..", at + 1)) {
    const bool starts = at == 0 || isSeparator(name[at - 1]);
    const bool ends = at + 2 == name.size() || isSeparator(name[at + 2]);
    if (starts && ends) return true;
  }
  return false;
}

CheckReport checkRelease(std::shared_ptr<ReleaseSource> source, const std::string& path,
                         const Progress& progress) {
  CheckReport report;
  report.path = path;
  report.source = source->kind();
  report.release = source;
  report.folderSet = std::make_shared<FolderSet>(*source);
  Checker(*source, report, progress).run();
  // A name read back otherwise than it was first read: the archive changed
  // while it was checked, and what was found holds for no one archive.
  const std::string lost = source->namesLost();
  if (!lost.empty()) report.failWith(kExitDamaged, "", lost);
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
    report.failWith(kExitDamaged, "", message);
    return report;
  }
  return checkRelease(std::move(opened), path, progress);
}

}  // namespace quillet::check
