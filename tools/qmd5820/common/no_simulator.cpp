// The simulated board's hooks (see simulator.h) for a library without it (the production
// DLL on the board's driver): nothing to simulate.
#include "common/simulator.h"

namespace qmdtool {

const bool kSimulator = false;

void TraceRequests() {}
bool ApplySetting(const SimulatedSetting&) { return false; }
bool MoveTransducer(uint8_t, uint8_t, double) { return false; }
double BoardZeroPosition(uint8_t, uint8_t) { return 0.0; }
void EnableFrontEnd(uint8_t) {}
std::vector<std::string> SimulatorStateFiles() { return {}; }
bool SaveSimulatorState(std::string&) { return true; }
void RefreshSimulatorState() {}

Drift::Drift(bool, uint8_t board, const std::vector<ChannelUse>&)
    : on_(false), board_(board), start_(std::chrono::steady_clock::now()) {}
void Drift::Step() const {}

}  // namespace qmdtool
