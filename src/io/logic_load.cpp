// The logic load channel: a plain pass-through of 32-bit commands and data words and an
// 8-bit status. What the values mean is agreed between the application and the board.
#include "core/board_table.h"
#include "qmd5820_protocol/bytes.h"
#include "core/output.h"
#include "core/transport.h"

using namespace qmd;

namespace {

constexpr std::size_t kWordOffset = req::logic_load::kWord;

template <uint32_t Code>
int16_t SendWord(QMD5820_HANDLE handle, uint32_t word) {
    Record<Code> record{};
    bytes::PutU32(record.data() + kWordOffset, word);
    return Exchange<Code>(handle, record);
}

}  // namespace

extern "C" {

int16_t i_QMD5820_LoadLogicCommand(QMD5820_HANDLE h_DeviceHandle, uint32_t dw_Command) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord&) {
        return SendWord<req::kLoadLogicCommand>(h_DeviceHandle, dw_Command);
    });
}

int16_t i_QMD5820_LoadLogicWrite(QMD5820_HANDLE h_DeviceHandle, uint32_t dw_Data) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord&) {
        return SendWord<req::kLoadLogicWrite>(h_DeviceHandle, dw_Data);
    });
}

int16_t i_QMD5820_LoadLogicRead(QMD5820_HANDLE h_DeviceHandle, uint32_t* pdw_Data) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord&) {
        Record<req::kLoadLogicRead> record{};
        const int16_t code = Exchange<req::kLoadLogicRead>(h_DeviceHandle, record);
        if (code == 0) Store(pdw_Data, bytes::GetU32(record.data() + kWordOffset));
        return code;
    });
}

int16_t i_QMD5820_GetLoadLogicStatus(QMD5820_HANDLE h_DeviceHandle, uint8_t* pb_Status) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord&) {
        Record<req::kLoadLogicStatus> record{};
        const int16_t code = Exchange<req::kLoadLogicStatus>(h_DeviceHandle, record);
        if (code == 0) Store(pb_Status, record[req::logic_load::kLoadStatus]);
        return code;
    });
}

}  // extern "C"
