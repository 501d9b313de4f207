// Continuous acquisition: auto-refresh (the board keeps the latest value of each listed
// channel in memory mapped into the process) and sequence acquisition (sequences of the
// listed channels, an interrupt after every n sequences, data read as a byte stream).
// Each start stops what runs, initialises the listed channels, then starts; the range
// checks of the parameters are the driver's.
#include <cstring>

#include "core/backend.h"
#include "core/board_table.h"
#include "qmd5820_protocol/bytes.h"
#include "core/output.h"
#include "core/transport.h"

using namespace qmd;

namespace {

constexpr uint8_t kMaxChannels = req::kListEntries;

// Copies a 16-byte channel list into a request (zeros for a missing list).
void PutList(uint8_t* destination, const uint8_t* list) {
    if (list != nullptr) std::memcpy(destination, list, kMaxChannels);
}

// Initialises entries 0 to count - 1 with the transducer's own frequency; false at the
// first failure (the entries before it stay initialised).
bool InitialiseChannels(QMD5820_HANDLE handle, uint8_t count, const uint8_t* channels,
                        const uint8_t* indexes) {
    for (uint8_t i = 0; i < count; ++i) {
        if (i_QMD5820_Init1TransducerChannel(handle, channels[i], indexes[i], 0.0) != 0) return false;
    }
    return true;
}

}  // namespace

extern "C" {

int16_t i_QMD5820_TriggerTransducerAcquisition(QMD5820_HANDLE h_DeviceHandle) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord&) {
        Record<req::kTriggerAcquisition> record{};
        return Exchange<req::kTriggerAcquisition>(h_DeviceHandle, record);
    });
}

int16_t i_QMD5820_StopTransducerAcquisition(QMD5820_HANDLE h_DeviceHandle) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord&) {
        Record<req::kStopAcquisition> record{};
        return Exchange<req::kStopAcquisition>(h_DeviceHandle, record);
    });
}

int16_t i_QMD5820_SetConvertTimeDivisionFactor(QMD5820_HANDLE h_DeviceHandle,
                                               uint8_t b_DivisionFactor) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord&) {
        Record<req::kConvertTimeDivision> record{};
        record[req::division::kFactor] = b_DivisionFactor;
        return Exchange<req::kConvertTimeDivision>(h_DeviceHandle, record);
    });
}

int16_t i_QMD5820_InitAndStartAutoRefreshAcquisition(QMD5820_HANDLE h_DeviceHandle,
                                                     uint8_t b_ChannelCount,
                                                     const uint8_t* b_Channels,
                                                     const uint8_t* b_TransducerIndexes,
                                                     uint64_t* pp_AutoRefreshData) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord&) -> int16_t {
        if (b_ChannelCount > kMaxChannels) return -2;
        if (b_ChannelCount > 0 && (b_Channels == nullptr || b_TransducerIndexes == nullptr)) {
            return -4;
        }
        namespace start = req::auto_refresh;
        Record<req::kStartAutoRefresh> record{};
        record[start::kCount] = b_ChannelCount;
        PutList(record.data() + start::kChannels, b_Channels);
        PutList(record.data() + start::kIndexes, b_TransducerIndexes);
        (void)i_QMD5820_StopTransducerAcquisition(h_DeviceHandle);
        if (!InitialiseChannels(h_DeviceHandle, b_ChannelCount, b_Channels, b_TransducerIndexes)) {
            return -5;
        }
        const int16_t code = Exchange<req::kStartAutoRefresh>(h_DeviceHandle, record);
        if (code == 0) Store(pp_AutoRefreshData, bytes::GetU64(record.data() + start::kArea));
        return code;
    });
}

int16_t i_QMD5820_InitAndStartTransducerSequence(
    QMD5820_HANDLE h_DeviceHandle, uint16_t dw_SequencesBeforeInterrupt,
    uint32_t dw_SequenceParameter1, uint8_t b_SequenceSize, const uint8_t* b_Channels,
    const uint8_t* b_TransducerIndexes, uint32_t dw_SequenceParameter2, uint8_t b_SoftTriggerMode,
    uint8_t b_ExternTriggerMode, uint32_t dw_SequenceParameter3) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord& board) -> int16_t {
        if (board.interrupt_installed.load() != 1) return -9;
        if (b_SequenceSize > kMaxChannels) return -3;
        if (b_SequenceSize > 0 && (b_Channels == nullptr || b_TransducerIndexes == nullptr)) {
            return -6;
        }
        namespace start = req::sequence;
        Record<req::kStartSequence> record{};
        bytes::PutU16(record.data() + start::kPerInterrupt, dw_SequencesBeforeInterrupt);
        bytes::PutU32(record.data() + start::kParameter1, dw_SequenceParameter1);
        record[start::kSize] = b_SequenceSize;
        PutList(record.data() + start::kChannels, b_Channels);
        PutList(record.data() + start::kIndexes, b_TransducerIndexes);
        bytes::PutU32(record.data() + start::kParameter2, dw_SequenceParameter2);
        record[start::kSoftTrigger] = b_SoftTriggerMode;
        record[start::kExternTrigger] = b_ExternTriggerMode;
        bytes::PutU32(record.data() + start::kParameter3, dw_SequenceParameter3);
        (void)i_QMD5820_StopTransducerAcquisition(h_DeviceHandle);
        if (!InitialiseChannels(h_DeviceHandle, b_SequenceSize, b_Channels, b_TransducerIndexes)) {
            return -10;
        }
        return Exchange<req::kStartSequence>(h_DeviceHandle, record);
    });
}

// A successful read records 0 (so that its text reads "No error.") and returns the number
// of bytes transferred.
int32_t l_QMD5820_ReadSequenceData(QMD5820_HANDLE h_DeviceHandle, uint32_t dw_NumberOfBytes,
                                   uint8_t* pb_Buffer) {
    const int index = FindBoardRecord(h_DeviceHandle);
    if (index < 0) return -1;
    int32_t result = 0;
    if (dw_NumberOfBytes > 0) {
        uint32_t transferred = 0;
        const qmd5820_backend& b = Backend();
        if (pb_Buffer == nullptr ||
            b.read_stream(b.context, h_DeviceHandle, pb_Buffer, dw_NumberOfBytes, &transferred) == 0) {
            result = -2;
        } else {
            result = static_cast<int32_t>(transferred > dw_NumberOfBytes ? dw_NumberOfBytes : transferred);
        }
    }
    RecordResult(index, __func__, result < 0 ? result : 0);
    return result;
}

}  // extern "C"
