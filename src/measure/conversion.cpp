// Raw codes to metric values with the range of the transducer each channel was
// initialised with. No driver request is involved.
#include <array>
#include <cstddef>

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

// What converting a buffer needs of the board, read from its record once per call: which
// channels are initialised (bit c for channel c), their ranges, the code format.
struct BufferConversion {
    uint32_t initialised = 0;
    std::array<double, kChannels> range;  // every entry is set below
    bool offset_binary = false;

    explicit BufferConversion(const BoardRecord& board)
        : offset_binary(board.calibration.step != 0) {
        for (std::size_t c = 0; c < kChannels; ++c) {
            if (board.channels[c][0] != kChannelNotInitialised) initialised |= 1u << c;
            range[c] = bytes::GetF64(board.channels[c].data() + rec::kRange);
        }
    }

    // 0 when `channel` can be converted, -2 when it is above 15, -3 when it is not
    // initialised: the checks of the single conversion, in the same order.
    int16_t Check(uint8_t channel) const {
        if (channel > kLastChannel) return -2;
        return ((initialised >> channel) & 1u) != 0 ? 0 : -3;
    }
};

// Entry i: its code, and when that is 0 its value written to values[i].
template <bool OffsetBinary>
inline int16_t ConvertEntry(const BufferConversion& conversion, std::size_t i,
                            const uint8_t* channels, const uint16_t* raw, double* values) {
    const uint8_t channel = channels[i];
    const int16_t code = conversion.Check(channel);
    if (code == 0) values[i] = RawToMetric(raw[i], conversion.range[channel], OffsetBinary);
    return code;
}

// Entries in order up to the first one that cannot be converted, whose code it returns
// (0 when there is none); the entries before it are written, it and the later ones are
// not. Each entry is checked just before it is converted, with the initialised channels
// as a bit mask in a register: measured, a separate checking pass over the list first
// costs a third of the conversion's time again, the two checks in the loop about a
// tenth. Taking two entries per turn of the loop saves about as much as they cost.
template <bool OffsetBinary>
int16_t ConvertEntries(const BufferConversion& conversion, std::size_t count,
                       const uint8_t* channels, const uint16_t* raw, double* values) {
    std::size_t i = 0;
    for (; i + 2 <= count; i += 2) {
        int16_t code = ConvertEntry<OffsetBinary>(conversion, i, channels, raw, values);
        if (code == 0) code = ConvertEntry<OffsetBinary>(conversion, i + 1, channels, raw, values);
        if (code != 0) return code;
    }
    return i < count ? ConvertEntry<OffsetBinary>(conversion, i, channels, raw, values) : 0;
}

// The same checks without an output to write to.
int16_t CheckEntries(const BufferConversion& conversion, std::size_t count,
                     const uint8_t* channels) {
    for (std::size_t i = 0; i < count; ++i) {
        const int16_t code = conversion.Check(channels[i]);
        if (code != 0) return code;
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
        const BufferConversion conversion(board);
        if (pdb_MetricValues == nullptr) {
            return CheckEntries(conversion, b_ChannelCount, b_Channels);
        }
        return conversion.offset_binary
                   ? ConvertEntries<true>(conversion, b_ChannelCount, b_Channels, pw_RawValues,
                                          pdb_MetricValues)
                   : ConvertEntries<false>(conversion, b_ChannelCount, b_Channels, pw_RawValues,
                                           pdb_MetricValues);
    });
}

}  // extern "C"
