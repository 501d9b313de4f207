// Board identity and versions: the board information record, the hardware revision and
// serial number in the EEPROM, the library, driver and firmware versions.
#include <algorithm>
#include <cstring>

#include "core/board_table.h"
#include "core/boards.h"
#include "qmd5820_protocol/bytes.h"
#include "qmd5820_protocol/eeprom_map.h"
#include "core/output.h"
#include "qmd5820_version.h"
#include "eeprom/eeprom.h"

using namespace qmd;

extern "C" {

int16_t i_QMD5820_GetBoardInformation(uint8_t b_BoardIndex, uint32_t dw_IdentifierSize,
                                      char* pc_Identifier, uint32_t* pdw_BoardValue1,
                                      uint32_t* pdw_BoardValue2, uint32_t* pdw_BoardValue3,
                                      uint32_t* pdw_BoardValue4, uint32_t* pdw_BoardValue5,
                                      uint32_t* pdw_BoardValue6, uint32_t* pdw_BoardValue7,
                                      uint8_t* pb_BoardValue8) {
    Record<req::kBoardInformation> info{};
    const int16_t code = ReadBoardInformation(b_BoardIndex, info);
    if (code != 0) return code;

    const uint8_t* p = info.data();
    const auto value = [p](std::size_t i) {
        return bytes::GetU32(p + req::board_information::kValues + 4 * i);
    };
    Store(pdw_BoardValue1, value(0));
    Store(pdw_BoardValue3, value(1));  // the record's second and third values
    Store(pdw_BoardValue2, value(2));  // go to the crossed parameters
    Store(pdw_BoardValue4, value(3));
    Store(pdw_BoardValue5, value(4));
    Store(pdw_BoardValue6, value(5));
    Store(pdw_BoardValue7, value(6));
    Store(pb_BoardValue8, bytes::GetU8(p + req::board_information::kValue8));

    if (pc_Identifier != nullptr && dw_IdentifierSize > 0) {
        const uint8_t* field = p + kIdentifierOffset;
        const std::size_t copied =
            std::min<std::size_t>(IdentifierLength(field), dw_IdentifierSize - 1u);
        std::memcpy(pc_Identifier, field, copied);
        pc_Identifier[copied] = '\0';
    }
    return 0;
}

// The public header's constant and the generated one come from the same version text.
static_assert(QMD5820_DLL_VERSION == QMD5820_VERSION_NUMBER,
              "QMD5820_DLL_VERSION in QMD5820.h differs from the project version");

int16_t i_QMD5820_GetDLLVersion(uint32_t* pdw_DLLVersion) {
    Store(pdw_DLLVersion, QMD5820_VERSION_NUMBER);
    return 0;
}

// The two version requests go straight to the driver: no table lookup, nothing recorded.
int16_t i_QMD5820_GetDeviceDriverVersion(QMD5820_HANDLE h_DeviceHandle,
                                         uint32_t* pdw_DriverVersion) {
    Record<req::kDriverVersion> reply{};
    if (!Transfer<req::kDriverVersion>(h_DeviceHandle, reply)) return -1;
    Store(pdw_DriverVersion, bytes::GetU32(reply.data() + req::version::kValue));
    return 0;
}

int16_t i_QMD5820_GetFirmwareVersion(QMD5820_HANDLE h_DeviceHandle,
                                     uint32_t* pdw_FirmwareVersion) {
    Record<req::kFirmwareVersion> reply{};
    if (!Transfer<req::kFirmwareVersion>(h_DeviceHandle, reply)) return -1;
    Store(pdw_FirmwareVersion, bytes::GetU32(reply.data() + req::version::kValue));
    return 0;
}

// Revision and serial number record only their success; failures return -2 unrecorded.
int16_t i_QMD5820_GetBoardHardwareRevision(QMD5820_HANDLE h_DeviceHandle,
                                           char* pc_HardwareRevision) {
    const int index = FindBoardRecord(h_DeviceHandle);
    if (index < 0) return -1;
    const EepromRead word = ReadEepromWord(h_DeviceHandle, ee::kRevisionWord);
    if (word.code != 0) return -2;
    Store(pc_HardwareRevision, static_cast<char>('A' + (word.value >> ee::kRevisionShift)));
    RecordResult(index, __func__, 0);
    return 0;
}

int16_t i_QMD5820_GetBoardSerialNumber(QMD5820_HANDLE h_DeviceHandle, uint32_t* pdw_SerialNumber) {
    const int index = FindBoardRecord(h_DeviceHandle);
    if (index < 0) return -1;
    // The serial number is written as two 16-bit halves, each as soon as it is read (0
    // when its read failed).
    const auto put_half = [pdw_SerialNumber](int shift, uint16_t half) {
        if (pdw_SerialNumber == nullptr) return;
        const uint32_t mask = uint32_t{0xFFFF} << shift;
        *pdw_SerialNumber = (*pdw_SerialNumber & ~mask) | (uint32_t{half} << shift);
    };
    const EepromRead low = ReadEepromWord(h_DeviceHandle, ee::kSerialLowWord);
    put_half(0, low.value);
    if (low.code != 0) return -2;
    const EepromRead high = ReadEepromWord(h_DeviceHandle, ee::kSerialHighWord);
    put_half(16, high.value);
    if (high.code != 0) return -2;
    RecordResult(index, __func__, 0);
    return 0;
}

}  // extern "C"
