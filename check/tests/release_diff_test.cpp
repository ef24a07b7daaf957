// Two releases compared: each kind of change on its own, on releases the
// tests lay out as folders and as archives (stored and deflated), read
// through the text report (the change lines, the counts, the verdict) and
// the JSON one (the same counts and kinds), with and without --exit-code.
#include "release_diff.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "diff_report.h"
#include "digest_of.h"
#include "list_format.h"
#include "release_files.h"
#include "zip_writer.h"

namespace quillet::check {
namespace {

using quillet::testing::ScratchFolder;
using quillet::testing::u16;
using ::testing::HasSubstr;

// A release as a test describes it: its files in list order, "\" between
// components; the lists (listed last) and the digest are made from them.
struct Layout {
  std::vector<std::pair<std::string, std::string>> files;
  bool digestWrong = false;     // $md5.bin holds sixteen zeros
  bool fileListBroken = false;  // $FileList.txt does not decode
};

Layout baseLayout() {
  return Layout{{{"BSP\\NK.bin", "kernel image"},
                 {"NAVI\\Navi.exe", "MZ navigation"},
                 {"NAVI\\Maps\\EU.map", "roads of Europe"},
                 {"$FileList-cfg.txt", "volume=3"}}};
}

enum class Form { kFolder, kStored, kDeflated };

std::string slashes(std::string name) {
  for (char& c : name) c = c == '\\' ? '/' : c;
  return name;
}

// The release's files with their names in the release ("/"), the lists and
// $md5.bin included, and its folders.
std::pair<std::vector<std::pair<std::string, std::string>>, std::set<std::string>> entriesOf(
    const Layout& layout) {
  std::vector<std::u16string> lines;
  std::set<std::string> folders;
  for (const auto& [line, contents] : layout.files) {
    lines.push_back(u16(line));
    const std::string name = slashes(line);
    for (std::size_t at = name.find('/'); at != std::string::npos; at = name.find('/', at + 1)) {
      folders.insert(name.substr(0, at));
    }
  }
  lines.push_back(u16(kFileListName));
  lines.push_back(u16(kFolderListName));
  std::vector<std::u16string> folderLines;
  for (const std::string& folder : folders) {
    std::string line = "FlashDrive\\" + folder;
    for (char& c : line) c = c == '/' ? '\\' : c;
    folderLines.push_back(u16(line));
  }
  std::vector<std::pair<std::string, std::string>> files;
  for (const auto& [line, contents] : layout.files) files.emplace_back(slashes(line), contents);
  files.emplace_back(kFileListName, layout.fileListBroken ? "\x01" : encodeList(lines));
  files.emplace_back(kFolderListName, encodeList(folderLines));
  std::string digested;
  for (const auto& [name, contents] : files) {
    if (name.find(kConfigurationMark) == std::string::npos) digested += contents;
  }
  files.emplace_back(kDigestName,
                     layout.digestWrong ? std::string(16, '\0') : testing::digestOf(digested));
  return {files, folders};
}

// Lays `layout` out in `scratch` as `name` (a folder, or an archive with
// an entry for each folder, as 7za writes one); its path.
std::string lay(const ScratchFolder& scratch, const std::string& name, const Layout& layout,
                Form form) {
  const auto [files, folders] = entriesOf(layout);
  if (form == Form::kFolder) {
    for (const std::string& folder : folders) scratch.folder(name + "/" + folder);
    for (const auto& [file, contents] : files) scratch.file(name + "/" + file, contents);
    return (scratch.root() / name).string();
  }
  std::vector<zip::testing::WriterEntry> entries;
  for (const std::string& folder : folders) entries.emplace_back(folder + "/", "", 0);
  for (const auto& [file, contents] : files) {
    entries.emplace_back(file, contents, form == Form::kStored ? 0 : 8);
  }
  scratch.file(name + ".zip", zip::testing::writeZip(entries).bytes);
  return (scratch.root() / (name + ".zip")).string();
}

struct DiffCase {
  const char* name;
  Form oldForm;
  Form newForm;
  std::function<void(Layout&)> toOld;  // from the base layout
  std::function<void(Layout&)> toNew;
  std::vector<std::string> lines;  // the change lines in order, each as it begins
  const char* files;               // the counts of files, or nullptr for no comparison
  int exitCode;                    // without --exit-code
  bool differ;                     // with it: exit 8 when both pass
  std::vector<std::string> also;   // what else the text report holds
  std::string json;                // what the JSON report holds besides
};

void PrintTo(const DiffCase& c, std::ostream* out) { *out << c.name; }

void keep(Layout&) {}

// Renames the file listed as `from`, in its place.
std::function<void(Layout&)> renamed(std::string from, std::string to) {
  return [from, to](Layout& layout) {
    for (auto& file : layout.files) {
      if (file.first == from) file.first = to;
    }
  };
}

std::function<void(Layout&)> withContents(std::string file, std::string contents) {
  return [file, contents](Layout& layout) {
    for (auto& listed : layout.files) {
      if (listed.first == file) listed.second = contents;
    }
  };
}

// The kinds of the change lines, as JSON names them.
std::vector<std::string> kindsOf(const std::vector<std::string>& lines) {
  std::vector<std::string> kinds;
  for (const std::string& line : lines) {
    kinds.push_back(line[0] == '+'   ? "added"
                    : line[0] == '-' ? "removed"
                    : line[0] == '~' ? "changed"
                                     : "moved");
  }
  return kinds;
}

class ReleaseDiffCases : public ::testing::TestWithParam<DiffCase> {
 protected:
  int run(bool json, bool exitOnDifference, std::string* report) {
    const DiffCase& c = GetParam();
    Layout before = baseLayout();
    Layout after = baseLayout();
    c.toOld(before);
    c.toNew(after);
    const DiffRequest request{lay(scratch, "old", before, c.oldForm),
                              lay(scratch, "new", after, c.newForm), json, exitOnDifference};
    return diffPaths(request, [report](std::string_view piece) { report->append(piece); });
  }

  ScratchFolder scratch;
};

TEST_P(ReleaseDiffCases, SayEachChangeInBothReports) {
  const DiffCase& c = GetParam();
  std::string text;
  EXPECT_EQ(run(false, false, &text), c.exitCode) << text;
  std::vector<std::string> lines;
  std::string files;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.size() > 2 && std::string("+-~>").find(line[0]) != std::string::npos &&
        line[1] == ' ') {
      lines.push_back(line + "\n");
    }
    if (line.rfind("Files: ", 0) == 0) files = line.substr(7);
  }
  ASSERT_EQ(lines.size(), c.lines.size()) << text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].substr(0, c.lines[i].size()), c.lines[i]) << text;
  }
  EXPECT_EQ(files, c.files != nullptr ? c.files : "") << text;
  for (const std::string& also : c.also) EXPECT_THAT(text, HasSubstr(also));
  EXPECT_EQ(text.find('\x1B'), std::string::npos) << text;

  std::string json;
  const int flagged = c.exitCode != kExitPassed ? c.exitCode
                      : c.differ                ? kExitReleasesDiffer
                                                : kExitPassed;
  EXPECT_EQ(run(true, true, &json), flagged) << json;
  EXPECT_THAT(json, HasSubstr("\"exitCode\":" + std::to_string(flagged) + "}\n"));
  EXPECT_EQ(std::count(json.begin(), json.end(), '\n'), 1) << json;
  if (c.files != nullptr) {
    std::smatch counts;
    ASSERT_TRUE(std::regex_match(files, counts,
                                 std::regex("(\\d+) added, (\\d+) removed, (\\d+) changed, "
                                            "(\\d+) moved, (\\d+) unchanged")));
    EXPECT_THAT(json, HasSubstr("\"summary\":{\"added\":" + counts[1].str() + ",\"removed\":" +
                                counts[2].str() + ",\"changed\":" + counts[3].str() +
                                ",\"moved\":" + counts[4].str() +
                                ",\"unchanged\":" + counts[5].str() + ","));
    EXPECT_THAT(json, HasSubstr(std::string("\"differ\":") + (c.differ ? "true" : "false")));
  } else {
    EXPECT_THAT(json, HasSubstr("\"compared\":false,\"summary\":null,\"changes\":[]"));
  }
  std::vector<std::string> kinds;
  const std::regex kind("\"kind\":\"(\\w+)\"");
  for (auto it = std::sregex_iterator(json.begin(), json.end(), kind); it != std::sregex_iterator();
       ++it) {
    kinds.push_back((*it)[1].str());
  }
  EXPECT_EQ(kinds, kindsOf(c.lines)) << json;
  if (!c.json.empty()) {
    EXPECT_THAT(json, HasSubstr(c.json));
  }
}

const char kFileListChanged[] = "~ $FileList.txt (";
const char kSixUnchanged[] = "0 added, 0 removed, 0 changed, 0 moved, 6 unchanged";

INSTANTIATE_TEST_SUITE_P(
    ReleaseDiff, ReleaseDiffCases,
    ::testing::Values(
        DiffCase{"OneFileAdded",
                 Form::kDeflated,
                 Form::kFolder,
                 keep,
                 [](Layout& l) {
                   l.files.insert(l.files.begin() + 3, {"NAVI\\Maps\\FR.map", "routes de France"});
                 },
                 {"+ NAVI\\Maps\\FR.map (16 bytes)", kFileListChanged},
                 "1 added, 0 removed, 1 changed, 0 moved, 5 unchanged",
                 kExitPassed,
                 true,
                 {"Folders: 0 added, 0 removed\n", " (changed)\n"},
                 ""},
        DiffCase{"OneFileRemovedWithItsFolder",
                 Form::kFolder,
                 Form::kStored,
                 keep,
                 [](Layout& l) { l.files.erase(l.files.begin()); },
                 {kFileListChanged, "~ $FolderList.txt (", "- BSP\\NK.bin (12 bytes)"},
                 "0 added, 1 removed, 2 changed, 0 moved, 3 unchanged",
                 kExitPassed,
                 true,
                 {"Folders: 0 added, 1 removed\n"},
                 ""},
        DiffCase{"OneFileChanged",
                 Form::kStored,
                 Form::kDeflated,
                 keep,
                 withContents("NAVI\\Maps\\EU.map", "roads of Europe, 2025"),
                 {"~ NAVI\\Maps\\EU.map (15 -> 21 bytes)\n"},
                 "0 added, 0 removed, 1 changed, 0 moved, 5 unchanged",
                 kExitPassed,
                 true,
                 {"Bytes: 21 added, 15 removed\n", "File list order: the same for files in both"},
                 "{\"kind\":\"changed\",\"name\":\"NAVI\\\\Maps\\\\EU.map\",\"oldName\":null,"
                 "\"oldSize\":15,\"newSize\":21}"},
        DiffCase{"OneFileMoved",
                 Form::kDeflated,
                 Form::kFolder,
                 keep,
                 renamed("NAVI\\Navi.exe", "NAVI\\Navi2.exe"),
                 {"> NAVI\\Navi.exe -> NAVI\\Navi2.exe\n", kFileListChanged},
                 "0 added, 0 removed, 1 changed, 1 moved, 4 unchanged",
                 kExitPassed,
                 true,
                 {},
                 "{\"kind\":\"moved\",\"name\":\"NAVI\\\\Navi2.exe\",\"oldName\":"
                 "\"NAVI\\\\Navi.exe\",\"oldSize\":13,\"newSize\":13}"},
        DiffCase{"CaseOnlyRenameIsAMove",
                 Form::kFolder,
                 Form::kDeflated,
                 keep,
                 renamed("NAVI\\Navi.exe", "NAVI\\NAVI.EXE"),
                 {"> NAVI\\Navi.exe -> NAVI\\NAVI.EXE\n", kFileListChanged},
                 "0 added, 0 removed, 1 changed, 1 moved, 4 unchanged",
                 kExitPassed,
                 true,
                 {"File list order: the same for files in both"},
                 ""},
        DiffCase{"MovedAndChangedIsARemoveAndAnAdd",
                 Form::kStored,
                 Form::kFolder,
                 keep,
                 [](Layout& l) {
                   renamed("NAVI\\Navi.exe", "NAVI\\Navi2.exe")(l);
                   withContents("NAVI\\Navi2.exe", "MZ navigation 2")(l);
                 },
                 {"+ NAVI\\Navi2.exe (15 bytes)", kFileListChanged, "- NAVI\\Navi.exe (13 bytes)"},
                 "1 added, 1 removed, 1 changed, 0 moved, 4 unchanged",
                 kExitPassed,
                 true,
                 {},
                 ""},
        DiffCase{"OneOfTwoIdenticalFilesMoved",
                 Form::kFolder,
                 Form::kStored,
                 [](Layout& l) {
                   l.files.push_back({"NAVI\\a.dat", "same"});
                   l.files.push_back({"NAVI\\b.dat", "same"});
                 },
                 [](Layout& l) {
                   l.files.push_back({"NAVI\\a.dat", "same"});
                   l.files.push_back({"NAVI\\c.dat", "same"});
                 },
                 {"> NAVI\\b.dat -> NAVI\\c.dat\n", kFileListChanged},
                 "0 added, 0 removed, 1 changed, 1 moved, 6 unchanged",
                 kExitPassed,
                 true,
                 {},
                 ""},
        DiffCase{"ConfigurationChanged",
                 Form::kDeflated,
                 Form::kFolder,
                 keep,
                 withContents("$FileList-cfg.txt", "volume=7"),
                 {"~ $FileList-cfg.txt (8 -> 8 bytes)\n"},
                 "0 added, 0 removed, 1 changed, 0 moved, 5 unchanged",
                 kExitPassed,
                 true,
                 {"Configuration: $FileList-cfg.txt changed\n", " in both\n"},
                 "\"digestChanged\":false,\"configChanged\":true,\"orderChanged\":false"},
        DiffCase{"OnlyTheOrderChanged",
                 Form::kFolder,
                 Form::kFolder,
                 keep,
                 [](Layout& l) { std::swap(l.files[0], l.files[1]); },
                 {"~ $FileList.txt (182 -> 182 bytes)\n"},
                 "0 added, 0 removed, 1 changed, 0 moved, 5 unchanged",
                 kExitPassed,
                 true,
                 {"File list order: changed for files in both\n", " (changed)\n",
                  "Configuration: $FileList-cfg.txt unchanged\n"},
                 "\"digestChanged\":true,\"configChanged\":false,\"orderChanged\":true"},
        DiffCase{"IdenticalReleases",
                 Form::kDeflated,
                 Form::kDeflated,
                 keep,
                 keep,
                 {},
                 kSixUnchanged,
                 kExitPassed,
                 false,
                 {"Bytes: 0 added, 0 removed\nFolders: 0 added, 0 removed\n",
                  "Verdict: both releases pass; they do not differ (exit 0)\n"},
                 ""},
        DiffCase{"AnArchiveAndItsExtractedFolder",
                 Form::kDeflated,
                 Form::kFolder,
                 keep,
                 keep,
                 {},
                 kSixUnchanged,
                 kExitPassed,
                 false,
                 {},
                 ""},
        DiffCase{"ANewReleaseThatFailsItsCheck",
                 Form::kStored,
                 Form::kFolder,
                 keep,
                 [](Layout& l) {
                   withContents("NAVI\\Maps\\EU.map", "roads of Europe, 2025")(l);
                   l.digestWrong = true;
                 },
                 {"~ NAVI\\Maps\\EU.map (15 -> 21 bytes)\n"},
                 "0 added, 0 removed, 1 changed, 0 moved, 5 unchanged",
                 kExitDigestMismatch,
                 true,
                 {"; PASS (exit 0)\nNew release ", "(exit 6)\nerror: entry '$md5.bin': holds 0000",
                  "\nDifferences, comparing a release that fails its check:\n",
                  "Verdict: FAIL: the new release fails its check (exit 6)\n"},
                 "\"newCheck\":{\"path\":"},
        DiffCase{"AnOldFileListThatCannotBeRead",
                 Form::kFolder,
                 Form::kDeflated,
                 [](Layout& l) { l.fileListBroken = true; },
                 keep,
                 {},
                 nullptr,
                 kExitMalformedLists,
                 true,
                 {"No differences shown: the file list of the old release could not be read\n",
                  "Verdict: FAIL: the old release fails its check (exit 4)\n"},
                 ""},
        DiffCase{"NamesThatNeedEscaping",
                 Form::kStored,
                 Form::kDeflated,
                 keep,
                 [](Layout& l) {
                   l.files.push_back({"NAVI\\\x1B[2Jx\"y.dat", "z"});
                 },
                 {"+ NAVI\\<U+001B>[2Jx\"y.dat (1 byte)\n", kFileListChanged},
                 "1 added, 0 removed, 1 changed, 0 moved, 5 unchanged",
                 kExitDeviceCannotHold,
                 true,
                 {"error: entry 'NAVI/<U+001B>[2Jx\"y.dat': "},
                 "\"name\":\"NAVI\\\\\\u001b[2Jx\\\"y.dat\",\"oldName\":null,\"oldSize\":null,"
                 "\"newSize\":1}"}),
    [](const ::testing::TestParamInfo<DiffCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillet::check
