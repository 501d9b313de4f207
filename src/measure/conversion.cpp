// Raw codes to metric values with the range of the transducer each channel was
// initialised with. No driver request is involved.
#include <array>

#include "core/board_table.h"
#include "qmd5820_protocol/bytes.h"
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

// The range of every channel and whether it is initialised.
struct ChannelRanges {
    std::array<double, kChannels> range{};
    std::array<bool, kChannels> initialised{};
    explicit ChannelRanges(const BoardRecord& board) {
        for (std::size_t c = 0; c < kChannels; ++c) {
            initialised[c] = board.channels[c][0] != kChannelNotInitialised;
            range[c] = bytes::GetF64(board.channels[c].data() + rec::kRange);
        }
    }
};

template <bool OffsetBinary>
int16_t ConvertBuffer(const ChannelRanges& ranges, uint8_t count, const uint8_t* channels,
                      const uint16_t* raw, double* values) {
    for (uint8_t i = 0; i < count; ++i) {
        const uint8_t channel = channels[i];
        if (channel > kLastChannel) return -2;
        if (!ranges.initialised[channel]) return -3;
        const double value = RawToMetric(raw[i], ranges.range[channel], OffsetBinary);
        if (values != nullptr) values[i] = value;
    }
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
        // The channel blocks and the calibration step are read once for the whole buffer.
        const ChannelRanges ranges(board);
        return board.calibration.step != 0
                   ? ConvertBuffer<true>(ranges, b_ChannelCount, b_Channels, pw_RawValues,
                                         pdb_MetricValues)
                   : ConvertBuffer<false>(ranges, b_ChannelCount, b_Channels, pw_RawValues,
                                          pdb_MetricValues);
    });
}

}  // extern "C"
