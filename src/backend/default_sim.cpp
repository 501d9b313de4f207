// The simulated board as the library's default backend (Linux, and the test programs).
#include "qmd5820_backend.h"
#include "qmd5820sim.h"

extern "C" const qmd5820_backend* qmd5820_default_backend(void) { return qmdsim_backend(); }
