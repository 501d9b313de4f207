// The board EEPROM as the library, the simulated board and the tool read and write it:
// the word map (default transducer, potis area, identity, the directory of
// functionalities), the transducer functionality with its transducer table, the
// transducer record and the configuration block of each selection type.
//
// The EEPROM is addressed by 16-bit word address; all word-address arithmetic wraps modulo
// 65536. Words are stored and transferred little-endian (low byte = bits 0 to 7).
#pragma once

#include <cstddef>
#include <cstdint>

namespace qmd {

// Word addresses of the EEPROM map.
namespace ee {
inline constexpr uint32_t kWords = 65536;  // every 16-bit word address

inline constexpr uint16_t kDefaultTransducer = 0;  // high byte index, low byte selection type
inline constexpr uint16_t kSpareWord1 = 1;         // not interpreted by the library
// The potis area, words 2 to 127 (below 128): eight words per selection type from word
// 8 x type; bit 0 of the first two together is the calibration state of the type (readers
// test the first one). Words 0 and 1 fall in type 0's range but are not potis words.
inline constexpr uint16_t kPotisAreaStart = 2;
inline constexpr uint16_t kPotisWords = 128;
inline constexpr uint16_t kPotisWordsPerType = 8;
inline constexpr uint16_t kCalibratedBit = 0x0001;
// Selection types that transducers use (types 0 and 1 would overlap words 0 to 15).
inline constexpr uint8_t kFirstSelectionType = 2;
inline constexpr uint8_t kLastSelectionType = 15;
inline constexpr uint16_t kMaxTransducers = kLastSelectionType - kFirstSelectionType + 1;

inline constexpr uint16_t kRevisionWord = 128;  // bits 12 to 15: revision (0 = letter A)
inline constexpr unsigned kRevisionShift = 12;
inline constexpr uint16_t kSerialLowWord = 129;
inline constexpr uint16_t kSerialHighWord = 130;
inline constexpr uint16_t kSpareWord131 = 131;  // not interpreted by the library

// The structured area and its directory.
inline constexpr uint16_t kCurrentSize = 132;  // bytes of the structured area from word 133
inline constexpr uint16_t kFunctionalityCount = 133;  // low byte
inline constexpr uint16_t kFirstKindWord = 134;       // kind word 134 + 2i, offset word 135 + 2i
inline constexpr uint16_t kKindMask = 0x3F;           // bits 0 to 5 of the kind word's low byte
inline constexpr uint16_t kTransducerKind = 2;
// Functionality offsets count bytes from word 128.
inline constexpr uint16_t kOffsetOrigin = 128;

// The transducer functionality, from its first word B.
inline constexpr uint16_t kFirstBlock = 2;            // B + 2: the header block's size word
inline constexpr uint16_t kNumberOfInputs = 7;        // B + 7 (header word 5)
inline constexpr uint16_t kHeaderConfiguration = 12;  // B + 12 (header word 10)
inline constexpr uint16_t kOneBlockPerInput = 0x0001;  // header configuration: one input block per input

// The transducer table, from its first word T.
inline constexpr uint16_t kTableCount = 4;   // T + 4: number of available transducers
inline constexpr uint16_t kFirstRecord = 5;  // T + 5: first transducer record
inline constexpr uint16_t kRecordWords = 29;
inline constexpr int kRecordBytes = 2 * kRecordWords;

// The configuration block of selection type s: 512 words from 32768 + 512 s.
inline constexpr uint16_t kConfigurationBase = 32768;
inline constexpr uint16_t kConfigurationWords = 512;

// The eight potis words a new transducer type receives (bit 0 of the first two clear:
// not calibrated).
inline constexpr uint16_t kDefaultPotis[kPotisWordsPerType] = {0x0D00, 0x1D00, 0x2100, 0x2D00,
                                                               0x4100, 0x3500, 0x3900, 0xB100};

constexpr uint16_t DefaultTransducerWord(uint8_t transducer_index, uint8_t selection_type) {
    return static_cast<uint16_t>((transducer_index << 8) | selection_type);
}
constexpr uint16_t KindWord(uint16_t i) { return static_cast<uint16_t>(kFirstKindWord + 2u * i); }
constexpr uint16_t OffsetWord(uint16_t i) { return static_cast<uint16_t>(KindWord(i) + 1u); }
constexpr bool IsTransducerKind(uint16_t kind_word) {
    return (kind_word & kKindMask) == kTransducerKind;
}
// First word of the functionality at a byte offset counted from word 128, and back.
constexpr uint16_t FunctionalityWord(uint16_t offset) {
    return static_cast<uint16_t>((offset >> 1) + kOffsetOrigin);
}
constexpr uint16_t FunctionalityOffset(uint16_t word) {
    return static_cast<uint16_t>((word - kOffsetOrigin) * 2);
}
// Size words: bits 4 to 15 hold the size in bytes of the whole item (size word included),
// bits 0 to 3 a value that is never interpreted and always kept.
constexpr uint16_t SizeInWords(uint16_t size_word) { return static_cast<uint16_t>(size_word >> 5); }
constexpr uint16_t SizeWord(uint32_t words, uint16_t kept_bits) {
    return static_cast<uint16_t>(((words * 2) << 4) | kept_bits);
}
// The size word with its size field (bits 4 to 15) moved by `delta` bytes, wrapping in
// 16 bits; bits 0 to 3 are kept.
constexpr uint16_t AdjustSizeWord(uint16_t size_word, int delta) {
    const uint16_t size = static_cast<uint16_t>((size_word >> 4) + delta) & 0x0FFFu;
    return static_cast<uint16_t>((size << 4) | (size_word & 0x000Fu));
}
constexpr uint16_t RecordWord(uint16_t table, uint32_t i) {
    return static_cast<uint16_t>(table + kFirstRecord + kRecordWords * i);
}
constexpr uint16_t PotisWord(uint8_t selection_type) {
    return static_cast<uint16_t>(kPotisWordsPerType * selection_type);
}
constexpr uint16_t ConfigurationWord(uint8_t selection_type, uint16_t i) {
    return static_cast<uint16_t>(kConfigurationBase + kConfigurationWords * selection_type + i);
}
}  // namespace ee

// Byte offsets of the fields of a transducer record (58 bytes; word j of the record holds
// bytes 2j and 2j + 1). Doubles are IEEE 754, little-endian, unaligned.
namespace rec {
inline constexpr std::size_t kIndex = 0;
inline constexpr std::size_t kSelectionType = 1;
inline constexpr std::size_t kRange = 2;
inline constexpr std::size_t kSensitivity = 10;
inline constexpr std::size_t kFrequency = 18;
inline constexpr std::size_t kFrequencyCopy1 = 26;
inline constexpr std::size_t kFrequencyCopy2 = 34;
inline constexpr std::size_t kPrimaryVoltage = 42;
inline constexpr std::size_t kReserved = 50;   // 0 at creation
inline constexpr std::size_t kSignature = 54;  // 0xC350D6D8 at creation
inline constexpr uint32_t kSignatureValue = 0xC350D6D8u;
inline constexpr std::size_t kBytes = ee::kRecordBytes;

// The record word that holds the field at byte offset `field`.
constexpr uint16_t Word(std::size_t field) { return static_cast<uint16_t>(field / 2); }
}  // namespace rec

// The configuration block of a selection type: 1024 bytes viewed as 256 32-bit
// little-endian fields (field k at bytes 4k to 4k + 3, stored as block words 2k and 2k + 1).
namespace cfg {
inline constexpr std::size_t kBytes = 2u * ee::kConfigurationWords;
inline constexpr std::size_t kPotentiometers = 0;  // potentiometer p in field p (0 to 31)
inline constexpr std::size_t kPotentiometerFields = 32;
// The gains of the settings computation: G1 in fields 1 and 9, G2 in fields 3 and 7.
inline constexpr std::size_t kGain1Fields[2] = {1, 9};
inline constexpr std::size_t kGain2Fields[2] = {3, 7};
// (impedance code << 8) | amplitude range bits | profile code.
inline constexpr std::size_t kExcitationControl = 32;
inline constexpr unsigned kImpedanceCodeShift = 8;
// The index of the last waveform entry, in the upper half.
inline constexpr std::size_t kLastEntry = 33;
inline constexpr unsigned kLastEntryShift = 16;
inline constexpr std::size_t kAttenuation = 34;        // whole dB | kAttenuationMark
inline constexpr uint32_t kAttenuationMark = 0x300;
inline constexpr std::size_t kAttenuationFactor = 35;  // fields 35 to 38, x 100000
inline constexpr std::size_t kAttenuationFactorFields = 4;
inline constexpr std::size_t kFactorA = 37;  // calibration: factor A x 100000
inline constexpr std::size_t kFactorB = 38;  // calibration: factor B x 100000
inline constexpr std::size_t kThreshold = 39;  // 255; the worker: the line test threshold
inline constexpr std::size_t kFirstZeroField = 40;
// Waveform entry k: fields 128 + 2k (array A) and 129 + 2k (array B).
inline constexpr std::size_t kWaveform = 128;

constexpr std::size_t FieldByte(std::size_t field) { return 4 * field; }
constexpr uint16_t FieldWord(std::size_t field) { return static_cast<uint16_t>(2 * field); }
}  // namespace cfg

}  // namespace qmd
