// Runs every database and channel function on whatever the board's EEPROM holds; shared by
// the randomised test in the suite and the libFuzzer target.
#pragma once

#include <cstdint>

#include "QMD5820.h"

namespace qmdtest {

// Calls the lookup, channel, add and delete functions once each on board handle `h` and
// returns how many of them reported success. Every call must return, whatever the image.
inline int ExerciseDatabase(QMD5820_HANDLE h, uint8_t index) {
    int ok = 0;
    uint8_t indexes[16] = {};
    uint8_t count = 0;
    ok += i_QMD5820_GetAvailableTransducerTypes(h, indexes, 16, &count) == 0;
    double range = 0, sensitivity = 0, frequency = 0, voltage = 0;
    uint8_t calibrated = 0;
    ok += i_QMD5820_TransducerDatabaseReadTransducerInfo(h, index, &range, &sensitivity, &frequency,
                                                         &voltage, &calibrated) == 0;
    uint8_t channels = 0;
    ok += i_QMD5820_GetNumberOfTransducerChannels(h, &channels) == 0;
    ok += i_QMD5820_Init1TransducerChannel(h, static_cast<uint8_t>(index & 0x0F), index, 0.0) == 0;
    const uint8_t list[3] = {static_cast<uint8_t>(index & 0x0F), 0, 200};
    uint16_t raw[3] = {};
    double metric[3] = {};
    ok += i_QMD5820_ReadMoreTransducerChannels(h, 3, list, raw) == 0;
    ok += i_QMD5820_ConvertMoreRawToMetricValues(h, 3, list, raw, metric) == 0;
    ok += i_QMD5820_TransducerDatabaseAdd(h, static_cast<uint8_t>(index + 1), 2.0, 50.0, 5000.0,
                                          3.0, 6.0) == 0;
    ok += i_QMD5820_TransducerDatabaseDelete(h, index) == 0;
    ok += i_QMD5820_TransducerDatabaseDelete(h, static_cast<uint8_t>(index + 1)) == 0;
    return ok;
}

}  // namespace qmdtest
