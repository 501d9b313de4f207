// Internal operations of the primary line, also used by calibration. Neither looks the
// handle up nor records anything: 0, -100 or -s.
#pragma once

#include <cstdint>

#include "QMD5820.h"

namespace qmd {

int16_t SetPrimaryLineTest(QMD5820_HANDLE handle, uint8_t on);
// `status` is written only on success.
int16_t ReadPrimaryLineStatus(QMD5820_HANDLE handle, uint8_t& status);

}  // namespace qmd
