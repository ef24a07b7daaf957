#include "release_files.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "list_format.h"
#include "utf.h"

namespace quillet::testing {

ListFile parseList(const std::string& bytes) {
  const DecodedList decoded = decodeList(bytes, ListDecoder::Mode::kRaw);
  ListFile list;
  list.wellFormed = decoded.fault == ListFault::kNone;
  list.count = decoded.count;
  list.lines = decoded.lines;
  return list;
}

std::u16string u16(const std::string& utf8) { return utf8ToUtf16(utf8).value(); }

std::string shellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::filesystem::path runnableCopy(const std::filesystem::path& program,
                                   const std::filesystem::path& folder, std::string* whyNot) {
  namespace fs = std::filesystem;
  if (std::system("command -v setpriv >/dev/null") != 0) {
    *whyNot = "setpriv is missing";
    return {};
  }
  fs::create_directories(folder);
  const fs::path copy = folder / program.filename();
  fs::copy_file(program, copy, fs::copy_options::overwrite_existing);
  fs::permissions(copy, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
  if (std::system((std::string(kAsNobody) + " test -x " + shellQuote(copy.string())).c_str()) !=
      0) {
    *whyNot = "nobody cannot run programs in " + folder.string() + " (set TMPDIR elsewhere)";
    return {};
  }
  return copy;
}

// Larger files (sparse ones of several GiB) are held by their size alone.
constexpr std::uintmax_t kSnapshotBytesMax = 64 * 1024 * 1024;

std::map<std::string, std::string> treeSnapshot(const std::filesystem::path& top) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> tree;
  for (const auto& entry : fs::recursive_directory_iterator(top)) {
    const std::string relative = fs::relative(entry.path(), top).string();
    const fs::file_status status = entry.symlink_status();
    if (fs::is_symlink(status)) {
      tree[relative] = "-> " + fs::read_symlink(entry.path()).string();
    } else if (fs::is_directory(status)) {
      tree[relative] = "/";
    } else if (fs::is_regular_file(status) && entry.file_size() > kSnapshotBytesMax) {
      tree[relative] = "(" + std::to_string(entry.file_size()) + " bytes)";
    } else if (fs::is_regular_file(status)) {
      std::ifstream in(entry.path(), std::ios::binary);
      tree[relative] = std::string(std::istreambuf_iterator<char>(in), {});
    } else {
      tree[relative] = "special";
    }
  }
  return tree;
}

}  // namespace quillet::testing
