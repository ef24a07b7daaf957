// How the check's findings name what they concern: "entry 'NAVI/x.dat'",
// "$FileList.txt line 3", a name in quotes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillet::check {

inline std::string quoted(std::string_view name) { return "'" + std::string(name) + "'"; }
inline std::string entryWhere(std::string_view name) { return "entry " + quoted(name); }
inline std::string lineWhere(const char* list, std::uint64_t line) {
  return std::string(list) + " line " + std::to_string(line);
}

}  // namespace quillet::check
