// The release check, step by step (Checker::run): the entries (their names,
// the rules on them, the tables the lines are matched with), the top-level
// files, the two lists, the file lines, the folder lines, the digest in list
// order, the rest of the contents in the release's order. This file holds
// the entries' part; the lists' is in list_check.cpp, the contents' in
// contents_check.cpp, what they share in checker.h. The findings and their
// words are in report.cpp.
#include "release_check.h"

#include <algorithm>

#include "checker.h"
#include "device_rules.h"
#include "name_hash.h"
#include "system_files.h"
#include "utf.h"

namespace quillet::check {

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

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

}  // namespace

void Checker::run() {
  survey();
  if (report_.exitCode() == kExitDamaged) {
    // Nothing of it is to be trusted; but the packer's working folder, which
    // holds a link to the archiver, is still told where the release is.
    if (whereInstead(kFileList) != 0) topLevel(kFileList, kExitMalformedLists);
    return;
  }
  const std::int64_t fileList = topLevel(kFileList, kExitMalformedLists);
  const std::int64_t folderList = topLevel(kFolderList, kExitMalformedLists);
  digestIndex_ = topLevel(kDigest, kExitDigestMismatch);
  // A list that does not decode shows no lines, and lets go of them before
  // the next is read.
  const bool filesDecoded = fileList >= 0 && readList(kFileList, fileList);
  if (!filesDecoded) report_.fileList = ListLines();
  const bool foldersDecoded = folderList >= 0 && readList(kFolderList, folderList);
  if (!foldersDecoded) report_.folderList = ListLines();
  readExpectedDigest();
  std::vector<std::int64_t> listed;
  if (filesDecoded) listed = matchFileLines();
  if (foldersDecoded && !folders_.tooMany()) matchFolderLines();
  names_ = NameTable();  // no name is looked up from here on
  folded_ = NameTable();
  if (filesDecoded) digestListedFiles(listed);
  readTheRest();
  if (kept_ != nullptr) {
    kept_->fileListDecoded = filesDecoded;
    kept_->listed = std::move(listed);
    kept_->exact = std::move(entryHashes_);
    for (std::size_t i = 0; i < flags_.size(); ++i) {
      if ((flags_[i] & (kRead | kFailed)) != kRead && !source_.entry(i).folder) {
        kept_->unread.push_back(static_cast<std::uint32_t>(i));
      }
    }
  }
}

// Every entry: counts, name rules, the tables the lines are matched with.
void Checker::survey() {
  if (source_.usesZip64()) report_.failWith(kExitPassed, "", "the archive uses Zip64 records");
  source_.forEachName([this](std::size_t i, std::string_view name) {
    const ReleaseEntry& entry = source_.entry(i);
    const auto index = static_cast<std::uint32_t>(i);
    if (name.find(kConfigurationMark) != std::string_view::npos) {
      flags_[i] |= kConfiguration;
      if (kept_ != nullptr) kept_->configurations.push_back(index);
    }
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
      report_.failUnsupported("not supported: the release holds more than " +
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
    if (entry.size > kFileBytesMax) report_.fail(kExitDeviceCannotHold, Said::kFileTooLarge, index);
    checkCaseTwin(index, name);
  });
  report_.folders = folders_.size();
}

// Says in the report what is wrong with entry `index`'s name: an error
// when it is unsafe to extract (then false), or what the device cannot
// hold; warnings for a name stored in a legacy code page and Zip64 fields.
bool Checker::judgeName(const ReleaseEntry& entry, std::string_view name, std::uint32_t index) {
  if (isUnsafeName(name)) {
    report_.fail(kExitDamaged, Said::kUnsafeName, index);
    return false;
  }
  if (entry.legacyName) report_.warn(Said::kLegacyName, index, entry.legacyUtf8 ? 1 : 0);
  if (entry.zip64) report_.warn(Said::kZip64Entry, index);
  std::string_view path = name;
  if (!path.empty() && isSeparator(path.back())) path.remove_suffix(1);  // a folder's "/"
  for (std::size_t start = 0; start <= path.size();) {
    const std::size_t end = std::min(path.find_first_of("/\\", start), path.size());
    if (whyDeviceCannotHold(path.substr(start, end - start)) != nullptr) {
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
std::uint64_t Checker::pathHash(std::uint32_t path) const {
  return (path & kFolderPath) != 0 ? folders_[path & ~kFolderPath].hash : entryHashes_[path];
}

// A path (a file, or a folder when first noted) that differs only in case
// from one before it cannot be held beside it by the device: one would
// overwrite the other. One of the very same name is a file beside a
// folder (no two files, and no two folders, are noted under one name).
void Checker::checkCaseTwin(std::uint32_t path, std::string_view name) {
  const std::uint64_t folded = nameHash(foldedKey(name));
  if (kept_ != nullptr && (path & kFolderPath) != 0) {
    kept_->folders.push_back(folded);  // (a folder is said here once, when first noted)
  } else if (kept_ != nullptr) {
    kept_->folded[path] = folded;
  }
  const std::int64_t first = folded_.insert(folded, path);
  if (first < 0) return;
  if (pathHash(static_cast<std::uint32_t>(first)) == nameHash(name)) {
    report_.fail(kExitDamaged, Said::kFileAndFolder, path, static_cast<std::uint32_t>(first));
    return;
  }
  report_.fail(kExitDeviceCannotHold, Said::kCaseTwin, path, static_cast<std::uint32_t>(first));
}

// The file named exactly `name` ("/" between components), or -1.
std::int64_t Checker::findExactFile(std::string_view name) const {
  const std::int64_t found = names_.find(nameHash(name));
  return found >= 0 && !source_.entry(static_cast<std::size_t>(found)).folder ? found : -1;
}

// The file named `name` ("/" between components), or -1. `loose` says
// whether it matched only when case is ignored (the first file of that
// name then).
std::int64_t Checker::findFile(std::string_view name, bool* loose) {
  *loose = false;
  const std::int64_t exact = findExactFile(name);
  if (exact >= 0) return exact;
  const std::int64_t folded = folded_.find(nameHash(foldedKey(name)));
  if (folded < 0 || (folded & kFolderPath) != 0) return -1;
  *loose = true;
  return folded;
}

// The index of top-level file `which`; a name that matches only when case
// is ignored is used, with a warning. -1 (after an error with `exitCode`)
// when there is none.
std::int64_t Checker::topLevel(TopLevel which, int exitCode) {
  bool loose = false;
  const std::int64_t index = findFile(kTopLevelNames[which], &loose);
  if (loose) report_.warn(Said::kTopLevelLoose, which, static_cast<std::uint32_t>(index));
  if (index < 0) report_.fail(exitCode, Said::kTopLevelMissing, which, whereInstead(which));
  return index;
}

// Where a missing top-level file is instead: 1 under the staging folder's
// name (an archive made of the staging folder itself, not of what it
// holds), 2 beside the release's archive (the packer's working folder), 0
// nowhere known.
std::uint32_t Checker::whereInstead(TopLevel which) const {
  if (findExactFile(std::string(kStagingFolderName) + "/" + kTopLevelNames[which]) >= 0) return 1;
  return findExactFile(kArchiveName) >= 0 ? 2 : 0;
}

const char* whyDeviceCannotHold(std::string_view component) {
  const auto units = utf8ToUtf16(component);
  return nameTheDeviceCannotHold(units ? *units
                                       : std::u16string(component.begin(), component.end()));
}

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
                         const Progress& progress, ReleaseNames* names) {
  CheckReport report;
  report.path = path;
  report.source = source->kind();
  report.release = source;
  report.folderSet = std::make_shared<FolderSet>(*source);
  {
    Checker checker(*source, report, progress, names);
    checker.run();
  }
  // A name read back otherwise than it was first read: the archive changed
  // while it was checked, and what was found holds for no one archive.
  const std::string lost = source->namesLost();
  if (!lost.empty()) report.failWith(kExitDamaged, "", lost);
  return report;
}

CheckReport checkPath(const std::string& path, const Progress& progress, ReleaseNames* names) {
  SourceFailure failure = SourceFailure::kNone;
  std::string message;
  std::shared_ptr<ReleaseSource> opened = openRelease(path, &failure, &message);
  if (opened == nullptr) {
    CheckReport report;
    report.path = path;
    report.source = pathKind(path) == PathKind::kFolder ? "folder" : "archive";
    if (failure == SourceFailure::kUnsupported) {
      report.failUnsupported(message);
    } else {
      report.failWith(kExitDamaged, "", message);
    }
    return report;
  }
  return checkRelease(std::move(opened), path, progress, names);
}

}  // namespace quillet::check
