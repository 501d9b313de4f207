// The EEPROM map as the library uses it, and the walk from the directory to the
// transducer functionality and its transducer table.
#pragma once

#include <cstdint>

#include "QMD5820.h"

namespace qmd {

// Word addresses of the EEPROM map.
namespace ee {
inline constexpr uint16_t kDefaultTransducer = 0;  // high byte index, low byte selection type
inline constexpr uint16_t kPotisWords = 128;       // words 0 to 127 (8 per selection type)
inline constexpr uint16_t kCurrentSize = 132;      // bytes of the structured area from word 133
inline constexpr uint16_t kFunctionalityCount = 133;  // low byte
inline constexpr uint16_t kFirstKindWord = 134;       // kind word 134 + 2i, offset word 135 + 2i
inline constexpr uint8_t kTransducerKind = 2;         // bits 0 to 5 of the kind word's low byte
inline constexpr uint16_t kHeaderConfiguration = 12;  // B + 12: bit 0 = one block per input
inline constexpr uint16_t kNumberOfInputs = 7;        // B + 7
inline constexpr uint16_t kFirstBlock = 2;            // B + 2: the header block's size word
inline constexpr uint16_t kTableCount = 4;            // T + 4: number of available transducers
inline constexpr uint16_t kFirstRecord = 5;           // T + 5: first transducer record
inline constexpr uint16_t kRecordWords = 29;
inline constexpr int kRecordBytes = 58;
inline constexpr uint16_t kConfigurationBase = 32768;  // + 512 x selection type
inline constexpr uint16_t kConfigurationWords = 512;

// The eight potis words a new transducer type receives (bit 0 of the first two clear:
// not calibrated).
inline constexpr uint16_t kDefaultPotis[8] = {0x0D00, 0x1D00, 0x2100, 0x2D00,
                                              0x4100, 0x3500, 0x3900, 0xB100};

constexpr bool IsTransducerKind(uint16_t kind_word) {
    return (kind_word & 0x3Fu) == kTransducerKind;
}
// First word of the functionality at a byte offset counted from word 128.
constexpr uint16_t FunctionalityWord(uint16_t offset) {
    return static_cast<uint16_t>((offset >> 1) + 128u);
}
// Size in words of an item from its size word (bits 4 to 15 hold its size in bytes).
constexpr uint16_t SizeInWords(uint16_t size_word) { return static_cast<uint16_t>(size_word >> 5); }
constexpr uint16_t PotisWord(uint8_t selection_type) {
    return static_cast<uint16_t>(8u * selection_type);
}
constexpr uint16_t ConfigurationWord(uint8_t selection_type, uint16_t i) {
    return static_cast<uint16_t>(kConfigurationBase + 512u * selection_type + i);
}
}  // namespace ee

// Result of the location operations when the item is not found (or a read failed).
inline constexpr uint16_t kNotFound = 0xFFFF;

// Word address B of the transducer functionality (the first of kind 2), or kNotFound.
uint16_t FindTransducerFunctionality(QMD5820_HANDLE handle);

// Word address T of the transducer table, or kNotFound.
uint16_t FindTransducerTable(QMD5820_HANDLE handle);

// The size word with its size field (bits 4 to 15) moved by `delta` bytes, wrapping in
// 16 bits; bits 0 to 3 are kept.
constexpr uint16_t AdjustSizeWord(uint16_t size_word, int delta) {
    const uint16_t size = static_cast<uint16_t>((size_word >> 4) + delta) & 0x0FFFu;
    return static_cast<uint16_t>((size << 4) | (size_word & 0x000Fu));
}

}  // namespace qmd
