// Digital inputs and outputs, and the output memory.
#include "board_requests.h"

#include "qmd5820_protocol/requests.h"

namespace qmdsim {

namespace req = qmd::req;

uint8_t DigitalIoRequest(Board& board, uint32_t code, uint8_t* r) {
    namespace dio = req::digital_io;
    switch (code) {
        case req::kReadDigitalInputs:
            r[dio::kPort] = board.inputs;
            return kStatusOk;
        case req::kWriteDigitalOutputs: {
            const uint8_t mask = r[dio::kMask];
            const uint8_t on = r[dio::kOutputSwitch];
            if (on > 1) return kStatusBadSwitch;
            board.outputs = on == 1 ? static_cast<uint8_t>(board.outputs | mask)
                                    : static_cast<uint8_t>(board.outputs & ~mask);
            return kStatusOk;
        }
        case req::kWriteOutputMemory:
            if (r[dio::kMemorySwitch] > 1) return kStatusBadSwitch;
            board.output_memory = r[dio::kMemorySwitch];
            return kStatusOk;
        default:  // req::kReadDigitalOutputs
            r[dio::kPort] = board.outputs;
            return kStatusOk;
    }
}

}  // namespace qmdsim
