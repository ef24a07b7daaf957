// Interruption and the archiver as a child process, on POSIX; part of the
// POSIX platform layer (platform_posix.cpp).
//
// Signal handlers that only note SIGINT, SIGTERM and SIGHUP, and the waits
// such a signal ends: the wait for a key at the prompt and the wait for the
// archiver. The archiver runs through /bin/sh as a child in a process group
// of its own, so that an interruption can end it and everything it
// started, and so that what it leaves behind when it exits is ended before
// its archive is judged; the packer makes itself the reaper of the
// archiver's orphans (prctl, so this file is for Linux), so that what left
// the group (setsid) becomes its child and is ended too, and none is left
// running or unwaited for. The channel its output comes through lives in
// platform_posix_output.cpp.
#include <dirent.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "platform_posix_internal.h"

namespace quillet::posix {

// The first of SIGINT, SIGTERM, SIGHUP that arrived; 0 before any.
volatile std::sig_atomic_t caughtSignal = 0;

namespace {

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

// The packer's children as the kernel lists them, for each of its threads
// (an orphan is handed to one of them); none when /proc cannot say. The
// list may miss a child that comes or goes while it is read: the callers
// ask again until waitpid says there are none.
std::vector<pid_t> ownChildren() {
  std::vector<pid_t> children;
  DIR* tasks = ::opendir("/proc/self/task");
  if (tasks == nullptr) return children;
  while (const dirent* task = ::readdir(tasks)) {
    if (task->d_name[0] == '.') continue;
    const std::string path = std::string("/proc/self/task/") + task->d_name + "/children";
    FILE* list = std::fopen(path.c_str(), "re");
    if (list == nullptr) continue;
    long pid;
    while (std::fscanf(list, "%ld", &pid) == 1) children.push_back(static_cast<pid_t>(pid));
    std::fclose(list);
  }
  ::closedir(tasks);
  return children;
}

// Reaps each child that has ended, dropping it from `asked`; false once the
// packer has no child left.
bool reapEndedChildren(std::vector<pid_t>& asked) {
  for (;;) {
    int status;
    const pid_t reaped = ::waitpid(-1, &status, WNOHANG | __WALL);
    if (reaped > 0) {
      asked.erase(std::remove(asked.begin(), asked.end(), reaped), asked.end());
    } else if (reaped == 0) {
      return true;
    } else if (errno != EINTR) {
      return false;  // ECHILD: none left
    }
  }
}

// Ends and reaps every child the packer still has once the archiver's
// process group is gone: what the archiver started and took out of its
// group (setsid, setpgid), handed to the packer as its reaper when its
// parent ended. The packer starts no other process. SIGTERM (and SIGCONT)
// once to each, SIGKILL to whatever is still there after a grace period;
// new orphans (the children of those ended) are found on each round. Both
// waits are bounded: a process killed cannot run again, so only one that
// outlasts SIGKILL in the kernel, or forks faster than the rounds end
// them, can be given up on.
void endLeftChildren() {
  std::vector<pid_t> asked;                       // sent SIGTERM, not yet reaped
  for (int waited = 0; waited < 200; ++waited) {  // 2 s
    if (!reapEndedChildren(asked)) return;
    for (const pid_t pid : ownChildren()) {
      if (std::find(asked.begin(), asked.end(), pid) != asked.end()) continue;
      ::kill(pid, SIGTERM);
      ::kill(pid, SIGCONT);
      asked.push_back(pid);
    }
    pause(10);
  }
  for (int waited = 0; waited < 200; ++waited) {  // 2 s
    if (!reapEndedChildren(asked)) return;
    for (const pid_t pid : ownChildren()) ::kill(pid, SIGKILL);
    pause(10);
  }
}

// Ends the archiver: its process group, then what it took out of it.
void endArchiver(pid_t group) {
  endProcessGroup(group);
  endLeftChildren();
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

// "'text'" for the shell, with each ' written as '\''.
std::string shellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

void watchInterruptions() {
  for (int signalNumber : kInterruptions) setHandler(signalNumber, noteInterruption, false);
  ::signal(SIGPIPE, SIG_IGN);
}

int interruption() {
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

int readChar() {
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

std::string archiverCommandLine(const std::string& workingFolder) {
  const std::string folder = workingFolder == "/" ? "" : workingFolder;
  return shellQuoted(folder + "/7za") + " a -tzip " + shellQuoted(folder + "/ZarvoEUupdate.zip") +
         " '*'";
}

CommandResult runCommand(const std::string& commandLine) {
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

  // The archiver's orphans (what it started and left, in its group or out
  // of it) become the packer's children, so that they can be ended and
  // waited for.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
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
      endArchiver(child);
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
      endArchiver(child);
      break;  // not started as far as we can tell
    }
    if (end.si_pid == child) {
      // Whatever it left running, in its group or out of it, is ended and
      // waited for before its archive is judged: nothing can write an
      // archive after the verdict.
      result = resultOf(end);
      endArchiver(child);
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

}  // namespace quillet::posix
