// Transducer channels: initialisation, reads, and the code a position gives.
#include "board_requests.h"

#include <algorithm>
#include <cmath>

#include "qmd5820_protocol/bytes.h"
#include "qmd5820_protocol/eeprom_map.h"
#include "qmd5820_protocol/requests.h"

namespace qmdsim {

namespace bytes = qmd::bytes;
namespace req = qmd::req;
namespace rec = qmd::rec;

// Channel initialisation: the channel, the selection type and the dividers. A failed
// initialisation leaves the channel as it was.
uint8_t InitChannel(Board& board, const uint8_t* r) {
    namespace init = req::init_channel;
    if (board.acquisition_running) return kStatusAcquisitionRunning;
    if (r[init::kChannel] >= kChannelCount) return kStatusBadChannel;
    // The range of the first record of the selection type.
    uint8_t record[kTransducerRecordBytes];
    if (!FindTransducerRecord(board.eeprom, r[init::kSelectionType], record)) {
        return kStatusNoTransducer;
    }
    Channel& c = board.channels[r[init::kChannel]];
    c.initialised = true;
    c.selection_type = r[init::kSelectionType];
    c.divider1 = r[init::kDivider1];
    c.divider2 = r[init::kDivider2];
    c.range = bytes::GetF64(record + rec::kRange);
    return kStatusOk;
}

// Channel read: the channel in, the code out (written only on success).
uint8_t ReadChannel(const Board& board, uint8_t* r) {
    namespace read = req::read_channel;
    if (board.acquisition_running) return kStatusAcquisitionRunning;
    if (r[read::kChannel] >= kChannelCount) return kStatusBadChannel;
    const Channel& c = board.channels[r[read::kChannel]];
    if (!c.initialised) return kStatusNotInitialised;
    bytes::PutU16(r + read::kCode, MeasuredCode(board, r[read::kChannel]));
    return kStatusOk;
}

// Full scale (magnitude 32767) at the range; bit 15 set for a position below zero, so a
// negative position too small to give a magnitude answers 0x8000 while -0.0 answers 0. A
// range that is not above zero (or not a number) and a position that is not a number give 0.
uint16_t Channel::Code() const {
    namespace code = req::read_channel;
    constexpr double kFullScale = code::kFullScale;
    if (!(range > 0.0) || std::isnan(position)) return 0;
    const double scaled = std::fabs(position) / range * kFullScale;
    if (std::isnan(scaled)) return 0;  // an infinite position over an infinite range
    const auto magnitude = static_cast<uint16_t>(std::min(std::round(scaled), kFullScale));
    return position < 0.0 ? static_cast<uint16_t>(magnitude | code::kSignBit) : magnitude;
}

}  // namespace qmdsim
