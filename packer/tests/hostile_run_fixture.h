// The fixture of the packer's end-to-end runs under hostile conditions: a
// packer started as a real process the test can signal and read, stand-in
// archivers that record their process ids, and what a failed run must
// leave (no archive, the staging folder as found, no process left).
#pragma once

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "release_files.h"

namespace quillet::hostile {

namespace fs = std::filesystem;
using quillet::testing::ListFile;
using quillet::testing::parseList;
using quillet::testing::ScratchFolder;
using ::testing::HasSubstr;
using ::testing::Not;

inline constexpr char kInterrupted[] = "The run was interrupted; no archive was made\n";
inline constexpr char kPrompt[] = "Press any key to continue...";

using quillet::testing::shellQuote;

inline bool processExists(pid_t pid) { return ::kill(pid, 0) == 0 || errno != ESRCH; }
inline bool processGroupExists(pid_t group) { return ::kill(-group, 0) == 0 || errno != ESRCH; }

// Waits (at most a minute) until `path` exists.
inline bool waitForFile(const std::filesystem::path& path) {
  for (int i = 0; i < 6000 && !std::filesystem::exists(path); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return std::filesystem::exists(path);
}

// Test names for parameters given as texts, by their place in the list.
template <const char* const* names>
std::string nameByIndex(const ::testing::TestParamInfo<const char*>& info) {
  return names[info.index];
}

// A packer started in `folder` with standard input from `input` (a
// descriptor, or -1 for /dev/null) and standard output and error into a
// pipe the test reads.
class RunningPacker {
 public:
  RunningPacker(const fs::path& folder, int input = -1, const std::string& prefix = "",
                const std::string& program = QUILLET_EXE) {
    int out[2];
    if (::pipe(out) != 0) throw std::runtime_error("no pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      if (::chdir(folder.c_str()) != 0) ::_exit(120);
      const int in = input >= 0 ? input : ::open("/dev/null", O_RDONLY);
      ::dup2(in, 0);
      ::dup2(out[1], 1);
      ::dup2(out[1], 2);
      ::close(out[0]);
      ::close(out[1]);
      if (prefix.empty()) {
        ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
      } else {
        const std::string command = prefix + " " + shellQuote(program);
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      }
      ::_exit(121);
    }
    ::close(out[1]);
    out_ = out[0];
  }
  ~RunningPacker() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
  }
  RunningPacker(const RunningPacker&) = delete;
  RunningPacker& operator=(const RunningPacker&) = delete;

  pid_t pid() const { return pid_; }
  const std::string& output() const { return output_; }

  // Reads output until `text` has appeared; false at its end first.
  bool readUntil(const std::string& text) {
    while (output_.find(text) == std::string::npos) {
      if (!readSome()) return false;
    }
    return true;
  }
  // Reads to the end of the output, then waits for the process; its exit
  // status, or -1 when it ended by a signal.
  int finish() {
    while (readSome()) {
    }
    return wait();
  }
  // Waits for the process without reading its output.
  int wait() {
    if (!reaped_) ::waitpid(pid_, &status_, 0);
    reaped_ = true;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }
  // True once the process has ended (it is then waited for).
  bool ended() {
    if (!reaped_ && ::waitpid(pid_, &status_, WNOHANG) == pid_) reaped_ = true;
    return reaped_;
  }

 private:
  bool readSome() {
    char buffer[4096];
    for (;;) {
      const ssize_t got = ::read(out_, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      output_.append(buffer, static_cast<std::size_t>(got));
      return true;
    }
  }

  pid_t pid_ = -1;
  int out_ = -1;
  bool reaped_ = false;
  int status_ = 0;
  std::string output_;
};

class HostileRun : public ::testing::Test {
 protected:
  void SetUp() override {
    scratch.file("FlashDrive/BSP/NK.bin", std::string("\x01\x02\x00\x03", 4));
    scratch.file("FlashDrive/NAVI/Maps/EU.map", std::string(3000, 'm'));
    scratch.folder("FlashDrive/NAVI/Logs");
  }
  void TearDown() override {
    // Whatever a failed case left running is ended here, not left behind:
    // each recorded process still working in this scratch folder.
    for (const char* record : {"archiver-pid", "grandchild-pid", "leftover-pid"}) {
      if (!scratch.exists(record)) continue;
      const pid_t pid = std::atoi(scratch.read(record).c_str());
      std::error_code error;
      const fs::path cwd = fs::read_symlink("/proc/" + std::to_string(pid) + "/cwd", error);
      if (pid > 0 && !error && cwd.string().rfind(scratch.root().string(), 0) == 0) {
        ::kill(pid, SIGKILL);
      }
    }
  }

  // Enough files that each step's console lines overfill a pipe: a run
  // whose output is not read stays in the step it was in.
  void addManyFiles() {
    for (int i = 0; i < 3000; ++i) scratch.file("FlashDrive/many/f" + std::to_string(i), "");
  }

  // What the stand-in archivers write where the run keeps an archive: a
  // real one, made by Debian's 7za with the run's own arguments, since the
  // run keeps only an archive that holds what it digested.
  bool isZipArchive(const std::string& relative) const {
    return scratch.exists(relative) && scratch.read(relative).rfind("PK\x03\x04", 0) == 0;
  }

  // The stand-in archivers. Each records its own pid and process group (and
  // a grandchild's pid) and writes the archive it was given as its third
  // argument.
  void archiver(const std::string& body) {
    scratch.file("7za",
                 "#!/bin/sh\necho $$ > ../archiver-pid\n"
                 "cut -d' ' -f5 /proc/$$/stat > ../archiver-group\n" +
                     body);
    fs::permissions(scratch.root() / "7za",
                    fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  }
  // Writes part of an archive, starts a grandchild and waits for it.
  void slowArchiver() {
    archiver(
        "echo partial > \"$3\"\nsleep 60 &\necho $! > ../grandchild-pid\n"
        "echo ARCHIVER-RUNNING\nwait\n");
  }
  // Waits until the test creates ../release, then makes the archive.
  void gatedArchiver() {
    archiver(
        "echo ARCHIVER-RUNNING\nwhile [ ! -e ../release ]; do sleep 0.05; done\n"
        "/usr/bin/7za \"$@\" >/dev/null\n");
  }
  // Asked to end, it notes it in ../archiver-tidied before it goes, as an
  // archiver removes its temporary file.
  void tidyingArchiver() {
    archiver(
        "trap 'touch ../archiver-tidied; exit 1' TERM\necho ARCHIVER-RUNNING\n"
        "while :; do sleep 0.05; done\n");
  }
  // Makes the archive without a word, after keeping a copy of the file list.
  void quietArchiver() {
    archiver("cp '$FileList.txt' ../seen-FileList\n/usr/bin/7za \"$@\" >/dev/null\n");
  }

  std::map<std::string, std::string> snapshot() const {
    std::map<std::string, std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(scratch.root() / "FlashDrive")) {
      const std::string relative = fs::relative(entry.path(), scratch.root()).string();
      tree[relative] = entry.is_directory() ? "/" : scratch.read(relative);
    }
    return tree;
  }

  // The truthful end of a failed run.
  void expectNothingLeft(const std::map<std::string, std::string>& before) {
    EXPECT_FALSE(scratch.exists("ZarvoEUupdate.zip"));
    EXPECT_EQ(snapshot(), before) << "the staging folder as it was found";
    for (const char* record : {"archiver-pid", "grandchild-pid"}) {
      if (!scratch.exists(record)) continue;
      const pid_t pid = std::atoi(scratch.read(record).c_str());
      EXPECT_FALSE(processExists(pid)) << record << " " << pid << " is still there";
    }
    if (scratch.exists("archiver-group")) {
      const pid_t group = std::atoi(scratch.read("archiver-group").c_str());
      EXPECT_FALSE(processGroupExists(group)) << "a process of the archiver's group is left";
    }
  }

  ScratchFolder scratch;
};

}  // namespace quillet::hostile
