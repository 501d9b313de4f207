// Pure computations of the channel functions: the excitation frequency dividers and the
// raw-to-metric conversion.
#pragma once

#include <cstdint>

#include "qmd5820_protocol/requests.h"

namespace qmd {

struct Dividers {
    uint8_t first = 0;
    uint8_t second = 0;
};

// The divider pair of the excitation frequency row nearest to `frequency`: an exact match
// wins at once, otherwise the strictly smallest distance (the earlier row on ties).
// NaN, or a frequency 1e20 or more from every row, takes no row: (0, 0).
Dividers ChooseDividers(double frequency);

// The metric value of a raw code on a channel with full-scale `range`: sign and magnitude
// (32767 = full scale), or offset binary over 16 bits while an interactive calibration
// runs.
inline double RawToMetric(uint16_t raw, double range, bool offset_binary) {
    if (offset_binary) return (raw / 65535.0) * (range + range) - range;
    namespace code = req::read_channel;
    const double sign = (raw & code::kSignBit) != 0 ? -1.0 : 1.0;
    const double magnitude = raw & code::kMagnitudeMask;
    return (sign * range) * (magnitude / code::kFullScale);
}

}  // namespace qmd
