// The simulated board's hooks (see simulator.h), for a library that runs on it.
#include "common/simulator.h"

#include <cmath>
#include <cstdio>

#include "qmd5820_backend.h"
#include "qmd5820sim.h"

namespace qmdtool {

const bool kSimulator = true;

void TraceRequests() { qmd5820_set_trace(stderr); }

bool ApplySetting(const SimulatedSetting& setting) {
    static constexpr const char* kOptions[] = {"--position", "--short-circuit",
                                               "--sequence-period", "--virtual-clock",
                                               "--frozen-counter"};
    if (setting.board >= qmdsim_board_count()) {
        std::fprintf(stderr, "qmd5820: %s: there is no simulated board %u\n",
                     kOptions[setting.kind], setting.board);
        return false;
    }
    switch (setting.kind) {
        case SimulatedSetting::kPosition:
            qmdsim_set_position(setting.board, setting.channel, setting.position);
            break;
        case SimulatedSetting::kShortCircuit:
            qmdsim_inject_short_circuit(setting.board, 0);
            break;
        case SimulatedSetting::kSequencePeriod:
            qmdsim_set_sequence_period_us(setting.board, setting.period_us);
            break;
        case SimulatedSetting::kVirtualClock:
            qmdsim_set_virtual_clock(1);
            break;
        case SimulatedSetting::kFrozenCounter: {
            // Calibration: the board's live values are never refreshed.
            qmdsim_frontend_params params{};
            qmdsim_frontend_params_get(setting.board, &params);
            params.conversions_per_second = 0.0;
            qmdsim_frontend_params_set(setting.board, &params);
            break;
        }
    }
    return true;
}

bool MoveTransducer(uint8_t board, uint8_t channel, double position) {
    qmdsim_set_position(board, channel, position);
    return true;
}

double BoardZeroPosition(uint8_t board, uint8_t channel) {
    return qmdsim_frontend_zero_position(board, channel);
}

void EnableFrontEnd(uint8_t board) { qmdsim_frontend_enable(board, 1); }

namespace {

// A path from one of the simulator's snprintf-style getters.
std::string PathFrom(uint32_t (*get)(char*, uint32_t)) {
    std::string path(get(nullptr, 0), '\0');
    if (path.empty()) return path;
    get(path.data(), static_cast<uint32_t>(path.size() + 1));
    return path;
}

}  // namespace

std::vector<std::string> SimulatorStateFiles() {
    std::string state = PathFrom(qmdsim_state_path);
    if (state.empty()) state = PathFrom(qmdsim_state_default_path);
    if (state.empty()) return {};
    return {state, state + ".lock"};
}

void RefreshSimulatorState() {
    const std::string state = PathFrom(qmdsim_state_path);
    if (state.empty()) return;
    qmdsim_state_detach();  // saves nothing: this process has changed nothing yet
    qmdsim_state_attach(state.c_str());
}

bool SaveSimulatorState(std::string& error) {
    const std::string state = PathFrom(qmdsim_state_path);
    if (state.empty()) {
        // A state file was asked for but could not be attached (said above): what this
        // process changed ends with it.
        const std::string wanted = PathFrom(qmdsim_state_default_path);
        if (wanted.empty()) return true;
        error = "the simulated boards' state file " + wanted +
                " could not be used (see the message above): the change is not kept";
        return false;
    }
    if (qmdsim_state_flush() == 0) return true;
    error = "the simulated boards' state could not be saved to " +
            (state.empty() ? std::string("their state file") : state) + " (see the message above)";
    return false;
}

Drift::Drift(bool on, uint8_t board, const std::vector<ChannelUse>& uses)
    : on_(on), board_(board), start_(std::chrono::steady_clock::now()) {
    if (!on_) return;
    for (const ChannelUse& use : uses) {
        qmdsim_channel_state state{};
        qmdsim_channel(board_, use.channel, &state);
        channels_.push_back({use.channel, state.position, state.range / 4.0});
    }
}

void Drift::Step() const {
    if (!on_) return;
    constexpr double kPeriodSeconds = 10.0;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double swing = std::sin(2.0 * 3.14159265358979323846 * seconds / kPeriodSeconds);
    for (const Channel& c : channels_) {
        qmdsim_set_position(board_, c.channel, c.centre + c.amplitude * swing);
    }
}

}  // namespace qmdtool
