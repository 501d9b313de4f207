// Eight digital inputs and eight digital outputs, each group one 8-bit port; channel n
// is bit n. Every operation is one driver request.
#include "core/board_table.h"
#include "core/output.h"
#include "core/transport.h"

using namespace qmd;

namespace {

constexpr uint8_t kLastChannel = 7;

// Switches the outputs selected by `mask` on (1) or off (0).
int16_t WriteDigitalOutputs(QMD5820_HANDLE handle, uint8_t mask, uint8_t on) {
    Record<req::kWriteDigitalOutputs> record{};
    record[req::digital_io::kMask] = mask;
    record[req::digital_io::kOutputSwitch] = on;
    return Exchange<req::kWriteDigitalOutputs>(handle, record);
}

int16_t WriteDigitalOutputMemory(QMD5820_HANDLE handle, uint8_t on) {
    Record<req::kWriteOutputMemory> record{};
    record[req::digital_io::kMemorySwitch] = on;
    return Exchange<req::kWriteOutputMemory>(handle, record);
}

// Reads a port into *out (left unchanged on any failure).
template <uint32_t Code>
int16_t ReadPort(QMD5820_HANDLE handle, uint8_t* out) {
    Record<Code> record{};
    const int16_t code = Exchange<Code>(handle, record);
    if (code == 0) Store(out, record[req::digital_io::kPort]);
    return code;
}

// A single-channel read: the matching port read as its own exported function (which
// records itself), then the channel's bit; the caller records last.
int16_t ReadChannel(int16_t (*read_port)(QMD5820_HANDLE, uint8_t*), QMD5820_HANDLE handle,
                    uint8_t channel, uint8_t* out) {
    if (channel > kLastChannel) return -2;
    uint8_t port = 0;
    const int16_t code = read_port(handle, &port);
    if (code == 0) Store(out, (port >> channel) & 1u);
    return code;
}

int16_t WriteChannel(QMD5820_HANDLE handle, uint8_t channel, uint8_t on) {
    if (channel > kLastChannel) return -2;
    return WriteDigitalOutputs(handle, static_cast<uint8_t>(1u << channel), on);
}

}  // namespace

extern "C" {

int16_t i_QMD5820_Read8DigitalInputs(QMD5820_HANDLE h_DeviceHandle, uint8_t* pb_PortStatus) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord&) {
        return ReadPort<req::kReadDigitalInputs>(h_DeviceHandle, pb_PortStatus);
    });
}

int16_t i_QMD5820_Get8DigitalOutputsStatus(QMD5820_HANDLE h_DeviceHandle,
                                           uint8_t* pb_PortStatus) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord&) {
        return ReadPort<req::kReadDigitalOutputs>(h_DeviceHandle, pb_PortStatus);
    });
}

int16_t i_QMD5820_Read1DigitalInput(QMD5820_HANDLE h_DeviceHandle, uint8_t b_Channel,
                                    uint8_t* pb_ChannelStatus) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord&) {
        return ReadChannel(i_QMD5820_Read8DigitalInputs, h_DeviceHandle, b_Channel,
                           pb_ChannelStatus);
    });
}

int16_t i_QMD5820_Get1DigitalOutputStatus(QMD5820_HANDLE h_DeviceHandle, uint8_t b_Channel,
                                          uint8_t* pb_ChannelStatus) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord&) {
        return ReadChannel(i_QMD5820_Get8DigitalOutputsStatus, h_DeviceHandle, b_Channel,
                           pb_ChannelStatus);
    });
}

int16_t i_QMD5820_Set8DigitalOutputsOn(QMD5820_HANDLE h_DeviceHandle, uint8_t b_OutputMask) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord&) {
        return WriteDigitalOutputs(h_DeviceHandle, b_OutputMask, 1);
    });
}

int16_t i_QMD5820_Set8DigitalOutputsOff(QMD5820_HANDLE h_DeviceHandle, uint8_t b_OutputMask) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord&) {
        return WriteDigitalOutputs(h_DeviceHandle, b_OutputMask, 0);
    });
}

int16_t i_QMD5820_Set1DigitalOutputOn(QMD5820_HANDLE h_DeviceHandle, uint8_t b_Channel) {
    return CallFrame(__func__, h_DeviceHandle,
                     [&](BoardRecord&) { return WriteChannel(h_DeviceHandle, b_Channel, 1); });
}

int16_t i_QMD5820_Set1DigitalOutputOff(QMD5820_HANDLE h_DeviceHandle, uint8_t b_Channel) {
    return CallFrame(__func__, h_DeviceHandle,
                     [&](BoardRecord&) { return WriteChannel(h_DeviceHandle, b_Channel, 0); });
}

int16_t i_QMD5820_SetDigitalOutputMemoryOn(QMD5820_HANDLE h_DeviceHandle) {
    return CallFrame(__func__, h_DeviceHandle,
                     [&](BoardRecord&) { return WriteDigitalOutputMemory(h_DeviceHandle, 1); });
}

int16_t i_QMD5820_SetDigitalOutputMemoryOff(QMD5820_HANDLE h_DeviceHandle) {
    return CallFrame(__func__, h_DeviceHandle,
                     [&](BoardRecord&) { return WriteDigitalOutputMemory(h_DeviceHandle, 0); });
}

}  // extern "C"
