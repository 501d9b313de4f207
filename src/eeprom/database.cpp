// Lookup in the transducer database and its two exported read operations.
#include "eeprom/database.h"

#include <algorithm>

#include "core/board_table.h"
#include "qmd5820_protocol/bytes.h"
#include "core/output.h"
#include "eeprom/directory.h"
#include "eeprom/eeprom.h"

namespace qmd {

int16_t FindTransducerRecord(QMD5820_HANDLE handle, uint8_t transducer_index,
                             TransducerRecord& record) {
    const uint16_t table = FindTransducerTable(handle);
    if (table == kNotFound) return -2;
    const EepromRead count = ReadEepromWord(handle, static_cast<uint16_t>(table + ee::kTableCount));
    if (count.code != 0) return -2;
    for (uint32_t i = 0; i < count.value; ++i) {
        const uint16_t first = ee::RecordWord(table, i);
        const EepromRead word = ReadEepromWord(handle, first);
        if (word.code != 0) return -3;
        if (static_cast<uint8_t>(word.value) != transducer_index) continue;
        for (uint16_t j = 0; j < ee::kRecordWords; ++j) {
            const EepromRead w = ReadEepromWord(handle, static_cast<uint16_t>(first + j));
            if (w.code != 0) return -4;
            bytes::PutU16(record.data() + 2u * j, w.value);
        }
        return 0;
    }
    return -5;
}

}  // namespace qmd

using namespace qmd;

extern "C" {

int16_t i_QMD5820_GetAvailableTransducerTypes(QMD5820_HANDLE h_DeviceHandle,
                                              uint8_t* pb_TransducerIndexes, uint8_t b_ArraySize,
                                              uint8_t* pb_TransducerCount) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord&) -> int16_t {
        Store(pb_TransducerCount, 0);
        const uint16_t table = FindTransducerTable(h_DeviceHandle);
        if (table == kNotFound) return -2;
        const EepromRead count =
            ReadEepromWord(h_DeviceHandle, static_cast<uint16_t>(table + ee::kTableCount));
        if (count.code != 0) return -2;
        const uint8_t n = static_cast<uint8_t>(count.value);
        Store(pb_TransducerCount, n);
        int16_t code = 0;
        for (uint16_t i = 0; i < n; ++i) {
            const EepromRead word = ReadEepromWord(h_DeviceHandle, ee::RecordWord(table, i));
            if (word.code != 0) return -2;
            if (i < b_ArraySize) {
                if (pb_TransducerIndexes != nullptr) {
                    pb_TransducerIndexes[i] = static_cast<uint8_t>(word.value);
                }
            } else {
                code = -3;  // keep walking: a later read failure still gives -2
            }
        }
        return code;
    });
}

int16_t i_QMD5820_TransducerDatabaseReadTransducerInfo(
    QMD5820_HANDLE h_DeviceHandle, uint8_t b_TransducerIndex, double* pdb_Range,
    double* pdb_Sensitivity, double* pdb_Frequency, double* pdb_PrimaryVoltage,
    uint8_t* pb_CalibrationState) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord&) -> int16_t {
        std::array<uint8_t, 16> indexes{};
        uint8_t count = 0;
        if (i_QMD5820_GetAvailableTransducerTypes(h_DeviceHandle, indexes.data(),
                                                  static_cast<uint8_t>(indexes.size()),
                                                  &count) != 0) {
            return -2;
        }
        const auto end = indexes.begin() + std::min<std::size_t>(count, indexes.size());
        if (std::find(indexes.begin(), end, b_TransducerIndex) == end) return -3;
        TransducerRecord record{};
        if (FindTransducerRecord(h_DeviceHandle, b_TransducerIndex, record) != 0) return -4;
        const EepromRead state =
            ReadEepromWord(h_DeviceHandle, ee::PotisWord(record[rec::kSelectionType]));
        if (state.code != 0) return -5;
        Store(pdb_Range, bytes::GetF64(record.data() + rec::kRange));
        Store(pdb_Sensitivity, bytes::GetF64(record.data() + rec::kSensitivity));
        Store(pdb_Frequency, bytes::GetF64(record.data() + rec::kFrequency));
        Store(pdb_PrimaryVoltage, bytes::GetF64(record.data() + rec::kPrimaryVoltage));
        Store(pb_CalibrationState, state.value & ee::kCalibratedBit);
        return 0;
    });
}

}  // extern "C"
