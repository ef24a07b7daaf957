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
  bool digestWrong = false;       // $md5.bin holds sixteen zeros
  bool fileListBroken = false;    // $FileList.txt does not decode
  const char* damaged = nullptr;  // a file whose data in an archive has a byte flipped
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
  zip::testing::WrittenZip zip = zip::testing::writeZip(entries);
  for (std::size_t i = 0; layout.damaged != nullptr && i < entries.size(); ++i) {
    const std::size_t data = zip.local[i] + 30 + entries[i].name.size();
    if (entries[i].name == slashes(layout.damaged)) zip.bytes[data] ^= 1;
  }
  scratch.file(name + ".zip", zip.bytes);
  return (scratch.root() / (name + ".zip")).string();
}

using Edit = void (*)(Layout&);

struct DiffCase {
  const char* name;
  Form oldForm, newForm;
  Edit toOld, toNew;               // from the base layout
  std::vector<std::string> lines;  // the change lines in order, each as it begins
  const char* files;               // the counts of files, or nullptr for no comparison
  int exitCode;                    // without --exit-code
  bool differ;                     // with it: exit 8 when both pass
  std::vector<std::string> text;   // what else the text report holds
  std::string json;                // what the JSON report holds besides
  // Laid out again (from the base layout) once both releases are checked.
  Edit toOldOnceChecked = nullptr;
};

void PrintTo(const DiffCase& c, std::ostream* out) { *out << c.name; }

std::pair<std::string, std::string>& fileOf(Layout& layout, const std::string& line) {
  return *std::find_if(layout.files.begin(), layout.files.end(),
                       [&line](const auto& file) { return file.first == line; });
}

void keep(Layout&) {}
void addMap(Layout& l) { l.files.insert(l.files.begin() + 3, {"NAVI\\Maps\\FR.map", "routes"}); }
void dropKernel(Layout& l) { l.files.erase(l.files.begin()); }
void newerMap(Layout& l) { fileOf(l, "NAVI\\Maps\\EU.map").second = "roads of Europe, 2025"; }
void renameNavi(Layout& l) { fileOf(l, "NAVI\\Navi.exe").first = "NAVI\\Navi2.exe"; }
void upperNavi(Layout& l) { fileOf(l, "NAVI\\Navi.exe").first = "NAVI\\NAVI.EXE"; }
void renewNavi(Layout& l) { fileOf(l, "NAVI\\Navi.exe") = {"NAVI\\Navi2.exe", "MZ navigation 2"}; }
void twoSame(Layout& l) {
  l.files.insert(l.files.end(), {{"A\\a.dat", "same"}, {"A\\b.dat", "same"}});
}
void twoSameMoved(Layout& l) {
  twoSame(l);
  fileOf(l, "A\\b.dat").first = "A\\c.dat";
}
void newConfig(Layout& l) { fileOf(l, "$FileList-cfg.txt").second = "volume=7"; }
void swapFirstTwo(Layout& l) { std::swap(l.files[0], l.files[1]); }
void newerMapStaleDigest(Layout& l) {
  newerMap(l);
  l.digestWrong = true;
}
void brokenFileList(Layout& l) { l.fileListBroken = true; }
void caseTwins(Layout& l) { l.files.insert(l.files.end(), {{"A\\f.dat", "p"}, {"A\\F.DAT", "q"}}); }
void damagedNavi(Layout& l) { l.damaged = "NAVI\\Navi.exe"; }
void renameDamagedNavi(Layout& l) {
  renameNavi(l);
  l.damaged = "NAVI\\Navi2.exe";
}
void escapedName(Layout& l) { l.files.push_back({"NAVI\\\x1B[2Jx\"y.dat", "z"}); }

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
    bool relaid = false;
    return diffPaths(request, [&](std::string_view piece) {
      report->append(piece);
      const bool newChecked = piece.rfind("New release ", 0) == 0 || piece == ",\"newCheck\":";
      if (c.toOldOnceChecked != nullptr && newChecked && !relaid) {
        Layout changed = baseLayout();
        c.toOldOnceChecked(changed);
        lay(scratch, "old", changed, c.oldForm);
        relaid = true;
      }
    });
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
  for (const std::string& holds : c.text) EXPECT_THAT(text, HasSubstr(holds));
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
  std::string signs, kinds;  // of the text's change lines, and the JSON's changes as signs
  for (const std::string& line : c.lines) signs += line[0];
  const std::regex kind("\"kind\":\"(a|r|c|m)\\w+\"");
  for (auto it = std::sregex_iterator(json.begin(), json.end(), kind); it != std::sregex_iterator();
       ++it) {
    kinds += std::string("+-~>")[std::string("arcm").find((*it)[1].str())];
  }
  EXPECT_EQ(kinds, signs) << json;
  if (!c.json.empty()) {
    EXPECT_THAT(json, HasSubstr(c.json));
  }
}

const char kFileListChanged[] = "~ $FileList.txt (";
const char kSixUnchanged[] = "0 added, 0 removed, 0 changed, 0 moved, 6 unchanged";
const char kOneChanged[] = "0 added, 0 removed, 1 changed, 0 moved, 5 unchanged";
const char kOneMoved[] = "0 added, 0 removed, 1 changed, 1 moved, 4 unchanged";
constexpr Form kDir = Form::kFolder, kZip = Form::kDeflated, kStored = Form::kStored;

// clang-format off
INSTANTIATE_TEST_SUITE_P(ReleaseDiff, ReleaseDiffCases, ::testing::Values(
    DiffCase{"OneFileAdded", kZip, kDir, keep, addMap,
             {"+ NAVI\\Maps\\FR.map (6 bytes)\n", kFileListChanged},
             "1 added, 0 removed, 1 changed, 0 moved, 5 unchanged", 0, true,
             {"Folders: 0 added, 0 removed\n", " (changed)\n"}, ""},
    DiffCase{"OneFileRemovedWithItsFolder", kDir, kStored, keep, dropKernel,
             {kFileListChanged, "~ $FolderList.txt (", "- BSP\\NK.bin (12 bytes)\n"},
             "0 added, 1 removed, 2 changed, 0 moved, 3 unchanged", 0, true,
             {"Folders: 0 added, 1 removed\n"}, ""},
    DiffCase{"OneFileChanged", kStored, kZip, keep, newerMap,
             {"~ NAVI\\Maps\\EU.map (15 -> 21 bytes)\n"}, kOneChanged, 0, true,
             {"Bytes: 21 added, 15 removed\n", "File list order: the same for files in both"},
             R"({"kind":"changed","name":"NAVI\\Maps\\EU.map","oldName":null,"oldSize":15,)"
             R"("newSize":21})"},
    DiffCase{"OneFileMoved", kZip, kDir, keep, renameNavi,
             {"> NAVI\\Navi.exe -> NAVI\\Navi2.exe\n", kFileListChanged}, kOneMoved, 0, true, {},
             R"({"kind":"moved","name":"NAVI\\Navi2.exe","oldName":"NAVI\\Navi.exe",)"
             R"("oldSize":13,"newSize":13})"},
    DiffCase{"CaseOnlyRenameIsAMove", kDir, kZip, keep, upperNavi,
             {"> NAVI\\Navi.exe -> NAVI\\NAVI.EXE\n", kFileListChanged}, kOneMoved, 0, true,
             {"File list order: the same for files in both"}, ""},
    DiffCase{"MovedAndChangedIsARemoveAndAnAdd", kStored, kDir, keep, renewNavi,
             {"+ NAVI\\Navi2.exe (15 bytes)\n", kFileListChanged, "- NAVI\\Navi.exe (13 bytes)\n"},
             "1 added, 1 removed, 1 changed, 0 moved, 4 unchanged", 0, true, {}, ""},
    DiffCase{"OneOfTwoIdenticalFilesMoved", kDir, kStored, twoSame, twoSameMoved,
             {"> A\\b.dat -> A\\c.dat\n", kFileListChanged},
             "0 added, 0 removed, 1 changed, 1 moved, 6 unchanged", 0, true, {}, ""},
    DiffCase{"ConfigurationChanged", kZip, kDir, keep, newConfig,
             {"~ $FileList-cfg.txt (8 -> 8 bytes)\n"}, kOneChanged, 0, true,
             {"Configuration: $FileList-cfg.txt changed\n", " in both\n"},
             R"("digestChanged":false,"configChanged":true,"orderChanged":false)"},
    DiffCase{"OnlyTheOrderChanged", kDir, kDir, keep, swapFirstTwo,
             {"~ $FileList.txt (182 -> 182 bytes)\n"}, kOneChanged, 0, true,
             {"File list order: changed for files in both\n", " (changed)\n",
              "Configuration: $FileList-cfg.txt unchanged\n"},
             R"("digestChanged":true,"configChanged":false,"orderChanged":true)"},
    DiffCase{"IdenticalReleases", kZip, kZip, keep, keep, {}, kSixUnchanged, 0, false,
             {"Bytes: 0 added, 0 removed\nFolders: 0 added, 0 removed\n",
              "Verdict: both releases pass; they do not differ (exit 0)\n"}, ""},
    DiffCase{"AnArchiveAndItsExtractedFolder", kZip, kDir, keep, keep, {}, kSixUnchanged, 0,
             false, {}, ""},
    DiffCase{"ANewReleaseThatFailsItsCheck", kStored, kDir, keep, newerMapStaleDigest,
             {"~ NAVI\\Maps\\EU.map (15 -> 21 bytes)\n"}, kOneChanged, kExitDigestMismatch, true,
             {"; PASS (exit 0)\nNew release ", "(exit 6)\nerror: entry '$md5.bin': holds 0000",
              "\nDifferences, comparing a release that fails its check:\n",
              "Verdict: FAIL: the new release fails its check (exit 6)\n"},
             R"("newCheck":{"path":)"},
    // (a file its check could not read is neither unchanged nor moved)
    DiffCase{"ADamagedFileIsChanged", kZip, kStored, keep, damagedNavi,
             {"~ NAVI\\Navi.exe (13 -> 13 bytes; not read whole)\n"}, kOneChanged, kExitDamaged,
             true, {"error: entry 'NAVI/Navi.exe': "}, R"("newSize":13,"notReadWhole":true})"},
    DiffCase{"ADamagedFileIsNotAMove", kDir, kStored, keep, renameDamagedNavi,
             {"+ NAVI\\Navi2.exe (13 bytes)\n", kFileListChanged, "- NAVI\\Navi.exe (13 bytes)\n"},
             "1 added, 1 removed, 1 changed, 0 moved, 4 unchanged", kExitDamaged, true, {}, ""},
    DiffCase{"AnOldFileListThatCannotBeRead", kDir, kZip, brokenFileList, keep, {}, nullptr,
             kExitMalformedLists, true,
             {"No differences shown: the file list of the old release could not be read\n",
              "Verdict: FAIL: the old release fails its check (exit 4)\n"}, ""},
    DiffCase{"NeitherFileListCanBeRead", kZip, kDir, brokenFileList, brokenFileList, {}, nullptr,
             kExitMalformedLists, true,
             {"No differences shown: the file lists of both releases could not be read\n",
              "Verdict: FAIL: both releases fail their checks (exit 4)\n"}, ""},
    // (the second twin finds the first's old file taken, and moves from
    // the old file of its own spelling)
    DiffCase{"ACaseTwinMovesFromItsOwnSpelling", kStored, kZip, caseTwins, caseTwins,
             {"> A\\F.DAT -> A\\F.DAT\n"}, "0 added, 0 removed, 0 changed, 1 moved, 7 unchanged",
             kExitDeviceCannotHold, true, {},
             R"({"kind":"moved","name":"A\\F.DAT","oldName":null,"oldSize":1,"newSize":1})"},
    DiffCase{"AnOldReleaseChangedBeforeItsNamesWereRead", kZip, kDir, keep, renameNavi,
             {"> (not read) -> NAVI\\Navi2.exe\n", kFileListChanged}, kOneMoved, kExitDamaged,
             true, {"could not be read again for its names",
                    "Verdict: FAIL: a release changed since it was checked (exit 3)\n"},
             R"("namesLost":)", addMap},
    DiffCase{"NamesThatNeedEscaping", kStored, kZip, keep, escapedName,
             {"+ NAVI\\<U+001B>[2Jx\"y.dat (1 byte)\n", kFileListChanged},
             "1 added, 0 removed, 1 changed, 0 moved, 5 unchanged", kExitDeviceCannotHold, true,
             {"error: entry 'NAVI/<U+001B>[2Jx\"y.dat': "},
             R"("name":"NAVI\\\u001b[2Jx\"y.dat","oldName":null,"oldSize":null,"newSize":1})"}),
    [](const ::testing::TestParamInfo<DiffCase>& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
}  // namespace quillet::check
