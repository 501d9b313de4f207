// The calibrate command step by step: the steps run on the command's thread while a display
// thread shows the live values.
#include <atomic>
#include <chrono>
#include <functional>
#include <string_view>
#include <thread>
#include <vector>

#include "commands/calibration_run.h"
#include "common/signals.h"

namespace qmdtool {
namespace {

// What a step-by-step code means where the library's catalogue has no text of its own.
const char* StepFailure(std::string_view step, int16_t code) {
    if (step.find("levels") != std::string_view::npos) {
        switch (code) {
            case -11: return "opening the adjustment failed";
            case -12: return "the symmetry adjustment failed (potentiometer write or sampling)";
            case -13: return step.starts_with("group 0")
                                 ? "the level step failed (potentiometer write, or sampling: "
                                   "counter request or 2 s time-out)"
                                 : "the first level adjustment failed";
            case -14: return "the second level adjustment failed";
            case -15: return "the levels request failed";
        }
    } else if (step == "excitation balance") {
        switch (code) {
            case -1: return "writing the excitation table failed";
            case -2: return "sampling the live values failed";
            case -3: return "converting the live value failed";
            case -4: return "writing the final excitation table failed";
        }
    } else if (code >= -10 && code <= -1) {
        return "a position adjustment or the store failed";
    }
    return nullptr;
}

// Shows the live values while a step runs on the command's thread.
class StepDisplay {
public:
    explicit StepDisplay(CalibrationRun& run) : run_(run), thread_([this] { Run(); }) {}
    ~StepDisplay() {
        stop_ = true;
        thread_.join();
    }
    void Phase(const char* phase) { phase_ = phase; }
    void Address(uint64_t address) { address_ = address; }

private:
    void Run() {
        while (!stop_) {
            const uint64_t address = address_;
            uint32_t values[2] = {};
            if (address != 0) {
                auto* p = reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(address));
                values[0] = std::atomic_ref<uint32_t>(p[0]).load();
                values[1] = std::atomic_ref<uint32_t>(p[1]).load();
            }
            run_.Show(phase_, address != 0 ? values : nullptr);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }

    CalibrationRun& run_;
    std::atomic<bool> stop_{false};
    std::atomic<const char*> phase_{"starting"};
    std::atomic<uint64_t> address_{0};
    std::thread thread_;
};

// Runs one step of the procedure on a thread of its own while the command's thread looks
// for a signal every 100 ms: a step cannot be stopped inside, so a signal is answered at
// once and acted on as soon as the step returns.
int16_t RunStep(CalibrationRun& run, const char* name, const std::function<int16_t()>& step) {
    std::atomic<bool> done{false};
    int16_t code = 0;
    std::thread worker([&] {
        code = step();
        done = true;
    });
    bool told = false;
    while (!done) {
        if (!told && Interrupted() != 0) {
            run.status.Message("interrupted by %s during %s: breaking off as soon as this step "
                               "ends (a step cannot be stopped inside)",
                               SignalName(Interrupted()), name);
            told = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    worker.join();
    return code;
}

}  // namespace

int RunInteractive(CalibrationRun& run) {
    const CalibrateArguments& a = run.arguments;
    const QMD5820_HANDLE handle = run.handle;
    StepDisplay display(run);
    bool started = false;
    const auto restored = [&] {
        if (i_QMD5820_BreakCalibration(handle) == 0) {
            run.status.Message("  restored: the potentiometers (4, 5, 10 and 11 stay at 128, as "
                               "the start set them) and the excitation table");
            return true;
        }
        run.status.Message("  NOT restored: potentiometers and excitation table: %s",
                           pc_QMD5820_GetLastError(handle));
        return false;
    };
    // A step's failure: its text, then the break that restores potentiometers and table.
    const auto fail = [&](const char* step, int16_t code) {
        run.status.Message("calibration failed in %s: %s", step, pc_QMD5820_GetLastError(handle));
        if (const char* meaning = StepFailure(step, code)) run.status.Message("  (%s)", meaning);
        if (started) restored();
        return Interrupted() != 0 ? InterruptedStatus(Interrupted()) : kFailed;
    };
    // A break between steps: nothing was stored yet.
    const auto broken = [&](const char* before) {
        const int signal = Interrupted();
        run.status.Message("%s%s before %s: breaking off", signal != 0 ? "interrupted by " : "input ended",
                           signal != 0 ? SignalName(signal) : "", before);
        run.status.Message("  stored: nothing");
        if (started) restored();
        return signal != 0 ? InterruptedStatus(signal) : kFailed;
    };

    const char* step = "group 0: symmetry and levels";
    display.Phase(step);
    uint64_t address = 0;
    const int16_t first = RunStep(run, step, [&] {
        return i_QMD5820_StartCalibration(handle, a.index, a.ch0, a.ch1, a.position, &address);
    });
    started = first == 0 || first == -50 || first == -13;
    if (first != 0) return fail(step, first);
    display.Address(address);

    struct Step {
        const char* name;
        uint8_t channel;  // where the transducer must be first (255: anywhere)
        bool at_position;
    };
    std::vector<Step> steps{{"excitation balance", a.ch0, false},
                            {a.ch1 != 0 ? "group 0: positions" : "group 0: positions, store",
                             a.ch0, true}};
    if (a.ch1 != 0) {
        steps.push_back({"group 1: symmetry and levels", 255, false});
        steps.push_back({"group 1: positions, store", a.ch1, true});
    }
    for (const Step& s : steps) {
        if (run.BreakRequested()) return broken(s.name);
        if (s.channel != 255 &&
            !run.PutTransducer(s.channel, s.at_position ? a.position : 0.0,
                               s.at_position ? "the position" : "its zero")) {
            return broken(s.name);
        }
        display.Phase(s.name);
        const int16_t code = RunStep(run, s.name, [&] { return i_QMD5820_NextCalibrationStep(handle); });
        if (code != 0) return fail(s.name, code);
    }
    display.Phase("done");
    // A signal during the last step came after the procedure could still be broken off: the
    // result is stored and stays.
    if (const int signal = Interrupted(); signal != 0) {
        run.status.Message("interrupted by %s during the last step, which stored the result "
                           "before it could be broken off", SignalName(signal));
        run.status.Message("  kept: the result stored by the last step (transducer %u is "
                           "calibrated); nothing was restored", a.index);
        return InterruptedStatus(signal);
    }
    return 0;
}

}  // namespace qmdtool
