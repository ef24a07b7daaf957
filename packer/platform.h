// What the packer needs of the operating system.
//
// The packer's own code is portable and reaches the system only through
// `Platform`. One implementation per platform lives in files of its own
// (platform_posix*.cpp, platform_win32*.cpp, each begun in platform_posix.cpp
// and platform_win32.cpp); CMake picks the ones to build.
// Tests may install another implementation with `setPlatform`.
//
// Paths come in two kinds, as the packer uses them:
//  - narrow paths of the walk, in the system's ANSI code page (UTF-8 on
//    POSIX), absolute or relative, separated by `separator()`;
//  - wide paths (UTF-16) of the later steps, always relative to the working
//    folder and written with "\" between components, as the list files hold
//    them ("FlashDrive\$md5.bin"). Each implementation turns them into its
//    own form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "byte_source.h"

namespace quillet {

// One entry found by the file search. Only the name is used.
struct FindData {
  std::string fileName;  // narrow, exactly as the search reports it
};

using SearchHandle = std::intptr_t;
inline constexpr SearchHandle kInvalidSearchHandle = -1;

// What a path names, looked at without following a link at its end.
enum class EntryKind {
  kNone,     // nothing by that name
  kFile,     // a regular file
  kFolder,   // a folder (not a link to one)
  kLink,     // a symbolic link, junction or other reparse point, whatever it leads to
  kSpecial,  // a FIFO, socket or device node
  kUnknown,  // there, but cannot be looked at (no permission, a name the system refuses)
};

// Names one folder on this system for as long as the walk runs (device and
// inode on POSIX, volume serial number and file index on Windows).
struct FolderId {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool operator==(const FolderId& other) const {
    return volume == other.volume && index == other.index;
  }
};

// An open binary byte stream. Destroying an open stream closes it.
class Stream {
 public:
  virtual ~Stream() = default;
  // Reads up to `size` bytes; returns how many were read. 0 means the end of
  // the file or a read error; `readFailed` tells the two apart.
  virtual std::size_t read(void* buffer, std::size_t size) = 0;
  // True once a read has failed for any reason other than the end of the file.
  virtual bool readFailed() const = 0;
  // Writes `size` bytes; returns how many were accepted.
  virtual std::size_t write(const void* data, std::size_t size) = 0;
  // Moves to offset 0. False when the stream cannot seek.
  virtual bool rewind() = 0;
  // Flushes and closes. False when written data may not have reached the
  // file. Further calls do nothing and return true.
  virtual bool close() = 0;
};

// What a command run through the command shell came to.
struct CommandResult {
  bool started = false;      // the shell ran and could start the command
  int exitCode = -1;         // the command's exit status when `started`
  bool interrupted = false;  // the run was interrupted and the command ended
};

// What taking the run lock of the working folder came to.
enum class RunLock {
  kTaken,   // this run holds it until the process ends
  kBusy,    // another run holds it
  kFailed,  // the lock could not be taken or asked for
};

class Platform {
 public:
  virtual ~Platform() = default;

  // --- File search, as FindFirstFileA / FindNextFileA / FindClose behave.
  // `pattern` is a folder name, a separator ("\" on every platform, as
  // Windows writes it) and "*"; an empty folder name means the working
  // folder. The first entry is in `data` on success. Every entry is
  // reported, "." and ".." included, in the platform's order.
  // Returns kInvalidSearchHandle when the folder cannot be searched;
  // searchFailure() then says why.
  virtual SearchHandle findFirstFile(const char* pattern, FindData* data) = 0;
  // Why the last search that could not start failed, in the system's words
  // with its code (support/system_error.h).
  virtual std::string searchFailure() = 0;
  // True with the next entry in `data`; false at the end or on failure.
  virtual bool findNextFile(SearchHandle handle, FindData* data) = 0;
  virtual void findClose(SearchHandle handle) = 0;

  // --- Working folder (_getcwd / _chdir).
  // The absolute path of the working folder as the system writes it.
  virtual bool getWorkingFolder(std::string* path) = 0;
  virtual bool changeWorkingFolder(const char* path) = 0;
  // Why the last change of the working folder that failed did, in the
  // system's words with its code (a path too long for the system, no
  // permission, ...).
  virtual std::string changeFailure() = 0;
  // The separator between path components in narrow paths ('\\' or '/').
  virtual char separator() const = 0;

  // --- Narrow paths of the walk.
  // The walk's file test: true when `path` opens for reading in text mode
  // (the file is closed at once), with the file's size in bytes in `size`.
  // A folder never passes, whatever the C library would do with it.
  virtual bool opensForReading(const char* path, std::uint64_t* size) = 0;
  // Opens a stream by narrow path; `mode` as for fopen ("rb", "wb").
  // nullptr when it cannot be opened.
  virtual std::unique_ptr<Stream> openFile(const char* path, const char* mode) = 0;

  // --- Wide paths of the later steps (relative, "\"-separated).
  virtual std::unique_ptr<Stream> openFileW(const std::u16string& path, const char* mode) = 0;
  virtual bool deleteFileW(const std::u16string& path) = 0;
  // Clears read-only, hidden and system marks (FILE_ATTRIBUTE_NORMAL) of a
  // regular file. Anything else (a folder, a link, a device) is left as it
  // is and the call returns false.
  virtual bool setNormalAttributesW(const std::u16string& path) = 0;
  // Puts `from` in the place of `to` in one step, replacing `to` if it
  // exists; `from` is gone afterwards. False leaves `to` as it was.
  virtual bool replaceFileW(const std::u16string& from, const std::u16string& to) = 0;
  // True when `path` names an existing folder.
  virtual bool folderExistsW(const std::u16string& path) = 0;
  // Opens a regular file to be read at any offset (the archive the run
  // made, for its check). nullptr when it cannot be opened; `error` then
  // says why in words.
  virtual std::unique_ptr<ByteSource> openToReadAtW(const std::u16string& path,
                                                    std::string* error) = 0;

  // --- Read-ahead of the content digest (begin).
  // Opens a listed file to be read once from start to end, possibly on a
  // reader thread while other threads open and read other files: this call
  // and reads of the streams it returns must be safe to run on several
  // threads at once (each stream is used by one thread at a time). An
  // implementation tells the system the file will be read sequentially
  // where that helps (FILE_FLAG_SEQUENTIAL_SCAN, posix_fadvise). nullptr
  // when it cannot be opened, as openFileW(path, "rb") says; by default it
  // is that call.
  virtual std::unique_ptr<Stream> openForSequentialReadW(const std::u16string& path);
  // Called first on each reader thread. On POSIX it blocks every signal
  // there, so that interruptions and SIGCHLD reach the main thread, which
  // waits for them; by default it does nothing.
  virtual void helperThreadStarted() {}
  // --- Read-ahead of the content digest (end).

  // --- Text.
  // MultiByteToWideChar(CP_ACP, 0, ...): the system's ANSI code page to
  // UTF-16. Nothing when the text is not valid in that code page.
  virtual std::optional<std::u16string> ansiToUtf16(const std::string& ansi) = 0;

  // --- Console: standard output and input.
  // Byte text (printf) and wide text (wprintf) share one stream and keep
  // their order.
  virtual void print(const std::string& text) = 0;
  virtual void printWide(const std::u16string& text) = 0;
  // One character of standard input (getchar); EOF at its end. Standard
  // output is flushed first, so that a prompt is seen before the wait.
  virtual int readChar() = 0;

  // --- The walk under hostile conditions (links, special files, loops,
  // files that must be new). Keep these together.
  // What `path` (narrow) names, without following a link at its end.
  virtual EntryKind entryKind(const char* path) = 0;
  // The identity of the working folder. False when it cannot be had.
  virtual bool workingFolderId(FolderId* id) = 0;
  // Creates a new file for writing ("wb"). Fails (nullptr) when anything
  // exists by that name, a link included, so an existing file is never
  // opened and a link never followed.
  virtual std::unique_ptr<Stream> createNewFile(const char* path) = 0;
  virtual std::unique_ptr<Stream> createNewFileW(const std::u16string& path) = 0;
  // --- End of the walk's block.

  // --- Child process.
  // The command line that runs the archiver from inside the staging folder,
  // in this platform's shell, the wildcard reaching the archiver unexpanded.
  // `workingFolder` is the working folder's absolute path: on Windows the
  // line stays "..\7za a -tzip ..\ZarvoEUupdate.zip *"; on POSIX it names
  // the archiver and the archive by absolute path, so that a staging folder
  // that is a link to a folder elsewhere still runs the working folder's own
  // 7za and puts the archive beside it.
  virtual std::string archiverCommandLine(const std::string& workingFolder) const = 0;
  // Runs a command line through the command shell and waits for it.
  // Standard output is flushed first so the child's output follows ours.
  // The command runs as a child the run can end: when an interruption
  // arrives while it runs, the command (with whatever it started) is ended
  // and waited for, and the result says `interrupted`.
  virtual CommandResult runCommand(const std::string& commandLine) = 0;

  // --- The run under hostile conditions: interruption, the run lock, the
  // standard streams, the checks on stale outputs. Keep these together.
  //
  // Opens each of the standard descriptors (input, output, error) that is
  // closed on the null device, so that no file the run opens becomes one
  // of them. Called first thing.
  virtual void openClosedStandardStreams() = 0;
  // From now on SIGINT, SIGTERM and SIGHUP (Windows: Ctrl+C, Ctrl+Break,
  // closing the console) only note the interruption for `interruption()`;
  // SIGPIPE is ignored, so a console that went away never ends the run.
  virtual void watchInterruptions() = 0;
  // 0 while no interruption has arrived; otherwise the exit status that
  // reports it: 130 (SIGINT, and every console event on Windows), 143
  // (SIGTERM), 129 (SIGHUP). Cheap: the long loops ask it once per entry.
  virtual int interruption() = 0;
  bool interrupted() { return interruption() != 0; }
  // Takes the lock that keeps a second run out of the working folder. It
  // leaves no file behind and goes with the process, however that ends.
  virtual RunLock lockWorkingFolder() = 0;
  // What stands at a wide path (a last link is not followed).
  virtual EntryKind entryKindW(const std::u16string& path) = 0;
  // --- End of the run's block.
};

// The platform in use: the native one unless a test installed another.
Platform& platform();
// Installs `replacement` (nullptr: the native one again); returns the one
// that was in use, which is never nullptr (the native one when nothing was
// installed), so handing it back restores the earlier state.
Platform* setPlatform(Platform* replacement);
// This build's own implementation.
Platform& nativePlatform();

// Installs a platform for the guard's lifetime and restores the one that
// was in use before. Tests install their backends this way.
class ScopedPlatform {
 public:
  explicit ScopedPlatform(Platform& replacement) : previous_(setPlatform(&replacement)) {}
  ~ScopedPlatform() { setPlatform(previous_); }
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;

 private:
  Platform* previous_;
};

}  // namespace quillet
