// Transducer channels 0 to 15: initialisation with a transducer type of the database,
// single and multiple raw reads. The board record keeps a copy of the transducer record
// each channel was initialised with.
#include <algorithm>
#include <cmath>

#include "core/board_table.h"
#include "qmd5820_protocol/bytes.h"
#include "core/output.h"
#include "core/transport.h"
#include "eeprom/database.h"
#include "eeprom/directory.h"
#include "eeprom/eeprom.h"
#include "measure/measure.h"

namespace qmd {
namespace {

struct FrequencyRow {
    double frequency;
    uint8_t first;
    uint8_t second;
};

constexpr FrequencyRow kFrequencyRows[] = {
    {19531, 0, 4}, {16276, 1, 3}, {13951, 0, 6},  {13021, 1, 4},  {12207, 2, 3},
    {10851, 1, 5}, {9765, 3, 3},  {8138, 4, 3},   {6975, 5, 3},   {6104, 6, 3},
    {4883, 8, 3},  {3986, 5, 6},  {3005, 11, 4},  {1993, 12, 6},
};

constexpr uint8_t kLastChannel = board::kChannels - 1;

bool Initialised(const ChannelBlock& block) { return block[0] != kChannelNotInitialised; }

// Steps 3 and 4 of a single read (the channel number is already checked).
int16_t ReadChannel(QMD5820_HANDLE handle, const BoardRecord& board, uint8_t channel,
                    uint16_t* raw) {
    if (!Initialised(board.channels[channel])) return -4;
    Record<req::kReadChannel> record{};
    record[req::read_channel::kChannel] = channel;
    const int16_t code = Exchange<req::kReadChannel>(handle, record);
    if (code == 0) Store(raw, bytes::GetU16(record.data() + req::read_channel::kCode));
    return code;
}

}  // namespace

Dividers ChooseDividers(double frequency) {
    Dividers chosen;
    double best = 1e20;
    for (const FrequencyRow& row : kFrequencyRows) {
        if (row.frequency == frequency) return {row.first, row.second};
        const double d = std::fabs(row.frequency - frequency);
        if (d < best) {
            chosen = {row.first, row.second};
            best = d;
        }
    }
    return chosen;
}

}  // namespace qmd

using namespace qmd;

extern "C" {

int16_t i_QMD5820_GetNumberOfTransducerChannels(QMD5820_HANDLE h_DeviceHandle,
                                                uint8_t* pb_NumberOfChannels) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord&) -> int16_t {
        const uint16_t functionality = FindTransducerFunctionality(h_DeviceHandle);
        if (functionality == kNotFound) return -2;
        const EepromRead inputs = ReadEepromWord(
            h_DeviceHandle, static_cast<uint16_t>(functionality + ee::kNumberOfInputs));
        if (inputs.code != 0) return -2;
        Store(pb_NumberOfChannels, static_cast<uint8_t>(inputs.value));
        return 0;
    });
}

int16_t i_QMD5820_Init1TransducerChannel(QMD5820_HANDLE h_DeviceHandle, uint8_t b_Channel,
                                         uint8_t b_TransducerIndex, double db_Frequency) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord& board) -> int16_t {
        if (b_Channel > kLastChannel) return -2;
        TransducerRecord record{};
        if (FindTransducerRecord(h_DeviceHandle, b_TransducerIndex, record) != 0) return -3;
        const double frequency =
            db_Frequency == 0.0 ? bytes::GetF64(record.data() + rec::kFrequency) : db_Frequency;
        const Dividers dividers = ChooseDividers(frequency);
        namespace init = req::init_channel;
        Record<req::kInitChannel> request{};
        request[init::kChannel] = b_Channel;
        request[init::kSelectionType] = record[rec::kSelectionType];
        request[init::kDivider1] = dividers.first;
        request[init::kDivider2] = dividers.second;
        const int16_t code = Exchange<req::kInitChannel>(h_DeviceHandle, request);
        if (code == 0) board.channels[b_Channel] = record;
        return code;
    });
}

int16_t i_QMD5820_Read1TransducerChannel(QMD5820_HANDLE h_DeviceHandle, uint8_t b_Channel,
                                         uint16_t* pw_RawValue) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord& board) -> int16_t {
        if (b_Channel > kLastChannel) return -2;
        return ReadChannel(h_DeviceHandle, board, b_Channel, pw_RawValue);
    });
}

int16_t i_QMD5820_ReadMoreTransducerChannels(QMD5820_HANDLE h_DeviceHandle,
                                             uint8_t b_ChannelCount, const uint8_t* b_Channels,
                                             uint16_t* pw_RawValues) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord& board) -> int16_t {
        if (b_ChannelCount > 0 && b_Channels == nullptr) return -4;
        for (uint8_t i = 0; i < b_ChannelCount; ++i) {
            // A channel number beyond the 16 blocks is refused like one never initialised.
            if (b_Channels[i] > kLastChannel) return -4;
            const int16_t code = ReadChannel(h_DeviceHandle, board, b_Channels[i],
                                             pw_RawValues == nullptr ? nullptr : pw_RawValues + i);
            if (code != 0) return code;
        }
        return 0;
    });
}

}  // extern "C"
