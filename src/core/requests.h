// Every driver request of the board with its input and output sizes. The transport
// checks each call against this table at compile time.
#pragma once

#include <cstdint>
#include <span>

namespace qmd {

struct RequestSpec {
    uint32_t code;
    uint16_t in_size;
    uint16_t out_size;
};

namespace req {
// Boards and identity (generic requests of device type 0x9001 use read/write access).
inline constexpr uint32_t kOpenHandshake = 0x9001c014;
inline constexpr uint32_t kBoardInformation = 0x90002000;
inline constexpr uint32_t kDriverVersion = 0x90002018;
inline constexpr uint32_t kFirmwareVersion = 0x9001c010;
// Interrupts.
inline constexpr uint32_t kRegisterInterruptEvent = 0x90002004;
inline constexpr uint32_t kReadInterruptRecord = 0x90002008;
// EEPROM words.
inline constexpr uint32_t kEepromWrite = 0x9001c008;
inline constexpr uint32_t kEepromRead = 0x9001c00c;
// Database.
inline constexpr uint32_t kRestartConfiguration = 0x90002048;
// Channels.
inline constexpr uint32_t kInitChannel = 0x90002040;
inline constexpr uint32_t kReadChannel = 0x90002044;
// Acquisition.
inline constexpr uint32_t kStartAutoRefresh = 0x90002080;
inline constexpr uint32_t kStartSequence = 0x90002084;
inline constexpr uint32_t kTriggerAcquisition = 0x90002088;
inline constexpr uint32_t kStopAcquisition = 0x9000208c;
inline constexpr uint32_t kConvertTimeDivision = 0x90002090;
// Calibration and potentiometers.
inline constexpr uint32_t kReadPotentiometer = 0x900020c0;
inline constexpr uint32_t kWritePotentiometer = 0x900020c4;
inline constexpr uint32_t kReadExcitationTable = 0x900020c8;
inline constexpr uint32_t kWriteExcitationTable = 0x900020cc;
inline constexpr uint32_t kOpenAdjustment = 0x900020d0;
inline constexpr uint32_t kLevelsAdjusted = 0x900020d4;
inline constexpr uint32_t kCloseAdjustment = 0x900020d8;
inline constexpr uint32_t kReadConversionCounter = 0x900020dc;
inline constexpr uint32_t kOpenWorkerAdjustment = 0x900020e0;
inline constexpr uint32_t kStartWorkerAdjustment = 0x900020e4;
inline constexpr uint32_t kWorkerLevelsAdjusted = 0x900020e8;
inline constexpr uint32_t kWorkerPositionAdjusted = 0x900020ec;
// Primary line.
inline constexpr uint32_t kSetPrimaryLineTest = 0x90002100;
inline constexpr uint32_t kReadPrimaryLineStatus = 0x90002104;
inline constexpr uint32_t kRearmPrimaryLine = 0x90002108;
inline constexpr uint32_t kShortCircuitInterrupts = 0x9000210c;
// Digital I/O.
inline constexpr uint32_t kReadDigitalInputs = 0x90002140;
inline constexpr uint32_t kWriteDigitalOutputs = 0x90002144;
inline constexpr uint32_t kWriteOutputMemory = 0x90002148;
inline constexpr uint32_t kReadDigitalOutputs = 0x9000214c;
// Timer.
inline constexpr uint32_t kStartTimer = 0x90002180;
inline constexpr uint32_t kStopTimer = 0x90002184;
inline constexpr uint32_t kTriggerTimer = 0x90002188;
inline constexpr uint32_t kReadTimerStatus = 0x9000218c;
inline constexpr uint32_t kReadTimerValue = 0x90002190;
// Logic load channel.
inline constexpr uint32_t kLoadLogicCommand = 0x90002200;
inline constexpr uint32_t kLoadLogicWrite = 0x90002204;
inline constexpr uint32_t kLoadLogicRead = 0x90002208;
inline constexpr uint32_t kLoadLogicStatus = 0x9000220c;
}  // namespace req

inline constexpr RequestSpec kRequestTable[] = {
    {req::kOpenHandshake, 8, 0},
    {req::kBoardInformation, 0, 84},
    {req::kDriverVersion, 0, 4},
    {req::kFirmwareVersion, 0, 8},
    {req::kRegisterInterruptEvent, 8, 0},
    {req::kReadInterruptRecord, 0, 144},
    {req::kEepromWrite, 12, 12},
    {req::kEepromRead, 12, 12},
    {req::kRestartConfiguration, 1, 1},
    {req::kInitChannel, 5, 5},
    {req::kReadChannel, 4, 4},
    {req::kStartAutoRefresh, 48, 48},
    {req::kStartSequence, 56, 56},
    {req::kTriggerAcquisition, 1, 1},
    {req::kStopAcquisition, 1, 1},
    {req::kConvertTimeDivision, 2, 2},
    {req::kReadPotentiometer, 3, 3},
    {req::kWritePotentiometer, 3, 3},
    {req::kReadExcitationTable, 516, 516},
    {req::kWriteExcitationTable, 516, 516},
    {req::kOpenAdjustment, 16, 16},
    {req::kLevelsAdjusted, 1, 1},
    {req::kCloseAdjustment, 1, 1},
    {req::kReadConversionCounter, 4, 4},
    {req::kOpenWorkerAdjustment, 16, 16},
    {req::kStartWorkerAdjustment, 1, 1},
    {req::kWorkerLevelsAdjusted, 1, 1},
    {req::kWorkerPositionAdjusted, 1, 1},
    {req::kSetPrimaryLineTest, 2, 2},
    {req::kReadPrimaryLineStatus, 2, 2},
    {req::kRearmPrimaryLine, 1, 1},
    {req::kShortCircuitInterrupts, 2, 2},
    {req::kReadDigitalInputs, 2, 2},
    {req::kWriteDigitalOutputs, 3, 3},
    {req::kWriteOutputMemory, 2, 2},
    {req::kReadDigitalOutputs, 2, 2},
    {req::kStartTimer, 6, 6},
    {req::kStopTimer, 1, 1},
    {req::kTriggerTimer, 1, 1},
    {req::kReadTimerStatus, 6, 6},
    {req::kReadTimerValue, 4, 4},
    {req::kLoadLogicCommand, 8, 8},
    {req::kLoadLogicWrite, 8, 8},
    {req::kLoadLogicRead, 8, 8},
    {req::kLoadLogicStatus, 2, 2},
};

// The table entry of `code`, or nullptr for a code the board does not know.
constexpr const RequestSpec* FindRequest(uint32_t code) {
    for (const RequestSpec& spec : kRequestTable) {
        if (spec.code == code) return &spec;
    }
    return nullptr;
}

}  // namespace qmd
