// The primary (excitation) line: test, rearm, short-circuit interrupt switch, and the
// calibration of the line test threshold (potentiometer 7) by a bitwise search.
#include "calibration/potentiometers.h"
#include "core/backend.h"
#include "core/board_table.h"
#include "core/output.h"
#include "core/transport.h"
#include "io/primary_line.h"

namespace qmd {

constexpr uint8_t kShortCircuitLatched = req::primary_line::kShortCircuitLatched;
constexpr uint8_t kDetectionResponds = req::primary_line::kDetectionResponds;
constexpr uint8_t kThresholdPotentiometer = pot::kThreshold;

int16_t SetPrimaryLineTest(QMD5820_HANDLE handle, uint8_t on) {
    Record<req::kSetPrimaryLineTest> record{};
    record[req::primary_line::kSwitch] = on;
    return Exchange<req::kSetPrimaryLineTest>(handle, record);
}

int16_t ReadPrimaryLineStatus(QMD5820_HANDLE handle, uint8_t& status) {
    Record<req::kReadPrimaryLineStatus> record{};
    const int16_t code = Exchange<req::kReadPrimaryLineStatus>(handle, record);
    if (code == 0) status = record[req::primary_line::kLineStatus];
    return code;
}

namespace {

int16_t TestPrimaryLine(QMD5820_HANDLE handle, uint8_t* status) {
    if (const int16_t code = SetPrimaryLineTest(handle, 1); code != 0) return code;
    SleepMs(250);
    uint8_t value = 0;
    if (const int16_t code = ReadPrimaryLineStatus(handle, value); code != 0) return code;
    Store(status, value);
    if (const int16_t code = SetPrimaryLineTest(handle, 0); code != 0) return code;
    SleepMs(250);
    return 0;
}

int16_t CalibratePrimaryLineTest(QMD5820_HANDLE handle) {
    uint8_t status = 0;
    if (const int16_t code = ReadPrimaryLineStatus(handle, status); code != 0) return code;
    if ((status & kShortCircuitLatched) != 0) {
        (void)i_QMD5820_RearmPrimaryLine(handle);  // records itself; overwritten below
        SleepMs(100);
        (void)ReadPrimaryLineStatus(handle, status);  // on failure the earlier byte stays
        if ((status & kShortCircuitLatched) != 0) return -2;
    }
    if (const int16_t code = SetPrimaryLineTest(handle, 1); code != 0) return code;
    SleepMs(250);

    // Successive approximation, highest bit first: a responding detection clears the bit
    // just tried.
    uint8_t v = 0x80;
    for (int i = 0; i < 8; ++i) {
        if (WritePotentiometer(handle, kThresholdPotentiometer, v) != 0) return kRequestFailed;
        SleepMs(50);
        if (const int16_t code = ReadPrimaryLineStatus(handle, status); code != 0) return code;
        if ((status & kDetectionResponds) != 0) v = static_cast<uint8_t>(v & ~(1u << (7 - i)));
        if (i < 7) v = static_cast<uint8_t>(v | (1u << (6 - i)));
    }
    v = v < 253 ? static_cast<uint8_t>(v + 2) : uint8_t{255};  // margin
    if (WritePotentiometer(handle, kThresholdPotentiometer, v) != 0) return kRequestFailed;
    if (const int16_t code = SetPrimaryLineTest(handle, 0); code != 0) return code;
    SleepMs(250);
    return 0;
}

}  // namespace
}  // namespace qmd

using namespace qmd;

extern "C" {

int16_t i_QMD5820_TestPrimaryLine(QMD5820_HANDLE h_DeviceHandle, uint8_t* pb_PrimaryLineStatus) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord&) {
        return TestPrimaryLine(h_DeviceHandle, pb_PrimaryLineStatus);
    });
}

int16_t i_QMD5820_RearmPrimaryLine(QMD5820_HANDLE h_DeviceHandle) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord&) {
        Record<req::kRearmPrimaryLine> record{};
        return Exchange<req::kRearmPrimaryLine>(h_DeviceHandle, record);
    });
}

int16_t i_QMD5820_EnableDisableShortCircuitInterrupts(QMD5820_HANDLE h_DeviceHandle,
                                                      uint8_t b_Enabled) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord&) {
        Record<req::kShortCircuitInterrupts> record{};
        record[req::primary_line::kSwitch] = b_Enabled;
        return Exchange<req::kShortCircuitInterrupts>(h_DeviceHandle, record);
    });
}

int16_t i_QMD5820_CalibratePrimaryLineTest(QMD5820_HANDLE h_DeviceHandle) {
    return CallFrame(__func__, h_DeviceHandle,
                     [&](BoardRecord&) { return CalibratePrimaryLineTest(h_DeviceHandle); });
}

}  // extern "C"
