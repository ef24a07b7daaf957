// The packing run: the whole life of the Quillet process.
#pragma once

namespace quillet {

// Exit codes of the run.
inline constexpr int kExitPacked = 0;              // the archive was made
inline constexpr int kExitWalkFailed = 2;          // the staging folder could not be listed
inline constexpr int kExitListFailed = 3;          // the file list could not be loaded or rewritten
inline constexpr int kExitDigestFailed = 5;        // the content digest failed
inline constexpr int kExitArchiverFailed = 6;      // the archiver could not be run or failed
inline constexpr int kExitArchiveCheckFailed = 7;  // the archive does not hold what was digested
// An interrupted run ends with the status of the signal that ended it: 130
// (SIGINT; every console event on Windows), 143 (SIGTERM), 129 (SIGHUP).

// Runs the packer in the working folder and returns the exit code.
int packingRun();

}  // namespace quillet
