// The tool's `calibrate` command: a transducer type calibrated by the worker or step by step.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "QMD5820.h"

namespace qmd5820cli {

// Usage lines of the command, for the tool's usage text.
extern const char* const kCalibrateUsage;

// `calibrate BOARD INDEX CH0[,CH1] --position P [--impedance Z] [--model 0|1]
// [--interactive]` on the open board `handle` (board index `board`); `args` are the
// arguments after BOARD. Returns the exit status: 0 calibrated, 1 failed or broken off,
// 2 bad arguments (the caller prints the usage).
int Calibrate(QMD5820_HANDLE handle, uint8_t board, const std::vector<std::string>& args);

}  // namespace qmd5820cli
