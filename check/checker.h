// The check's steps and what they share, in three files: the entries and
// the rules on their names (release_check.cpp), the lists against the
// release (list_check.cpp), and the contents (contents_check.cpp). Private
// to the check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "folder_set.h"
#include "name_table.h"
#include "read_ahead.h"
#include "release_check.h"

namespace quillet::check {

// The top-level files, as Said::kTopLevel* number them.
inline constexpr const char* kTopLevelNames[] = {kFileListName, kFolderListName, kDigestName};
enum TopLevel : std::uint32_t { kFileList = 0, kFolderList = 1, kDigest = 2 };

// `text` with every "\" made "/", as the release's names separate components.
std::string withSlashes(std::string_view text);

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

  void run();

 private:
  // What the check knows of each entry, in a byte.
  enum : std::uint8_t {
    kConfiguration = 1,  // its name holds kConfigurationMark
    kRead = 2,           // read already (or its reading failed)
    kFailed = 4,         // its reading failed, said once
  };

  // --- The entries (release_check.cpp).
  // Every entry: counts, name rules, the tables the lines are matched with.
  void survey();
  // Says in the report what is wrong with entry `index`'s name: an error
  // when it is unsafe to extract (then false), or what the device cannot
  // hold; warnings for a name stored in a legacy code page and Zip64 fields.
  bool judgeName(const ReleaseEntry& entry, std::string_view name, std::uint32_t index);
  // The hash of a path as a case twin names it: an entry's name, or a
  // folder's.
  std::uint64_t pathHash(std::uint32_t path) const;
  // A path (a file, or a folder when first noted) that differs only in case
  // from one before it cannot be held beside it by the device: one would
  // overwrite the other.
  void checkCaseTwin(std::uint32_t path, std::string_view name);
  // The file named exactly `name` ("/" between components), or -1.
  std::int64_t findExactFile(std::string_view name) const;
  // The file named `name` ("/" between components), or -1. `loose` says
  // whether it matched only when case is ignored (the first file of that
  // name then).
  std::int64_t findFile(std::string_view name, bool* loose);
  // The index of top-level file `which`; a name that matches only when case
  // is ignored is used, with a warning. -1 (after an error with `exitCode`)
  // when there is none.
  std::int64_t topLevel(TopLevel which, int exitCode);

  // --- The lists (list_check.cpp).
  // Reads and strictly decodes the list in entry `index` into `lines`,
  // keeping each line that names an entry (or a folder) exactly as what it
  // names. True when it decoded.
  bool readList(std::int64_t index, TopLevel which, ListLines& lines);
  bool decodeList(std::int64_t index, TopLevel which, ListLines& lines);
  // A file line that names a file exactly is kept as that file's entry
  // (one with a "/" of its own matches too, but would not read as itself
  // again: it keeps its text).
  void keepFileLine(const std::string& text, ListLines& lines);
  // A folder line "FlashDrive\" and a folder that holds an entry is kept as
  // that folder.
  void keepFolderLine(const std::string& text, ListLines& lines);
  // $md5.bin's 16 bytes, in hex.
  void readExpectedDigest();
  // Each file line names a file of the release, once; every file is listed
  // but $md5.bin. Returns the entry of each line (-1 when it names none).
  std::vector<std::int64_t> matchFileLines();
  // The folder lines name exactly the folders that hold an entry: each line
  // one ("FlashDrive\" and the folder; one matching only when case is
  // ignored is taken, with a warning), each such folder a line.
  void matchFolderLines();

  // --- The contents (contents_check.cpp).
  // Counts `size` bytes more read, now and then telling the progress.
  void countRead(std::size_t size);
  // Reads entry `index` through `sink`; a failure is reported as an error.
  bool readEntry(std::size_t index, const ReleaseSource::Sink& sink);
  // Says that entry `index` could not be read (false); past
  // kDamagedEntriesMax such entries, or kDamagedMessageBytesMax bytes of
  // their messages, that the rest is not read, once.
  bool sayDamaged(std::size_t index, const std::string& message);
  // MD5 over the listed files in list order, leaving out configuration
  // lines. A second thread reads (and inflates) the files ahead, while this
  // one digests them: each reading costs about what MD5 does.
  void digestListedFiles(const std::vector<std::int64_t>& listed);
  // Reads the entries order[from] to order[to] whole into `writer`'s
  // pieces, back to back, on the second thread: only the source is touched
  // there, and `unread`, which gets each entry that could not be read.
  ReadAhead::Ending readAhead(const std::vector<std::size_t>& order, std::size_t from,
                              std::size_t to, ReadAhead::Writer& writer,
                              std::vector<std::pair<std::size_t, std::string>>& unread);
  // Every entry not read yet is read once, so its CRC and local header are
  // checked too.
  void readTheRest();

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

}  // namespace quillet::check
