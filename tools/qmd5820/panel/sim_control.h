// What the panel does with the simulated board when the library runs on one
// (sim_control.cpp); without it (sim_control_none.cpp) the simulated board's page is absent
// and every hook does nothing.
#ifndef QMD5820_PANEL_SIM_CONTROL_H
#define QMD5820_PANEL_SIM_CONTROL_H

#include <cstdint>
#include <string>

namespace qmdpanel {

bool SimulatorPresent();
// Puts the simulated transducer of `channel` at `position` (metric unit).
void SimMove(uint8_t board, uint8_t channel, double position);
// The position set last and the range of the channel's transducer type.
void SimChannel(uint8_t board, uint8_t channel, double& position, double& range);

// The simulated board's front end with its errors (calibration has something to correct).
void SimEnableFrontEnd(uint8_t board);
// Where the channel's transducer reads zero after a model 1 calibration; 0 without a
// simulated board.
double SimBoardZero(uint8_t board, uint8_t channel);

// A short circuit on the primary line (persistent: a rearm does not clear it); off clears it.
void SimShortCircuit(uint8_t board, bool on, bool persistent);
// Fails the `nth` request (0: every one) of `code` (0: any) on the board: kind 1 the call
// fails, 2 the driver answers `status`, 3 a power cut; kind 0 removes every fault.
void SimFault(uint8_t board, uint32_t code, uint32_t nth, int kind, uint8_t status);
// The state file back to the factory state; false when no state file is kept or it cannot
// be removed.
bool SimResetState(std::string& where);

}  // namespace qmdpanel

#endif
