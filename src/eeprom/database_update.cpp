// Adding and deleting transducer types. Both are fixed sequences of single-word EEPROM
// requests; each step has its own result code and the first failure stops the operation
// (nothing is rolled back). The table grows or shrinks by one 58-byte record inside the
// structured area, moving everything stored after it.
#include <algorithm>
#include <array>
#include <cstdio>

#include "core/board_table.h"
#include "qmd5820_protocol/bytes.h"
#include "core/transport.h"
#include "eeprom/database.h"
#include "eeprom/directory.h"
#include "eeprom/eeprom.h"
#include "qmd5820_protocol/settings.h"
#include "eeprom/walk.h"

namespace qmd {
namespace {

// Word access where every request carries the code of its step.
class StepIo {
public:
    explicit StepIo(QMD5820_HANDLE handle) : handle_(handle) {}

    // Reads `address`; on failure returns false and remembers `code`.
    bool Read(uint16_t address, int16_t code, uint16_t& value) {
        const EepromRead r = ReadEepromWord(handle_, address);
        value = r.value;
        return Check(r.code, code);
    }
    bool Write(uint16_t address, uint16_t value, int16_t code) {
        return Check(WriteEepromWord(handle_, address, value), code);
    }
    int16_t code() const { return code_; }
    QMD5820_HANDLE handle() const { return handle_; }

private:
    bool Check(int16_t result, int16_t code) {
        if (result == 0) return true;
        code_ = code;
        return false;
    }
    QMD5820_HANDLE handle_;
    int16_t code_ = 0;
};

struct ResizedArea {
    uint16_t current_size = 0;  // word 132 before the change
    uint16_t table = 0;         // T
    uint16_t count = 0;         // number of transducers before the change
};

// The part both operations share: the current size, the offsets of the functionalities
// after the transducer functionality, its size word, the table's size word and the count,
// each moved by one record (direction +1 grows, -1 shrinks). Its sixteen step codes run
// downward from `first_code` in the order of the steps.
int16_t ResizeForOneRecord(StepIo& io, int direction, int16_t first_code, ResizedArea& area) {
    const auto code = [first_code](int step) { return static_cast<int16_t>(first_code - step); };
    const int delta = direction * ee::kRecordBytes;
    const auto moved = [delta](uint16_t v) { return static_cast<uint16_t>(v + delta); };

    uint16_t size = 0, count = 0;
    if (!io.Read(ee::kCurrentSize, code(0), size)) return io.code();
    if (!io.Write(ee::kCurrentSize, moved(size), code(1))) return io.code();
    area.current_size = size;
    if (!io.Read(ee::kFunctionalityCount, code(2), count)) return io.code();

    bool found = false;
    uint16_t transducer_offset = 0;
    for (uint16_t i = 0; i < static_cast<uint8_t>(count); ++i) {
        const uint16_t kind_word = ee::KindWord(i);
        const uint16_t offset_word = ee::OffsetWord(i);
        uint16_t value = 0;
        if (found) {
            if (!io.Read(offset_word, code(3), value)) return io.code();
            if (!io.Write(offset_word, moved(value), code(4))) return io.code();
            continue;
        }
        if (!io.Read(kind_word, code(5), value)) return io.code();
        if (!ee::IsTransducerKind(value)) continue;
        if (!io.Read(offset_word, code(6), transducer_offset)) return io.code();
        found = true;
    }
    // The lookup that came before found the functionality with the same reads; a directory
    // without it now reads as an unreadable transducer offset rather than a walk from
    // nowhere.
    if (!found) return code(6);

    const uint16_t functionality = ee::FunctionalityWord(transducer_offset);
    uint16_t size_word = 0;
    if (!io.Read(functionality, code(7), size_word)) return io.code();
    if (!io.Write(functionality, ee::AdjustSizeWord(size_word, delta), code(8))) return io.code();

    uint16_t table = 0;
    const int16_t walk =
        StepToTable(io.handle(), functionality, {code(9), code(10), code(11)}, table);
    if (walk != 0) return walk;

    if (!io.Read(table, code(12), size_word)) return io.code();
    if (!io.Write(table, ee::AdjustSizeWord(size_word, delta), code(13))) return io.code();
    const uint16_t count_word = static_cast<uint16_t>(table + ee::kTableCount);
    uint16_t transducers = 0;
    if (!io.Read(count_word, code(14), transducers)) return io.code();
    if (!io.Write(count_word, static_cast<uint16_t>(transducers + direction), code(15))) {
        return io.code();
    }
    area.table = table;
    area.count = transducers;
    return 0;
}

// The index list of the database through the exported function (which records itself).
struct IndexList {
    std::array<uint8_t, 256> indexes{};
    uint8_t count = 0;
    int16_t code = 0;

    IndexList(QMD5820_HANDLE handle, uint8_t array_size) {
        code = i_QMD5820_GetAvailableTransducerTypes(handle, indexes.data(), array_size, &count);
        count = std::min(count, array_size);
    }
    bool Contains(uint8_t index) const {
        return std::find(indexes.begin(), indexes.begin() + count, index) !=
               indexes.begin() + count;
    }
};

// Clears bit 0 of both calibration state words of a selection type.
int16_t ClearCalibrationState(StepIo& io, uint8_t selection_type, int16_t first_code) {
    for (uint16_t i = 0; i < 2; ++i) {
        const uint16_t word = static_cast<uint16_t>(ee::PotisWord(selection_type) + i);
        const auto read_code = static_cast<int16_t>(first_code - 2 * i);
        uint16_t value = 0;
        if (!io.Read(word, read_code, value)) return io.code();
        if (!io.Write(word, static_cast<uint16_t>(value & ~ee::kCalibratedBit),
                      static_cast<int16_t>(read_code - 1))) {
            return io.code();
        }
    }
    return 0;
}

int16_t AddTransducer(QMD5820_HANDLE handle, uint8_t index, double range, double sensitivity,
                      double frequency, double primary_voltage, double impedance) {
    {
        const IndexList list(handle, 16);
        if (list.code != 0) return -2;
        if (list.count >= ee::kMaxTransducers) return -3;
        if (list.Contains(index)) return -4;
    }

    // The new selection type: the smallest from 2 up that no record uses.
    std::array<bool, 256> used{};
    {
        const IndexList list(handle, 255);
        if (list.code != 0) return -5;
        for (uint8_t i = 0; i < list.count; ++i) {
            TransducerRecord record{};
            if (FindTransducerRecord(handle, list.indexes[i], record) != 0) return -5;
            used[record[rec::kSelectionType]] = true;
        }
    }
    uint8_t k = ee::kFirstSelectionType;
    while (used[k]) ++k;  // at most 13 records: k stays at or below the last type

    StepIo io(handle);
    ResizedArea area;
    if (const int16_t code = ResizeForOneRecord(io, +1, -6, area); code != 0) return code;

    // Move everything after the table up by one record, highest address first.
    const uint16_t top = static_cast<uint16_t>(area.current_size / 2u + ee::kCurrentSize);
    const uint16_t at = ee::RecordWord(area.table, area.count);
    for (int32_t a = top; a >= at; --a) {
        uint16_t value = 0;
        if (!io.Read(static_cast<uint16_t>(a), -22, value)) return io.code();
        if (!io.Write(static_cast<uint16_t>(a + ee::kRecordWords), value, -23)) return io.code();
    }

    TransducerRecord record{};
    record[rec::kIndex] = index;
    record[rec::kSelectionType] = k;
    bytes::PutF64(record.data() + rec::kRange, range);
    bytes::PutF64(record.data() + rec::kSensitivity, sensitivity);
    bytes::PutF64(record.data() + rec::kFrequency, frequency);
    bytes::PutF64(record.data() + rec::kFrequencyCopy1, frequency);
    bytes::PutF64(record.data() + rec::kFrequencyCopy2, frequency);
    bytes::PutF64(record.data() + rec::kPrimaryVoltage, primary_voltage);
    bytes::PutU32(record.data() + rec::kReserved, 0);
    bytes::PutU32(record.data() + rec::kSignature, rec::kSignatureValue);
    for (uint16_t j = 0; j < ee::kRecordWords; ++j) {
        if (!io.Write(static_cast<uint16_t>(at + j), bytes::GetU16(record.data() + 2u * j), -24)) {
            return io.code();
        }
    }

    if (const int16_t code = ClearCalibrationState(io, k, -25); code != 0) return code;

    // Default potis words for the new type; words 0 and 1 (the default transducer and the
    // spare word) are never rewritten.
    std::array<uint16_t, ee::kPotisWords> potis{};
    for (uint16_t w = 0; w < ee::kPotisWords; ++w) {
        if (!io.Read(w, -29, potis[w])) return io.code();
    }
    std::copy(std::begin(ee::kDefaultPotis), std::end(ee::kDefaultPotis),
              potis.begin() + ee::PotisWord(k));
    for (uint16_t w = ee::kPotisAreaStart; w < ee::kPotisWords; ++w) {
        if (!io.Write(w, potis[w], -30)) return io.code();
    }

    uint8_t block[kConfigurationBlockBytes];
    ComputeTransducerSettings(primary_voltage, sensitivity, range, impedance,
                              TruncateFrequency(frequency), block);
    for (uint16_t i = 0; i < ee::kConfigurationWords; ++i) {
        if (!io.Write(ee::ConfigurationWord(k, i), bytes::GetU16(block + 2u * i), -31)) {
            return io.code();
        }
    }
    return 0;
}

// The new default transducer after the default one was deleted: the first calibrated
// remaining one, else the first remaining one. 0 and `chosen` filled, or -30.
int16_t ChooseDefault(QMD5820_HANDLE handle, TransducerRecord& chosen) {
    {
        const IndexList list(handle, 16);
        for (uint8_t i = 0; list.code == 0 && i < list.count; ++i) {
            TransducerRecord record{};
            if (FindTransducerRecord(handle, list.indexes[i], record) != 0) break;
            const EepromRead state = ReadEepromWord(handle, ee::PotisWord(record[rec::kSelectionType]));
            if (state.code != 0) break;
            if ((state.value & ee::kCalibratedBit) != 0) {
                chosen = record;
                return 0;
            }
        }
    }
    const IndexList list(handle, 16);
    if (list.code != 0 || list.count == 0) return -30;
    if (FindTransducerRecord(handle, list.indexes[0], chosen) != 0) return -30;
    return 0;
}

int16_t DeleteTransducer(QMD5820_HANDLE handle, uint8_t index) {
    {
        const IndexList list(handle, 16);
        if (list.code != 0) return -2;
        if (list.count <= 1) return -3;
        if (!list.Contains(index)) return -4;
    }

    StepIo io(handle);
    ResizedArea area;
    if (const int16_t code = ResizeForOneRecord(io, -1, -5, area); code != 0) return code;
    const uint16_t end = static_cast<uint16_t>(area.current_size / 2u + ee::kFunctionalityCount);

    // The record to delete, searched among the records the table counted.
    uint16_t record = ee::RecordWord(area.table, 0);
    uint16_t first_word = 0;
    for (uint32_t i = 0;; ++i) {
        if (i == area.count) return -21;
        if (!io.Read(record, -21, first_word)) return io.code();
        if (static_cast<uint8_t>(first_word) == index) break;
        record = static_cast<uint16_t>(record + ee::kRecordWords);
    }
    const auto selection_type = static_cast<uint8_t>(first_word >> 8);

    // Move the rest of the area down over it, lowest address first, then clear what was
    // freed at its end.
    uint16_t a = static_cast<uint16_t>(record + ee::kRecordWords);
    for (; a < end; ++a) {
        uint16_t value = 0;
        if (!io.Read(a, -22, value)) return io.code();
        if (!io.Write(static_cast<uint16_t>(a - ee::kRecordWords), value, -23)) return io.code();
    }
    for (uint16_t f = static_cast<uint16_t>(a - ee::kRecordWords); f < end; ++f) {
        if (!io.Write(f, 0, -24)) return io.code();
    }

    if (const int16_t code = ClearCalibrationState(io, selection_type, -25); code != 0) return code;

    uint16_t default_word = 0;
    if (!io.Read(ee::kDefaultTransducer, -29, default_word)) return io.code();
    if (static_cast<uint8_t>(default_word) != selection_type) return 0;

    TransducerRecord chosen{};
    if (ChooseDefault(handle, chosen) != 0) return -30;
    std::printf("Find a calibrated transducer ! Type is : %u, Selection type value is : %u \n",
                static_cast<unsigned>(chosen[rec::kIndex]),
                static_cast<unsigned>(chosen[rec::kSelectionType]));
    const uint16_t new_default =
        ee::DefaultTransducerWord(chosen[rec::kIndex], chosen[rec::kSelectionType]);
    if (!io.Write(ee::kDefaultTransducer, new_default, -31)) return io.code();

    // The restart request maps a failed call and any driver status alike to -32.
    Record<req::kRestartConfiguration> restart{};
    if (Exchange<req::kRestartConfiguration>(handle, restart) != 0) return -32;
    return 0;
}

}  // namespace
}  // namespace qmd

using namespace qmd;

extern "C" {

int16_t i_QMD5820_TransducerDatabaseAdd(QMD5820_HANDLE h_DeviceHandle, uint8_t b_TransducerIndex,
                                        double db_Range, double db_Sensitivity,
                                        double db_Frequency, double db_PrimaryVoltage,
                                        double db_Impedance) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord&) {
        return AddTransducer(h_DeviceHandle, b_TransducerIndex, db_Range, db_Sensitivity,
                             db_Frequency, db_PrimaryVoltage, db_Impedance);
    });
}

int16_t i_QMD5820_TransducerDatabaseDelete(QMD5820_HANDLE h_DeviceHandle,
                                           uint8_t b_TransducerIndex) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord&) {
        return DeleteTransducer(h_DeviceHandle, b_TransducerIndex);
    });
}

}  // extern "C"
