// The walk's look-ahead on POSIX and the helper threads' signal mask; part
// of the POSIX platform layer.
#pragma once

#include <dirent.h>

namespace quillet::posix {

// Helper threads call this first: every signal blocked, so that a
// process-wide signal reaches the main thread.
void blockSignals();

// Looks up (fstatat) the entries of the folder `dir` was opened on, on
// helper threads, unless that folder was the last one handed in. Only the
// cache is warmed.
void lookAheadOf(DIR* dir);

}  // namespace quillet::posix
