// The board's timer: start with a time base, a 16-bit count and an interrupt switch; stop,
// trigger, status and value. The driver checks the values; the library passes them on.
#include "core/board_table.h"
#include "qmd5820_protocol/bytes.h"
#include "core/output.h"
#include "core/transport.h"

using namespace qmd;


extern "C" {

int16_t i_QMD5820_InitAndStartTimer(QMD5820_HANDLE h_DeviceHandle, uint8_t b_TimeBase,
                                    uint16_t w_ReloadValue, uint8_t b_InterruptEnabled) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord&) {
        namespace start = req::timer_start;
        Record<req::kStartTimer> record{};
        record[start::kTimeBase] = b_TimeBase;
        bytes::PutU16(record.data() + start::kReload, w_ReloadValue);
        record[start::kInterrupts] = b_InterruptEnabled;
        return Exchange<req::kStartTimer>(h_DeviceHandle, record);
    });
}

int16_t i_QMD5820_StopTimer(QMD5820_HANDLE h_DeviceHandle) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord&) {
        Record<req::kStopTimer> record{};
        return Exchange<req::kStopTimer>(h_DeviceHandle, record);
    });
}

int16_t i_QMD5820_TriggerTimer(QMD5820_HANDLE h_DeviceHandle) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord&) {
        Record<req::kTriggerTimer> record{};
        return Exchange<req::kTriggerTimer>(h_DeviceHandle, record);
    });
}

int16_t i_QMD5820_ReadTimerStatus(QMD5820_HANDLE h_DeviceHandle, uint8_t* pb_StatusByte1,
                                  uint8_t* pb_StatusByte2, uint16_t* pw_StatusWord) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord&) {
        Record<req::kReadTimerStatus> record{};
        const int16_t code = Exchange<req::kReadTimerStatus>(h_DeviceHandle, record);
        if (code == 0) {
            Store(pb_StatusByte1, record[req::timer_status::kByte1]);
            Store(pb_StatusByte2, record[req::timer_status::kByte2]);
            Store(pw_StatusWord, bytes::GetU16(record.data() + req::timer_status::kWord));
        }
        return code;
    });
}

int16_t i_QMD5820_ReadTimerValue(QMD5820_HANDLE h_DeviceHandle, uint16_t* pw_TimerValue) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord&) {
        Record<req::kReadTimerValue> record{};
        const int16_t code = Exchange<req::kReadTimerValue>(h_DeviceHandle, record);
        if (code == 0) Store(pw_TimerValue, bytes::GetU16(record.data() + req::timer_value::kCount));
        return code;
    });
}

}  // extern "C"
