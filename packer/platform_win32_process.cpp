// Interruption and the archiver as a child process, on desktop Windows;
// part of the Win32 platform layer (platform_win32.cpp).
//
// A console control handler that only notes Ctrl+C, Ctrl+Break and the
// console's closing; the archiver started through the command shell in a
// job object that ends it, and all it started, when the run is interrupted
// or the packer goes away; its output read through a pipe and copied to
// standard output unless that is a console (docs/archiver-output.md).
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform_win32_internal.h"

namespace quillet::win32 {
namespace {

// cmd.exe's exit status when it cannot find the program of a command line.
constexpr int kShellCommandNotFound = 9009;

// --- Interruption.

// Set by the console control handler (another thread); read by the run.
volatile LONG interruptedByConsole = 0;
// Signalled with it, so that a wait for the archiver ends at once.
HANDLE interruptionEvent = nullptr;

BOOL WINAPI noteConsoleEvent(DWORD event) {
  InterlockedExchange(&interruptedByConsole, 1);
  if (interruptionEvent != nullptr) SetEvent(interruptionEvent);
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  // The console is closing (or the session ending): Windows ends the
  // process when this handler returns, so it waits here while the run
  // cleans up; the process ends when the run returns from wmain.
  Sleep(INFINITE);
  return TRUE;
}

// --- The archiver's output (docs/archiver-output.md).

// Copies what the archiver writes into a pipe to the packer's standard
// output, on a thread of its own (an anonymous pipe cannot be waited on
// beside the process); once a write there fails (the console went away)
// the rest is read and dropped. The thread owns the copy: a process that
// holds the pipe open past the run leaves it blocked until the packer
// exits, and then it only drops what it reads.
struct OutputCopy {
  HANDLE reading = nullptr;
  HANDLE console = nullptr;
  volatile LONG copying = 1;
};

DWORD WINAPI copyOutput(void* argument) {
  OutputCopy* copy = static_cast<OutputCopy*>(argument);
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(copy->reading, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    DWORD offset = 0;
    while (copy->copying != 0 && offset < got) {
      DWORD put = 0;
      if (!WriteFile(copy->console, buffer + offset, got - offset, &put, nullptr) || put == 0) {
        InterlockedExchange(&copy->copying, 0);
      }
      offset += put;
    }
  }
  CloseHandle(copy->reading);
  return 0;
}

// Ends every process left in `job` and waits until none is left, for at
// most five seconds: ending a process only starts its end, and one on its
// way out may still finish a write, so the archive is judged only after.
void endJob(HANDLE job, UINT exitCode) {
  TerminateJobObject(job, exitCode);
  for (int waited = 0; waited < 500; ++waited) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                   sizeof accounting, nullptr) ||
        accounting.ActiveProcesses == 0) {
      return;
    }
    Sleep(10);
  }
}

}  // namespace

void watchInterruptions() {
  interruptionEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(noteConsoleEvent, TRUE);
}

int interruption() { return interruptedByConsole != 0 ? 130 : 0; }

std::string archiverCommandLine() { return "..\\7za a -tzip ..\\ZarvoEUupdate.zip *"; }

CommandResult runCommand(const std::string& commandLine) {
  std::fflush(stdout);
  std::fflush(stderr);
  CommandResult result;
  // The command shell, as system() finds it.
  std::vector<char> shell(MAX_PATH + 1);
  const DWORD shellLength =
      GetEnvironmentVariableA("COMSPEC", shell.data(), static_cast<DWORD>(shell.size()));
  std::string shellPath = shellLength > 0 && shellLength < shell.size()
                              ? std::string(shell.data(), shellLength)
                              : std::string("cmd.exe");
  std::string line = "\"" + shellPath + "\" /c " + commandLine;
  std::vector<char> mutableLine(line.begin(), line.end());
  mutableLine.push_back('\0');

  // A job that ends every process in it when its last handle closes:
  // the archiver cannot outlive the packer.
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr) return result;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);

  // The archiver writes (standard output and error) into a pipe the packer
  // copies, unless standard output is a console (or NUL): there 7za shows
  // its progress, and a console does not go away as a pipe's reader does.
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  const HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)));
  OutputCopy* output = nullptr;
  HANDLE writing = nullptr;
  if (console != INVALID_HANDLE_VALUE && GetFileType(console) != FILE_TYPE_CHAR) {
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    HANDLE reading = nullptr;
    if (CreatePipe(&reading, &writing, &inherited, 0)) {
      SetHandleInformation(reading, HANDLE_FLAG_INHERIT, 0);
      output = new OutputCopy{reading, console};
      startup.dwFlags = STARTF_USESTDHANDLES;
      startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
      startup.hStdOutput = writing;
      startup.hStdError = writing;
    }
  }
  PROCESS_INFORMATION process{};
  const bool created = CreateProcessA(nullptr, mutableLine.data(), nullptr, nullptr, TRUE,
                                      CREATE_SUSPENDED, nullptr, nullptr, &startup, &process);
  if (writing != nullptr) CloseHandle(writing);  // the output ends with its writers
  HANDLE copier = nullptr;
  if (output != nullptr) {
    copier = created ? CreateThread(nullptr, 0, copyOutput, output, 0, nullptr) : nullptr;
    if (copier == nullptr) {
      CloseHandle(output->reading);
      delete output;
      output = nullptr;
    }
  }
  if (!created) {
    CloseHandle(job);
    return result;  // the command shell itself could not run
  }
  AssignProcessToJobObject(job, process.hProcess);
  ResumeThread(process.hThread);
  CloseHandle(process.hThread);

  const HANDLE waitFor[2] = {process.hProcess, interruptionEvent};
  const DWORD count = interruptionEvent != nullptr ? 2 : 1;
  for (;;) {
    if (interruptedByConsole != 0) {
      TerminateJobObject(job, 130);
      WaitForSingleObject(process.hProcess, 5000);
      result.started = true;
      result.interrupted = true;
      break;
    }
    const DWORD woke = WaitForMultipleObjects(count, waitFor, FALSE, INFINITE);
    if (woke == WAIT_OBJECT_0) {
      DWORD status = 0;
      GetExitCodeProcess(process.hProcess, &status);
      result.exitCode = static_cast<int>(status);
      result.started = result.exitCode != kShellCommandNotFound;
      break;
    }
    if (woke != WAIT_OBJECT_0 + 1) break;  // the wait itself failed
  }
  CloseHandle(process.hProcess);
  endJob(job, 1);  // whatever the command left running
  CloseHandle(job);
  if (copier != nullptr) {
    // Its last output is copied before the run goes on; a writer outside
    // the job (which cannot be ended here) is not waited for long.
    if (WaitForSingleObject(copier, 2000) == WAIT_OBJECT_0) {
      delete output;
    } else {
      InterlockedExchange(&output->copying, 0);
    }
    CloseHandle(copier);
  }
  return result;
}

}  // namespace quillet::win32
