// The board's 32 digital potentiometers (0 to 31, values 0 to 255).
#pragma once

#include <cstdint>

#include "QMD5820.h"

namespace qmd {

// 0, -100 or -s; `value` is written only on success.
int16_t ReadPotentiometer(QMD5820_HANDLE handle, uint8_t index, uint8_t& value);
int16_t WritePotentiometer(QMD5820_HANDLE handle, uint8_t index, uint8_t value);

}  // namespace qmd
