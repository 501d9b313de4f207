// The simulated board's hooks of the panel (see sim_control.h).
#include "panel/sim_control.h"

#include "qmd5820sim.h"

namespace qmdpanel {

bool SimulatorPresent() { return true; }

void SimMove(uint8_t board, uint8_t channel, double position) {
    qmdsim_set_position(board, channel, position);
}

void SimChannel(uint8_t board, uint8_t channel, double& position, double& range) {
    qmdsim_channel_state state{};
    qmdsim_channel(board, channel, &state);
    position = state.position;
    range = state.range;
}

void SimEnableFrontEnd(uint8_t board) { qmdsim_frontend_enable(board, 1); }

double SimBoardZero(uint8_t board, uint8_t channel) {
    return qmdsim_frontend_zero_position(board, channel);
}

}  // namespace qmdpanel
