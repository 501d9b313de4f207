#include "eeprom/eeprom.h"

#include "qmd5820_protocol/bytes.h"
#include "core/transport.h"

namespace qmd {

namespace {
namespace word = req::eeprom_word;
}  // namespace

EepromRead ReadEepromWord(QMD5820_HANDLE handle, uint16_t word_address) {
    Record<req::kEepromRead> record{};
    bytes::PutU32(record.data() + word::kByteAddress, word::ByteAddress(word_address));
    const int16_t code = Exchange<req::kEepromRead>(handle, record);
    if (code != 0) return {code, 0};
    return {0, static_cast<uint16_t>(bytes::GetU32(record.data() + word::kValue))};
}

int16_t WriteEepromWord(QMD5820_HANDLE handle, uint16_t word_address, uint16_t value) {
    Record<req::kEepromWrite> record{};
    bytes::PutU32(record.data() + word::kByteAddress, word::ByteAddress(word_address));
    bytes::PutU32(record.data() + word::kValue, value);
    return Exchange<req::kEepromWrite>(handle, record);
}

}  // namespace qmd
