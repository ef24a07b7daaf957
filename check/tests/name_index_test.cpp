// The check's tables of names: every name found after the table grew, the
// first entry of a name kept, case folded only for ASCII letters and only
// where asked.
#include "name_index.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

namespace quillet::check {
namespace {

std::vector<ReleaseEntry> entriesNamed(const std::vector<std::string>& names) {
  // An entry's name is held by its source; here, for the whole test program.
  static std::deque<std::string> held;
  std::vector<ReleaseEntry> entries;
  for (const std::string& name : names) {
    ReleaseEntry entry;
    entry.name = held.emplace_back(name);
    entries.push_back(entry);
  }
  return entries;
}

TEST(NameIndexLookup, FindsEveryNameAfterGrowingFromNoRoom) {
  std::vector<std::string> names;
  for (int i = 0; i < 1000; ++i) names.push_back("NAVI/POI/p" + std::to_string(i) + ".dat");
  const std::vector<ReleaseEntry> entries = entriesNamed(names);
  NameIndex index(entries, NameIndex::Compare::kExact);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(index.insert(i), -1) << names[i];
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(index.find(names[i]), i) << names[i];
  // A list line hashes as the name it stands for; fetching ahead changes nothing.
  for (int step = 0; step < 3; ++step) {
    index.prefetch(index.hashOf("NAVI\\POI\\p7.dat"), step);
    index.prefetch(index.hashOf("NAVI\\POI\\p1000.dat"), step);
  }
  EXPECT_EQ(index.find("NAVI/POI/p7.dat", index.hashOf("NAVI\\POI\\p7.dat")), 7);
  EXPECT_EQ(index.find("NAVI/POI/p1000.dat"), -1);
  EXPECT_EQ(index.find("NAVI/POI/p1.da"), -1);
  EXPECT_EQ(index.find(""), -1);
}

TEST(NameIndexLookup, ASecondEntryOfANameFindsTheFirst) {
  const std::vector<ReleaseEntry> entries = entriesNamed({"a/x.dat", "b.dat", "a/x.dat"});
  NameIndex index(entries, NameIndex::Compare::kExact, entries.size());
  EXPECT_EQ(index.insert(0), -1);
  EXPECT_EQ(index.insert(1), -1);
  EXPECT_EQ(index.insert(2), 0);
  EXPECT_EQ(index.find("a/x.dat"), 0);
}

TEST(NameIndexLookup, FoldsAsciiCaseOnlyWhenAskedAndOnlyAsciiLetters) {
  const std::vector<ReleaseEntry> entries =
      entriesNamed({"NAVI/Map.dat", "navi/map.DAT", "\xC3\x84.dat", "\xC3\xA4.dat"});
  NameIndex exact(entries, NameIndex::Compare::kExact);
  NameIndex folded(entries, NameIndex::Compare::kIgnoringAsciiCase);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(exact.insert(i), -1) << i;
  EXPECT_EQ(folded.insert(0), -1);
  EXPECT_EQ(folded.insert(1), 0);
  EXPECT_EQ(folded.insert(2), -1);  // Ä and ä differ: FAT folds ASCII letters only
  EXPECT_EQ(folded.insert(3), -1);
  EXPECT_EQ(exact.find("navi/map.dat"), -1);
  EXPECT_EQ(folded.find("navi/map.dat"), 0);
  EXPECT_EQ(folded.find("NAVI/MAP.DAT"), 0);
  EXPECT_EQ(folded.find("NAVI/MAP.DAT/"), -1);
}

// Names are hashed eight bytes at a time, "\\" as "/" and, when case is
// ignored, ASCII capitals as small letters: names of every length up to and
// past a few words, with those bytes anywhere, hash as their entries' names.
TEST(NameIndexLookup, LinesHashAsTheirNamesWhateverTheirLengthAndLetters) {
  const std::string letters = "Ab\\/Z@[`{z\xC3\x84.";
  std::vector<std::string> names;
  for (std::size_t length = 1; length <= 40; ++length) {
    std::string name;
    for (std::size_t k = 0; k < length; ++k) name += letters[(k * 7 + length) % letters.size()];
    names.push_back(name);
  }
  const auto entryName = [](std::string name) {
    for (char& c : name) c = c == '\\' ? '/' : c;
    return name;
  };
  const auto lower = [](std::string name) {
    for (char& c : name) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    return name;
  };
  std::vector<std::string> held;
  for (const std::string& name : names) held.push_back(entryName(name));
  const std::vector<ReleaseEntry> entries = entriesNamed(held);
  NameIndex exact(entries, NameIndex::Compare::kExact);
  NameIndex folded(entries, NameIndex::Compare::kIgnoringAsciiCase);
  for (std::size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(names[i]);
    // (a name and its folded twin may stand for the same entry: the first)
    const int at = static_cast<int>(i);
    ASSERT_EQ(exact.insert(at), -1);
    const int first = folded.insert(at);
    const std::string line = names[i];
    EXPECT_EQ(exact.find(entryName(line), exact.hashOf(line)), at);
    EXPECT_EQ(exact.find(lower(entryName(line)), exact.hashOf(lower(line))),
              lower(line) == line ? at : exact.find(lower(entryName(line))));
    EXPECT_EQ(folded.find(lower(entryName(line)), folded.hashOf(lower(line))),
              first < 0 ? at : first);
    std::uint32_t both[2];
    NameIndex::hashBoth(line, &both[0], &both[1]);
    EXPECT_EQ(both[0], exact.hashOf(entryName(line)));
    EXPECT_EQ(both[1], folded.hashOf(lower(entryName(line))));
  }
}

}  // namespace
}  // namespace quillet::check
