// What the tool does with the simulated board when the library it runs on has one (the
// build chooses: simulator.cpp or no_simulator.cpp). Without it every hook does nothing and
// says so, and the tool asks the user where it would move a simulated transducer itself.
#ifndef QMD5820_TOOL_SIMULATOR_H
#define QMD5820_TOOL_SIMULATOR_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "command.h"
#include "common/numbers.h"

namespace qmdtool {

// Whether the library runs on the simulated board (set by the build).
extern const bool kSimulator;

// Switches the library's request trace to stderr.
void TraceRequests();
// Applies a setting given before the command; false (with a message) for a board that the
// simulation does not have.
bool ApplySetting(const SimulatedSetting& setting);

// The simulated boards' state file (the one attached, else the one the library would
// attach) and its lock file "<state>.lock": files the tool never writes over. Empty
// without a simulator or without a state file.
std::vector<std::string> SimulatorStateFiles();
// Saves what the simulated boards hold to their state file now; false with `error` set
// when the save failed (true without a simulator or a state file).
bool SaveSimulatorState(std::string& error);

// Takes the simulated boards' state afresh from their state file (what other processes
// saved since this one started); nothing without a simulator or a state file.
void RefreshSimulatorState();

// Puts the simulated transducer of `channel` at `position`; false without a simulator.
bool MoveTransducer(uint8_t board, uint8_t channel, double position);
// Where the channel's transducer reads zero after a model 1 calibration (the board's zero
// of the group); 0 without a simulator.
double BoardZeroPosition(uint8_t board, uint8_t channel);
// The simulated board with its front end's errors (calibrations have something to correct).
void EnableFrontEnd(uint8_t board);

// --moving on the simulated board: each channel swings around the position it had when
// the object was made, by a quarter of its transducer's range, once every 10 seconds.
class Drift {
public:
    Drift(bool on, uint8_t board, const std::vector<ChannelUse>& uses);
    void Step() const;

private:
    struct Channel {
        uint8_t channel;
        double centre;
        double amplitude;
    };
    bool on_;
    uint8_t board_;
    std::chrono::steady_clock::time_point start_;
    std::vector<Channel> channels_;
};

}  // namespace qmdtool

#endif
