// The active backend (qmd5820_backend.h): the only way the library reaches the driver
// and the clock.
#pragma once

#include "qmd5820_backend.h"

namespace qmd {

// The table the library calls: the active backend, or the tracing table in front of it
// while tracing is on.
const qmd5820_backend& Backend();

// The active backend table (the default one until a foreign backend is installed).
const qmd5820_backend& UntracedBackend();

// Sleep through the backend's clock.
void SleepMs(uint32_t ms);

}  // namespace qmd
