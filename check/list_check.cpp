// The check's lists against the release: each read and strictly decoded,
// each line kept as what it names, the file lines matched with the files
// and the folder lines with the folders (see checker.h).
#include <algorithm>

#include "checker.h"
#include "list_format.h"
#include "md5.h"
#include "name_hash.h"
#include "report.h"
#include "shown_text.h"
#include "utf.h"

namespace quillet::check {
namespace {

// `text` with every "\" made "/", as the release's names separate components.
std::string withSlashes(std::string_view text) {
  std::string name(text);
  std::replace(name.begin(), name.end(), '\\', '/');
  return name;
}

}  // namespace

// Reads and strictly decodes list `which`, in entry `entry`, into the
// report's lines, keeping each line that names an entry (or a folder)
// exactly as what it names. True when it decoded.
bool Checker::readList(TopLevel which, std::size_t entry) {
  const char* listName = kTopLevelNames[which];
  ListLines& lines = which == kFileList ? report_.fileList : report_.folderList;
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
  if (notUtf16 != 0 || malformed) {
    const std::uint64_t at = notUtf16 != 0 ? notUtf16 : decoder.faultLine();
    report_.failWith(
        kExitMalformedLists, at > 0 ? lineWhere(listName, at) : listName,
        std::string(listName) + " " +
            (notUtf16 != 0 ? "holds an unpaired surrogate (not valid UTF-16)" : decoder.message()));
    return false;
  }
  if (lines.overflowed()) {
    report_.failUnsupported(Said::kListTooMuchText, static_cast<std::uint32_t>(entry));
    return false;
  }
  return true;
}

// A file line that names a file exactly is kept as that file's entry
// (one with a "/" of its own matches too, but would not read as itself
// again: it keeps its text).
void Checker::keepFileLine(const std::string& text, ListLines& lines) {
  if (text.find('/') == std::string::npos) {
    const std::string name = withSlashes(text);
    const std::int64_t entry = findExactFile(name);
    if (entry >= 0) return lines.pushEntry(static_cast<std::size_t>(entry));
  }
  lines.pushText(text);
}

// A folder line "FlashDrive\" and a folder that holds an entry is kept as
// that folder.
void Checker::keepFolderLine(const std::string& text, ListLines& lines) {
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
void Checker::readExpectedDigest() {
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

// Each file line names a file of the release, once; every file is listed
// but $md5.bin. Returns the entry of each line (-1 when it names none).
std::vector<std::int64_t> Checker::matchFileLines() {
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
void Checker::matchFolderLines() {
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
      report_.warn(Said::kFolderLineLoose, line, static_cast<std::uint32_t>(loose));
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
    report_.fail(kExitListsDisagree, Said::kFolderWithoutLine, kFolderPath | folder);
  }
}

}  // namespace quillet::check
