// The potentiometers and the primary line with its short-circuit detection.
#include "board_requests.h"

#include "qmd5820_protocol/bytes.h"
#include "qmd5820_protocol/requests.h"

namespace qmdsim {

namespace bytes = qmd::bytes;
namespace req = qmd::req;

// Potentiometer requests: the number, and the value written or read.
uint8_t PotentiometerRequest(Board& board, bool write, uint8_t* r) {
    namespace layout = req::potentiometer;
    const uint8_t number = r[layout::kNumber];
    if (number >= kPotentiometerCount) return kStatusBadPotentiometer;
    if (write) {
        board.potentiometers[number] = r[layout::kValue];
    } else {
        r[layout::kValue] = board.potentiometers[number];
    }
    return kStatusOk;
}

uint8_t PrimaryLineRequest(Board& board, uint32_t code, uint8_t* r) {
    namespace layout = req::primary_line;
    PrimaryLine& l = board.line;
    switch (code) {
        case req::kSetPrimaryLineTest:
            if (r[layout::kSwitch] > 1) return kStatusBadLineSwitch;
            if (r[layout::kSwitch] == 1 && board.acquisition_running) {
                return kStatusAcquisitionRunning;
            }
            l.test_on = r[layout::kSwitch] == 1;
            if (l.test_on) ++l.tests_switched_on;
            return kStatusOk;
        case req::kReadPrimaryLineStatus:
            r[layout::kLineStatus] = board.LineStatus();
            return kStatusOk;
        case req::kRearmPrimaryLine:
            ++l.rearms;
            l.latched = l.persistent;
            return kStatusOk;
        default:  // req::kShortCircuitInterrupts
            if (r[layout::kSwitch] > 1) return kStatusBadLineSwitch;
            l.interrupts_enabled = r[layout::kSwitch] == 1;
            return kStatusOk;
    }
}

// Bit 0: the detection responds (test on, potentiometer 7 at or above the threshold);
// bit 1: a short circuit is latched.
uint8_t Board::LineStatus() const {
    namespace bits = req::primary_line;
    const bool responds = line.test_on && potentiometers[qmd::pot::kThreshold] >= line.threshold;
    return static_cast<uint8_t>((responds ? bits::kDetectionResponds : 0u) |
                                (line.latched ? bits::kShortCircuitLatched : 0u));
}

// A persistent short circuit stays until cleared, whatever else is injected meanwhile.
void Board::InjectShortCircuit(bool persistent) {
    line.latched = true;
    line.persistent = line.persistent || persistent;
    if (!line.interrupts_enabled) return;
    qmdsim_interrupt record{};
    record.info = QMDSIM_INTERRUPT_SHORT_CIRCUIT;
    record.value1 = LineStatus();
    interrupts.Queue(record);
}

}  // namespace qmdsim
