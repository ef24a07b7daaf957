// The findings in words, and the report they make.
#include "report.h"

#include <algorithm>

#include "device_rules.h"
#include "shown_text.h"
#include "utf.h"

namespace quillet::check {

// --- Findings.

void CheckReport::add(Finding finding) {
  if (finding.severity == Severity::kError &&
      (lowestError_ == kExitPassed || finding.exitCode < lowestError_)) {
    lowestError_ = finding.exitCode;
  }
  if (findings.size() == kFindingsMax) {
    ++findingsLeftOut;
    return;
  }
  findings.push_back(finding);
}

std::uint32_t CheckReport::text(std::string words) {
  texts.push_back(std::move(words));
  return static_cast<std::uint32_t>(texts.size() - 1);
}

void CheckReport::warn(Said said, std::uint32_t a, std::uint32_t b) {
  add(Finding{Severity::kWarning, 0, said, a, b});
}

void CheckReport::fail(int exitCode, Said said, std::uint32_t a, std::uint32_t b) {
  add(Finding{Severity::kError, static_cast<std::uint8_t>(exitCode), said, a, b});
}

void CheckReport::failWith(int exitCode, std::string where, std::string message) {
  const std::uint32_t place = text(std::move(where));
  fail(exitCode, Said::kText, place, text(std::move(message)));
}

void CheckReport::warnWith(std::string where, std::string message) {
  const std::uint32_t place = text(std::move(where));
  warn(Said::kText, place, text(std::move(message)));
}

void CheckReport::failAt(int exitCode, std::size_t index, std::string message) {
  fail(exitCode, Said::kEntryText, static_cast<std::uint32_t>(index), text(std::move(message)));
}

namespace {

std::string quoted(std::string_view name) { return "'" + std::string(name) + "'"; }

// What a finding's place is: an entry, a line of either list, a folder, a
// path (an entry or a folder), or words.
enum class Place { kWords, kEntry, kTopLevel, kFileLine, kFolderLine, kFolder, kPath };

Place placeOf(Said said) {
  switch (said) {
    case Said::kText:
      return Place::kWords;
    case Said::kTopLevelLoose:
    case Said::kTopLevelMissing:
      return Place::kTopLevel;
    case Said::kFileLineLoose:
    case Said::kFileLineFirstForm:
    case Said::kFileLineNothing:
    case Said::kFileLineFolder:
    case Said::kFileLineRepeats:
      return Place::kFileLine;
    case Said::kFolderLineNoPrefix:
    case Said::kFolderLineLoose:
    case Said::kFolderLineNoFolder:
    case Said::kFolderLineEmptyFolder:
      return Place::kFolderLine;
    case Said::kFolderWithoutLine:
      return Place::kFolder;
    case Said::kCaseTwin:
      return Place::kPath;
    default:
      return Place::kEntry;
  }
}

std::string lineWhere(const char* list, std::uint64_t line) {
  return std::string(list) + " line " + std::to_string(line);
}

}  // namespace

bool CheckReport::placeName(const Finding& finding, std::string* name) const {
  std::string scratch;
  std::uint32_t path = finding.a;
  switch (placeOf(finding.said)) {
    case Place::kEntry:
      *name = std::string(release->nameOf(finding.a, scratch));
      return true;
    case Place::kFolder:
      path = kFolderPath | finding.a;
      [[fallthrough]];
    case Place::kPath:
      if ((path & kFolderPath) != 0) {
        *name = std::string(folderSet->nameOf(path & ~kFolderPath, scratch));
      } else {
        *name = std::string(release->nameOf(path, scratch));
      }
      return true;
    default:
      return false;
  }
}

namespace {

// A path of a case twin, in words: "entry 'x'" or "folder 'x'".
std::string pathWhere(const CheckReport& report, std::uint32_t path) {
  std::string scratch;
  if ((path & kFolderPath) != 0) {
    return "folder " + quoted(report.folderSet->nameOf(path & ~kFolderPath, scratch));
  }
  return "entry " + quoted(report.release->nameOf(path, scratch));
}

}  // namespace

std::string CheckReport::whereText(const Finding& finding) const {
  switch (placeOf(finding.said)) {
    case Place::kWords:
      return texts[finding.a];
    case Place::kEntry:
    case Place::kPath:
      return pathWhere(*this, finding.a);
    case Place::kTopLevel:
      return std::string("entry ") + quoted(kTopLevelNames[finding.a]);
    case Place::kFileLine:
      return lineWhere(kFileListName, std::uint64_t{finding.a} + 1);
    case Place::kFolderLine:
      return lineWhere(kFolderListName, std::uint64_t{finding.a} + 1);
    case Place::kFolder:
      return pathWhere(*this, kFolderPath | finding.a);
  }
  return "";
}

std::string CheckReport::messageText(const Finding& finding) const {
  const auto fileLine = [this, &finding] { return quoted(fileList[finding.a]); };
  const auto folderLine = [this, &finding] { return quoted(folderList[finding.a]); };
  const std::string matchesOnlyIgnoringCase =
      " only when case is ignored (the device's file system would find it)";
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
      return "has its name stored in a legacy code page";
    case Said::kZip64Entry:
      return "has Zip64 sizes or offset";
    case Said::kNotAFile:
      return "is neither a file nor a folder; it is not checked";
    case Said::kDeviceName: {
      const std::string_view name = release->nameOf(finding.a, scratch);
      std::string_view component = name.substr(std::min<std::size_t>(finding.b, name.size()));
      component = component.substr(0, component.find_first_of("/\\"));
      const auto units = utf8ToUtf16(component);
      const char* why = nameTheDeviceCannotHold(
          units ? *units : std::u16string(component.begin(), component.end()));
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
    case Said::kNotListed:
      return "is not listed in $FileList.txt";
    case Said::kTopLevelLoose:
    case Said::kFileLineLoose:
      return "matches entry " + quoted(release->nameOf(finding.b, scratch)) +
             matchesOnlyIgnoringCase;
    case Said::kTopLevelMissing:
      return "is missing from the release's top level";
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
    case Said::kFolderLineLoose:
      return "matches " + pathWhere(*this, kFolderPath | finding.b) + matchesOnlyIgnoringCase;
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
  const std::string where = whereText(finding);
  return where.empty() ? messageText(finding) : where + ": " + messageText(finding);
}

// --- The report.

const char* kindName(int exitCode) {
  switch (exitCode) {
    case kExitDamaged:
      return "damaged";
    case kExitMalformedLists:
      return "malformed-lists";
    case kExitListsDisagree:
      return "lists-disagree";
    case kExitDigestMismatch:
      return "digest-mismatch";
    case kExitDeviceCannotHold:
      return "device-cannot-hold";
    default:
      return "warning";
  }
}

const char* verdictText(int exitCode) {
  switch (exitCode) {
    case kExitPassed:
      return "PASS";
    case kExitUsage:
      return "FAIL: usage";
    case kExitDamaged:
      return "FAIL: the release cannot be opened or is damaged";
    case kExitMalformedLists:
      return "FAIL: malformed lists";
    case kExitListsDisagree:
      return "FAIL: the lists disagree with the contents";
    case kExitDigestMismatch:
      return "FAIL: the content digest does not match $md5.bin";
    case kExitDeviceCannotHold:
      return "FAIL: the device cannot hold what the release holds";
    default:
      return "FAIL";
  }
}

namespace {

// Pieces of a report gathered into one string.
template <typename Write>
std::string gathered(const Write& write) {
  std::string text;
  write([&text](std::string_view piece) { text += piece; });
  return text;
}

std::string leftOut(const CheckReport& report) {
  return std::to_string(report.findingsLeftOut) + " more problems, past the first " +
         std::to_string(kFindingsMax) + ", are not said";
}

}  // namespace

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
    const char* severity = finding.severity == Severity::kError ? "error: " : "warning: ";
    out(severity + shownText(report.said(finding)) + "\n");
  }
  if (report.findingsLeftOut > 0) out("note: " + leftOut(report) + "\n");
  const int code = report.exitCode();
  out(std::string("Verdict: ") + verdictText(code) + " (exit " + std::to_string(code) + ")\n");
}

void writeTextLists(const CheckReport& report, const ReportOut& out) {
  out("$FileList.txt:\n");
  for (std::size_t i = 0; i < report.fileList.size(); ++i) {
    out(shownText(report.fileList[i]) + "\n");
  }
  out("$FolderList.txt:\n");
  for (std::size_t i = 0; i < report.folderList.size(); ++i) {
    out(shownText(report.folderList[i]) + "\n");
  }
}

std::string textReport(const CheckReport& report) {
  return gathered([&](const ReportOut& out) { writeTextReport(report, out); });
}

std::string textLists(const CheckReport& report) {
  return gathered([&](const ReportOut& out) { writeTextLists(report, out); });
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
  std::string name;
  for (const Finding& finding : report.findings) {
    const std::string nameBytes =
        report.placeName(finding, &name) ? bytesOf("nameBytes", name) : std::string();
    out(std::string(first ? "" : ",") +
        "{\"severity\":" + (finding.severity == Severity::kError ? "\"error\"" : "\"warning\"") +
        ",\"kind\":" + jsonString(kindName(finding.exitCode)) +
        ",\"where\":" + jsonString(report.whereText(finding)) + nameBytes +
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

std::string jsonReport(const CheckReport& report, bool withLists) {
  return gathered([&](const ReportOut& out) { writeJsonReport(report, withLists, out); });
}

}  // namespace quillet::check
