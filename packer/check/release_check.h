// The release check: what the device relies on in a release, read from an
// archive or from an extracted release folder.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "list_format.h"
#include "release_source.h"
#include "text_lines.h"
#include "walk.h"

namespace quillet::check {

// Exit codes of quillet-check; a release with several kinds of problem ends
// with the lowest code among them.
inline constexpr int kExitPassed = 0;   // the release passes
inline constexpr int kExitUsage = 2;    // the command line is wrong
inline constexpr int kExitDamaged = 3;  // cannot open, damaged archive, CRC errors, unsafe names
inline constexpr int kExitMalformedLists = 4;  // a list is missing or does not decode strictly
inline constexpr int kExitListsDisagree = 5;   // the lists disagree with the contents
inline constexpr int kExitDigestMismatch = 6;  // $md5.bin is missing or differs from the contents

// The top-level files the device reads.
inline constexpr char kFileListName[] = "$FileList.txt";
inline constexpr char kFolderListName[] = "$FolderList.txt";
inline constexpr char kDigestName[] = "$md5.bin";
inline constexpr char kConfigurationMark[] = "$FileList-cfg.txt";
inline constexpr std::size_t kDevicePathBytesMax = 255;

// The most entries a release's archive can hold: a full file list's files,
// $md5.bin, and as many folders as the packer's walk scans. An archive that
// declares more is refused before its entries are read, so that a hostile
// directory of millions of tiny entries cannot claim memory for them.
inline constexpr std::uint64_t kReleaseEntriesMax = std::uint64_t{kListLinesMax} + 1 + kFoldersMax;
inline constexpr char kReleaseEntriesWhy[] =
    "a release can hold (a full file list's files, $md5.bin and the packer's most folders)";

enum class Severity { kWarning, kError };

// One problem, with the entry or list line it concerns.
struct Finding {
  Severity severity = Severity::kError;
  int exitCode = 0;   // the kind of failure of an error; 0 for a warning
  std::string where;  // "$FileList.txt line 3", "entry 'NAVI/x.dat'", or empty
  std::string message;
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
  std::vector<Finding> findings;  // in the order they were found
  TextLines fileList;             // the decoded lines, UTF-8
  TextLines folderList;

  // kExitPassed, or the lowest exit code among the errors.
  int exitCode() const;
  void warn(std::string where, std::string message);
  void fail(int exitCode, std::string where, std::string message);
};

// Called now and then while contents are read: bytes read so far of the
// total the check will read.
using Progress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// Checks the release in `source`; `path` only names it in the report.
CheckReport checkRelease(ReleaseSource& source, const std::string& path,
                         const Progress& progress = {});

// Opens the release at `path` (an archive or a folder) and checks it.
CheckReport checkPath(const std::string& path, const Progress& progress = {});
// The same, handing the opened source to `opened` when there is one, for a
// caller that would rather let it go with the process than free it.
CheckReport checkPath(const std::string& path, const Progress& progress,
                      std::unique_ptr<ReleaseSource>* opened);

// Says in `report` what is wrong with an entry's name: an error when it is
// unsafe to extract (then false), warnings for a name stored in a legacy
// code page, Zip64 fields, what the device's file system cannot hold and a
// path over kDevicePathBytesMax bytes.
bool judgeEntryName(const ReleaseEntry& entry, CheckReport& report);

// Rules on one entry name (UTF-8, "/" or "\" between components).
// Unsafe on extraction: a ".." component, an absolute name, a drive letter.
bool isUnsafeName(std::string_view name);
// What the device's FAT file system cannot hold in `name`, or empty: control
// characters, < > : " | ? *, a component ending in a dot or a space.
std::string fatProblem(std::string_view name);

}  // namespace quillet::check
