// The release check: what the device relies on in a release, read from an
// archive or from an extracted release folder.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "findings.h"
#include "list_format.h"
#include "release_source.h"
#include "text_blocks.h"
#include "text_lines.h"
#include "release_format.h"

namespace quillet::check {

// Exit codes of quillet-check; a release with several kinds of problem ends
// with the lowest code among them.
inline constexpr int kExitPassed = 0;          // the release passes
inline constexpr int kExitReportLost = 1;      // it passes, but the report could not be written
inline constexpr int kExitUsage = 2;           // the command line is wrong
inline constexpr int kExitDamaged = 3;         // cannot open, damaged, unsafe names, not supported
inline constexpr int kExitMalformedLists = 4;  // a list is missing or does not decode strictly
inline constexpr int kExitListsDisagree = 5;   // the lists disagree with the contents
inline constexpr int kExitDigestMismatch = 6;  // $md5.bin is missing or differs from the contents

inline constexpr std::size_t kDevicePathBytesMax = 255;

// An archive that declares more than kReleaseEntriesMax entries is refused
// before its entries are read, so that a hostile directory of millions of
// tiny entries cannot claim memory for them.
inline constexpr char kReleaseEntriesWhy[] =
    "a release can hold (a full file list's files, $md5.bin and the packer's most folders)";

// An archive with a name longer than kEntryNameBytesMax is refused before
// the name is held.
inline constexpr char kEntryNameWhy[] = "a line of a list can name";
// The entries whose reading fails that the check says, at most; past them
// it reads no more of the archive (a damaged archive of 131,071 entries
// would otherwise keep a message for each).
inline constexpr std::size_t kDamagedEntriesMax = 4096;
// ... and the bytes of their messages, at most: a folder's messages name the
// file's path, which the command line may make as long as the system allows.
inline constexpr std::size_t kDamagedMessageBytesMax = 4 * 1024 * 1024;

// Texts kept once each, end to end in blocks that never move, found again
// by a table of their numbers: a report of 131,071 findings with words of
// their own (a CRC-32 on each entry) holds each text without a string and
// a table node apiece.
class WordStore {
 public:
  // The number of `text`, added when it is new.
  std::uint32_t idOf(std::string_view text);
  std::string_view operator[](std::uint32_t id) const { return views_[id]; }

 private:
  zip::TextBlocks texts_;
  std::vector<std::string_view> views_;
  std::vector<std::uint32_t> table_;  // by hash, open addressing: a number + 1, or 0
};

struct CheckReport {
  std::string path;               // what was checked, as given
  std::string source;             // "archive" or "folder"
  std::uint64_t files = 0;        // file entries of the release
  std::uint64_t folders = 0;      // folders of the release
  std::uint64_t bytes = 0;        // bytes of content of its files
  std::uint64_t listedFiles = 0;  // lines of $FileList.txt
  std::uint64_t folderLines = 0;  // lines of $FolderList.txt
  std::string expectedDigest;     // hex of $md5.bin; empty when it could not be read
  std::string foundDigest;        // hex over the listed files; empty when it could not be computed
  // In the order they were found.
  Findings findings;
  ListLines fileList;  // the decoded lines (those naming a file exactly as its entry)
  ListLines folderList;
  // The entries the findings mention, with their names: the checked
  // source's, which must outlive the report; checkPath() keeps the source it
  // opened in `release`.
  EntryNames names;
  // The folders findings mention: the first `second` bytes of the name of
  // entry `first`.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> folderMentions;
  Mention mentionFolder(std::size_t entry, std::size_t length) {
    folderMentions.emplace_back(static_cast<std::uint32_t>(entry),
                                static_cast<std::uint32_t>(length));
    return Mention::folder(folderMentions.size() - 1);
  }
  std::shared_ptr<ReleaseSource> release;

  // kExitPassed, or the lowest exit code among the errors.
  int exitCode() const;
  void warn(Place where, Words message);
  void fail(int exitCode, Place where, Words message);
  // A finding's place ("entry 'NAVI/x.dat'", "$FileList.txt line 3", or
  // empty) and its message, in words.
  std::string whereText(const Finding& finding) const;
  std::string messageText(const Finding& finding) const;
  // Both, as "where: message" (the message alone when it has no place).
  std::string said(const Finding& finding) const;

 private:
  void add(Severity severity, int exitCode, Place where, Words message);
  WordStore words_;  // the findings' words, each once
};

// Called now and then while contents are read: bytes read so far of the
// total the check will read.
using Progress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// Checks the release in `source`; `path` only names it in the report.
CheckReport checkRelease(ReleaseSource& source, const std::string& path,
                         const Progress& progress = {});

// Opens the release at `path` (an archive or a folder) and checks it; the
// report keeps the opened source.
CheckReport checkPath(const std::string& path, const Progress& progress = {});

// Says in `report` what is wrong with `name`, the name of `entry`, the
// source's entry `index`: an error when it is unsafe to extract (then false),
// warnings for a name stored in a legacy code page, Zip64 fields, what the
// device's file system cannot hold and a path over kDevicePathBytesMax
// bytes.
bool judgeEntryName(const ReleaseEntry& entry, std::string_view name, std::size_t index,
                    CheckReport& report);

// Rules on one entry name (UTF-8, "/" or "\" between components).
// Unsafe on extraction: a ".." component, an absolute name, a drive letter.
bool isUnsafeName(std::string_view name);
// What the device's FAT file system cannot hold in `name`, or empty: control
// characters, < > : " | ? *, a component ending in a dot or a space.
std::string fatProblem(std::string_view name);

}  // namespace quillet::check
