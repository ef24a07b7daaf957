// The simulated device's storage: device paths map under the test's folder
// and nowhere else, and streams and deletion act on the real files there.
#include "storage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>

#include "scratch_folder.h"

namespace ostrel::testing {

using zarvo::testing::ScratchFolder;
namespace {

class SimStorage : public ::testing::Test {
 protected:
  ScratchFolder scratch;
  const std::filesystem::path& root = scratch.path();
  fw::sim::Storage storage{root};
};

struct Mapping {
  const char* name;
  const char* devicePath;
  const char* hostRelative;  // nullptr: not mapped
};

void PrintTo(const Mapping& m, std::ostream* out) { *out << m.devicePath; }

class StorageMapping : public SimStorage, public ::testing::WithParamInterface<Mapping> {};

TEST_P(StorageMapping, MapsAbsoluteDevicePathsUnderTheRoot) {
  const Mapping& m = GetParam();
  const std::filesystem::path host = storage.hostPath(m.devicePath);
  if (m.hostRelative == nullptr) {
    EXPECT_TRUE(host.empty()) << host;
  } else {
    EXPECT_EQ(host, root / m.hostRelative);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, StorageMapping,
    ::testing::Values(
        Mapping{"Marker", "\\USB Disk\\Zarvo\\reboot.txt", "USB Disk/Zarvo/reboot.txt"},
        Mapping{"EmptyComponent", "\\a\\\\b", "a/b"}, Mapping{"Relative", "relative.txt", nullptr},
        Mapping{"Empty", "", nullptr}, Mapping{"UpAndOut", "\\a\\..\\..\\b", nullptr},
        Mapping{"Dot", "\\.\\b", nullptr}, Mapping{"SlashInAComponent", "\\a/..\\b", nullptr}),
    [](const ::testing::TestParamInfo<Mapping>& info) { return std::string(info.param.name); });

TEST_F(SimStorage, StreamsAndDeletionWorkOnRealFiles) {
  std::filesystem::create_directories(root / "d");
  EXPECT_EQ(storage.open("\\d\\missing.txt", "r"), fw::StreamHandle::none);
  EXPECT_EQ(storage.open("\\d", "r"), fw::StreamHandle::none);  // a folder
  EXPECT_EQ(storage.open("\\nofolder\\x.txt", "w"), fw::StreamHandle::none);

  std::ofstream(root / "d" / "f.txt") << "old";
  const fw::StreamHandle stream = storage.open("\\d\\f.txt", "w");
  ASSERT_NE(stream, fw::StreamHandle::none);
  EXPECT_TRUE(storage.close(stream));
  EXPECT_FALSE(storage.close(stream)) << "closed already";
  EXPECT_EQ(std::filesystem::file_size(root / "d" / "f.txt"), 0u);

  storage.refuseDeleting("\\d\\f.txt");
  EXPECT_FALSE(storage.remove("\\d\\f.txt"));
  EXPECT_FALSE(storage.remove("\\d"));
  EXPECT_TRUE(std::filesystem::exists(root / "d"));
  std::ofstream(root / "d" / "g.txt") << "x";
  EXPECT_TRUE(storage.remove("\\d\\g.txt"));
  EXPECT_FALSE(std::filesystem::exists(root / "d" / "g.txt"));
  EXPECT_FALSE(storage.remove("\\d\\g.txt"));
}

}  // namespace
}  // namespace ostrel::testing
