// What the files of the POSIX platform layer share: the interruptions, the
// archiver run as a child (platform_posix_process.cpp) and the channel its
// output comes through (platform_posix_output.cpp). Nothing outside the
// POSIX platform layer includes this.
#pragma once

#include <signal.h>

#include <csignal>
#include <cstddef>
#include <string>

#include "platform.h"

namespace quillet::posix {

// --- Interruption and the child process (platform_posix_process.cpp).

// The first of SIGINT, SIGTERM, SIGHUP that arrived; 0 before any.
extern volatile std::sig_atomic_t caughtSignal;

// What the Platform functions of the same names do, on POSIX.
void watchInterruptions();
int interruption();
int readChar();
std::string archiverCommandLine(const std::string& workingFolder);
CommandResult runCommand(const std::string& commandLine);

// --- The archiver's output (platform_posix_output.cpp, docs/archiver-output.md).

// Where the archiver writes (standard output and error both) and where the
// packer reads it: a pseudo-terminal when the packer's standard output is a
// terminal, so that 7za shows its live progress as it does on one, a pipe
// otherwise. Both -1 when neither could be had: the archiver then writes
// to the packer's own streams.
struct OutputChannel {
  int reading = -1;
  int writing = -1;
};

OutputChannel openOutputChannel();

// Copies what the archiver wrote to standard output; once a write there
// fails (the console went away) the rest is read and dropped. The wait for
// a console that does not take more has `waiting` as its signal mask, so
// that an interruption ends it.
class OutputCopy {
 public:
  OutputCopy(int reading, const sigset_t& waiting) : reading_(reading), waiting_(waiting) {}
  ~OutputCopy();
  OutputCopy(const OutputCopy&) = delete;
  OutputCopy& operator=(const OutputCopy&) = delete;

  // The descriptor to wait on, -1 once the output has ended.
  int descriptor() const { return reading_; }

  // Copies one read's worth, once the descriptor is ready.
  void passSome() { readOnce(); }

  // Copies what is left without waiting for more: a writer that left the
  // archiver's process group may hold the channel open for ever.
  void passTheRest();

 private:
  // False once nothing more can be read now or ever.
  bool readOnce();

  // `size` is at most the atomic write of a pipe: once standard output
  // takes more, the write does not wait.
  void copy(const char* bytes, std::size_t size);

  int reading_;
  const sigset_t& waiting_;
  bool copying_ = true;
};

}  // namespace quillet::posix
