// The calibration worker's thread and what its start and break share with it.
#pragma once

#include <cstdint>

#include "QMD5820.h"
#include "core/board_table.h"

namespace qmd {

// The worker thread's routine; `board_record` is the BoardRecord it calibrates. Runs every
// phase (worker.cpp); 0 after completion, 1 after a failure or a break. Gives the board's
// worker claim up as its last access to the record.
uint32_t WorkerEntry(void* board_record);

// Primary line status bits the worker looks at.
inline constexpr uint8_t kShortCircuitLatched = 0x02;
inline constexpr uint8_t kDetectionResponds = 0x01;

}  // namespace qmd
