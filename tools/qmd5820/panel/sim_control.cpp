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

void SimShortCircuit(uint8_t board, bool on, bool persistent) {
    if (on) {
        qmdsim_inject_short_circuit(board, persistent ? 1 : 0);
    } else {
        qmdsim_clear_short_circuit(board);
    }
}

void SimFault(uint8_t board, uint32_t code, uint32_t nth, int kind, uint8_t status) {
    if (kind == 0) {
        qmdsim_fault_clear();
    } else {
        qmdsim_fault_request(board, code, nth, kind, status);
    }
}

bool SimResetState(std::string& where) {
    char path[4096] = {};
    qmdsim_state_path(path, sizeof path);
    where = path;
    return qmdsim_state_reset() == 0;
}

}  // namespace qmdpanel
