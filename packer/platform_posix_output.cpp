// The archiver's output on POSIX (docs/archiver-output.md); part of the
// POSIX platform layer (platform_posix.cpp). The archiver writes its
// standard output and error into one channel, a pseudo-terminal when the
// packer's standard output is a terminal (so that 7za shows its progress)
// and a pipe otherwise; the packer copies what arrives to its standard
// output while that is there, and reads and drops the rest once it is gone.
// The child process itself and its wait live in platform_posix_process.cpp.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform_posix_internal.h"

namespace quillet::posix {
namespace {

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

}  // namespace

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

OutputCopy::~OutputCopy() {
  if (reading_ >= 0) ::close(reading_);
}

void OutputCopy::passTheRest() {
  if (reading_ < 0) return;
  ::fcntl(reading_, F_SETFL, ::fcntl(reading_, F_GETFL) | O_NONBLOCK);
  while (caughtSignal == 0 && readOnce()) {
  }
}

bool OutputCopy::readOnce() {
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

void OutputCopy::copy(const char* bytes, std::size_t size) {
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

}  // namespace quillet::posix
