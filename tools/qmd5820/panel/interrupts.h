// The panel's interrupt routine: one for every board, counting each source (sequence,
// timer, short circuit) per board, installed when a page first needs interrupts and
// removed when the panel stops.
#ifndef QMD5820_PANEL_INTERRUPTS_H
#define QMD5820_PANEL_INTERRUPTS_H

#include <cstdint>

#include "panel/board_owner.h"

namespace qmdpanel {

struct InterruptCounts {
    uint64_t sequence = 0, timer = 0, short_circuit = 0;
    uint32_t last_timer_value = 0;     // expirations so far, as the driver counts them
    uint32_t last_sequence_value = 0;  // sequences so far
};

// Installs the routine on the open board of `state` (once); the library's code.
int16_t InstallRoutine(BoardState& state);
// Removes it when installed; the library's code (0 when none was installed).
int16_t RemoveRoutine(BoardState& state);
bool RoutineInstalled(uint8_t board);
InterruptCounts Counts(uint8_t board);

}  // namespace qmdpanel

#endif
