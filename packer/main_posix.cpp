// Process entry on POSIX. Arguments are ignored. The run checks its archive
// with the release check's library.
#include "own_archive_check.h"
#include "packing_run.h"

int main() { return quillet::packingRun(quillet::check::checkOwnArchive); }
