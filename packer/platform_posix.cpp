// The packer's platform layer on POSIX systems (Linux).
//
// What may live here: the system calls that stand in for the Windows
// functions the packer is defined with. The file search is a small layer
// over opendir/readdir that behaves as FindFirstFileA and friends do for the
// one kind of pattern the packer builds (a folder, "\", "*"); "." and ".."
// are reported as readdir reports them. Wide paths are UTF-16 with "\"
// between components and become UTF-8 paths with "/". The ANSI code page is
// the locale's narrow encoding, UTF-8.
//
// The run's safety lives here too: signal handlers that only note the
// signal, the archiver started as a child in a process group of its own
// (so that an interruption can end it and everything it started, and so
// that what it leaves behind when it exits is ended before its archive is
// judged), its output read through a pipe or a pseudo-terminal and copied
// to standard output while that is there (docs/archiver-output.md), the run
// lock (flock on the working folder itself: no file is left behind and the
// lock goes with the process), and the standard descriptors opened on
// /dev/null when they are closed. This file is for Linux: the packer makes
// itself the reaper of the archiver's orphans (prctl), so that none is left
// running or unwaited for.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform.h"
#include "system_files.h"
#include "platform_posix_lookahead.h"
#include "stdio_stream.h"
#include "system_error.h"
#include "utf.h"

namespace quillet {
namespace {

// Files larger than this are read with the sequential-read hint.
constexpr off_t kSequentialHintBytes = 1024 * 1024;

struct PosixSearch {
  DIR* dir;
};

// "\" in a wide path separates components; POSIX writes "/".
std::optional<std::string> posixPath(const std::u16string& path) {
  std::optional<std::string> narrow = utf16ToUtf8(path);
  if (!narrow) return std::nullopt;
  for (char& c : *narrow) {
    if (c == '\\') c = '/';
  }
  return narrow;
}

bool isFolder(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// --- Interruption.

// The first of SIGINT, SIGTERM, SIGHUP that arrived; 0 before any.
volatile std::sig_atomic_t caughtSignal = 0;

extern "C" void noteInterruption(int signalNumber) {
  if (caughtSignal == 0) caughtSignal = signalNumber;
}

// Only there so that SIGCHLD wakes sigsuspend: its default action ignores it.
extern "C" void noteChildChange(int) {}

constexpr int kInterruptions[] = {SIGINT, SIGTERM, SIGHUP};

// `restart`: whether a system call the signal interrupts goes on (SA_RESTART).
// The interruptions do not restart, so that a blocked read or write returns
// early; SIGCHLD does, since it matters only to the wait for the archiver
// and must not cut a later write to the console short.
void setHandler(int signalNumber, void (*handler)(int), bool restart) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = restart ? SA_RESTART : 0;
  ::sigaction(signalNumber, &action, nullptr);
}

void pause(long milliseconds) {
  struct timespec delay {};
  delay.tv_sec = milliseconds / 1000;
  delay.tv_nsec = (milliseconds % 1000) * 1000000L;
  while (::nanosleep(&delay, &delay) != 0 && errno == EINTR) {
  }
}

// Ends the process group `group` (the shell and all it started) and waits
// for each of its members: SIGTERM first, SIGKILL to whatever is still
// there after a grace period. The packer is the reaper of the group's
// orphans, so every member is its child and is waited for here.
void endProcessGroup(pid_t group) {
  ::kill(-group, SIGTERM);
  ::kill(-group, SIGCONT);                        // a stopped member would not see SIGTERM
  for (int waited = 0; waited < 200; ++waited) {  // 2 s
    int status;
    const pid_t reaped = ::waitpid(-group, &status, WNOHANG);
    if (reaped < 0 && errno == ECHILD) return;
    if (reaped == 0) pause(10);
  }
  ::kill(-group, SIGKILL);
  for (;;) {
    int status;
    if (::waitpid(-group, &status, 0) < 0 && errno != EINTR) return;
  }
}

// What the shell's end, as waitid reports it, says of the command.
CommandResult resultOf(const siginfo_t& end) {
  CommandResult result;
  if (end.si_code == CLD_EXITED) {
    result.exitCode = end.si_status;
    // The shell's own codes for a command it could not find or run.
    result.started = result.exitCode != 127 && result.exitCode != 126;
  } else {
    result.started = true;
    result.exitCode = 128 + end.si_status;
  }
  return result;
}

// --- The archiver's output (docs/archiver-output.md).

// Where the archiver writes (standard output and error both) and where the
// packer reads it: a pseudo-terminal when the packer's standard output is a
// terminal, so that 7za shows its live progress as it does on one, a pipe
// otherwise. Both -1 when neither could be had: the archiver then writes
// to the packer's own streams.
struct OutputChannel {
  int reading = -1;
  int writing = -1;
};

// A pseudo-terminal that passes bytes through as written ("\n" stays
// "\n": the real terminal translates it) and has the terminal's size.
OutputChannel openPseudoTerminal() {
  OutputChannel channel;
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) return channel;
  char name[128];
  int slave = -1;
  if (::grantpt(master) == 0 && ::unlockpt(master) == 0 &&
      ::ptsname_r(master, name, sizeof name) == 0) {
    slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  }
  if (slave < 0) {
    ::close(master);
    return channel;
  }
  struct termios modes;
  if (::tcgetattr(slave, &modes) == 0) {
    modes.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    modes.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(slave, TCSANOW, &modes);
  }
  struct winsize size;
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0) ::ioctl(slave, TIOCSWINSZ, &size);
  channel.reading = master;
  channel.writing = slave;
  return channel;
}

OutputChannel openOutputChannel() {
  if (::isatty(STDOUT_FILENO) == 1) {
    const OutputChannel terminal = openPseudoTerminal();
    if (terminal.reading >= 0) return terminal;
  }
  OutputChannel channel;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return channel;
  channel.reading = ends[0];
  channel.writing = ends[1];
  return channel;
}

// Copies what the archiver wrote to standard output; once a write there
// fails (the console went away) the rest is read and dropped. The wait for
// a console that does not take more has `waiting` as its signal mask, so
// that an interruption ends it.
class OutputCopy {
 public:
  OutputCopy(int reading, const sigset_t& waiting) : reading_(reading), waiting_(waiting) {}
  ~OutputCopy() {
    if (reading_ >= 0) ::close(reading_);
  }
  OutputCopy(const OutputCopy&) = delete;
  OutputCopy& operator=(const OutputCopy&) = delete;

  // The descriptor to wait on, -1 once the output has ended.
  int descriptor() const { return reading_; }

  // Copies one read's worth, once the descriptor is ready.
  void passSome() { readOnce(); }

  // Copies what is left without waiting for more: a writer that left the
  // archiver's process group may hold the channel open for ever.
  void passTheRest() {
    if (reading_ < 0) return;
    ::fcntl(reading_, F_SETFL, ::fcntl(reading_, F_GETFL) | O_NONBLOCK);
    while (caughtSignal == 0 && readOnce()) {
    }
  }

 private:
  // False once nothing more can be read now or ever.
  bool readOnce() {
    if (reading_ < 0) return false;
    char buffer[PIPE_BUF];
    ssize_t got;
    do {
      got = ::read(reading_, buffer, sizeof buffer);
    } while (got < 0 && errno == EINTR);
    if (got < 0 && errno == EAGAIN) return false;
    if (got <= 0) {  // the end; a pseudo-terminal says EIO once all its writers are gone
      ::close(reading_);
      reading_ = -1;
      return false;
    }
    copy(buffer, static_cast<std::size_t>(got));
    return true;
  }

  // `size` is at most the atomic write of a pipe: once standard output
  // takes more, the write does not wait.
  void copy(const char* bytes, std::size_t size) {
    while (copying_ && size > 0 && caughtSignal == 0) {
      struct pollfd console {};
      console.fd = STDOUT_FILENO;
      console.events = POLLOUT;
      if (::ppoll(&console, 1, nullptr, &waiting_) < 0) {
        if (errno == EINTR) continue;  // an interruption ends the copy: the run ends
        copying_ = false;
        break;
      }
      const ssize_t put = ::write(STDOUT_FILENO, bytes, size);
      if (put > 0) {
        bytes += put;
        size -= static_cast<std::size_t>(put);
      } else if (put < 0 && errno != EINTR && errno != EAGAIN) {
        copying_ = false;
      }
    }
  }

  int reading_;
  const sigset_t& waiting_;
  bool copying_ = true;
};

// "'text'" for the shell, with each ' written as '\''.
std::string shellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

class PosixPlatform final : public Platform {
 public:
  SearchHandle findFirstFile(const char* pattern, FindData* data) override {
    std::string folder(pattern);
    if (folder.empty() || folder.back() != '*') {
      searchError_ = EINVAL;  // the packer only ever asks for every entry of a folder
      return kInvalidSearchHandle;
    }
    folder.pop_back();
    if (!folder.empty() && folder.back() == '\\') folder.pop_back();
    if (folder.empty()) folder = ".";
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
      searchError_ = errno;
      return kInvalidSearchHandle;
    }
    posix::lookAheadOf(dir);
    auto* search = new PosixSearch{dir};
    if (!findNextFile(reinterpret_cast<SearchHandle>(search), data)) {
      findClose(reinterpret_cast<SearchHandle>(search));
      searchError_ = ENOENT;
      return kInvalidSearchHandle;
    }
    return reinterpret_cast<SearchHandle>(search);
  }

  std::string searchFailure() override { return systemErrorText(searchError_); }

  bool findNextFile(SearchHandle handle, FindData* data) override {
    auto* search = reinterpret_cast<PosixSearch*>(handle);
    errno = 0;
    const dirent* entry = ::readdir(search->dir);
    if (entry == nullptr) return false;
    data->fileName = entry->d_name;
    return true;
  }

  void findClose(SearchHandle handle) override {
    auto* search = reinterpret_cast<PosixSearch*>(handle);
    ::closedir(search->dir);
    delete search;
  }

  bool getWorkingFolder(std::string* path) override {
    std::vector<char> buffer(256);
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
      if (errno != ERANGE) return false;
      buffer.resize(buffer.size() * 2);
    }
    *path = buffer.data();
    return true;
  }

  bool changeWorkingFolder(const char* path) override { return ::chdir(path) == 0; }

  char separator() const override { return '/'; }

  bool opensForReading(const char* path, std::uint64_t* size) override {
    // Non-blocking, so that a FIFO does not stall the walk; only a regular
    // file counts (glibc's fopen would open a folder for reading).
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info;
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    ::close(fd);
    if (regular) *size = static_cast<std::uint64_t>(info.st_size);
    return regular;
  }

  std::unique_ptr<Stream> openFile(const char* path, const char* mode) override {
    if (mode[0] == 'r' && isFolder(path)) {
      errno = EISDIR;
      return nullptr;
    }
    return wrapStdioFile(std::fopen(path, mode));
  }

  std::unique_ptr<Stream> openFileW(const std::u16string& path, const char* mode) override {
    const std::optional<std::string> native = posixPath(path);
    if (!native) {
      errno = EILSEQ;
      return nullptr;
    }
    return openFile(native->c_str(), mode);
  }

  std::unique_ptr<ByteSource> openToReadAtW(const std::u16string& path,
                                            std::string* error) override {
    const std::optional<std::string> native = posixPath(path);
    if (!native) {
      *error = "the path is not valid UTF-16";
      return nullptr;
    }
    return openInputFile(*native, error);
  }

  // --- Read-ahead of the content digest (begin).
  void helperThreadStarted() override { posix::blockSignals(); }

  std::unique_ptr<Stream> openForSequentialReadW(const std::u16string& path) override {
    const std::optional<std::string> native = posixPath(path);
    if (!native) {
      errno = EILSEQ;
      return nullptr;
    }
    // Non-blocking, so that a FIFO put in a listed file's place cannot stall
    // the digest; only a regular file is read.
    const int fd = ::open(native->c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat info;
    const bool statted = ::fstat(fd, &info) == 0;
    if (!statted || !S_ISREG(info.st_mode)) {
      const int error = !statted ? errno : S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
      ::close(fd);
      errno = error;
      return nullptr;
    }
    // O_NONBLOCK changes nothing for a regular file. A larger read-ahead
    // window only pays for a file of many reads; the hint's failure changes
    // nothing either.
    if (info.st_size > kSequentialHintBytes) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    std::FILE* file = ::fdopen(fd, "rb");
    if (file == nullptr) ::close(fd);
    return wrapStdioFile(file);
  }
  // --- Read-ahead of the content digest (end).

  bool deleteFileW(const std::u16string& path) override {
    const std::optional<std::string> native = posixPath(path);
    return native && ::unlink(native->c_str()) == 0;
  }

  bool setNormalAttributesW(const std::u16string& path) override {
    // The nearest POSIX has to a read-only mark is a missing write
    // permission. Only a regular file's mode is touched: never a folder's,
    // nor the target of a link.
    const std::optional<std::string> native = posixPath(path);
    struct stat info;
    if (!native || ::lstat(native->c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    if ((info.st_mode & S_IWUSR) != 0) return true;
    return ::chmod(native->c_str(), (info.st_mode & 07777) | S_IWUSR) == 0;
  }

  bool replaceFileW(const std::u16string& from, const std::u16string& to) override {
    const std::optional<std::string> source = posixPath(from);
    const std::optional<std::string> target = posixPath(to);
    return source && target && std::rename(source->c_str(), target->c_str()) == 0;
  }

  bool folderExistsW(const std::u16string& path) override {
    const std::optional<std::string> native = posixPath(path);
    return native && isFolder(*native);
  }

  std::optional<std::u16string> ansiToUtf16(const std::string& ansi) override {
    return utf8ToUtf16(ansi);
  }

  void print(const std::string& text) override { std::fwrite(text.data(), 1, text.size(), stdout); }

  void printWide(const std::u16string& text) override { print(utf16ToUtf8Lenient(text)); }

  int readChar() override {
    std::fflush(stdout);  // the prompt shows before the wait, whatever the stream
    // An interruption must end the wait even when it arrives just before
    // it: the interruptions stay blocked but for the wait itself (ppoll).
    // Standard input is read as getchar would fill its buffer, so that the
    // rest of a typed line goes with the process, not to the shell.
    sigset_t watched;
    sigset_t previous;
    sigemptyset(&watched);
    for (int signalNumber : kInterruptions) sigaddset(&watched, signalNumber);
    ::sigprocmask(SIG_BLOCK, &watched, &previous);
    sigset_t waiting = previous;
    for (int signalNumber : kInterruptions) sigdelset(&waiting, signalNumber);
    int result = EOF;
    while (caughtSignal == 0) {
      struct pollfd input {};
      input.fd = 0;
      input.events = POLLIN;
      if (::ppoll(&input, 1, nullptr, &waiting) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      unsigned char line[BUFSIZ];
      const ssize_t got = ::read(0, line, sizeof line);
      if (got < 0 && errno == EINTR) continue;
      if (got > 0) result = line[0];
      break;
    }
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    return result;
  }

  // --- The walk under hostile conditions.

  EntryKind entryKind(const char* path) override {
    struct stat info;
    if (::lstat(path, &info) != 0) {
      return errno == ENOENT || errno == ENOTDIR ? EntryKind::kNone : EntryKind::kUnknown;
    }
    if (S_ISLNK(info.st_mode)) return EntryKind::kLink;
    if (S_ISDIR(info.st_mode)) return EntryKind::kFolder;
    if (S_ISREG(info.st_mode)) return EntryKind::kFile;
    return EntryKind::kSpecial;
  }

  bool workingFolderId(FolderId* id) override {
    struct stat info;
    if (::stat(".", &info) != 0) return false;
    id->volume = static_cast<std::uint64_t>(info.st_dev);
    id->index = static_cast<std::uint64_t>(info.st_ino);
    return true;
  }

  std::unique_ptr<Stream> createNewFile(const char* path) override {
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    std::FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr) {
      const int error = errno;
      ::close(fd);
      ::unlink(path);
      errno = error;
      return nullptr;
    }
    return wrapStdioFile(file);
  }

  std::unique_ptr<Stream> createNewFileW(const std::u16string& path) override {
    const std::optional<std::string> native = posixPath(path);
    if (!native) {
      errno = EILSEQ;
      return nullptr;
    }
    return createNewFile(native->c_str());
  }

  // --- Child process.

  std::string archiverCommandLine(const std::string& workingFolder) const override {
    const std::string folder = workingFolder == "/" ? "" : workingFolder;
    return shellQuoted(folder + "/7za") + " a -tzip " + shellQuoted(folder + "/ZarvoEUupdate.zip") +
           " '*'";
  }

  CommandResult runCommand(const std::string& commandLine) override {
    std::fflush(stdout);
    std::fflush(stderr);
    // The interruptions and SIGCHLD stay blocked outside the wait (ppoll),
    // so none can slip in between the check of the flag and the wait.
    sigset_t watched;
    sigset_t previous;
    sigemptyset(&watched);
    for (int signalNumber : kInterruptions) sigaddset(&watched, signalNumber);
    sigaddset(&watched, SIGCHLD);
    setHandler(SIGCHLD, noteChildChange, true);
    ::sigprocmask(SIG_BLOCK, &watched, &previous);
    sigset_t waiting = previous;
    for (int signalNumber : kInterruptions) sigdelset(&waiting, signalNumber);
    sigdelset(&waiting, SIGCHLD);

    const OutputChannel channel = openOutputChannel();
    CommandResult result;
    const pid_t child = ::fork();
    if (child == 0) {
      // The child: a process group of its own, the signal dispositions and
      // mask a shell started by system() would have, its output into the
      // channel.
      ::setpgid(0, 0);
      for (int signalNumber : kInterruptions) ::signal(signalNumber, SIG_DFL);
      ::signal(SIGPIPE, SIG_DFL);
      ::signal(SIGCHLD, SIG_DFL);
      ::sigprocmask(SIG_SETMASK, &previous, nullptr);
      if (channel.writing >= 0) {
        ::dup2(channel.writing, STDOUT_FILENO);
        ::dup2(channel.writing, STDERR_FILENO);
      }
      ::execl("/bin/sh", "sh", "-c", commandLine.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    if (channel.writing >= 0) ::close(channel.writing);  // the output ends with its writers
    OutputCopy output(channel.reading, waiting);
    if (child < 0) {
      ::sigprocmask(SIG_SETMASK, &previous, nullptr);
      return result;
    }
    ::setpgid(child, child);  // also here, so that it holds before any kill

    for (;;) {
      if (caughtSignal != 0) {
        endProcessGroup(child);
        result.started = true;
        result.interrupted = true;
        break;
      }
      // The shell's end is looked at without reaping it: its process id,
      // which names the group, cannot be taken by another process before
      // the group is ended.
      siginfo_t end{};
      if (::waitid(P_PID, static_cast<id_t>(child), &end, WEXITED | WNOHANG | WNOWAIT) != 0) {
        if (errno == EINTR) continue;
        endProcessGroup(child);
        break;  // not started as far as we can tell
      }
      if (end.si_pid == child) {
        // Whatever it left running is ended and waited for before its
        // archive is judged: nothing can write an archive after the verdict.
        result = resultOf(end);
        endProcessGroup(child);
        output.passTheRest();
        break;
      }
      struct pollfd readable {};
      readable.fd = output.descriptor();
      readable.events = POLLIN;
      const int ready = ::ppoll(&readable, readable.fd >= 0 ? 1 : 0, nullptr, &waiting);
      if (ready > 0) output.passSome();
    }
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    return result;
  }

  // --- The run under hostile conditions.

  void openClosedStandardStreams() override {
    for (int descriptor = 0; descriptor <= 2; ++descriptor) {
      if (::fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) continue;
      // The lowest free descriptor is the closed one.
      const int opened = ::open("/dev/null", descriptor == 0 ? O_RDONLY : O_WRONLY);
      if (opened >= 0 && opened != descriptor) {
        ::dup2(opened, descriptor);
        ::close(opened);
      }
    }
  }

  void watchInterruptions() override {
    for (int signalNumber : kInterruptions) setHandler(signalNumber, noteInterruption, false);
    ::signal(SIGPIPE, SIG_IGN);
    // The archiver's orphans (what it started and left when it was ended)
    // become the packer's children, so that they can be waited for.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  }

  int interruption() override {
    switch (caughtSignal) {
      case 0:
        return 0;
      case SIGHUP:
        return 129;
      case SIGTERM:
        return 143;
      default:
        return 130;
    }
  }

  RunLock lockWorkingFolder() override {
    // The lock is on the working folder itself: nothing is written, the
    // staging folder stays untouched, and the lock goes with the process.
    const int folder = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return RunLock::kFailed;
    while (::flock(folder, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EINTR) continue;
      const bool busy = errno == EWOULDBLOCK;
      ::close(folder);
      return busy ? RunLock::kBusy : RunLock::kFailed;
    }
    return RunLock::kTaken;  // the descriptor stays open until the process ends
  }

  EntryKind entryKindW(const std::u16string& path) override {
    const std::optional<std::string> native = posixPath(path);
    return native ? entryKind(native->c_str()) : EntryKind::kUnknown;
  }

 private:
  int searchError_ = 0;
};

}  // namespace

Platform& nativePlatform() {
  static PosixPlatform instance;
  return instance;
}

}  // namespace quillet
