// Quillet with the knobs the whole-run benchmark (run-bench.sh) turns, run
// from a working folder as Quillet is:
//
//   quillet_variant run READERS   a whole run with READERS reader threads
//                                 ahead of the digest (0: each file is read
//                                 at its turn, as before read-ahead)
//   quillet_variant walk          the walk alone: the lists are written,
//                                 then removed again
#include <cstdlib>
#include <cstring>

#include "content_digest.h"
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
  if (argc == 3 && std::strcmp(argv[1], "run") == 0) {
    quillet::DigestReadAhead settings = quillet::digestReadAhead();
    settings.readers = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
    quillet::setDigestReadAhead(settings);
    return quillet::packingRun();
  }
  return 2;
}
