// The check's reports each gathered into one string, for tests to look
// into (the program writes them piece by piece, report.h).
#pragma once

#include <string>
#include <string_view>

#include "report.h"

namespace quillet::check {

template <typename Write>
std::string gathered(const Write& write) {
  std::string text;
  write([&text](std::string_view piece) { text += piece; });
  return text;
}

inline std::string textReport(const CheckReport& report) {
  return gathered([&](const ReportOut& out) { writeTextReport(report, out); });
}

inline std::string textLists(const CheckReport& report) {
  return gathered([&](const ReportOut& out) { writeTextLists(report, out); });
}

inline std::string jsonReport(const CheckReport& report, bool withLists) {
  return gathered([&](const ReportOut& out) { writeJsonReport(report, withLists, out); });
}

}  // namespace quillet::check
