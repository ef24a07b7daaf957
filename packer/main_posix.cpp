// Process entry on POSIX. Arguments are ignored.
#include "packing_run.h"

int main() { return quillet::packingRun(); }
