// quillet-check's entry on POSIX: the arguments are UTF-8 already.
#include <csignal>

#include "check_main.h"

int main(int argc, char** argv) {
  // A reader that has gone (`quillet-check ... | head`) makes writes fail
  // instead of ending the program: the exit code stays the check's, or
  // says that the report was lost.
  std::signal(SIGPIPE, SIG_IGN);
  return quillet::check::checkMain(std::vector<std::string>(argv + 1, argv + argc));
}
