#include "eeprom/directory.h"

#include "eeprom/eeprom.h"
#include "eeprom/walk.h"

namespace qmd {

uint16_t FindTransducerFunctionality(QMD5820_HANDLE handle) {
    const EepromRead count = ReadEepromWord(handle, ee::kFunctionalityCount);
    if (count.code != 0) return kNotFound;
    const uint8_t n = static_cast<uint8_t>(count.value);
    for (uint16_t i = 0; i < n; ++i) {
        const EepromRead kind = ReadEepromWord(handle, ee::KindWord(i));
        if (kind.code != 0) return kNotFound;
        if (!ee::IsTransducerKind(kind.value)) continue;
        const EepromRead offset = ReadEepromWord(handle, ee::OffsetWord(i));
        if (offset.code != 0) return kNotFound;
        return ee::FunctionalityWord(offset.value);
    }
    return kNotFound;
}

int16_t StepToTable(QMD5820_HANDLE handle, uint16_t functionality, const TableWalkCodes& codes,
                    uint16_t& table) {
    const EepromRead configuration =
        ReadEepromWord(handle, static_cast<uint16_t>(functionality + ee::kHeaderConfiguration));
    if (configuration.code != 0) return codes.header_configuration;
    uint32_t blocks = 1;  // a single input block follows the header
    if ((configuration.value & ee::kOneBlockPerInput) != 0) {
        const EepromRead inputs =
            ReadEepromWord(handle, static_cast<uint16_t>(functionality + ee::kNumberOfInputs));
        if (inputs.code != 0) return codes.number_of_inputs;
        blocks = inputs.value;  // one block per input
    }
    // Step over the header block and the input blocks by their size words.
    uint16_t a = static_cast<uint16_t>(functionality + ee::kFirstBlock);
    for (uint32_t i = 0; i < blocks + 1; ++i) {
        const EepromRead size = ReadEepromWord(handle, a);
        if (size.code != 0) return codes.block_size;
        a = static_cast<uint16_t>(a + ee::SizeInWords(size.value));
    }
    table = a;
    return 0;
}

uint16_t FindTransducerTable(QMD5820_HANDLE handle) {
    const uint16_t functionality = FindTransducerFunctionality(handle);
    if (functionality == kNotFound) return kNotFound;
    uint16_t table = 0;
    if (StepToTable(handle, functionality, {-1, -1, -1}, table) != 0) return kNotFound;
    return table;
}

}  // namespace qmd
