// quillet-check's entry on POSIX: the arguments are UTF-8 already.
#include "check_main.h"

int main(int argc, char** argv) {
  return quillet::check::checkMain(std::vector<std::string>(argv + 1, argv + argc));
}
