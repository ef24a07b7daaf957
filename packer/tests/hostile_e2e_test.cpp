// End-to-end runs of the built Quillet program under hostile conditions:
// signals while it works, a console that goes away, closed standard
// streams, stale outputs in the way, two runs in one working folder, a
// staging folder that is a link. Real processes throughout; the archiver is
// a stand-in shell script that records its process ids, so that the tests
// can tell that nothing it started is left running.
//
// After every failure: no archive of the run, no intermediate file, the
// staging folder byte for byte as it was found, no child process left.
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

#include "scratch_folder.h"

namespace quillet {
namespace {

namespace fs = std::filesystem;
using quillet::testing::ListFile;
using quillet::testing::parseList;
using quillet::testing::ScratchFolder;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kInterrupted[] = "The run was interrupted; no archive was made\n";
constexpr char kPrompt[] = "Press any key to continue...";

std::string shellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

bool processExists(pid_t pid) { return ::kill(pid, 0) == 0 || errno != ESRCH; }

// A packer started in `folder` with standard input from `input` (a
// descriptor, or -1 for /dev/null) and standard output and error into a
// pipe the test reads.
class RunningPacker {
 public:
  RunningPacker(const fs::path& folder, int input = -1, const std::string& prefix = "") {
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
        ::execl(QUILLET_EXE, QUILLET_EXE, static_cast<char*>(nullptr));
      } else {
        const std::string command = prefix + " " + QUILLET_EXE;
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
    for (const char* record : {"archiver-pid", "grandchild-pid"}) {
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

  // The stand-in archivers. Each records its own pid (and a grandchild's)
  // and writes the archive it was given as its third argument.
  void archiver(const std::string& body) {
    scratch.file("7za", "#!/bin/sh\necho $$ > ../archiver-pid\n" + body);
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
  // Makes the archive without a word, after keeping a copy of the file list.
  void quietArchiver() { archiver("cp '$FileList.txt' ../seen-FileList\n/usr/bin/7za \"$@\" >/dev/null\n"); }

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
  }

  ScratchFolder scratch;
};

// --- Interruption: a signal in each step of the run.

struct Interruption {
  const char* step;    // the test's name for the step
  const char* marker;  // console text the step prints
  int signalNumber;
  int exitCode;
};

class InterruptedRun : public HostileRun, public ::testing::WithParamInterface<Interruption> {};

TEST_P(InterruptedRun, EndsTheArchiverRemovesWhatTheRunWroteAndReportsTheSignal) {
  const Interruption& when = GetParam();
  if (std::string(when.step) != "archiver") addManyFiles();
  slowArchiver();
  const auto before = snapshot();

  RunningPacker packer(scratch.root());
  ASSERT_TRUE(packer.readUntil(when.marker)) << packer.output();
  // The output is not read meanwhile, so the run cannot leave the step.
  ASSERT_EQ(::kill(packer.pid(), when.signalNumber), 0);
  EXPECT_EQ(packer.finish(), when.exitCode);

  EXPECT_THAT(packer.output(), HasSubstr(kInterrupted));
  EXPECT_THAT(packer.output(), Not(HasSubstr(kPrompt))) << "an interrupted run asks for no key";
  if (std::string(when.step) != "archiver") {
    EXPECT_FALSE(scratch.exists("archiver-pid")) << "the archiver must not start";
  }
  expectNothingLeft(before);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, InterruptedRun,
    ::testing::Values(Interruption{"walk", "NAME: ", SIGINT, 130},
                      Interruption{"walk", "NAME: ", SIGHUP, 129},
                      Interruption{"load", "len = '", SIGTERM, 143},
                      Interruption{"digest", "[MD5](", SIGINT, 130},
                      Interruption{"digest", "[MD5](", SIGTERM, 143},
                      Interruption{"archiver", "ARCHIVER-RUNNING", SIGINT, 130},
                      Interruption{"archiver", "ARCHIVER-RUNNING", SIGTERM, 143},
                      Interruption{"archiver", "ARCHIVER-RUNNING", SIGHUP, 129}),
    [](const ::testing::TestParamInfo<Interruption>& info) {
      return std::string(info.param.step) + "_" + std::to_string(info.param.exitCode);
    });

TEST_F(HostileRun, InterruptionAtThePromptKeepsTheFinishedArchive) {
  quietArchiver();
  int input[2];
  ASSERT_EQ(::pipe(input), 0);  // held open: the prompt waits for a key
  RunningPacker packer(scratch.root(), input[0]);
  ::close(input[0]);
  ASSERT_TRUE(packer.readUntil(kPrompt)) << packer.output();
  ASSERT_EQ(::kill(packer.pid(), SIGINT), 0);
  EXPECT_EQ(packer.finish(), 130);
  ::close(input[1]);
  EXPECT_TRUE(isZipArchive("ZarvoEUupdate.zip"));
  EXPECT_FALSE(scratch.exists("FlashDrive/$FileList.txt"));
  EXPECT_FALSE(scratch.exists("FlashDrive/$md5.bin"));
}

// --- Streams: a console that went away, descriptors closed at the start.

TEST_F(HostileRun, ClosedPipeOnStandardOutputDoesNotEndTheRun) {
  quietArchiver();
  const auto before = snapshot();
  // The reader of the packer's output is gone before it starts.
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  ::close(out[0]);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int in = ::open("/dev/null", O_RDONLY);
    if (::chdir(scratch.root().c_str()) != 0 || in < 0) ::_exit(120);
    ::dup2(in, 0);
    ::dup2(out[1], 1);
    ::dup2(out[1], 2);
    ::signal(SIGPIPE, SIG_DFL);
    ::execl(QUILLET_EXE, QUILLET_EXE, static_cast<char*>(nullptr));
    ::_exit(121);
  }
  ::close(out[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(isZipArchive("ZarvoEUupdate.zip"));
  EXPECT_EQ(snapshot(), before);
}

// Test names for parameters given as texts, by their place in the list.
template <const char* const* names>
std::string nameByIndex(const ::testing::TestParamInfo<const char*>& info) {
  return names[info.index];
}
constexpr const char* kDescriptorNames[] = {"Output", "Input", "Error", "All"};
constexpr const char* kOutputNames[] = {"Archive", "FileList", "FolderList", "Digest"};
constexpr const char* kUndeletableNames[] = {"Archive", "Digest"};

class ClosedStream : public HostileRun, public ::testing::WithParamInterface<const char*> {};

TEST_P(ClosedStream, NeverReachesAFileOfTheRun) {
  quietArchiver();
  const auto before = snapshot();
  const int status = std::system(("cd " + shellQuote(scratch.root().string()) + " && { " +
                                  QUILLET_EXE + " " + GetParam() + "; echo $? > exit-code; }")
                                     .c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(scratch.read("exit-code"), "0\n");
  EXPECT_TRUE(isZipArchive("ZarvoEUupdate.zip"));
  EXPECT_EQ(snapshot(), before);
  // The list the archiver packed holds list lines, not console text.
  const ListFile list = parseList(scratch.read("seen-FileList"));
  ASSERT_TRUE(list.wellFormed);
  EXPECT_EQ(list.count, 4u);
  EXPECT_EQ(list.lines.size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(StandardDescriptors, ClosedStream,
                         ::testing::Values("</dev/null >&-", "<&- >/dev/null",
                                           "</dev/null >/dev/null 2>&-", "<&- >&- 2>&-"),
                         nameByIndex<kDescriptorNames>);

// --- Stale outputs in the way.

class StaleOutputFolder : public HostileRun, public ::testing::WithParamInterface<const char*> {};

TEST_P(StaleOutputFolder, StopsTheRunBeforeTheWalkAndIsLeftAlone) {
  quietArchiver();
  const fs::path folder = scratch.root() / GetParam();
  fs::create_directories(folder);
  scratch.file(std::string(GetParam()) + "/inside", "kept");
  fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  const auto before = snapshot();

  RunningPacker packer(scratch.root());
  EXPECT_EQ(packer.finish(), 2);
  std::string shown = GetParam();
  for (char& c : shown) c = c == '/' ? '\\' : c;
  EXPECT_THAT(packer.output(), HasSubstr("'" + shown +
                                         "' is a folder where the run writes a file; remove or "
                                         "rename it\n"));
  EXPECT_THAT(packer.output(), Not(HasSubstr("NAME: "))) << "no walk";
  EXPECT_FALSE(scratch.exists("archiver-pid"));
  EXPECT_EQ(fs::status(folder).permissions(),
            fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  EXPECT_EQ(scratch.read(std::string(GetParam()) + "/inside"), "kept");
  EXPECT_EQ(snapshot(), before);
}

INSTANTIATE_TEST_SUITE_P(EachOutput, StaleOutputFolder,
                         ::testing::Values("ZarvoEUupdate.zip", "FlashDrive/$FileList.txt",
                                           "FlashDrive/$FolderList.txt", "FlashDrive/$md5.bin"),
                         nameByIndex<kOutputNames>);

TEST_F(HostileRun, ReadOnlyStaleOutputsAreReplaced) {
  quietArchiver();
  scratch.file("ZarvoEUupdate.zip", "stale");
  scratch.file("FlashDrive/$md5.bin", "stale digest....");
  fs::permissions(scratch.root() / "ZarvoEUupdate.zip", fs::perms::owner_read);
  fs::permissions(scratch.root() / "FlashDrive/$md5.bin", fs::perms::owner_read);
  RunningPacker packer(scratch.root());
  EXPECT_EQ(packer.finish(), 0) << packer.output();
  EXPECT_TRUE(isZipArchive("ZarvoEUupdate.zip"));
  EXPECT_FALSE(scratch.exists("FlashDrive/$md5.bin"));
}

// Deletion refused by the file system: the output's folder belongs to
// another user. CI runs as root, who may delete anything, so the packer is
// run as `nobody` there. A stale archive left would be updated instead of
// replaced; a stale digest left would be listed and packed.
class UndeletableStaleOutput : public HostileRun,
                               public ::testing::WithParamInterface<const char*> {};

TEST_P(UndeletableStaleOutput, StopsTheRunBeforeTheWalk) {
  quietArchiver();
  std::string prefix;
  if (::geteuid() == 0) {
    if (!fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "needs setpriv to run as nobody";
    prefix = "exec setpriv --reuid=65534 --regid=65534 --clear-groups";
  }
  const std::string output = GetParam();
  scratch.file(output, "stale");
  const auto before = snapshot();
  // Readable and searchable by all, writable by none but root.
  const fs::path folder = (scratch.root() / output).parent_path();
  fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                              fs::perms::group_exec | fs::perms::others_read |
                              fs::perms::others_exec);
  RunningPacker packer(scratch.root(), -1, prefix);
  const int exitCode = packer.finish();
  fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add);
  EXPECT_EQ(exitCode, 2) << packer.output();
  std::string shown = output;
  for (char& c : shown) c = c == '/' ? '\\' : c;
  EXPECT_THAT(packer.output(), HasSubstr("The earlier '" + shown +
                                         "' could not be deleted; delete it and run again\n"));
  EXPECT_THAT(packer.output(), Not(HasSubstr("NAME: "))) << "no walk";
  EXPECT_EQ(scratch.read(output), "stale") << "neither deleted nor updated";
  EXPECT_FALSE(scratch.exists("archiver-pid"));
  EXPECT_EQ(snapshot(), before);
}

INSTANTIATE_TEST_SUITE_P(ArchiveAndDigest, UndeletableStaleOutput,
                         ::testing::Values("ZarvoEUupdate.zip", "FlashDrive/$md5.bin"),
                         nameByIndex<kUndeletableNames>);

TEST_F(HostileRun, ArchiveTheArchiverLeftThatCannotBeRemovedIsNotCalledAbsent) {
  // A failing archiver that leaves a folder by the archive's name.
  archiver("mkdir \"$3\"\nexit 2\n");
  const auto before = snapshot();
  RunningPacker packer(scratch.root());
  EXPECT_EQ(packer.finish(), 6);
  EXPECT_THAT(packer.output(),
              HasSubstr("The archiver failed with exit code 2; the archive it left, "
                        "'ZarvoEUupdate.zip', could not be removed\n"));
  EXPECT_THAT(packer.output(), Not(HasSubstr("no archive was made")));
  EXPECT_EQ(snapshot(), before);
}

// --- One run at a time.

TEST_F(HostileRun, SecondRunInTheSameWorkingFolderStopsAndTouchesNothing) {
  gatedArchiver();
  RunningPacker first(scratch.root());
  ASSERT_TRUE(first.readUntil("ARCHIVER-RUNNING")) << first.output();
  const auto during = snapshot();  // the first run's lists and digest are there
  ASSERT_EQ(during.count("FlashDrive/$md5.bin"), 1u);

  RunningPacker second(scratch.root());
  EXPECT_EQ(second.finish(), 2);
  EXPECT_THAT(second.output(), HasSubstr("Another run is packing in this working folder; this "
                                         "one stops and changes nothing\n"));
  EXPECT_THAT(second.output(), Not(HasSubstr("NAME: ")));
  EXPECT_EQ(snapshot(), during);

  scratch.file("release", "");
  EXPECT_EQ(first.finish(), 0) << first.output();
  EXPECT_TRUE(isZipArchive("ZarvoEUupdate.zip"));
}

TEST_F(HostileRun, TwoRunsStartedTogetherPackOnce) {
  gatedArchiver();
  const auto before = snapshot();
  RunningPacker one(scratch.root());
  RunningPacker other(scratch.root());
  // One of them holds the working folder and waits in the archiver; the
  // other stops. Which one is up to the scheduler.
  while (!one.ended() && !other.ended()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  scratch.file("release", "");
  const int exitCodes[] = {one.finish(), other.finish()};
  EXPECT_EQ(exitCodes[0] + exitCodes[1], 2) << one.output() << other.output();
  EXPECT_TRUE(exitCodes[0] == 0 || exitCodes[1] == 0);
  EXPECT_TRUE(isZipArchive("ZarvoEUupdate.zip"));
  EXPECT_EQ(snapshot(), before);
}

TEST_F(HostileRun, LockDoesNotOutliveAKilledRun) {
  slowArchiver();
  RunningPacker killed(scratch.root());
  ASSERT_TRUE(killed.readUntil("ARCHIVER-RUNNING")) << killed.output();
  ::kill(killed.pid(), SIGKILL);
  killed.wait();
  // Its archiver runs on, orphaned, and the run's files stay; the next run
  // packs all the same. (The stand-in is replaced, not rewritten, under the
  // shell that still reads it.)
  const pid_t orphan = std::atoi(scratch.read("archiver-pid").c_str());
  ASSERT_TRUE(processExists(orphan));
  fs::rename(scratch.root() / "7za", scratch.root() / "7za-running");
  quietArchiver();
  RunningPacker next(scratch.root());
  EXPECT_EQ(next.finish(), 0) << next.output();
  EXPECT_TRUE(isZipArchive("ZarvoEUupdate.zip"));
  EXPECT_FALSE(scratch.exists("FlashDrive/$md5.bin"));
  ::kill(-orphan, SIGKILL);
}

// --- A staging folder that is a link to a folder elsewhere.

TEST_F(HostileRun, LinkedStagingFolderRunsTheWorkingFoldersArchiverAndPacksHere) {
  // The link's target has an archiver of its own beside it: it must not run.
  const fs::path elsewhere = scratch.root() / "elsewhere";
  fs::create_directories(elsewhere);
  fs::rename(scratch.root() / "FlashDrive", elsewhere / "FlashDrive");
  scratch.file("elsewhere/7za", "#!/bin/sh\ntouch ../wrong-archiver-ran\n");
  fs::permissions(elsewhere / "7za", fs::perms::owner_all);
  const fs::path work = scratch.root() / "work";
  fs::create_directories(work);
  fs::create_directory_symlink(elsewhere / "FlashDrive", work / "FlashDrive");
  scratch.file("work/7za", "#!/bin/sh\npwd -P > ../archiver-cwd\n/usr/bin/7za \"$@\" >/dev/null\n");
  fs::permissions(work / "7za", fs::perms::owner_all);

  RunningPacker packer(work);
  EXPECT_EQ(packer.finish(), 0) << packer.output();
  EXPECT_TRUE(isZipArchive("work/ZarvoEUupdate.zip"));
  EXPECT_FALSE(scratch.exists("elsewhere/ZarvoEUupdate.zip"));
  EXPECT_FALSE(scratch.exists("wrong-archiver-ran"));
  EXPECT_FALSE(scratch.exists("elsewhere/wrong-archiver-ran"));
  EXPECT_EQ(scratch.read("elsewhere/archiver-cwd"), (elsewhere / "FlashDrive").string() + "\n")
      << "it ran inside the staging folder";
}

}  // namespace
}  // namespace quillet
