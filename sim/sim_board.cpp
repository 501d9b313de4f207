// The simulated board's side of every request: the board, its pump, and the dispatch of
// each request to its subsystem (board_*.cpp).
#include "sim_board.h"

#include <cstdio>
#include <cstring>

#include "board_requests.h"
#include "qmd5820_protocol/bytes.h"
#include "qmd5820_protocol/eeprom_map.h"
#include "qmd5820_protocol/requests.h"

namespace qmdsim {
namespace {

namespace bytes = qmd::bytes;

// The request codes, sizes and record layouts are the board's own table
// (qmd5820_protocol/requests.h). The calibration adjustments and excitation tables are the
// front end's (sim_frontend.cpp).
namespace req = qmd::req;
namespace ee = qmd::ee;

static_assert(QMDSIM_EEPROM_WORDS == ee::kWords);
static_assert(QMDSIM_IDENTIFIER_BYTES == req::board_information::kIdentifierBytes);

constexpr uint8_t kMinDivisionFactor = 5;

void BoardInformation(const Board& board, uint8_t* r) {
    namespace info = req::board_information;
    std::memset(r, 0, qmd::RecordSize(req::kBoardInformation));
    for (uint32_t i = 0; i < info::kValueCount; ++i) {
        bytes::PutU32(r + info::kValues + 4 * i, board.config.info_values[i]);
    }
    bytes::PutU8(r + info::kValue8, board.config.info_value8);
    std::memcpy(r + info::kIdentifier, board.config.identifier, info::kIdentifierBytes);
}

}  // namespace

Board::Board(const qmdsim_board_config& board_config)
    : config(board_config), eeprom(QMDSIM_EEPROM_WORDS) {
    BuildFactoryImage(eeprom.data(), config.serial_number, config.hardware_revision);
    potentiometers.fill(kPotentiometerDefault);
}

// Within one pump the timer's records are queued before the sequence records.
void Board::Pump(uint64_t now_us) {
    PumpTimer(now_us);
    PumpSequence(now_us);
    RefreshAutoArea();
    frontend.Pump(*this, now_us);
}

bool Board::TimeDriven() const {
    return (timer.running && timer.interrupt_enabled) ||
           (acquisition.mode == kModeSequence && acquisition.producing) || frontend.Converting();
}

void Execute(Board& board, uint32_t code, uint8_t* r, uint32_t in_size, uint32_t out_size,
             uint64_t now_us) {
    uint8_t status = kStatusOk;
    switch (code) {
        case req::kOpenHandshake:
            board.last_handshake = bytes::GetU64(r + req::handshake::kHandle);
            return;
        case req::kBoardInformation:
            BoardInformation(board, r);
            return;
        case req::kDriverVersion:
            bytes::PutU32(r + req::version::kValue, board.config.driver_version);
            return;
        case req::kFirmwareVersion:
            bytes::PutU32(r + req::version::kValue, board.config.firmware_version);
            bytes::PutU32(r + req::version::kValue + 4, 0);
            return;
        case req::kRegisterInterruptEvent:
            board.interrupts.event = bytes::GetU64(r + req::interrupt_event::kEvent);
            // The event is set while the queue is not empty, also for records that came
            // before it was known.
            if (!board.interrupts.queue.empty()) board.interrupts.signal_pending = true;
            return;
        case req::kReadInterruptRecord:
            board.interrupts.ReadRecord(r);
            return;
        case req::kEepromWrite:
        case req::kEepromRead:
            status = EepromRequest(board, code == req::kEepromWrite, r);
            break;
        case req::kRestartConfiguration:
            ++board.restarts;
            break;
        case req::kInitChannel:
            status = InitChannel(board, r);
            break;
        case req::kReadChannel:
            status = ReadChannel(board, r);
            break;
        case req::kStartAutoRefresh:
            status = StartAutoRefresh(board, r);
            break;
        case req::kStartSequence:
            status = StartSequence(board, r, now_us);
            break;
        case req::kTriggerAcquisition:
            TriggerAcquisition(board, now_us);
            break;
        case req::kStopAcquisition:
            board.StopAcquisition();
            break;
        case req::kConvertTimeDivision:
            if (r[req::division::kFactor] < kMinDivisionFactor) {
                status = kStatusBadDivisionFactor;
            } else {
                board.division_factor = r[req::division::kFactor];
            }
            break;
        case req::kReadPotentiometer:
        case req::kWritePotentiometer:
            status = PotentiometerRequest(board, code == req::kWritePotentiometer, r);
            break;
        case req::kSetPrimaryLineTest:
        case req::kReadPrimaryLineStatus:
        case req::kRearmPrimaryLine:
        case req::kShortCircuitInterrupts:
            status = PrimaryLineRequest(board, code, r);
            break;
        case req::kReadExcitationTable:
        case req::kWriteExcitationTable:
        case req::kOpenAdjustment:
        case req::kLevelsAdjusted:
        case req::kCloseAdjustment:
        case req::kReadConversionCounter:
        case req::kOpenWorkerAdjustment:
        case req::kStartWorkerAdjustment:
        case req::kWorkerLevelsAdjusted:
        case req::kWorkerPositionAdjusted:
            status = board.frontend.Execute(board, code, r, now_us);
            break;
        case req::kReadDigitalInputs:
        case req::kWriteDigitalOutputs:
        case req::kWriteOutputMemory:
        case req::kReadDigitalOutputs:
            status = DigitalIoRequest(board, code, r);
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
            // Every code of the request table is handled above.
            std::memset(r, 0, in_size > out_size ? in_size : out_size);
            return;
    }
    if (out_size > 0) r[req::kStatus] = status;
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
