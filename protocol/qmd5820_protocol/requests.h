// Every driver request of the board: its code, its input and output sizes, and the byte
// offsets of the fields of its record. The library's transport checks each call against
// the table at compile time; the simulated board checks every request it receives against
// the same table and reads and answers the records at the same offsets.
//
// Where a request has both directions one record serves as input and output, with the same
// size both ways; byte 0 (kStatus) is 0 on input and carries the driver's status on output.
// Bytes not named below are 0 on input. Multi-byte fields are little-endian (bytes.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace qmd {

// What the board carries.
namespace board {
inline constexpr uint8_t kChannels = 16;        // transducer channels 0 to 15
inline constexpr uint8_t kPotentiometers = 32;  // digital potentiometers 0 to 31
}  // namespace board

// Potentiometers of each adjustment, by group (0: channels 0-7, 1: channels 8-15), and the
// one that sets the threshold of the primary line test.
namespace pot {
inline constexpr uint8_t kSymmetry[2] = {13, 14};
inline constexpr uint8_t kFirstLevel[2] = {1, 9};
inline constexpr uint8_t kSecondLevel[2] = {0, 8};
inline constexpr uint8_t kFirstPosition[2] = {7, 3};
inline constexpr uint8_t kSecondPosition[2] = {6, 2};
inline constexpr uint8_t kThreshold = 7;
}  // namespace pot

struct RequestSpec {
    uint32_t code;
    uint16_t in_size;
    uint16_t out_size;
    const char* name;  // in traces: "EepromRead"
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
    {req::kOpenHandshake, 8, 0, "OpenHandshake"},
    {req::kBoardInformation, 0, 84, "BoardInformation"},
    {req::kDriverVersion, 0, 4, "DriverVersion"},
    {req::kFirmwareVersion, 0, 8, "FirmwareVersion"},
    {req::kRegisterInterruptEvent, 8, 0, "RegisterInterruptEvent"},
    {req::kReadInterruptRecord, 0, 144, "ReadInterruptRecord"},
    {req::kEepromWrite, 12, 12, "EepromWrite"},
    {req::kEepromRead, 12, 12, "EepromRead"},
    {req::kRestartConfiguration, 1, 1, "RestartConfiguration"},
    {req::kInitChannel, 5, 5, "InitChannel"},
    {req::kReadChannel, 4, 4, "ReadChannel"},
    {req::kStartAutoRefresh, 48, 48, "StartAutoRefresh"},
    {req::kStartSequence, 56, 56, "StartSequence"},
    {req::kTriggerAcquisition, 1, 1, "TriggerAcquisition"},
    {req::kStopAcquisition, 1, 1, "StopAcquisition"},
    {req::kConvertTimeDivision, 2, 2, "ConvertTimeDivision"},
    {req::kReadPotentiometer, 3, 3, "ReadPotentiometer"},
    {req::kWritePotentiometer, 3, 3, "WritePotentiometer"},
    {req::kReadExcitationTable, 516, 516, "ReadExcitationTable"},
    {req::kWriteExcitationTable, 516, 516, "WriteExcitationTable"},
    {req::kOpenAdjustment, 16, 16, "OpenAdjustment"},
    {req::kLevelsAdjusted, 1, 1, "LevelsAdjusted"},
    {req::kCloseAdjustment, 1, 1, "CloseAdjustment"},
    {req::kReadConversionCounter, 4, 4, "ReadConversionCounter"},
    {req::kOpenWorkerAdjustment, 16, 16, "OpenWorkerAdjustment"},
    {req::kStartWorkerAdjustment, 1, 1, "StartWorkerAdjustment"},
    {req::kWorkerLevelsAdjusted, 1, 1, "WorkerLevelsAdjusted"},
    {req::kWorkerPositionAdjusted, 1, 1, "WorkerPositionAdjusted"},
    {req::kSetPrimaryLineTest, 2, 2, "SetPrimaryLineTest"},
    {req::kReadPrimaryLineStatus, 2, 2, "ReadPrimaryLineStatus"},
    {req::kRearmPrimaryLine, 1, 1, "RearmPrimaryLine"},
    {req::kShortCircuitInterrupts, 2, 2, "ShortCircuitInterrupts"},
    {req::kReadDigitalInputs, 2, 2, "ReadDigitalInputs"},
    {req::kWriteDigitalOutputs, 3, 3, "WriteDigitalOutputs"},
    {req::kWriteOutputMemory, 2, 2, "WriteOutputMemory"},
    {req::kReadDigitalOutputs, 2, 2, "ReadDigitalOutputs"},
    {req::kStartTimer, 6, 6, "StartTimer"},
    {req::kStopTimer, 1, 1, "StopTimer"},
    {req::kTriggerTimer, 1, 1, "TriggerTimer"},
    {req::kReadTimerStatus, 6, 6, "ReadTimerStatus"},
    {req::kReadTimerValue, 4, 4, "ReadTimerValue"},
    {req::kLoadLogicCommand, 8, 8, "LoadLogicCommand"},
    {req::kLoadLogicWrite, 8, 8, "LoadLogicWrite"},
    {req::kLoadLogicRead, 8, 8, "LoadLogicRead"},
    {req::kLoadLogicStatus, 2, 2, "LoadLogicStatus"},
};

// The table entry of `code`, or nullptr for a code the board does not know.
constexpr const RequestSpec* FindRequest(uint32_t code) {
    for (const RequestSpec& spec : kRequestTable) {
        if (spec.code == code) return &spec;
    }
    return nullptr;
}

namespace detail {
constexpr bool EachCodeOnce() {
    for (const RequestSpec& spec : kRequestTable) {
        if (FindRequest(spec.code) != &spec) return false;
    }
    return true;
}
}  // namespace detail
static_assert(detail::EachCodeOnce(), "a request code listed twice");

// Size of the record of a request of the table: the larger of its input and output.
constexpr std::size_t RecordSize(uint32_t code) {
    const RequestSpec* spec = FindRequest(code);
    return spec->in_size > spec->out_size ? spec->in_size : spec->out_size;
}

// The largest record of any request (a buffer of this size holds every record).
inline constexpr std::size_t kLargestRecord = [] {
    std::size_t largest = 0;
    for (const RequestSpec& spec : kRequestTable) {
        largest = spec.in_size > largest ? spec.in_size : largest;
        largest = spec.out_size > largest ? spec.out_size : largest;
    }
    return largest;
}();

// ---- record layouts -------------------------------------------------------------------------

namespace req {

// Byte 0 of a two-way record: 0 on input, the driver's status on output (0 = success).
inline constexpr std::size_t kStatus = 0;

// Open handshake (input only): the 64-bit handle the open returned.
namespace handshake {
inline constexpr std::size_t kHandle = 0;
}

// Board information (output only, 84 bytes): seven 32-bit values, one 8-bit value and the
// zero-terminated identifier text.
namespace board_information {
inline constexpr std::size_t kValues = 0;  // value i at kValues + 4i
inline constexpr std::size_t kValueCount = 7;
inline constexpr std::size_t kValue8 = 28;
inline constexpr std::size_t kIdentifier = 32;
inline constexpr std::size_t kIdentifierBytes = 52;
}  // namespace board_information

// Driver and firmware version (output only): the 32-bit version first (the firmware
// record's second 32-bit value is not used).
namespace version {
inline constexpr std::size_t kValue = 0;
}

// Interrupt event registration (input only): the event's 64-bit handle value.
namespace interrupt_event {
inline constexpr std::size_t kEvent = 0;
}

// Interrupt record (output only, 144 bytes).
namespace interrupt_record {
inline constexpr std::size_t kValue1 = 0;
inline constexpr std::size_t kValue2 = 4;
inline constexpr std::size_t kData = 8;  // value i at kData + 4i
inline constexpr std::size_t kDataValues = 32;
inline constexpr std::size_t kDataCount = 136;
inline constexpr std::size_t kInfo = 140;
inline constexpr std::size_t kEmpty = 141;  // not 0: no interrupt pending, nothing else carried
}  // namespace interrupt_record

// EEPROM word read and write (12 bytes): the byte address (word address x 2) and the value
// (the word zero-extended to 32 bits; for a read 0 in, the word out in the low 16 bits).
namespace eeprom_word {
inline constexpr std::size_t kByteAddress = 4;
inline constexpr std::size_t kValue = 8;
// The driver is given byte addresses (0 to 131070, carried in 32 bits).
constexpr uint32_t ByteAddress(uint16_t word_address) { return uint32_t{word_address} * 2u; }
}  // namespace eeprom_word

// Channel initialisation (5 bytes).
namespace init_channel {
inline constexpr std::size_t kChannel = 1;
inline constexpr std::size_t kSelectionType = 2;
inline constexpr std::size_t kDivider1 = 3;
inline constexpr std::size_t kDivider2 = 4;
}  // namespace init_channel

// Channel read (4 bytes): the channel in, the 16-bit code out. The code (also in the
// auto-refresh area and the sequence data) is sign and magnitude: bit 15 set below zero,
// bits 0 to 14 the magnitude, full scale at the transducer's range.
namespace read_channel {
inline constexpr std::size_t kChannel = 1;
inline constexpr std::size_t kCode = 2;
inline constexpr uint16_t kSignBit = 0x8000;
inline constexpr uint16_t kMagnitudeMask = 0x7FFF;
inline constexpr double kFullScale = 32767.0;
}  // namespace read_channel

// Both acquisition starts list up to 16 channels and their transducer indexes.
inline constexpr std::size_t kListEntries = 16;

// Auto-refresh start (48 bytes): the count and the two lists in, the address of the
// auto-refresh area in the calling process (64 bits) out.
namespace auto_refresh {
inline constexpr std::size_t kCount = 1;
inline constexpr std::size_t kChannels = 2;
inline constexpr std::size_t kIndexes = 18;
inline constexpr std::size_t kArea = 40;
}  // namespace auto_refresh

// Sequence start (56 bytes).
namespace sequence {
inline constexpr std::size_t kPerInterrupt = 2;  // sequences before an interrupt, 16 bits
inline constexpr std::size_t kParameter1 = 4;
inline constexpr std::size_t kSize = 8;
inline constexpr std::size_t kChannels = 9;
inline constexpr std::size_t kIndexes = 25;
inline constexpr std::size_t kParameter2 = 44;
inline constexpr std::size_t kSoftTrigger = 48;
inline constexpr std::size_t kExternTrigger = 49;
inline constexpr std::size_t kParameter3 = 52;
}  // namespace sequence

// Conversion time division factor (2 bytes).
namespace division {
inline constexpr std::size_t kFactor = 1;
}

// Potentiometer read and write (3 bytes): the number in, the value in (write) or out (read).
namespace potentiometer {
inline constexpr std::size_t kNumber = 1;
inline constexpr std::size_t kValue = 2;
}  // namespace potentiometer

// Excitation table read and write (516 bytes): the point count and arrays A and B of 64
// 32-bit samples each (point i of A at kA + 4i, of B at kB + 4i).
namespace excitation_table {
inline constexpr std::size_t kCount = 1;
inline constexpr std::size_t kA = 4;
inline constexpr std::size_t kB = 260;
inline constexpr std::size_t kPoints = 64;
}  // namespace excitation_table

// Interactive and worker adjustment open (16 bytes): the channel and selection type in,
// the address of the two live values (64 bits) out.
namespace adjustment {
inline constexpr std::size_t kChannel = 1;
inline constexpr std::size_t kSelectionType = 2;
inline constexpr std::size_t kLiveValues = 8;
}  // namespace adjustment

// Conversion counter read (4 bytes): the 16-bit counter out.
namespace conversion_counter {
inline constexpr std::size_t kUnused = 1;
inline constexpr std::size_t kCounter = 2;
}  // namespace conversion_counter

// Primary line requests (2 bytes): the test or interrupt switch in (0 or 1), or the line
// status byte out.
namespace primary_line {
inline constexpr std::size_t kSwitch = 1;
inline constexpr std::size_t kLineStatus = 1;
// Bits of the line status byte.
inline constexpr uint8_t kDetectionResponds = 0x01;
inline constexpr uint8_t kShortCircuitLatched = 0x02;
}  // namespace primary_line

// Digital I/O: the port byte of the two port reads (out), the output mask and its switch
// of the output write (in; 1 on, 0 off), the switch of the output memory (in).
namespace digital_io {
inline constexpr std::size_t kPort = 1;
inline constexpr std::size_t kMask = 1;
inline constexpr std::size_t kOutputSwitch = 2;
inline constexpr std::size_t kMemorySwitch = 1;
}  // namespace digital_io

// Timer start (6 bytes).
namespace timer_start {
inline constexpr std::size_t kTimeBase = 1;
inline constexpr std::size_t kReload = 2;  // 16 bits
inline constexpr std::size_t kInterrupts = 4;
}  // namespace timer_start

// Timer status (6 bytes, out): two status bytes and a 16-bit status word.
namespace timer_status {
inline constexpr std::size_t kByte1 = 1;
inline constexpr std::size_t kByte2 = 2;
inline constexpr std::size_t kUnused = 3;
inline constexpr std::size_t kWord = 4;
}  // namespace timer_status

// Timer value (4 bytes, out): the 16-bit count.
namespace timer_value {
inline constexpr std::size_t kUnused = 1;
inline constexpr std::size_t kCount = 2;
}  // namespace timer_value

// Logic load: command, write and read carry a 32-bit word (8 bytes); the status request
// answers the load status byte (2 bytes).
namespace logic_load {
inline constexpr std::size_t kWord = 4;
inline constexpr std::size_t kLoadStatus = 1;
}  // namespace logic_load

}  // namespace req

// Each layout ends where its record ends.
static_assert(req::board_information::kIdentifier + req::board_information::kIdentifierBytes ==
              RecordSize(req::kBoardInformation));
static_assert(req::interrupt_record::kData + 4 * req::interrupt_record::kDataValues ==
              req::interrupt_record::kDataCount);
static_assert(req::eeprom_word::kValue + 4 == RecordSize(req::kEepromRead));
static_assert(req::auto_refresh::kArea + 8 == RecordSize(req::kStartAutoRefresh));
static_assert(req::sequence::kParameter3 + 4 == RecordSize(req::kStartSequence));
static_assert(req::excitation_table::kB + 4 * req::excitation_table::kPoints ==
              RecordSize(req::kWriteExcitationTable));
static_assert(req::adjustment::kLiveValues + 8 == RecordSize(req::kOpenAdjustment));
static_assert(req::timer_status::kWord + 2 == RecordSize(req::kReadTimerStatus));
static_assert(req::logic_load::kWord + 4 == RecordSize(req::kLoadLogicRead));

}  // namespace qmd
