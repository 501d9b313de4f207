// The walk from the EEPROM directory to the transducer functionality and its transducer
// table (the word map itself is qmd5820_protocol/eeprom_map.h).
#pragma once

#include <cstdint>

#include "QMD5820.h"
#include "qmd5820_protocol/eeprom_map.h"

namespace qmd {

// Result of the location operations when the item is not found (or a read failed).
inline constexpr uint16_t kNotFound = 0xFFFF;

// Word address B of the transducer functionality (the first of kind 2), or kNotFound.
uint16_t FindTransducerFunctionality(QMD5820_HANDLE handle);

// Word address T of the transducer table, or kNotFound.
uint16_t FindTransducerTable(QMD5820_HANDLE handle);

}  // namespace qmd
