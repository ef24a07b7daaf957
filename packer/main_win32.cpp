// Process entry on Windows: the wide-character main function of a console
// program (linked with -municode). Arguments are ignored.
#include "packing_run.h"

extern "C" int wmain(int, wchar_t**) {
  return quillet::packingRun();
}
