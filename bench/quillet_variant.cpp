// Quillet with the knobs the whole-run benchmark (run-bench.sh) turns, run
// from a working folder as Quillet is:
//
//   quillet_variant run READERS [CHECKERS]
//                                 a whole run with READERS reader threads
//                                 ahead of the digest (0: each file is read
//                                 at its turn, as before read-ahead; "-":
//                                 as many as Quillet has) and,
//                                 when given, the check of the archive
//                                 reading its entries on CHECKERS threads
//   quillet_variant walk          the walk alone: the lists are written,
//                                 then removed again
#include <cstdlib>
#include <cstring>

#include "content_digest.h"
#include "own_archive_check.h"
#include "packing_run.h"
#include "platform.h"
#include "walk.h"

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "walk") == 0) {
    const int listed = quillet::makeList();
    quillet::platform().deleteFileW(u"FlashDrive\\$FileList.txt");
    quillet::platform().deleteFileW(u"FlashDrive\\$FolderList.txt");
    return listed == 1 ? 0 : 1;
  }
  if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "run") == 0) {
    quillet::DigestReadAhead settings = quillet::digestReadAhead();
    if (std::strcmp(argv[2], "-") != 0) {
      settings.readers = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
    }
    quillet::setDigestReadAhead(settings);
    if (argc == 4) {
      quillet::OwnCheckReading reading = quillet::ownCheckReading();
      reading.threads = static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10));
      quillet::setOwnCheckReading(reading);
    }
    return quillet::packingRun();
  }
  return 2;
}
