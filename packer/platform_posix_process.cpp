// Interruption and the archiver as a child process, on POSIX; part of the
// POSIX platform layer (platform_posix.cpp).
//
// Signal handlers that only note SIGINT, SIGTERM and SIGHUP, and the waits
// such a signal ends: the wait for a key at the prompt and the wait for the
// archiver. The archiver runs through /bin/sh as a child in a process group
// of its own, so that an interruption can end it and everything it
// started, and so that what it leaves behind when it exits is ended before
// its archive is judged; the packer makes itself the reaper of the
// archiver's orphans (prctl, so this file is for Linux), so that none is
// left running or unwaited for. The channel its output comes through lives
// in platform_posix_output.cpp.
#include "platform_posix_internal.h"

#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>

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
  // The archiver's orphans (what it started and left when it was ended)
  // become the packer's children, so that they can be waited for.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
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

}  // namespace quillet::posix
