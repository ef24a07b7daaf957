// What the walk refuses, on real trees of a POSIX file system (links, FIFOs,
// sockets and such names cannot be made on Windows; walk_refusal_test.cpp
// has the rest on the fake platform). After every refusal: the walk fails,
// each refused entry is named, no list is left, and the staging folder is as
// it was found.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "platform.h"
#include "release_files.h"
#include "walk.h"

namespace quillet {
namespace {

namespace fs = std::filesystem;
using quillet::testing::ScratchFolder;
using ::testing::HasSubstr;

std::map<std::string, std::string> snapshot(const fs::path& top) {
  return quillet::testing::treeSnapshot(top);
}

// A hostile entry made in the staging folder, and the text its refusal
// must show after the entry's path.
struct HostileEntry {
  const char* label;
  std::function<void(const fs::path& staging)> make;
  std::string named;  // the end of the refused entry's path, as shown
  std::string why;
};

void fifo(const fs::path& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); }

void socketFile(const fs::path& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.string().size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, path.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(fd);
}

void file(const fs::path& path) { std::ofstream(path) << "x"; }

constexpr char kLink[] =
    "a link; the device cannot hold links and the archiver would store the link itself";
constexpr char kSpecial[] = "neither a file nor a folder (a FIFO, socket or device)";

class WalkRefusesOnPosix : public ::testing::TestWithParam<HostileEntry> {
 protected:
  void SetUp() override {
    if (platform().separator() != '/') GTEST_SKIP() << "needs a POSIX file system";
    scratch.file("FlashDrive/NAVI/Navi.exe", "navi");
    scratch.file("FlashDrive/outside-target.txt", "t");
  }

  int walk() {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int result = makeList();
    console = ::testing::internal::GetCapturedStdout();
    ::testing::internal::GetCapturedStderr();
    return result;
  }

  ScratchFolder scratch;
  std::string console;
};

TEST_P(WalkRefusesOnPosix, NamingTheEntryAndLeavingNothing) {
  const fs::path staging = scratch.root() / "FlashDrive";
  GetParam().make(staging);
  const auto before = snapshot(staging);
  EXPECT_EQ(walk(), 0);
  EXPECT_THAT(console, HasSubstr("Refused '" + staging.string() + "/" + GetParam().named));
  EXPECT_THAT(console, HasSubstr(GetParam().why));
  EXPECT_THAT(console, HasSubstr("no list was written\n"));
  EXPECT_EQ(snapshot(staging), before) << "the staging folder must be as it was found";
  EXPECT_EQ(fs::current_path(), scratch.root());
}

INSTANTIATE_TEST_SUITE_P(
    Entries, WalkRefusesOnPosix,
    ::testing::Values(
        HostileEntry{"LinkToAFile",
                     [](const fs::path& s) { fs::create_symlink("outside-target.txt", s / "l"); },
                     "l", kLink},
        HostileEntry{"LinkToAFolder",
                     [](const fs::path& s) { fs::create_symlink("NAVI", s / "l"); }, "l", kLink},
        HostileEntry{"LoopToItself",
                     [](const fs::path& s) { fs::create_symlink(".", s / "NAVI" / "loop"); },
                     "NAVI/loop", kLink},
        HostileEntry{"LoopUp", [](const fs::path& s) { fs::create_symlink("..", s / "up"); }, "up",
                     kLink},
        HostileEntry{"LinkToTheRoot",
                     [](const fs::path& s) { fs::create_symlink("/", s / "root"); }, "root", kLink},
        HostileEntry{"BrokenLink",
                     [](const fs::path& s) { fs::create_symlink("missing", s / "broken"); },
                     "broken", kLink},
        HostileEntry{"Fifo", [](const fs::path& s) { fifo(s / "NAVI" / "pipe"); }, "NAVI/pipe",
                     kSpecial},
        HostileEntry{"Socket", [](const fs::path& s) { socketFile(s / "sock"); }, "sock", kSpecial},
        HostileEntry{"LineFeedInAName", [](const fs::path& s) { file(s / "a\nb.txt"); },
                     "a<U+000A>b.txt", "the name holds a control character"},
        HostileEntry{"CarriageReturnInAName", [](const fs::path& s) { file(s / "a\r"); }, "a<U+000D>",
                     "the name holds a control character"},
        HostileEntry{"TabInAFolderName",
                     [](const fs::path& s) { fs::create_directory(s / "t\tf"); }, "t<U+0009>f",
                     "the name holds a control character"},
        HostileEntry{"ReservedCharacter", [](const fs::path& s) { file(s / "NAVI" / "a:b"); },
                     "NAVI/a:b", "the name holds one of < > : \" | ? *"},
        HostileEntry{"TrailingDot", [](const fs::path& s) { file(s / "name."); }, "name.",
                     "the name ends with a dot"},
        HostileEntry{"ThreeDots", [](const fs::path& s) { file(s / "..."); }, "...",
                     "the name ends with a dot"},
        HostileEntry{"TrailingSpace", [](const fs::path& s) { fs::create_directory(s / "dir "); },
                     "dir ", "the name ends with a space"},
        HostileEntry{"DeviceName", [](const fs::path& s) { file(s / "COM1.txt"); }, "COM1.txt",
                     "the name is a reserved device name"},
        HostileEntry{"DeviceNameLowerCase", [](const fs::path& s) { file(s / "NAVI" / "aux"); },
                     "NAVI/aux", "the name is a reserved device name"},
        HostileEntry{"NamesDifferingInCase",
                     [](const fs::path& s) {
                       file(s / "NAVI" / "Map.dat");
                       file(s / "NAVI" / "MAP.DAT");
                     },
                     "NAVI/M", "': the name differs only in case from 'M"}),
    [](const ::testing::TestParamInfo<HostileEntry>& info) {
      return std::string(info.param.label);
    });

TEST_F(WalkRefusesOnPosix, StaleListsThatAreLinksAreNeverWrittenThrough) {
  // A list name that still exists (a link the run could not delete) makes the
  // walk fail rather than write through it.
  const fs::path staging = scratch.root() / "FlashDrive";
  fs::create_symlink("outside-target.txt", staging / "$FolderList.txt");
  EXPECT_EQ(walk(), 0);
  EXPECT_THAT(console, HasSubstr("$FolderList.txt' could not be created\n"));
  EXPECT_EQ(scratch.read("FlashDrive/outside-target.txt"), "t");
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(staging / "$FolderList.txt")));
  EXPECT_FALSE(scratch.exists("FlashDrive/$FileList.txt"));
}

}  // namespace
}  // namespace quillet
