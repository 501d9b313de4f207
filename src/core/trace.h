// Tracing of driver requests: when a trace stream is set, every call through the backend
// (count, open, close, device I/O control, stream read) is printed with its answer and
// its duration, one line per call.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "qmd5820_backend.h"

namespace qmd {

// True while tracing is on: one relaxed atomic load.
bool TraceOn();

// The table that traces each call and forwards it to `UntracedBackend()`.
const qmd5820_backend& TracingBackend();

// The name of a request code ("EepromRead"), or nullptr for a code the board does not know.
const char* RequestName(uint32_t code);

// The trace line of one device I/O control call (without the newline). `buffer` holds the
// answer; byte 0 is the driver's status for requests with both directions.
std::string IoctlTraceLine(uint64_t handle, uint32_t code, const uint8_t* buffer,
                           uint32_t in_size, uint32_t out_size, int32_t result,
                           uint64_t micros);

}  // namespace qmd
