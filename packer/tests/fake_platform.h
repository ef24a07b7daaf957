// An in-memory Platform for unit tests: a tree of folders and files, a
// working folder, in-memory streams, a captured console, a scripted standard
// input, recorded commands, and hooks that make single operations fail.
//
// Narrow paths use the separator and root given at construction, so a
// Windows-style tree ("C:" and '\\': "C:\\work\\FlashDrive") can be walked on
// any host. Wide paths are relative to the working folder and "\"-separated,
// as the Platform contract says. Names are stored as the search reports them
// (UTF-8, the fake's ANSI code page).
//
// The search reports "." and ".." first, then the folder's entries in the
// order they were added, as Windows reports them on NTFS for names added in
// that order; setListing replaces what a folder's search reports.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform.h"

namespace quillet::testing {

class FakePlatform final : public Platform {
 public:
  // How often each operation was called.
  struct Calls {
    int findFirstFile = 0;
    int findNextFile = 0;
    int findClose = 0;
    int findCloseOfUnknownHandle = 0;  // a search closed twice, or never opened
    int changeWorkingFolder = 0;
    int openFile = 0;  // narrow and wide, created new or opened
    int deleteFile = 0;
    int replaceFile = 0;
    int runCommand = 0;
  };

  // Faults to inject. A fault's path names the file or folder it hits by its
  // last components, written with this platform's separator: "$temp.txt"
  // hits every file of that name, "FlashDrive/$temp.txt" only the one in a
  // folder "FlashDrive".
  struct Faults {
    int failFindNextFileCall = 0;     // the Nth findNextFile call (from 1) fails; 0: none
    std::set<std::string> openFails;  // opening the file fails (either mode)
    std::map<std::string, std::size_t> readFailsAfter;   // reads fail after N bytes
    std::map<std::string, std::size_t> writeFailsAfter;  // writes stop after N bytes
    std::set<std::string> closeFails;    // close of a stream written to the file fails
    std::set<std::string> deleteFails;   // deleteFileW fails
    std::set<std::string> replaceFails;  // replaceFileW fails when this is the target
    std::set<std::string> unlistable;    // folders that can be entered, not searched
  };

  // `root` is what an absolute path begins with before its first separator:
  // "" on POSIX ("/work"), "C:" on Windows ("C:\\work"). The working folder
  // starts at the root.
  explicit FakePlatform(char separator = '/', std::string root = "");
  ~FakePlatform() override;

  // --- Setting up. Setup paths are narrow, absolute or relative to the
  // working folder, written with this platform's separator. Missing parent
  // folders are created.
  void addFolder(const std::string& path);
  void addFile(const std::string& path, const std::string& bytes = "");
  // What the search of `folder` reports from now on, in this order, instead
  // of "." and ".." and the folder's entries.
  void setListing(const std::string& folder, std::vector<std::string> names);
  // --- The walk under hostile conditions.
  // What entryKind reports for `path` from now on (a link, a FIFO, ...).
  void setKind(const std::string& path, EntryKind kind);
  // Makes `path` a second name of the folder `target`, as a junction or a
  // link to a folder is: entering it enters that same folder.
  void addAlias(const std::string& path, const std::string& target);
  // The size the file `path` claims from now on, whatever bytes it holds
  // (a file larger than memory).
  void setSize(const std::string& path, std::uint64_t bytes);

  // Called at every findFirstFile with its pattern, before the folder is read
  // (e.g. to let a folder gain entries between two searches).
  std::function<void(const std::string& pattern)> onFindFirstFile;

  // --- Looking at the result.
  bool exists(const std::string& path) const;
  bool isFolder(const std::string& path) const;
  std::optional<std::string> fileBytes(const std::string& path) const;
  // Entry names of a folder in their order (without "." and "..").
  std::vector<std::string> entries(const std::string& folder) const;
  // Searches opened and not yet closed.
  std::size_t openSearches() const { return searches_.size(); }

  Faults faults;
  Calls calls;
  std::string console;                      // everything printed, as UTF-8
  std::string input;                        // what readChar delivers, then EOF
  std::vector<std::string> commands;        // command lines given to runCommand
  std::vector<std::string> commandFolders;  // the working folder at each command
  CommandResult commandResult{true, 0};
  // Runs in place of a command, after it was recorded (e.g. to leave an
  // archive behind); its result replaces commandResult.
  std::function<CommandResult(const std::string& commandLine)> onCommand;

  // --- Read-ahead of the content digest (begin).
  // Bytes the fake's streams have handed out to readers, on any thread.
  std::atomic<std::size_t> bytesRead{0};
  // Called with each text printed, before it is added to `console`.
  std::function<void(const std::string& text)> onPrint;
  // --- Read-ahead of the content digest (end).

  // --- Platform.
  SearchHandle findFirstFile(const char* pattern, FindData* data) override;
  bool findNextFile(SearchHandle handle, FindData* data) override;
  void findClose(SearchHandle handle) override;
  std::string searchFailure() override;
  bool getWorkingFolder(std::string* path) override;
  bool changeWorkingFolder(const char* path) override;
  std::string changeFailure() override;
  char separator() const override { return separator_; }
  bool opensForReading(const char* path, std::uint64_t* size) override;
  std::unique_ptr<Stream> openFile(const char* path, const char* mode) override;
  std::unique_ptr<Stream> openFileW(const std::u16string& path, const char* mode) override;
  std::unique_ptr<ByteSource> openToReadAtW(const std::u16string& path,
                                            std::string* error) override;
  bool deleteFileW(const std::u16string& path) override;
  bool setNormalAttributesW(const std::u16string& path) override;
  bool replaceFileW(const std::u16string& from, const std::u16string& to) override;
  bool folderExistsW(const std::u16string& path) override;
  std::optional<std::u16string> ansiToUtf16(const std::string& ansi) override;
  void print(const std::string& text) override;
  void printWide(const std::u16string& text) override;
  int readChar() override;
  EntryKind entryKind(const char* path) override;
  bool workingFolderId(FolderId* id) override;
  std::unique_ptr<Stream> createNewFile(const char* path) override;
  std::unique_ptr<Stream> createNewFileW(const std::u16string& path) override;
  std::string archiverCommandLine(const std::string& workingFolder) const override;
  CommandResult runCommand(const std::string& commandLine) override;

  // --- The run under hostile conditions.
  void openClosedStandardStreams() override {}
  void watchInterruptions() override {}
  int interruption() override;
  RunLock lockWorkingFolder() override { return runLock; }
  EntryKind entryKindW(const std::u16string& path) override;

  // The exit status `interruption` reports once it has been asked
  // `interruptAfterQueries` times (0: at once); 0 for none.
  int interruptionStatus = 0;
  int interruptAfterQueries = 0;
  int interruptionQueries = 0;
  // What lockWorkingFolder answers.
  RunLock runLock = RunLock::kTaken;

  struct Node;

 private:
  using Components = std::vector<std::string>;

  std::optional<Components> resolve(const std::string& path, char separator) const;
  std::optional<Components> resolveWide(const std::u16string& path) const;
  std::shared_ptr<Node> find(const Components& components) const;
  std::shared_ptr<Node> makeFolders(const Components& components);
  bool hits(const std::set<std::string>& paths, const Components& components) const;
  const std::size_t* limitFor(const std::map<std::string, std::size_t>& limits,
                              const Components& components) const;
  std::string absolute(const Components& components) const;
  std::unique_ptr<Stream> open(const std::optional<Components>& components, const char* mode);

  char separator_;
  std::string root_;
  std::shared_ptr<Node> top_;
  Components working_;
  std::map<std::string, std::vector<std::string>> listings_;  // by setup key
  struct Search {
    std::vector<std::string> names;
    std::size_t next = 0;
  };
  std::map<SearchHandle, Search> searches_;
  SearchHandle nextHandle_ = 100;
  int searchError_ = 0;  // an errno value
  int changeError_ = 0;  // an errno value
  // --- Read-ahead of the content digest: reader threads open files at once.
  std::mutex openMutex_;  // one open at a time (the tree and `calls` are shared)
  std::size_t inputPosition_ = 0;
};

}  // namespace quillet::testing
