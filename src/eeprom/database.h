// The transducer database: the table of transducer types inside the transducer
// functionality, 58-byte records keyed by the transducer index.
#pragma once

#include <array>
#include <cstdint>

#include "QMD5820.h"
#include "qmd5820_protocol/eeprom_map.h"

namespace qmd {

using TransducerRecord = std::array<uint8_t, rec::kBytes>;

// 0 and `record` filled; -2 the table or its count unreadable; -3 a record's first word
// unreadable; -4 a word of the found record unreadable (record partly filled); -5 no
// record with this index (record untouched). The first match in table order wins.
int16_t FindTransducerRecord(QMD5820_HANDLE handle, uint8_t transducer_index,
                             TransducerRecord& record);

}  // namespace qmd
