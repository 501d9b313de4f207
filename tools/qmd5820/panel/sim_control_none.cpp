// Without a simulated board (the production library): nothing to move.
#include "panel/sim_control.h"

namespace qmdpanel {

bool SimulatorPresent() { return false; }
void SimMove(uint8_t, uint8_t, double) {}
void SimChannel(uint8_t, uint8_t, double& position, double& range) {
    position = 0.0;
    range = 0.0;
}

void SimEnableFrontEnd(uint8_t) {}
double SimBoardZero(uint8_t, uint8_t) { return 0.0; }

void SimShortCircuit(uint8_t, bool, bool) {}
void SimFault(uint8_t, uint32_t, uint32_t, int, uint8_t) {}
bool SimResetState(std::string&) { return false; }

}  // namespace qmdpanel
