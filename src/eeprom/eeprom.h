// Word access to the board EEPROM. The library addresses words (16-bit addresses, all
// arithmetic modulo 65536); the driver is given byte addresses (word address x 2).
#pragma once

#include <cstdint>

#include "QMD5820.h"

namespace qmd {

struct EepromRead {
    int16_t code;    // 0, -100 or -s
    uint16_t value;  // 0 when the read failed
};

EepromRead ReadEepromWord(QMD5820_HANDLE handle, uint16_t word_address);
int16_t WriteEepromWord(QMD5820_HANDLE handle, uint16_t word_address, uint16_t value);

}  // namespace qmd
