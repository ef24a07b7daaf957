// quillet-check's command line, written once for every platform; the
// platform's entry file hands it the arguments as UTF-8.
#pragma once

#include <string>
#include <vector>

namespace quillet::check {

inline constexpr char kDefaultRelease[] = "ZarvoEUupdate.zip";

// Runs quillet-check with `arguments` (without the program name) and
// returns its exit code.
int checkMain(const std::vector<std::string>& arguments);

}  // namespace quillet::check
