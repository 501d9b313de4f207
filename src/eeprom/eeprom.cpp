#include "eeprom/eeprom.h"

#include "core/bytes.h"
#include "core/transport.h"

namespace qmd {

// EEPROM word record (12 bytes both ways): byte 0 status, bytes 4-7 the byte address,
// bytes 8-11 the value (the word zero-extended; for a read 0 in, the word out).
namespace {
constexpr std::size_t kAddressOffset = 4;
constexpr std::size_t kValueOffset = 8;

uint32_t ByteAddress(uint16_t word_address) { return uint32_t{word_address} * 2u; }
}  // namespace

EepromRead ReadEepromWord(QMD5820_HANDLE handle, uint16_t word_address) {
    Record<req::kEepromRead> record{};
    bytes::PutU32(record.data() + kAddressOffset, ByteAddress(word_address));
    const int16_t code = Exchange<req::kEepromRead>(handle, record);
    if (code != 0) return {code, 0};
    return {0, static_cast<uint16_t>(bytes::GetU32(record.data() + kValueOffset))};
}

int16_t WriteEepromWord(QMD5820_HANDLE handle, uint16_t word_address, uint16_t value) {
    Record<req::kEepromWrite> record{};
    bytes::PutU32(record.data() + kAddressOffset, ByteAddress(word_address));
    bytes::PutU32(record.data() + kValueOffset, value);
    return Exchange<req::kEepromWrite>(handle, record);
}

}  // namespace qmd
