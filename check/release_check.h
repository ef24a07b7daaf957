// The release check: what the device relies on in a release, read from an
// archive or from an extracted release folder.
//
// One pass over the entries (their names, the name rules, the tables the
// lines are matched with), the two lists decoded as they are read and
// matched, the digest taken in list order, then every entry not read yet in
// the release's order. Memory follows from the caps in release_format.h and
// below: an entry's record, a line's number, a folder's record, at most
// kFindingsMax findings, at most kListTextBytesMax of text per list and
// kDamagedMessageBytesMax of messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "folder_set.h"
#include "list_lines.h"
#include "release_format.h"
#include "release_source.h"

namespace quillet::check {

// Exit codes of quillet-check; a release with several kinds of problem ends
// with the lowest code among them.
inline constexpr int kExitPassed = 0;            // the release passes
inline constexpr int kExitReportLost = 1;        // it passes, but the report could not be written
inline constexpr int kExitUsage = 2;             // the command line is wrong
inline constexpr int kExitDamaged = 3;           // cannot open, damaged, unsafe, not supported
inline constexpr int kExitMalformedLists = 4;    // a list is missing or does not decode strictly
inline constexpr int kExitListsDisagree = 5;     // the lists disagree with the contents
inline constexpr int kExitDigestMismatch = 6;    // $md5.bin is missing or differs from the contents
inline constexpr int kExitDeviceCannotHold = 7;  // a name, path or file the device cannot hold

// What the limits of release_format.h are, in the words of the messages.
inline constexpr char kReleaseEntriesWhy[] =
    "a release can hold (a full file list's files, $md5.bin and the packer's most folders)";
inline constexpr char kEntryNameWhy[] = "a line of a list can name";

// The entries whose reading fails that the check says, at most, and the
// bytes of their messages (a folder's name the file's path, which may be
// long): past either it says so once and reads no more.
inline constexpr std::size_t kDamagedEntriesMax = 4096;
inline constexpr std::size_t kDamagedMessageBytesMax = 4 * 1024 * 1024;
// The findings the report keeps, at most; past them it counts the rest.
inline constexpr std::size_t kFindingsMax = std::size_t{1} << 20;

// The top-level files, as Said::kTopLevel* number them.
inline constexpr const char* kTopLevelNames[] = {kFileListName, kFolderListName, kDigestName};

// A path that a finding names: an entry, or a folder with kFolderPath.
inline constexpr std::uint32_t kFolderPath = 0x80000000u;

// What a finding says, in groups by what Finding::a names, its place
// (report.cpp tells the groups apart by their last kinds); what b carries
// is given with each kind.
enum class Said : std::uint8_t {
  // a: the place's words, b: the message's (CheckReport::texts).
  kText,
  // a: which top-level file (kTopLevelNames).
  kTopLevelLoose,    // b: the entry it matches
  kTopLevelMissing,  // b: 1 when it is in the staging folder's name below the top, 2
                     // when the release archive's name is at the top
  // a: a line of $FileList.txt, from 0.
  kFileLineLoose,  // b: the entry it matches
  kFileLineFirstForm,
  kFileLineNothing,
  kFileLineFolder,
  kFileLineRepeats,  // b: the earlier line
  // a: a line of $FolderList.txt, from 0.
  kFolderLineNoPrefix,
  kFolderLineLoose,  // b: the folder's path it matches
  kFolderLineNoFolder,
  kFolderLineEmptyFolder,
  // a: a path: an entry, or a folder with kFolderPath.
  kEntryText,  // b: the message's words
  kAppearsTwice,
  kUnsafeName,
  kLink,
  kLegacyName,  // b: 1 when its bytes read as UTF-8 too
  kZip64Entry,
  kNotAFile,
  kDeviceName,   // b: where in its name the component begins
  kPathTooLong,  // b: units the device counts
  kFileTooLarge,
  kCaseTwin,       // b: the earlier path it differs from in case only
  kFileAndFolder,  // b: the earlier path of the same name, a file or a folder
  kNotListed,
  kListTooMuchText,    // (the list's entry)
  kFolderWithoutLine,  // (a folder)
};

// One problem, in twelve bytes: what it says and the numbers of what it
// names; CheckReport puts it into words.
struct Finding {
  std::uint8_t exitCode = 0;  // the kind of failure of an error; 0 (kExitPassed) for a warning
  Said said = Said::kText;
  bool unsupported = false;  // kExitDamaged's: a form the device cannot unpack, not damage
  std::uint32_t a = 0;
  std::uint32_t b = 0;
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
  // The first kFindingsMax findings, in the order they were found, and how
  // many more there were.
  std::vector<Finding> findings;
  std::uint64_t findingsLeftOut = 0;
  std::vector<std::string> texts;  // words of the findings that carry their own
  ListLines fileList;              // the decoded lines (those naming a file as its entry)
  ListLines folderList;
  // The checked release, whose names the findings and lines are said with,
  // and its folders.
  std::shared_ptr<ReleaseSource> release;
  std::shared_ptr<FolderSet> folderSet;

  // kExitPassed, or the lowest exit code among the errors (those left out
  // included).
  int exitCode() const { return lowestError_; }
  // A finding: an error with `exitCode`, or a warning with kExitPassed.
  void fail(int exitCode, Said said, std::uint32_t a = 0, std::uint32_t b = 0);
  void warn(Said said, std::uint32_t a = 0, std::uint32_t b = 0) { fail(kExitPassed, said, a, b); }
  // A finding with words of its own (a warning with kExitPassed): a place
  // ("$FileList.txt line 3", "entry '$md5.bin'", or empty) and a message.
  void failWith(int exitCode, std::string where, std::string message);
  // An error on entry `index`, with words of its own.
  void failAt(int exitCode, std::size_t index, std::string message);
  // A release in a form not supported, though well-formed (an encrypted
  // archive, another method, past a cap of the check's): kExitDamaged, said
  // so.
  void failUnsupported(Said said, std::uint32_t a = 0, std::uint32_t b = 0);
  void failUnsupported(std::string message);
  // The exit code is kExitDamaged, and every such error failUnsupported's.
  bool onlyUnsupported() const;

  // A finding's message in words, and as "where: message" (the message
  // alone when it has no place).
  std::string messageText(const Finding& finding) const;
  std::string said(const Finding& finding) const;

 private:
  std::uint32_t text(std::string words);
  int lowestError_ = kExitPassed;
};

// Called now and then while contents are read: bytes read so far of the
// total the check will read.
using Progress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// What a comparison of two releases (release_diff.h) takes from a check
// besides its report: the file each line of the file list names, as the
// check matched it, and the hashes of names (name_hash.h, this run's seed)
// that its survey computes anyway.
struct ReleaseNames {
  bool fileListDecoded = false;
  std::vector<std::int64_t> listed;    // by file line: the file it names; -1 for none or a repeat
  std::vector<std::uint64_t> exact;    // by entry: of its name
  std::vector<std::uint64_t> folded;   // by entry: of its name as the device compares names
                                       // (foldedKey); 0 for a folder, or one the survey left
  std::vector<std::uint64_t> folders;  // of each folder's name folded
  std::vector<std::uint32_t> configurations;  // the entries whose names hold kConfigurationMark
  // The files whose contents were not read whole (their reading failed, or
  // the check stopped reading), ascending: their CRC-32 is not known.
  std::vector<std::uint32_t> unread;
};

// Checks the release in `source`, which the report keeps; `path` only names
// it in the report. With `names`, what a comparison needs is kept there.
CheckReport checkRelease(std::shared_ptr<ReleaseSource> source, const std::string& path,
                         const Progress& progress = {}, ReleaseNames* names = nullptr);

// Opens the release at `path` (an archive or a folder) and checks it.
CheckReport checkPath(const std::string& path, const Progress& progress = {},
                      ReleaseNames* names = nullptr);

// Unsafe on extraction: a ".." component, an absolute name, a drive letter
// (UTF-8, "/" or "\" between components).
bool isUnsafeName(std::string_view name);

// Why the device's file system cannot hold `component` (a name between
// separators; bytes that are not UTF-8 taken as they are), or nullptr.
const char* whyDeviceCannotHold(std::string_view component);

}  // namespace quillet::check
