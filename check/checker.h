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

enum TopLevel : std::uint32_t { kFileList = 0, kFolderList = 1, kDigest = 2 };

class Checker {
 public:
  // With `kept`, what a comparison of two releases needs is kept there.
  Checker(ReleaseSource& source, CheckReport& report, const Progress& progress,
          ReleaseNames* kept = nullptr)
      : source_(source),
        report_(report),
        progress_(progress),
        kept_(kept),
        flags_(source.count(), 0),
        entryHashes_(source.count(), 0),
        names_(source.count()),
        folded_(source.count() + kFoldersMax) {
    if (kept_ != nullptr) kept_->folded.assign(source.count(), 0);
  }

  void run();

 private:
  // What the check knows of each entry, in a byte.
  enum : std::uint8_t {
    kConfiguration = 1,  // its name holds kConfigurationMark
    kRead = 2,           // read already (or its reading failed)
    kFailed = 4,         // its reading failed, said once
  };

  // (Each step is said where it is defined.)
  // --- The entries (release_check.cpp).
  void survey();
  bool judgeName(const ReleaseEntry& entry, std::string_view name, std::uint32_t index);
  std::uint64_t pathHash(std::uint32_t path) const;
  void checkCaseTwin(std::uint32_t path, std::string_view name);
  std::int64_t findExactFile(std::string_view name) const;
  std::int64_t findFile(std::string_view name, bool* loose);
  std::int64_t topLevel(TopLevel which, int exitCode);
  std::uint32_t whereInstead(TopLevel which) const;

  // --- The lists (list_check.cpp).
  bool readList(TopLevel which, std::size_t entry);
  void keepFileLine(const std::string& text, ListLines& lines);
  void keepFolderLine(const std::string& text, ListLines& lines);
  void readExpectedDigest();
  std::vector<std::int64_t> matchFileLines();
  void matchFolderLines();

  // --- The contents (contents_check.cpp).
  void countRead(std::size_t size);
  bool readEntry(std::size_t index, const ReleaseSource::Sink& sink);
  void sayDamaged(std::size_t index, const std::string& message);
  void digestListedFiles(const std::vector<std::int64_t>& listed);
  ReadAhead::Ending readAhead(const std::vector<std::size_t>& order, std::size_t from,
                              std::size_t to, ReadAhead::Writer& writer,
                              std::vector<std::pair<std::size_t, std::string>>& unread);
  void readTheRest();

  ReleaseSource& source_;
  CheckReport& report_;
  const Progress& progress_;
  ReleaseNames* kept_;                      // what a comparison keeps, or nothing
  std::vector<std::uint8_t> flags_;         // by entry: kConfiguration, kRead, kFailed
  std::vector<std::uint64_t> entryHashes_;  // of each entry's name
  NameTable names_;                         // files and folder entries by their names
  NameTable folded_;  // files and folders by their names folded, the first of each
  FolderSet& folders_ = *report_.folderSet;
  std::int64_t digestIndex_ = -1;
  std::size_t damaged_ = 0;       // entries that could not be read, said
  std::size_t damagedBytes_ = 0;  // their messages' bytes
  bool tooDamaged_ = false;       // past either limit: the rest is not read
  std::uint64_t doneBytes_ = 0;
  std::uint64_t lastProgress_ = 0;
};

}  // namespace quillet::check
