// The tool's `calibrate` command. The worker procedure is polled every 50 ms; the
// step-by-step procedure runs its steps on the main thread while a display thread shows
// the live values. At each point where the transducer must be somewhere (its zero, the
// calibration position) the simulated board's transducer is moved by the tool itself; on a
// real board the user moves it and confirms with Enter. Ctrl-C breaks off (the worker's
// break restores the configuration block, the step-by-step break the potentiometers and
// the excitation table).
#include "calibrate.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

#if !defined(_WIN32)
#include <unistd.h>

#include "qmd5820sim.h"
#endif

namespace qmd5820cli {

const char* const kCalibrateUsage =
    "  calibrate BOARD INDEX CH0[,CH1] --position P [--impedance Z] [--model 0|1]\n"
    "            [--interactive]\n"
    "                               calibrate transducer type INDEX on channel CH0 (0-7) and\n"
    "                               optionally CH1 (8-15), with the transducer at P (metric,\n"
    "                               not 0) for the position steps: by the worker (transducer\n"
    "                               model 0 or 1, impedance Z, default 1) or step by step\n"
    "                               (--interactive); progress on stderr, readings before and\n"
    "                               after on stdout; Ctrl-C breaks off and restores\n";

namespace {

constexpr int kFailed = 1;
constexpr int kBadArguments = 2;

volatile std::sig_atomic_t g_break = 0;
extern "C" void OnBreak(int) { g_break = 1; }

struct Arguments {
    uint8_t index = 0;
    uint8_t ch0 = 0;
    uint8_t ch1 = 0;
    double position = 0.0;
    uint32_t impedance = 1;
    uint8_t model = 0;
    bool interactive = false;
};

std::optional<unsigned long> Unsigned(std::string_view text, unsigned long max) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    unsigned long value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
    if (text.empty() || ec != std::errc() || ptr != end || value > max) return std::nullopt;
    return value;
}

std::optional<double> Real(std::string_view text) {
    double value = 0.0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

std::optional<Arguments> Parse(const std::vector<std::string>& args) {
    if (args.size() < 2) return std::nullopt;
    Arguments a;
    const auto index = Unsigned(args[0], 255);
    const std::string_view channels = args[1];
    const std::size_t comma = channels.find(',');
    const auto ch0 = Unsigned(channels.substr(0, comma), 7);
    if (!index || !ch0) return std::nullopt;
    if (comma != std::string_view::npos) {
        const auto ch1 = Unsigned(channels.substr(comma + 1), 15);
        if (!ch1 || *ch1 < 8) return std::nullopt;
        a.ch1 = static_cast<uint8_t>(*ch1);
    }
    a.index = static_cast<uint8_t>(*index);
    a.ch0 = static_cast<uint8_t>(*ch0);
    bool position = false, worker_option = false;
    for (std::size_t i = 2; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (option == "--interactive") {
            a.interactive = true;
            continue;
        }
        if (i + 1 == args.size()) return std::nullopt;
        const std::string& value = args[++i];
        if (option == "--position") {
            const auto p = Real(value);
            if (!p || *p == 0.0) return std::nullopt;
            a.position = *p;
            position = true;
        } else if (option == "--impedance") {
            const auto z = Unsigned(value, 0xFFFFFFFFUL);
            if (!z || *z == 0) return std::nullopt;
            a.impedance = static_cast<uint32_t>(*z);
            worker_option = true;
        } else if (option == "--model") {
            const auto m = Unsigned(value, 1);
            if (!m) return std::nullopt;
            a.model = static_cast<uint8_t>(*m);
            worker_option = true;
        } else {
            return std::nullopt;
        }
    }
    if (!position || (a.interactive && worker_option)) return std::nullopt;
    return a;
}

// ---- progress on stderr ---------------------------------------------------------------------

// One status line: redrawn in place on a terminal; elsewhere written once per phase.
class Progress {
public:
    Progress() : start_(std::chrono::steady_clock::now()) {
#if !defined(_WIN32)
        terminal_ = isatty(STDERR_FILENO) == 1;
#endif
    }

    double Elapsed() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }

    void Show(const char* phase, const uint32_t* values) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!terminal_ && phase == shown_) return;
        shown_ = phase;
        char text[160];
        int n = std::snprintf(text, sizeof text, "%7.1f s  %-44s", Elapsed(), phase);
        if (values != nullptr && n > 0 && static_cast<std::size_t>(n) < sizeof text) {
            std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), "  values %5u %5u",
                          values[0], values[1]);
        }
        if (terminal_) {
            std::fprintf(stderr, "\r\x1b[2K%s", text);
            open_ = true;
        } else {
            std::fprintf(stderr, "%s\n", text);
        }
        std::fflush(stderr);
    }

    void Message(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (open_) std::fputs("\r\x1b[2K", stderr);
        open_ = false;
        shown_ = nullptr;  // the status line is written again after a message
        va_list list;
        va_start(list, format);
        std::vfprintf(stderr, format, list);
        va_end(list);
        std::fputc('\n', stderr);
        std::fflush(stderr);
    }

    void Close() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (open_) std::fputs("\r\x1b[2K", stderr);
        open_ = false;
    }

private:
    std::chrono::steady_clock::time_point start_;
    bool terminal_ = false;
    std::mutex mutex_;
    const char* shown_ = nullptr;
    bool open_ = false;
};

// ---- the worker's statuses and failures ------------------------------------------------------

const char* WorkerPhase(int64_t status) {
    switch (status) {
        case 0: return "starting";
        case 1: return "checking the primary line";
        case 2: return "preparing the configuration block";
        case 3: return "group 0: opening the adjustment";
        case 4: return "group 0: symmetry";
        case 5: return "group 0: first level";
        case 6: return "group 0: second level";
        case 7: return "waiting for the transducer at its zero";
        case 25: return "confirming the transducer at its zero";
        case 8: return "excitation balance";
        case 9: return "confirming the transducer at the position";
        case 10: return "group 0: first position";
        case 11: return "group 0: second position";
        case 12: return "group 1: opening the adjustment";
        case 13: return "group 1: symmetry";
        case 14: return "group 1: first level";
        case 15: return "group 1: second level";
        case 16: return "confirming group 1's transducer at the position";
        case 17: return "group 1: first position";
        case 18: return "group 1: second position";
        case 19: return "confirming the threshold search";
        case 20: return "searching the line test threshold";
        case 21: return "storing the result";
        case 22: return "done";
        case 24: return "restoring after a break";
        default: return "unknown phase";
    }
}

// What code `code` of phase `phase` means.
const char* WorkerFailure(uint32_t phase, uint32_t code) {
    switch (phase) {
        case 1:
            if (code == 1) return "switching the primary line test on failed";
            if (code == 2) return "reading the primary line status failed";
            if (code == 3) return "switching the primary line test off failed";
            if (code == 4) return "a short circuit on the primary line persists after a rearm";
            break;
        case 2:
            return "reading or writing the configuration block failed";
        case 3:
        case 12:
            if (code == 1) return "opening the adjustment failed";
            if (code == 2) return "starting the adjustment failed";
            break;
        case 25:
            if (code == 1) return "writing the unity excitation table failed";
            if (code == 10) return "sampling the live values failed (counter or 2 s time-out)";
            break;
        case 20:
            if (code == 1) return "switching the primary line test failed";
            if (code == 2) return "writing the threshold potentiometer failed";
            if (code == 3) return "reading the primary line status failed";
            if (code == 5) return "restoring potentiometer 7 failed";
            break;
        case 21:
            if (code == 1) return "writing the EEPROM failed";
            if (code == 2) return "reading the EEPROM failed";
            break;
        case 24:
            return "writing the configuration block back failed";
        default:
            if (code == 1) return phase == 8 ? "writing a potentiometer or the excitation table failed"
                                             : "writing a potentiometer failed";
            if (code == 10) {
                return phase == 6 || phase == 15
                           ? "sampling the live values or the levels request failed"
                           : "sampling the live values failed (counter or 2 s time-out)";
            }
    }
    return "unknown failure";
}

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

// ---- the transducer ---------------------------------------------------------------------------

// Puts the transducer of channel `ch` at `x` (described by `what`): on the simulated board
// the tool moves it; on a board the user does and confirms with Enter. False when the
// user ends the input or breaks off.
bool PutTransducer(Progress& progress, uint8_t board, uint8_t ch, double x, const char* what) {
#if !defined(_WIN32)
    qmdsim_set_position(board, ch, x);
    progress.Message("simulated transducer on channel %u moved to %g (%s)", ch, x, what);
    return g_break == 0;
#else
    (void)board;
    progress.Message("move the transducer on channel %u to %s (%g) and press Enter", ch, what, x);
    char line[64];
    return std::fgets(line, sizeof line, stdin) != nullptr && g_break == 0;
#endif
}

// The position at which the channel (initialised) reads zero: the transducer's zero, or on
// the simulated board for transducer model 1 the board's zero, where the run zeroes it.
double ZeroOf(uint8_t board, uint8_t ch, uint8_t model) {
#if !defined(_WIN32)
    if (model == 1) return qmdsim_frontend_zero_position(board, ch);
#else
    (void)board;
    (void)ch;
    (void)model;
#endif
    return 0.0;
}

struct Reading {
    double position;
    double value;
};

// Initialises `ch` with the transducer type and reads it at the positions (on the simulated
// board) or where it is (on a board). False, with the library's text, on a failure.
bool ReadAt(QMD5820_HANDLE handle, uint8_t board, uint8_t ch, uint8_t index,
            std::vector<Reading>& readings) {
    if (i_QMD5820_Init1TransducerChannel(handle, ch, index, 0.0) != 0) return false;
    for (Reading& r : readings) {
#if !defined(_WIN32)
        qmdsim_set_position(board, ch, r.position);
#else
        (void)board;
#endif
        uint16_t raw = 0;
        if (i_QMD5820_Read1TransducerChannel(handle, ch, &raw) != 0 ||
            i_QMD5820_Convert1RawToMetricValue(handle, ch, raw, &r.value) != 0) {
            return false;
        }
    }
    return true;
}

// ---- the two procedures -------------------------------------------------------------------------

int Worker(QMD5820_HANDLE handle, uint8_t board, const Arguments& a, Progress& progress) {
    double zero = 0.0;  // where the transducer reads zero
    const int16_t code = i_QMD5820_CalibrationStart(handle, a.index, a.ch0, a.ch1, a.impedance,
                                                    a.position, a.model);
    if (code != 0) {
        progress.Message("qmd5820: %s", pc_QMD5820_GetLastError(handle));
        return kFailed;
    }
    int32_t confirmed = -1;
    for (;;) {
        if (g_break != 0) {
            progress.Message("breaking off: stopping the worker, restoring the configuration block");
            const int16_t restored = i_QMD5820_CalibrationBreak(handle);
            if (restored != 0) progress.Message("qmd5820: %s", pc_QMD5820_GetLastError(handle));
            return kFailed;
        }
        int32_t status = 0;
        uint32_t values[2] = {};
        i_QMD5820_CalibrationGetCurrentStatus(handle, &status, values);
        if (status == 22) {
            progress.Show(WorkerPhase(status), nullptr);
            return 0;
        }
        if (status == 23) {
            progress.Message("calibration failed in phase %u (%s): code %u, %s", values[0],
                             WorkerPhase(values[0]), values[1], WorkerFailure(values[0], values[1]));
            const int16_t restored = i_QMD5820_CalibrationBreak(handle);
            progress.Message(restored == 0 ? "configuration block restored"
                                           : "the configuration block could not be restored");
            return kFailed;
        }
        progress.Show(WorkerPhase(status), status >= 3 ? values : nullptr);
        if (status != confirmed) confirmed = -1;
        bool placed = true;
        if (status == 7 && confirmed != 7) {
            zero = ZeroOf(board, a.ch0, a.model);
            placed = PutTransducer(progress, board, a.ch0, zero, "the board's zero");
            confirmed = 7;  // the worker goes on by itself once it sees the zero
        } else if ((status == 25 || status == 9 || status == 16 || status == 19) &&
                   confirmed != status) {
            if (status == 25 && a.model == 0) {
                placed = PutTransducer(progress, board, a.ch0, zero, "its zero");
            } else if (status == 9) {
                placed = PutTransducer(progress, board, a.ch0, zero + a.position, "the position");
            } else if (status == 16) {
                placed = PutTransducer(progress, board, a.ch1, a.position, "the position");
            }
            if (placed) i_QMD5820_CalibrationNextStep(handle);
            confirmed = status;
        }
        if (!placed) g_break = 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// Shows the live values while a step runs on the main thread.
class StepDisplay {
public:
    explicit StepDisplay(Progress& progress) : progress_(progress), thread_([this] { Run(); }) {}
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
            progress_.Show(phase_, address != 0 ? values : nullptr);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }

    Progress& progress_;
    std::atomic<bool> stop_{false};
    std::atomic<const char*> phase_{"starting"};
    std::atomic<uint64_t> address_{0};
    std::thread thread_;
};

int Interactive(QMD5820_HANDLE handle, uint8_t board, const Arguments& a, Progress& progress) {
    StepDisplay display(progress);
    bool started = false;
    // A step's failure: its text, then the break that restores potentiometers and table.
    const auto fail = [&](const char* step, int16_t code) {
        progress.Message("calibration failed in %s: %s", step, pc_QMD5820_GetLastError(handle));
        if (const char* meaning = StepFailure(step, code)) progress.Message("  (%s)", meaning);
        if (started && i_QMD5820_BreakCalibration(handle) == 0) {
            progress.Message("potentiometers and excitation table restored");
        }
        return kFailed;
    };
    const auto broken = [&] {
        progress.Message("breaking off: restoring potentiometers and excitation table");
        if (started) i_QMD5820_BreakCalibration(handle);
        return kFailed;
    };

    const char* step = "group 0: symmetry and levels";
    display.Phase(step);
    uint64_t address = 0;
    const int16_t first = i_QMD5820_StartCalibration(handle, a.index, a.ch0, a.ch1, a.position,
                                                     &address);
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
        if (g_break != 0) return broken();
        if (s.channel != 255 &&
            !PutTransducer(progress, board, s.channel, s.at_position ? a.position : 0.0,
                           s.at_position ? "the position" : "its zero")) {
            return broken();
        }
        display.Phase(s.name);
        const int16_t code = i_QMD5820_NextCalibrationStep(handle);
        if (code != 0) return fail(s.name, code);
    }
    display.Phase("done");
    return 0;
}

}  // namespace

int Calibrate(QMD5820_HANDLE handle, uint8_t board, const std::vector<std::string>& args) {
    const std::optional<Arguments> parsed = Parse(args);
    if (!parsed) return kBadArguments;
    const Arguments& a = *parsed;
    double range = 0.0, sensitivity = 0.0, frequency = 0.0, voltage = 0.0;
    uint8_t calibrated = 0;
    if (i_QMD5820_TransducerDatabaseReadTransducerInfo(handle, a.index, &range, &sensitivity,
                                                       &frequency, &voltage, &calibrated) != 0) {
        std::fprintf(stderr, "qmd5820: %s\n", pc_QMD5820_GetLastError(handle));
        return kFailed;
    }
#if !defined(_WIN32)
    qmdsim_frontend_enable(board, 1);  // the simulated board with its front end's errors
    std::vector<double> where{-0.8 * range, -0.4 * range, 0.0, 0.4 * range, 0.8 * range};
    if (std::find(where.begin(), where.end(), a.position) == where.end()) {
        where.insert(std::upper_bound(where.begin(), where.end(), a.position), a.position);
    }
#else
    const std::vector<double> where{a.position};
#endif
    std::vector<uint8_t> channels{a.ch0};
    if (a.ch1 != 0) channels.push_back(a.ch1);
    // Positions from the transducer's zero (for model 1 the board's zero of group 0).
    const auto positions = [&](uint8_t ch) {
        const double zero = ch == a.ch0 && !a.interactive ? ZeroOf(board, ch, a.model) : 0.0;
        std::vector<Reading> r;
        for (double x : where) r.push_back({zero + x, 0.0});
        return r;
    };
    std::vector<std::vector<Reading>> before;
    for (uint8_t ch : channels) {
        std::vector<Reading> r;
        if (i_QMD5820_Init1TransducerChannel(handle, ch, a.index, 0.0) == 0) r = positions(ch);
        if (r.empty() || !ReadAt(handle, board, ch, a.index, r)) {
            std::fprintf(stderr, "qmd5820: %s\n", pc_QMD5820_GetLastError(handle));
            return kFailed;
        }
        before.push_back(r);
    }

    g_break = 0;
    const auto previous = std::signal(SIGINT, OnBreak);
    Progress progress;
    progress.Message("calibrating transducer %u on channel %u%s%s by the %s, position %g",
                     a.index, a.ch0, a.ch1 != 0 ? " and " : "",
                     a.ch1 != 0 ? std::to_string(a.ch1).c_str() : "",
                     a.interactive ? "step-by-step procedure" : "worker", a.position);
    const int result = a.interactive ? Interactive(handle, board, a, progress)
                                     : Worker(handle, board, a, progress);
    progress.Close();
    std::signal(SIGINT, previous == SIG_ERR ? SIG_DFL : previous);
    if (result != 0) return result;
    std::fprintf(stderr, "calibrated in %.1f s\n", progress.Elapsed());

    std::printf("channel  position      before       after\n");
    for (std::size_t c = 0; c < channels.size(); ++c) {
        std::vector<Reading> after = positions(channels[c]);
        if (!ReadAt(handle, board, channels[c], a.index, after)) {
            std::fprintf(stderr, "qmd5820: %s\n", pc_QMD5820_GetLastError(handle));
            return kFailed;
        }
        for (std::size_t i = 0; i < after.size(); ++i) {
            std::printf("%7u  %8.4f  %10.4f  %10.4f\n", channels[c], where[i], before[c][i].value,
                        after[i].value);
        }
    }
    return 0;
}

}  // namespace qmd5820cli
