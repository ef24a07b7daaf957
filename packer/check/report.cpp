#include "report.h"

#include "utf.h"

namespace quillet::check {

// The findings and the verdict they come to.
int CheckReport::exitCode() const {
  int code = kExitPassed;
  for (const Finding& finding : findings) {
    if (finding.severity != Severity::kError) continue;
    if (code == kExitPassed || finding.exitCode < code) code = finding.exitCode;
  }
  return code;
}

void CheckReport::warn(std::string where, std::string message) {
  findings.push_back(Finding{Severity::kWarning, 0, std::move(where), std::move(message)});
}

void CheckReport::fail(int exitCode, std::string where, std::string message) {
  findings.push_back(Finding{Severity::kError, exitCode, std::move(where), std::move(message)});
}

std::string hexBytes(const std::uint8_t* bytes, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return text;
}

namespace {

std::string findingLine(const Finding& finding) {
  std::string line = finding.severity == Severity::kError ? "error: " : "warning: ";
  if (!finding.where.empty()) line += finding.where + ": ";
  return line + finding.message + "\n";
}

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
    default:
      return "warning";
  }
}

}  // namespace

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
    default:
      return "FAIL";
  }
}

std::string textReport(const CheckReport& report) {
  std::string text = "Checking " + report.path + " (" + report.source + ")\n";
  text +=
      "Checked: $FileList.txt, $FolderList.txt and $md5.bin at the top level; both lists "
      "decoded strictly; file lines against the files, folder lines against the folders; "
      "entry names; every entry's contents; the MD5 of the listed files\n";
  text += "Files: " + std::to_string(report.files) + " (" + std::to_string(report.listedFiles) +
          " listed), folders: " + std::to_string(report.folders) + " (" +
          std::to_string(report.folderLines) +
          " folder lines), bytes: " + std::to_string(report.bytes) + "\n";
  text += "Digest expected: " +
          (report.expectedDigest.empty() ? std::string("(none)") : report.expectedDigest) + "\n";
  text += "Digest found:    " +
          (report.foundDigest.empty() ? std::string("(not computed)") : report.foundDigest) + "\n";
  for (const Finding& finding : report.findings) text += findingLine(finding);
  const int code = report.exitCode();
  text += std::string("Verdict: ") + verdictText(code) + " (exit " + std::to_string(code) + ")\n";
  return text;
}

std::string textLists(const CheckReport& report) {
  std::string text = "$FileList.txt:\n";
  for (const std::string_view line : report.fileList) (text += line) += "\n";
  text += "$FolderList.txt:\n";
  for (const std::string_view line : report.folderList) (text += line) += "\n";
  return text;
}

std::string jsonString(const std::string& text) {
  static const char kDigits[] = "0123456789abcdef";
  // Bytes that are not UTF-8 (a path given on the command line) would make
  // the JSON invalid: in such a text every byte above ASCII becomes U+FFFD.
  const bool valid = utf8ToUtf16(text).has_value();
  std::string out = "\"";
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (!valid && byte >= 0x80) {
      out += "\\ufffd";
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          out += "\\u00";
          out.push_back(kDigits[byte >> 4]);
          out.push_back(kDigits[byte & 0x0F]);
        } else {
          out.push_back(c);
        }
    }
  }
  return out + "\"";
}

std::string jsonReport(const CheckReport& report, bool withLists) {
  const int code = report.exitCode();
  std::string json = "{";
  json += "\"path\":" + jsonString(report.path);
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
  for (std::size_t i = 0; i < report.findings.size(); ++i) {
    const Finding& finding = report.findings[i];
    if (i > 0) json += ",";
    json += std::string("{\"severity\":") +
            (finding.severity == Severity::kError ? "\"error\"" : "\"warning\"") +
            ",\"kind\":" + jsonString(kindName(finding.exitCode)) +
            ",\"where\":" + jsonString(finding.where) +
            ",\"message\":" + jsonString(finding.message) + "}";
  }
  json += "]";
  if (withLists) {
    for (const auto& [key, lines] : {std::make_pair("fileList", &report.fileList),
                                     std::make_pair("folderList", &report.folderList)}) {
      json += std::string(",\"") + key + "\":[";
      for (std::size_t i = 0; i < lines->size(); ++i) {
        if (i > 0) json += ",";
        json += jsonString(std::string((*lines)[i]));
      }
      json += "]";
    }
  }
  json += std::string(",\"verdict\":") + (code == kExitPassed ? "\"pass\"" : "\"fail\"");
  json += ",\"exitCode\":" + std::to_string(code);
  return json + "}\n";
}

}  // namespace quillet::check
