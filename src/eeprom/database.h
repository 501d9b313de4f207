// The transducer database: the table of transducer types inside the transducer
// functionality, 58-byte records keyed by the transducer index.
#pragma once

#include <array>
#include <cstdint>

#include "QMD5820.h"

namespace qmd {

using TransducerRecord = std::array<uint8_t, 58>;

// Byte offsets of the fields of a transducer record.
namespace rec {
inline constexpr std::size_t kIndex = 0;
inline constexpr std::size_t kSelectionType = 1;
inline constexpr std::size_t kRange = 2;
inline constexpr std::size_t kSensitivity = 10;
inline constexpr std::size_t kFrequency = 18;
inline constexpr std::size_t kFrequencyCopy1 = 26;
inline constexpr std::size_t kFrequencyCopy2 = 34;
inline constexpr std::size_t kPrimaryVoltage = 42;
inline constexpr std::size_t kReserved = 50;       // 0 at creation
inline constexpr std::size_t kSignature = 54;      // 0xC350D6D8 at creation
inline constexpr uint32_t kSignatureValue = 0xC350D6D8u;
}  // namespace rec

// 0 and `record` filled; -2 the table or its count unreadable; -3 a record's first word
// unreadable; -4 a word of the found record unreadable (record partly filled); -5 no
// record with this index (record untouched). The first match in table order wins.
int16_t FindTransducerRecord(QMD5820_HANDLE handle, uint8_t transducer_index,
                             TransducerRecord& record);

}  // namespace qmd
