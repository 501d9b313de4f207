// The calibration wizard's run (see calibration.h).
#include "panel/calibration.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "panel/sim_control.h"
#include "qmd5820_texts.h"

namespace qmdpanel {
namespace {

// The steps after the start of the step-by-step procedure: where the transducer must be.
struct Step {
    const char* name;
    int channel;  // -1: anywhere
    bool at_position;
};

std::vector<Step> Steps(const CalibrationSetup& s) {
    std::vector<Step> steps{{"excitation balance", s.first, false},
                            {s.second ? "group 0: positions" : "group 0: positions, store",
                             s.first, true}};
    if (s.second != 0) {
        steps.push_back({"group 1: symmetry and levels", -1, false});
        steps.push_back({"group 1: positions, store", s.second, true});
    }
    return steps;
}

std::string Number(double value) {
    char text[QMD5820_NUMBER_TEXT_SIZE];
    qmd5820_number_text(value, text);
    return text;
}

}  // namespace

void CalibrationRun::Place(BoardState& state, uint8_t channel, double x, const char* what) {
    instruction_ = "move the transducer on channel " + std::to_string(channel) + " to " + what +
                   " (" + Number(x) + "), then Continue";
    if (SimulatorPresent()) {
        SimMove(state.index, channel, x);
        instruction_ += " (on the simulated board the panel has moved it there)";
    }
}

// Where channel `first` reads zero: for transducer model 1 on the simulated board the
// board's zero of the group, which the run's adjustments move (asked each time).
double CalibrationRun::Zero(BoardState& state) const {
    return setup_.worker && setup_.model == 1 ? SimBoardZero(state.index, setup_.first) : 0.0;
}

Json CalibrationRun::Readings(BoardState& state, bool after) {
    Json readings = Json::array();
    std::vector<uint8_t> channels{setup_.first};
    if (setup_.second != 0) channels.push_back(setup_.second);
    for (const uint8_t ch : channels) {
        if (i_QMD5820_Init1TransducerChannel(state.handle, ch, setup_.transducer, 0.0) != 0) break;
        // Without a simulated board: one reading where the transducer stands.
        const std::vector<double> where = SimulatorPresent() ? setup_.readings_at : std::vector<double>{0.0};
        const double zero = ch == setup_.first ? Zero(state) : 0.0;
        for (const double x : where) {
            if (SimulatorPresent()) SimMove(state.index, ch, zero + x);
            uint16_t raw = 0;
            double value = 0.0;
            Json reading;
            reading["channel"] = ch;
            reading["position"] = SimulatorPresent() ? Json(x) : Json(nullptr);
            if (i_QMD5820_Read1TransducerChannel(state.handle, ch, &raw) == 0 &&
                i_QMD5820_Convert1RawToMetricValue(state.handle, ch, raw, &value) == 0) {
                reading["value"] = value;
            } else {
                reading["error"] = LastError(state.handle);
            }
            readings.push_back(reading);
        }
    }
    (after ? after_ : before_) = readings;
    return readings;
}

Json CalibrationRun::Start(BoardState& state, LiveStream& stream, const CalibrationSetup& setup) {
    Json reply;
    if (!state.open || state.busy) {
        reply["code"] = -1;
        reply["error"] = state.open ? "the board is busy: " + state.busy_with : "the board is closed";
        return reply;
    }
    double range = 0, sensitivity = 0, frequency = 0, voltage = 0;
    uint8_t calibrated = 0;
    int16_t code = i_QMD5820_TransducerDatabaseReadTransducerInfo(
        state.handle, setup.transducer, &range, &sensitivity, &frequency, &voltage, &calibrated);
    if (code != 0) return Result(code, state.handle);
    char problem[QMD5820_PROBLEM_TEXT_SIZE] = {};
    if (setup.worker && qmd5820_worker_position_problem(setup.position, range, problem, sizeof problem)) {
        reply["code"] = -5;
        reply["error"] = problem;
        return reply;
    }
    setup_ = setup;
    range_ = range;
    if (SimulatorPresent()) SimEnableFrontEnd(state.index);
    after_ = Json::array();
    Readings(state, false);
    outcome_.clear();
    instruction_.clear();
    handled_ = -1;
    status_ = 0;
    state.busy = true;
    state.busy_with = "calibration";
    running_ = true;
    if (setup.worker) {
        code = i_QMD5820_CalibrationStart(state.handle, setup.transducer, setup.first,
                                          setup.second, setup.impedance, setup.position, setup.model);
        if (code != 0) {
            const Json result = Result(code, state.handle);
            Finish(state, false, "the worker did not start: " + result.value("error", std::string()));
            return result;
        }
        phase_ = qmd5820_worker_status_text(QMD5820_WORKER_PREPARE);
        return Result(0, 0);
    }
    stepping_ = true;
    next_step_ = 0;
    code = RunStep(state, stream, true);
    if (code != 0) return Result(code, state.handle);
    StepWait(state);
    return Result(0, 0);
}

// A blocking step of the step-by-step procedure; meanwhile a helper thread publishes the
// live values the board maps (plain memory, no library call). A failure breaks off, which
// restores the potentiometers and the excitation table.
int16_t CalibrationRun::RunStep(BoardState& state, LiveStream& stream, bool first) {
    phase_ = first ? "group 0: symmetry and levels" : Steps(setup_)[next_step_].name;
    instruction_.clear();
    std::atomic<bool> done{false};
    std::atomic<uint64_t> address{address_};
    const std::string head = "{\"board\":" + std::to_string(state.index) +
                             ",\"open\":true,\"busy\":\"calibration\",\"calibration\":{\"running\":true,"
                             "\"phase\":\"" + phase_ + " (running)\",\"instruction\":\"\",\"values\":[";
    std::thread progress([&] {
        while (!done) {
            uint32_t v[2] = {};
            if (const uint64_t a = address.load()) {
                auto* p = reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(a));
                v[0] = std::atomic_ref<uint32_t>(p[0]).load();
                v[1] = std::atomic_ref<uint32_t>(p[1]).load();
            }
            stream.Publish(head + std::to_string(v[0]) + "," + std::to_string(v[1]) + "]}}");
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    int16_t code = 0;
    if (first) {
        uint64_t mapped = 0;
        code = i_QMD5820_StartCalibration(state.handle, setup_.transducer, setup_.first,
                                          setup_.second, setup_.position, &mapped);
        if (code == 0 || code == -50) address_ = mapped;
    } else {
        code = i_QMD5820_NextCalibrationStep(state.handle);
    }
    done = true;
    progress.join();
    if (code != 0) {
        const std::string text = LastError(state.handle);
        const bool started = !first || code == -50 || code == -13;
        const int16_t restored = started ? i_QMD5820_BreakCalibration(state.handle) : 0;
        Finish(state, false, phase_ + " failed: " + text +
                                 (!started ? "" : restored == 0 ? "; potentiometers and excitation table restored"
                                                                : "; the restore failed: " + LastError(state.handle)));
    }
    return code;
}

void CalibrationRun::StepWait(BoardState& state) {
    const std::vector<Step> steps = Steps(setup_);
    if (next_step_ >= steps.size()) {
        Finish(state, true, "calibrated step by step");
        return;
    }
    const Step& s = steps[next_step_];
    phase_ = std::string("next: ") + s.name;
    if (s.channel < 0) {
        instruction_ = "the next step needs no transducer move: Continue";
    } else {
        Place(state, static_cast<uint8_t>(s.channel), s.at_position ? setup_.position : 0.0,
              s.at_position ? "the calibration position" : "its zero");
    }
}

Json CalibrationRun::Continue(BoardState& state, LiveStream& stream) {
    if (!running_) return Result(-2, 0);
    if (setup_.worker) {
        instruction_.clear();
        return Result(i_QMD5820_CalibrationNextStep(state.handle), state.handle);
    }
    const int16_t code = RunStep(state, stream, false);
    if (code != 0) return Result(code, state.handle);
    ++next_step_;
    StepWait(state);
    return Result(0, 0);
}

Json CalibrationRun::Break(BoardState& state) {
    if (!running_) return Result(-2, 0);
    const int16_t code = setup_.worker ? i_QMD5820_CalibrationBreak(state.handle)
                                       : i_QMD5820_BreakCalibration(state.handle);
    const std::string restored =
        code == 0 ? (setup_.worker ? "the configuration block is back as the run found it"
                                   : "potentiometers and excitation table restored")
                  : "the restore failed: " + LastError(state.handle) + " (Break again)";
    if (code == 0) Finish(state, false, "broken off: " + restored);
    Json reply = Result(code, state.handle);
    reply["restore"] = restored;
    return reply;
}

void CalibrationRun::Abandon(BoardState& state) {
    if (running_) Break(state);
}

void CalibrationRun::Finish(BoardState& state, bool done, const std::string& outcome) {
    running_ = false;
    stepping_ = false;
    instruction_.clear();
    outcome_ = outcome;
    state.busy = false;
    state.busy_with.clear();
    if (done) {
        phase_ = "done";
        Readings(state, true);
    }
    // The panel's channels are initialised again by the page; none is read meanwhile with a
    // type whose settings the run changed.
    for (int& t : state.transducer) {
        if (t == setup_.transducer) t = -1;
    }
}

void CalibrationRun::Tick(BoardState& state) {
    if (!running_ || !setup_.worker) return;
    int32_t status = 0;
    uint32_t values[2] = {};
    i_QMD5820_CalibrationGetCurrentStatus(state.handle, &status, values);
    status_ = status;
    values_[0] = values[0];
    values_[1] = values[1];
    if (status == QMD5820_WORKER_DONE) {
        Finish(state, true, "calibrated by the worker");
        return;
    }
    if (status == QMD5820_WORKER_FAILED) {
        const std::string failure = std::string("failed in phase \"") +
                                    qmd5820_worker_status_text(static_cast<int32_t>(values[0])) +
                                    "\": code " + std::to_string(values[1]) + ", " +
                                    qmd5820_worker_failure_text(static_cast<int32_t>(values[0]),
                                                                static_cast<int32_t>(values[1]));
        const int16_t code = i_QMD5820_CalibrationBreak(state.handle);
        Finish(state, false, failure + (code == 0 ? "; the configuration block is back as the run found it"
                                                  : "; the restore failed: " + LastError(state.handle)));
        return;
    }
    phase_ = qmd5820_worker_status_text(status);
    if (status == handled_) return;
    handled_ = status;
    const std::string ch0 = std::to_string(setup_.first);
    switch (status) {
        case QMD5820_WORKER_AWAIT_ZERO:
            zero_ = Zero(state);
            Place(state, setup_.first, zero_, "the board's zero");
            instruction_ = "move the transducer on channel " + ch0 +
                           " to its zero; the worker goes on by itself when it reads it" +
                           (SimulatorPresent() ? " (on the simulated board the panel has moved it there)" : "");
            break;
        case QMD5820_WORKER_CONFIRM_ZERO:
            zero_ = Zero(state);
            Place(state, setup_.first, zero_, "its zero");
            break;
        case QMD5820_WORKER_CONFIRM_POSITION:
            Place(state, setup_.first, zero_ + setup_.position, "the calibration position");
            break;
        case QMD5820_WORKER_CONFIRM_GROUP1_POSITION:
            Place(state, setup_.second, setup_.position, "the calibration position");
            break;
        case QMD5820_WORKER_CONFIRM_THRESHOLD:
            instruction_ = "the primary line test threshold is searched next: leave the transducers "
                           "connected, then Continue";
            break;
        default:
            instruction_.clear();
    }
}

void CalibrationRun::Extend(std::string& json) const {
    if (!running_ && outcome_.empty()) return;
    Json c;
    c["running"] = running_;
    c["procedure"] = setup_.worker ? "worker" : "steps";
    c["phase"] = phase_;
    c["status"] = status_;
    c["values"] = Json::array({values_[0], values_[1]});
    c["instruction"] = instruction_;
    c["outcome"] = outcome_;
    c["range"] = range_;
    c["before"] = before_;
    c["after"] = after_;
    json += ",\"calibration\":" + c.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace qmdpanel
