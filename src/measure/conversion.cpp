// Raw codes to metric values with the range of the transducer each channel was
// initialised with. No driver request is involved.
#include "core/board_table.h"
#include "core/bytes.h"
#include "core/output.h"
#include "eeprom/database.h"
#include "measure/measure.h"

using namespace qmd;

namespace {

constexpr uint8_t kLastChannel = 15;

// 0 and the value, or -2 (channel above 15) / -3 (channel not initialised).
int16_t Convert(const BoardRecord& board, uint8_t channel, uint16_t raw, double& value) {
    if (channel > kLastChannel) return -2;
    const ChannelBlock& block = board.channels[channel];
    if (block[0] == kChannelNotInitialised) return -3;
    value = RawToMetric(raw, bytes::GetF64(block.data() + rec::kRange),
                        board.calibration.step != 0);
    return 0;
}

}  // namespace

extern "C" {

int16_t i_QMD5820_Convert1RawToMetricValue(QMD5820_HANDLE h_DeviceHandle, uint8_t b_Channel,
                                           uint16_t w_RawValue, double* pdb_MetricValue) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord& board) -> int16_t {
        double value = 0;
        const int16_t code = Convert(board, b_Channel, w_RawValue, value);
        if (code == 0) Store(pdb_MetricValue, value);
        return code;
    });
}

int16_t i_QMD5820_ConvertMoreRawToMetricValues(QMD5820_HANDLE h_DeviceHandle,
                                               uint8_t b_ChannelCount, const uint8_t* b_Channels,
                                               const uint16_t* pw_RawValues,
                                               double* pdb_MetricValues) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord& board) -> int16_t {
        if (b_ChannelCount > 0 && (b_Channels == nullptr || pw_RawValues == nullptr)) return -2;
        for (uint8_t i = 0; i < b_ChannelCount; ++i) {
            double value = 0;
            const int16_t code = Convert(board, b_Channels[i], pw_RawValues[i], value);
            if (code != 0) return code;
            if (pdb_MetricValues != nullptr) pdb_MetricValues[i] = value;
        }
        return 0;
    });
}

}  // extern "C"
