// End-to-end runs of the built Quillet program interrupted: a signal in each
// step, at the prompt, a console that goes away, closed standard streams.
// After every interrupted run: no archive, no intermediate file, the staging
// folder as found, no child process left.
#include <sstream>

#include "hostile_run_fixture.h"

namespace quillet {
namespace {

using namespace quillet::hostile;  // NOLINT: the suite's fixture and helpers

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

// The archiver and what it starts run as programs started normally: none
// of the signals the run handles, blocks or ignores is blocked or ignored
// in them, so that SIGTERM ends them and a pipe's reader that goes ends its
// writer. (/bin/sh as dash clears the mask it is given itself; the mask
// shows here where /bin/sh does not.)
TEST_F(HostileRun, ArchiverStartsWithTheSignalsOfANormalProgram) {
  archiver(
      "grep -E '^Sig(Blk|Ign)' /proc/self/status > ../archiver-signals\n"
      "/usr/bin/7za \"$@\" >/dev/null\n");
  RunningPacker packer(scratch.root());
  EXPECT_EQ(packer.finish(), 0) << packer.output();
  std::istringstream lines(scratch.read("archiver-signals"));
  std::string name;
  std::string hex;
  int masks = 0;
  while (lines >> name >> hex) {
    ++masks;
    const unsigned long long mask = std::stoull(hex, nullptr, 16);
    for (const int signalNumber : {SIGHUP, SIGINT, SIGPIPE, SIGTERM, SIGCHLD}) {
      EXPECT_EQ(mask & (1ull << (signalNumber - 1)), 0u) << name << " signal " << signalNumber;
    }
  }
  EXPECT_EQ(masks, 2);
}

TEST_F(HostileRun, StoppedArchiverIsContinuedToEndWhenTheRunIsInterrupted) {
  tidyingArchiver();
  const auto before = snapshot();
  RunningPacker packer(scratch.root());
  ASSERT_TRUE(packer.readUntil("ARCHIVER-RUNNING")) << packer.output();
  const pid_t group = std::atoi(scratch.read("archiver-group").c_str());
  ASSERT_EQ(::kill(-group, SIGSTOP), 0);
  ASSERT_EQ(::kill(packer.pid(), SIGTERM), 0);
  EXPECT_EQ(packer.finish(), 143);
  EXPECT_TRUE(scratch.exists("archiver-tidied")) << "it was ended without being continued";
  expectNothingLeft(before);
}

TEST_F(HostileRun, FirstOfTwoSignalsSetsTheExitStatus) {
  // The archiver, asked to end after the first signal, waits for the second
  // one to be sent before it goes.
  archiver(
      "trap 'touch ../archiver-asked; while [ ! -e ../second-sent ]; do sleep 0.01; done; exit 1' "
      "TERM\necho ARCHIVER-RUNNING\nwhile :; do sleep 0.05; done\n");
  const auto before = snapshot();
  RunningPacker packer(scratch.root());
  ASSERT_TRUE(packer.readUntil("ARCHIVER-RUNNING")) << packer.output();
  ASSERT_EQ(::kill(packer.pid(), SIGTERM), 0);
  ASSERT_TRUE(waitForFile(scratch.root() / "archiver-asked"));
  ASSERT_EQ(::kill(packer.pid(), SIGINT), 0);
  scratch.file("second-sent", "");
  EXPECT_EQ(packer.finish(), 143);
  expectNothingLeft(before);
}

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

// The archiver writes into the packer, not into the console itself: a
// console that went away ends neither of them.
TEST_F(HostileRun, ArchiverWritingIntoAClosedPipeStillPacks) {
  archiver("echo packing\necho warning >&2\n/usr/bin/7za \"$@\"\n");
  const auto before = snapshot();
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  ::close(out[0]);
  const int status =
      std::system(("cd " + shellQuote(scratch.root().string()) + " && " + QUILLET_EXE +
                   " </dev/null >&" + std::to_string(out[1]) + " 2>&1; echo $? > exit-code")
                      .c_str());
  ::close(out[1]);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(scratch.read("exit-code"), "0\n");
  EXPECT_TRUE(isZipArchive("ZarvoEUupdate.zip"));
  EXPECT_EQ(snapshot(), before);
}

// On a terminal the archiver writes to one too (7za shows its progress only
// there), and its output reaches the packer's terminal.
TEST_F(HostileRun, ArchiverWritesToATerminalWhenThePackerDoes) {
  archiver("[ -t 1 ] && [ -t 2 ] && echo ARCHIVER-ON-A-TERMINAL\n/usr/bin/7za \"$@\" >/dev/null\n");
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    const int in = ::open("/dev/null", O_RDONLY);
    if (terminal < 0 || in < 0 || ::chdir(scratch.root().c_str()) != 0) ::_exit(120);
    ::dup2(in, 0);
    ::dup2(terminal, 1);
    ::dup2(terminal, 2);
    ::execl(QUILLET_EXE, QUILLET_EXE, static_cast<char*>(nullptr));
    ::_exit(121);
  }
  std::string shown;
  char buffer[4096];
  for (ssize_t got; (got = ::read(master, buffer, sizeof buffer)) != 0;) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;  // EIO: the terminal's last writer is gone
    shown.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(master);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shown;
  EXPECT_THAT(shown, HasSubstr("ARCHIVER-ON-A-TERMINAL\r\nChecked ZarvoEUupdate.zip"));
}

constexpr const char* kDescriptorNames[] = {"Output", "Input", "Error", "All"};

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
}  // namespace
}  // namespace quillet
