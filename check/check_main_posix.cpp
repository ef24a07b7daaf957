// quillet-check's entry on POSIX: the arguments are UTF-8 already.
#include <csignal>

#include "check_main.h"

int main(int argc, char** argv) {
  // A reader that closes the pipe early (`| head`) must make the write fail,
  // not end the process: the exit code then says the report was lost.
  std::signal(SIGPIPE, SIG_IGN);
  return quillet::check::checkMain(std::vector<std::string>(argv + 1, argv + argc));
}
