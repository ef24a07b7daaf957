// The findings in words, and the report they make.
#include "report.h"

#include <algorithm>

#include "device_rules.h"
#include "shown_text.h"
#include "utf.h"

namespace quillet::check {

// --- Findings.

void CheckReport::fail(int exitCode, Said said, std::uint32_t a, std::uint32_t b) {
  if (exitCode != kExitPassed && (lowestError_ == kExitPassed || exitCode < lowestError_)) {
    lowestError_ = exitCode;
  }
  if (findings.size() == kFindingsMax) {
    ++findingsLeftOut;
    return;
  }
  findings.push_back(Finding{static_cast<std::uint8_t>(exitCode), said, false, a, b});
}

std::uint32_t CheckReport::text(std::string words) {
  texts.push_back(std::move(words));
  return static_cast<std::uint32_t>(texts.size() - 1);
}

void CheckReport::failWith(int exitCode, std::string where, std::string message) {
  const std::uint32_t place = text(std::move(where));
  fail(exitCode, Said::kText, place, text(std::move(message)));
}

void CheckReport::failUnsupported(Said said, std::uint32_t a, std::uint32_t b) {
  const std::size_t before = findings.size();
  fail(kExitDamaged, said, a, b);
  if (findings.size() > before) findings.back().unsupported = true;
}

void CheckReport::failUnsupported(std::string message) {
  const std::uint32_t place = text("");
  failUnsupported(Said::kText, place, text(std::move(message)));
}

bool CheckReport::onlyUnsupported() const {
  return exitCode() == kExitDamaged && findingsLeftOut == 0 &&
         std::none_of(findings.begin(), findings.end(), [](const Finding& finding) {
           return finding.exitCode == kExitDamaged && !finding.unsupported;
         });
}

void CheckReport::failAt(int exitCode, std::size_t index, std::string message) {
  fail(exitCode, Said::kEntryText, static_cast<std::uint32_t>(index), text(std::move(message)));
}

std::string lineWhere(const char* list, std::uint64_t line) {
  return std::string(list) + " line " + std::to_string(line);
}

namespace {

std::string quoted(std::string_view name) { return "'" + std::string(name) + "'"; }

// What a finding's place (Finding::a) is: words of its own, a path (an
// entry, or a folder with kFolderPath), a top-level file, or a line of
// either list.
enum class Place { kWords, kPath, kTopLevel, kFileLine, kFolderLine };

Place placeOf(Said said) {
  if (said == Said::kText) return Place::kWords;
  if (said <= Said::kTopLevelMissing) return Place::kTopLevel;
  if (said <= Said::kFileLineRepeats) return Place::kFileLine;
  if (said <= Said::kFolderLineEmptyFolder) return Place::kFolderLine;
  return Place::kPath;
}

// The name of a path: an entry's, or a folder's with kFolderPath.
std::string pathName(const CheckReport& report, std::uint32_t path) {
  std::string scratch;
  return std::string((path & kFolderPath) != 0
                         ? report.folderSet->nameOf(path & ~kFolderPath, scratch)
                         : report.release->nameOf(path, scratch));
}

// A path in words: "entry 'x'" or "folder 'x'".
std::string pathWhere(const CheckReport& report, std::uint32_t path) {
  return ((path & kFolderPath) != 0 ? "folder " : "entry ") + quoted(pathName(report, path));
}

// A finding's place in words ("entry 'NAVI/x.dat'", "$FileList.txt line
// 3", or empty).
std::string whereText(const CheckReport& report, const Finding& finding) {
  switch (placeOf(finding.said)) {
    case Place::kWords:
      return report.texts[finding.a];
    case Place::kPath:
      return pathWhere(report, finding.a);
    case Place::kTopLevel:
      return std::string("entry ") + quoted(kTopLevelNames[finding.a]);
    case Place::kFileLine:
      return lineWhere(kFileListName, std::uint64_t{finding.a} + 1);
    case Place::kFolderLine:
      return lineWhere(kFolderListName, std::uint64_t{finding.a} + 1);
  }
  return "";
}

}  // namespace

std::string CheckReport::messageText(const Finding& finding) const {
  const auto fileLine = [this, &finding] { return quoted(fileList[finding.a]); };
  const auto folderLine = [this, &finding] { return quoted(folderList[finding.a]); };
  std::string scratch;
  switch (finding.said) {
    case Said::kText:
    case Said::kEntryText:
      return texts[finding.b];
    case Said::kAppearsTwice:
      return "appears more than once";
    case Said::kUnsafeName:
      return "is unsafe to extract (a \"..\" component, an absolute name or a drive letter)";
    case Said::kLink:
      return "is a symbolic link, which is unsafe to extract";
    case Said::kLegacyName:
      return finding.b == 0 ? "has its name stored in a legacy code page"
                            : "has its name stored in a legacy code page (shown as the device "
                              "reads it), in bytes that read as UTF-8 too: the writer likely "
                              "stored UTF-8 without the zip's UTF-8 flag, as Info-ZIP zip does";
    case Said::kZip64Entry:
      return "has Zip64 sizes or offset";
    case Said::kNotAFile:
      return "is neither a file nor a folder; it is not checked";
    case Said::kDeviceName: {
      const std::string_view name = release->nameOf(finding.a, scratch);
      std::string_view component = name.substr(std::min<std::size_t>(finding.b, name.size()));
      component = component.substr(0, component.find_first_of("/\\"));
      const char* why = whyDeviceCannotHold(component);
      return quoted(component) + " " + (why != nullptr ? why : "") +
             ", which the device's file system cannot hold";
    }
    case Said::kPathTooLong:
      return pathTooLong(finding.b);
    case Said::kFileTooLarge:
      return "holds " + std::to_string(release->entry(finding.a).size) + " bytes, more than the " +
             std::to_string(kFileBytesMax) + " a file on the device can hold";
    case Said::kCaseTwin:
      return "differs only in case from " + pathWhere(*this, finding.b) +
             "; the device's file system cannot hold both";
    case Said::kFileAndFolder:
      return "has the name of " + pathWhere(*this, finding.b) +
             "; a file and a folder of one name cannot both be extracted";
    case Said::kNotListed:
      return "is not listed in $FileList.txt";
    case Said::kTopLevelLoose:
    case Said::kFileLineLoose:
    case Said::kFolderLineLoose:
      return "matches " + pathWhere(*this, finding.b) +
             " only when case is ignored (the device's file system would find it)";
    case Said::kTopLevelMissing:
      if (finding.b == 0) return "is missing from the release's top level";
      if (finding.b == 2) {
        return std::string("is missing from the release's top level ('") + kArchiveName +
               "' is there: that archive is the release)";
      }
      return std::string("is missing from the release's top level (it is in '") +
             kStagingFolderName + "/': " +
             (source == "folder" ? "that folder is the release"
                                 : "the archive was made of the staging folder itself, not of "
                                   "what it holds") +
             ")";
    case Said::kListTooMuchText:
      return "not supported: its lines that name nothing exactly take more than " +
             std::to_string(ListLines::kTextBytesMax) + " bytes, the most the check keeps of them";
    case Said::kFileLineFirstForm:
      return fileLine() +
             " is in the walk's form; the file list must be in its second form, without "
             "'FlashDrive\\'";
    case Said::kFileLineNothing:
      return "names " + fileLine() + ", which is nothing in the release";
    case Said::kFileLineFolder:
      return "names " + fileLine() + ", which is a folder in the release";
    case Said::kFileLineRepeats:
      return "repeats " + lineWhere(kFileListName, std::uint64_t{finding.b} + 1);
    case Said::kFolderLineNoPrefix:
      return folderLine() + " does not begin with 'FlashDrive\\'";
    case Said::kFolderLineNoFolder:
      return "names " + folderLine() + ", which is no folder";
    case Said::kFolderLineEmptyFolder:
      return "names " + folderLine() + ", which is a folder that holds no entry";
    case Said::kFolderWithoutLine:
      return "holds entries but has no line in $FolderList.txt";
  }
  return "";
}

std::string CheckReport::said(const Finding& finding) const {
  const std::string where = whereText(*this, finding);
  return where.empty() ? messageText(finding) : where + ": " + messageText(finding);
}

// --- The report.

namespace {

// By exit code: the verdict's words, and the JSON report's kind of a
// finding with that code (a warning's is kExitPassed).
struct ExitWords {
  const char* verdict;
  const char* kind;
};
constexpr ExitWords kExitWords[] = {
    {"PASS", "warning"},
    {"FAIL", "warning"},  // kExitReportLost: never a finding's
    {"FAIL: usage", "warning"},
    {"FAIL: the release cannot be opened or is damaged", "damaged"},
    {"FAIL: malformed lists", "malformed-lists"},
    {"FAIL: the lists disagree with the contents", "lists-disagree"},
    {"FAIL: the content digest does not match $md5.bin", "digest-mismatch"},
    {"FAIL: the device cannot hold what the release holds", "device-cannot-hold"},
};
static_assert(kExitDeviceCannotHold + 1 == std::size(kExitWords), "a verdict for each exit code");

bool hasWords(int exitCode) { return exitCode >= 0 && exitCode <= kExitDeviceCannotHold; }

}  // namespace

const char* verdictText(int exitCode) {
  return hasWords(exitCode) ? kExitWords[exitCode].verdict : "FAIL";
}

const char* kindName(int exitCode) {
  return hasWords(exitCode) ? kExitWords[exitCode].kind : "warning";
}

const char* verdictText(const CheckReport& report) {
  return report.onlyUnsupported() ? "FAIL: the release is not supported"
                                  : verdictText(report.exitCode());
}

void writeTextReport(const CheckReport& report, const ReportOut& out) {
  out("Checking " + shownText(report.path) + " (" + report.source + ")\n");
  out("Checked: $FileList.txt, $FolderList.txt and $md5.bin at the top level; both lists "
      "decoded strictly; file lines against the files, folder lines against the folders; "
      "entry names; every entry's contents; the MD5 of the listed files\n");
  out("Files: " + std::to_string(report.files) + " (" + std::to_string(report.listedFiles) +
      " listed), folders: " + std::to_string(report.folders) + " (" +
      std::to_string(report.folderLines) +
      " folder lines), bytes: " + std::to_string(report.bytes) + "\n");
  out("Digest expected: " +
      (report.expectedDigest.empty() ? std::string("(none)") : report.expectedDigest) + "\n");
  out("Digest found:    " +
      (report.foundDigest.empty() ? std::string("(not computed)") : report.foundDigest) + "\n");
  for (const Finding& finding : report.findings) {
    const char* severity = finding.exitCode != kExitPassed ? "error: " : "warning: ";
    out(severity + shownText(report.said(finding)) + "\n");
  }
  if (report.findingsLeftOut > 0) {
    out("note: " + std::to_string(report.findingsLeftOut) + " more problems, past the first " +
        std::to_string(kFindingsMax) + ", are not said\n");
  }
  const int code = report.exitCode();
  out(std::string("Verdict: ") + verdictText(report) + " (exit " + std::to_string(code) + ")\n");
}

void writeTextLists(const CheckReport& report, const ReportOut& out) {
  for (const auto& [name, lines] : {std::make_pair(kFileListName, &report.fileList),
                                    std::make_pair(kFolderListName, &report.folderList)}) {
    out(std::string(name) + ":\n");
    for (std::size_t i = 0; i < lines->size(); ++i) out(shownText((*lines)[i]) + "\n");
  }
}

void writeJsonReport(const CheckReport& report, bool withLists, const ReportOut& out) {
  const int code = report.exitCode();
  // A text that is not UTF-8 becomes U+FFFD in JSON: its bytes are given
  // beside it, so that two such texts never look alike.
  const auto bytesOf = [](const char* key, std::string_view text) {
    return isValidUtf8(text)
               ? std::string()
               : std::string(",\"") + key + "\":\"" + hexBytes(text.data(), text.size()) + "\"";
  };
  std::string json = "{";
  json += "\"path\":" + jsonString(report.path) + bytesOf("pathBytes", report.path);
  json += ",\"source\":" + jsonString(report.source);
  json += ",\"files\":" + std::to_string(report.files);
  json += ",\"listedFiles\":" + std::to_string(report.listedFiles);
  json += ",\"folders\":" + std::to_string(report.folders);
  json += ",\"folderLines\":" + std::to_string(report.folderLines);
  json += ",\"bytes\":" + std::to_string(report.bytes);
  json +=
      ",\"digest\":{\"expected\":" +
      (report.expectedDigest.empty() ? std::string("null") : jsonString(report.expectedDigest)) +
      ",\"found\":" +
      (report.foundDigest.empty() ? std::string("null") : jsonString(report.foundDigest)) + "}";
  json += ",\"problems\":[";
  out(json);
  bool first = true;
  for (const Finding& finding : report.findings) {
    const std::string nameBytes = placeOf(finding.said) == Place::kPath
                                      ? bytesOf("nameBytes", pathName(report, finding.a))
                                      : std::string();
    out(std::string(first ? "" : ",") + "{\"severity\":" +
        (finding.exitCode != kExitPassed ? "\"error\"" : "\"warning\"") + ",\"kind\":" +
        jsonString(finding.unsupported ? "not-supported" : kindName(finding.exitCode)) +
        ",\"where\":" + jsonString(whereText(report, finding)) + nameBytes +
        ",\"message\":" + jsonString(report.messageText(finding)) + "}");
    first = false;
  }
  out("]");
  if (report.findingsLeftOut > 0) {
    out(",\"problemsNotSaid\":" + std::to_string(report.findingsLeftOut));
  }
  if (withLists) {
    for (const auto& [key, lines] : {std::make_pair("fileList", &report.fileList),
                                     std::make_pair("folderList", &report.folderList)}) {
      out(std::string(",\"") + key + "\":[");
      for (std::size_t i = 0; i < lines->size(); ++i) {
        out((i > 0 ? "," : "") + jsonString((*lines)[i]));
      }
      out("]");
    }
  }
  out(std::string(",\"verdict\":") + (code == kExitPassed ? "\"pass\"" : "\"fail\"") +
      ",\"exitCode\":" + std::to_string(code) + "}\n");
}

}  // namespace quillet::check
