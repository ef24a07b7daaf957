#include "report.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>

#include "finding_places.h"
#include "utf.h"
#include "zip_reader.h"

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

void CheckReport::warn(Place where, Words message) {
  add(Severity::kWarning, 0, std::move(where), std::move(message));
}

void CheckReport::fail(int exitCode, Place where, Words message) {
  add(Severity::kError, exitCode, std::move(where), std::move(message));
}

void CheckReport::add(Severity severity, int exitCode, Place where, Words message) {
  // A source's message about an entry names it again: the name is said
  // from the entry rather than kept in the words (a damaged archive of
  // long names may have a message on every entry).
  if (where.at.of == Mention::Of::kEntry && message.quote.of == Mention::Of::kNothing &&
      message.text.compare(0, 7, "entry #") == 0) {
    std::string scratch;
    const std::string label =
        zip::entryLabel(where.at.index + 1, names.of(where.at.index, scratch));
    if (message.text.compare(0, label.size(), label) == 0) {
      message = Words("", Mention::entryLabel(where.at.index), message.text.substr(label.size()));
    }
  }
  Finding finding;
  finding.severity = severity;
  finding.exitCode = static_cast<std::uint8_t>(exitCode);
  finding.whereOf = where.at.of;
  finding.where = where.at.of == Mention::Of::kNothing ? words_.idOf(where.text) : where.at.index;
  finding.quoteOf = message.quote.of;
  finding.quote = message.quote.index;
  finding.quoteAt = message.quoteAt;
  finding.messageWords = words_.idOf(message.text);
  findings.push_back(finding);
}

std::uint32_t WordStore::idOf(std::string_view text) {
  const std::size_t hash = std::hash<std::string_view>()(text);
  if (4 * (views_.size() + 1) > 3 * table_.size()) {
    // Twice the room (at least 64 places), every number placed again.
    std::vector<std::uint32_t>(std::max<std::size_t>(64, 2 * table_.size())).swap(table_);
    for (std::uint32_t id = 0; id < views_.size(); ++id) {
      std::size_t at = std::hash<std::string_view>()(views_[id]) & (table_.size() - 1);
      while (table_[at] != 0) at = (at + 1) & (table_.size() - 1);
      table_[at] = id + 1;
    }
  }
  std::size_t at = hash & (table_.size() - 1);
  for (; table_[at] != 0; at = (at + 1) & (table_.size() - 1)) {
    if (views_[table_[at] - 1] == text) return table_[at] - 1;
  }
  views_.push_back(texts_.add(text));
  const auto id = static_cast<std::uint32_t>(views_.size() - 1);
  table_[at] = id + 1;
  return id;
}

namespace {

// A mention in words: an entry as "entry 'NAVI/x.dat'", a line in quotes.
std::string mentionText(const CheckReport& report, Mention mention) {
  switch (mention.of) {
    case Mention::Of::kEntry: {
      std::string scratch;
      return entryWhere(report.names.of(mention.index, scratch));
    }
    case Mention::Of::kEntryLabel: {
      std::string scratch;
      return zip::entryLabel(mention.index + 1, report.names.of(mention.index, scratch));
    }
    case Mention::Of::kFolder: {
      const auto& [entry, length] = report.folderMentions[mention.index];
      std::string scratch;
      return "folder " + quoted(report.names.of(entry, scratch).substr(0, length));
    }
    case Mention::Of::kFileLine:
      return quoted(report.fileList[mention.index]);
    case Mention::Of::kFolderLine:
      return quoted(report.folderList[mention.index]);
    case Mention::Of::kFileLineAt:
      return lineWhere(kFileListName, std::uint64_t{mention.index} + 1);
    case Mention::Of::kFolderLineAt:
      return lineWhere(kFolderListName, std::uint64_t{mention.index} + 1);
    case Mention::Of::kNothing:
      break;
  }
  return "";
}

}  // namespace

std::string CheckReport::whereText(const Finding& finding) const {
  if (finding.whereOf == Mention::Of::kNothing) return std::string(words_[finding.where]);
  return mentionText(*this, finding.whereMention());
}

std::string CheckReport::messageText(const Finding& finding) const {
  const std::string_view text = words_[finding.messageWords];
  if (finding.quoteOf == Mention::Of::kNothing) return std::string(text);
  return std::string(text.substr(0, finding.quoteAt)) + mentionText(*this, finding.quoteMention()) +
         std::string(text.substr(finding.quoteAt));
}

std::string CheckReport::said(const Finding& finding) const {
  const std::string where = whereText(finding);
  return where.empty() ? messageText(finding) : where + ": " + messageText(finding);
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

// Whether `text` is UTF-8 without a control character (C0, DEL, C1): what
// the text report shows as it is. A report may show a million names, so
// runs of plain ASCII are passed over eight bytes at a time, and a
// character beyond ASCII is taken whole: its lead byte tells its length and
// the range its second byte must lie in, and the bytes after that need
// only be continuation bytes.
struct Lead {
  std::uint8_t length;  // 0: no lead byte
  std::uint8_t secondMin;
  std::uint8_t secondMax;
};
constexpr std::array<Lead, 256> kLeads = [] {
  std::array<Lead, 256> leads{};
  for (int byte = 0; byte < 256; ++byte) {
    const auto length = static_cast<std::uint8_t>(byte < 0xC2   ? 0
                                                  : byte < 0xE0 ? 2
                                                  : byte < 0xF0 ? 3
                                                  : byte < 0xF5 ? 4
                                                                : 0);
    leads[static_cast<std::size_t>(byte)] = Lead{length, 0x80, 0xBF};
  }
  leads[0xC2].secondMin = 0xA0;  // U+0080 to U+009F are C1 control characters
  leads[0xE0].secondMin = 0xA0;  // (shorter forms)
  leads[0xED].secondMax = 0x9F;  // (surrogates)
  leads[0xF0].secondMin = 0x90;  // (shorter forms)
  leads[0xF4].secondMax = 0x8F;  // (beyond U+10FFFF)
  return leads;
}();

bool showsAsItIs(std::string_view text) {
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kHigh = 0x8080808080808080u;
  const auto* at = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = at + text.size();
  while (at < end) {
    while (end - at >= 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, at, 8);
      const std::uint64_t below20 = (word - 0x20 * kOnes) & ~word & kHigh;
      const std::uint64_t del = ((word ^ 0x7F * kOnes) - kOnes) & ~(word ^ 0x7F * kOnes) & kHigh;
      if (((word & kHigh) | below20 | del) != 0) break;
      at += 8;
    }
    if (at == end) break;
    const unsigned char first = *at;
    if (first < 0x80) {
      if (first < 0x20 || first == 0x7F) return false;
      ++at;
      continue;
    }
    const Lead& lead = kLeads[first];
    if (lead.length == 0 || end - at < lead.length) return false;
    if (at[1] < lead.secondMin || at[1] > lead.secondMax) return false;
    if (lead.length > 2 && (at[2] & 0xC0) != 0x80) return false;
    if (lead.length > 3 && (at[3] & 0xC0) != 0x80) return false;
    at += lead.length;
  }
  return true;
}

}  // namespace

std::string shownText(std::string text) {
  if (showsAsItIs(text)) return text;
  static const char kDigits[] = "0123456789ABCDEF";
  const bool valid = zip::isValidUtf8(text);
  std::string shown;
  const auto put = [&](const char* before, unsigned char byte) {
    shown += before;
    shown.push_back(kDigits[byte >> 4]);
    shown.push_back(kDigits[byte & 0x0F]);
    shown.push_back('>');
  };
  for (std::size_t at = 0; at < text.size(); ++at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte < 0x20 || byte == 0x7F) {
      put("<U+00", byte);
    } else if (!valid && byte >= 0x80) {
      put("<0x", byte);
    } else if (valid && byte == 0xC2 && (static_cast<unsigned char>(text[at + 1]) & 0xE0) == 0x80) {
      put("<U+00", static_cast<unsigned char>(text[++at]));  // C1: U+0080 to U+009F
    } else {
      shown.push_back(text[at]);
    }
  }
  return shown;
}

namespace {

std::string findingLine(const CheckReport& report, const Finding& finding) {
  const char* severity = finding.severity == Severity::kError ? "error: " : "warning: ";
  return severity + shownText(report.said(finding)) + "\n";
}

// Pieces of a report gathered into one string.
template <typename Write>
std::string gathered(const Write& write) {
  std::string text;
  write([&text](std::string_view piece) { text += piece; });
  return text;
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
  for (const Finding& finding : report.findings) out(findingLine(report, finding));
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

std::string jsonString(std::string_view text) {
  static const char kDigits[] = "0123456789abcdef";
  // Bytes that are not UTF-8 (a path given on the command line) would make
  // the JSON invalid: in such a text every byte above ASCII becomes U+FFFD.
  const bool valid = utf8ToUtf16(std::string(text)).has_value();
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

void writeJsonReport(const CheckReport& report, bool withLists, const ReportOut& out) {
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
  out(json);
  bool first = true;
  for (const Finding& finding : report.findings) {
    out(std::string(first ? "" : ",") +
        "{\"severity\":" + (finding.severity == Severity::kError ? "\"error\"" : "\"warning\"") +
        ",\"kind\":" + jsonString(kindName(finding.exitCode)) +
        ",\"where\":" + jsonString(report.whereText(finding)) +
        ",\"message\":" + jsonString(report.messageText(finding)) + "}");
    first = false;
  }
  out("]");
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
