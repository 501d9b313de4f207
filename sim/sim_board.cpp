// The simulated board's side of every request.
#include "sim_board.h"

#include <cstdio>
#include <cstring>

#include "core/bytes.h"
#include "core/requests.h"

namespace qmdsim {
namespace {

namespace bytes = qmd::bytes;

// The request codes and sizes are the board's own table (core/requests.h). The codes of
// interrupts, channels, acquisition, calibration, the primary line and the configuration
// restart are accepted with their sizes and, until the board models them, answer status 0
// with an otherwise zero record.
namespace req = qmd::req;

constexpr uint32_t kBoardInformationBytes = 84;
constexpr uint32_t kIdentifierOffset = 32;
constexpr uint32_t kLastEepromByteAddress = 2 * (QMDSIM_EEPROM_WORDS - 1);  // 131070

constexpr uint64_t kTickUs[3] = {1, 1000, 1000000};  // time bases 0, 1, 2

// Logic load commands.
constexpr uint32_t kLogicBegin = 1;
constexpr uint32_t kLogicEnd = 2;
constexpr uint32_t kLogicRewind = 3;

void BoardInformation(const Board& board, uint8_t* r) {
    std::memset(r, 0, kBoardInformationBytes);
    for (uint32_t i = 0; i < 7; ++i) bytes::PutU32(r + 4 * i, board.config.info_values[i]);
    bytes::PutU8(r + 28, board.config.info_value8);
    std::memcpy(r + kIdentifierOffset, board.config.identifier, QMDSIM_IDENTIFIER_BYTES);
}

// EEPROM word requests: byte 0 status, bytes 4-7 byte address, bytes 8-11 value.
uint8_t EepromRequest(Board& board, bool write, uint8_t* r) {
    const uint32_t address = bytes::GetU32(r + 4);
    if ((address & 1u) != 0 || address > kLastEepromByteAddress) return kStatusBadEepromAddress;
    uint16_t& word = board.eeprom[address / 2];
    if (write) {
        word = static_cast<uint16_t>(bytes::GetU32(r + 8));
    } else {
        bytes::PutU32(r + 8, word);
    }
    return kStatusOk;
}

uint8_t TimerRequest(Board& board, uint32_t code, uint8_t* r, uint64_t now_us) {
    Timer& t = board.timer;
    switch (code) {
        case req::kStartTimer: {
            const uint8_t base = r[1];
            const uint8_t interrupts = r[4];
            if (base > 2) return kStatusBadTimeBase;
            if (interrupts > 1) return kStatusBadInterruptSwitch;
            t.Start(base, bytes::GetU16(r + 2), interrupts == 1, now_us);
            return kStatusOk;
        }
        case req::kStopTimer:
            t.Stop(now_us);
            return kStatusOk;
        case req::kTriggerTimer:
            t.Trigger(now_us);
            return kStatusOk;
        case req::kReadTimerStatus:
            r[1] = t.running ? 1 : 0;
            r[2] = t.interrupt_enabled ? 1 : 0;
            r[3] = 0;
            bytes::PutU16(r + 4, t.Expirations(now_us));
            return kStatusOk;
        default:  // req::kReadTimerValue
            r[1] = 0;
            bytes::PutU16(r + 2, t.Count(now_us));
            return kStatusOk;
    }
}

uint8_t LogicRequest(Board& board, uint32_t code, uint8_t* r) {
    LogicLoad& l = board.logic;
    switch (code) {
        case req::kLoadLogicCommand: {
            const uint32_t command = bytes::GetU32(r + 4);
            l.last_command = command;
            if (command == kLogicBegin) {
                l.words.clear();
                l.read_position = 0;
                l.open = true;
                l.completed = false;
            } else if (command == kLogicEnd) {
                if (l.open) l.completed = true;
                l.open = false;
            } else if (command == kLogicRewind) {
                l.read_position = 0;
            } else {
                return kStatusBadLogicCommand;
            }
            return kStatusOk;
        }
        case req::kLoadLogicWrite:
            if (!l.open) return kStatusLogicNotOpen;
            if (l.words.size() >= kLogicCapacity) return kStatusLogicFull;
            l.words.push_back(bytes::GetU32(r + 4));
            return kStatusOk;
        case req::kLoadLogicRead:
            if (l.read_position >= l.words.size()) return kStatusLogicEmpty;
            bytes::PutU32(r + 4, l.words[l.read_position++]);
            return kStatusOk;
        default:  // req::kLoadLogicStatus
            r[1] = l.Status();
            return kStatusOk;
    }
}

}  // namespace

// ---- timer ----------------------------------------------------------------------------------

uint64_t Timer::Ticks(uint64_t now_us) const {
    return now_us > origin_us ? (now_us - origin_us) / kTickUs[time_base] : 0;
}

uint16_t Timer::Count(uint64_t now_us) const {
    if (!running) return held_count;
    const uint64_t period = uint64_t{reload} + 1;
    return static_cast<uint16_t>(reload - Ticks(now_us) % period);
}

uint16_t Timer::Expirations(uint64_t now_us) const {
    if (!running) return held_expirations;
    const uint64_t period = uint64_t{reload} + 1;
    // Timer interrupts: when interrupt_enabled, each of these expirations is one timer
    // interrupt for the board's interrupt records (not modelled yet).
    return static_cast<uint16_t>(expirations_base + Ticks(now_us) / period);
}

void Timer::Start(uint8_t base, uint16_t reload_value, bool interrupts, uint64_t now_us) {
    running = true;
    time_base = base;
    reload = reload_value;
    interrupt_enabled = interrupts;
    origin_us = now_us;
    expirations_base = 0;
}

void Timer::Stop(uint64_t now_us) {
    if (!running) return;
    held_count = Count(now_us);
    held_expirations = Expirations(now_us);
    running = false;
}

// Reloads the count; a running timer keeps running from the reload value.
void Timer::Trigger(uint64_t now_us) {
    if (running) {
        expirations_base = Expirations(now_us);
        origin_us = now_us;
    } else {
        held_count = reload;
    }
}

// ---- logic load -----------------------------------------------------------------------------

uint8_t LogicLoad::Status() const {
    return static_cast<uint8_t>((open ? 1u : 0u) | (completed ? 2u : 0u) |
                                (read_position >= words.size() ? 4u : 0u));
}

// ---- board ----------------------------------------------------------------------------------

Board::Board(const qmdsim_board_config& board_config)
    : config(board_config), eeprom(QMDSIM_EEPROM_WORDS) {
    BuildFactoryImage(eeprom.data(), config.serial_number, config.hardware_revision);
}

void Execute(Board& board, uint32_t code, uint8_t* r, uint32_t in_size, uint32_t out_size,
             uint64_t now_us) {
    uint8_t status = kStatusOk;
    switch (code) {
        case req::kOpenHandshake:
            board.last_handshake = bytes::GetU64(r);
            return;
        case req::kBoardInformation:
            BoardInformation(board, r);
            return;
        case req::kDriverVersion:
            bytes::PutU32(r, board.config.driver_version);
            return;
        case req::kFirmwareVersion:
            bytes::PutU32(r, board.config.firmware_version);
            bytes::PutU32(r + 4, 0);
            return;
        case req::kEepromWrite:
        case req::kEepromRead:
            status = EepromRequest(board, code == req::kEepromWrite, r);
            break;
        case req::kReadDigitalInputs:
            r[1] = board.inputs;
            break;
        case req::kWriteDigitalOutputs:
            if (r[2] > 1) {
                status = kStatusBadSwitch;
            } else if (r[2] == 1) {
                board.outputs = static_cast<uint8_t>(board.outputs | r[1]);
            } else {
                board.outputs = static_cast<uint8_t>(board.outputs & ~r[1]);
            }
            break;
        case req::kWriteOutputMemory:
            if (r[1] > 1) {
                status = kStatusBadSwitch;
            } else {
                board.output_memory = r[1];
            }
            break;
        case req::kReadDigitalOutputs:
            r[1] = board.outputs;
            break;
        case req::kStartTimer:
        case req::kStopTimer:
        case req::kTriggerTimer:
        case req::kReadTimerStatus:
        case req::kReadTimerValue:
            status = TimerRequest(board, code, r, now_us);
            break;
        case req::kLoadLogicCommand:
        case req::kLoadLogicWrite:
        case req::kLoadLogicRead:
        case req::kLoadLogicStatus:
            status = LogicRequest(board, code, r);
            break;
        default:
            // Not modelled yet: a zero record, status 0.
            std::memset(r, 0, in_size > out_size ? in_size : out_size);
            return;
    }
    if (out_size > 0) r[0] = status;
}

qmdsim_board_config DemoBoardConfig(uint32_t index) {
    qmdsim_board_config c{};
    std::snprintf(c.identifier, sizeof c.identifier, "QMD5820-DEMO-%u", index);
    // Values of a PCI board as the driver reports them: device and vendor identity,
    // bus position, memory and port windows, interrupt line.
    c.info_values[0] = 0x58201A2Bu;
    c.info_values[1] = 0x00000001u + index;           // bus number
    c.info_values[2] = 0x00000008u + (index << 3);     // device number
    c.info_values[3] = 0xF7E00000u - (index << 20);    // memory window
    c.info_values[4] = 0x00001000u;                    // memory window size
    c.info_values[5] = 0x0000E000u + (index << 8);     // port window
    c.info_values[6] = 0x00000080u;                    // port window size
    c.info_value8 = static_cast<uint8_t>(16 + index);  // interrupt line
    c.driver_version = 0x00030002u;
    c.firmware_version = 0x00010007u;
    c.serial_number = 26040001u + index;
    c.hardware_revision = (index % 2 == 0) ? 1 : 0;  // B, A, B, ...
    return c;
}

}  // namespace qmdsim
