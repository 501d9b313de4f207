// calibrate (see calibrate.h): the arguments, the readings before and after, and what both
// procedures share. The worker procedure is calibrate_worker.cpp, the step-by-step one
// calibrate_interactive.cpp. At each point where the transducer must be somewhere (its
// zero, the calibration position) the simulated board's transducer is moved by the tool
// itself; on a real board the user moves it and confirms with Enter.
#include "commands/calibrate.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "commands/calibration_run.h"
#include "common/arguments.h"
#include "common/board.h"
#include "common/signals.h"
#include "common/simulator.h"
#include "qmd5820_texts.h"

namespace qmdtool {
namespace {

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
        MoveTransducer(board, ch, r.position);
        uint16_t raw = 0;
        if (i_QMD5820_Read1TransducerChannel(handle, ch, &raw) != 0 ||
            i_QMD5820_Convert1RawToMetricValue(handle, ch, raw, &r.value) != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool TransducerCalibrated(const CalibrationRun& run) {
    double range = 0.0, sensitivity = 0.0, frequency = 0.0, voltage = 0.0;
    uint8_t calibrated = 0;
    return i_QMD5820_TransducerDatabaseReadTransducerInfo(run.handle, run.arguments.index, &range,
                                                          &sensitivity, &frequency, &voltage,
                                                          &calibrated) == 0 &&
           calibrated != 0;
}

bool CalibrationRun::BreakRequested() const { return broken || Interrupted() != 0; }

void CalibrationRun::Show(const char* phase, const uint32_t* values) {
    char text[160];
    int n = std::snprintf(text, sizeof text, "%7.1f s  %-44s", Elapsed(), phase);
    if (values != nullptr && n > 0 && static_cast<std::size_t>(n) < sizeof text) {
        std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), "  values %5u %5u",
                      values[0], values[1]);
    }
    status.Show(text, phase);
}

bool CalibrationRun::PutTransducer(uint8_t ch, double x, const char* what) {
    if (MoveTransducer(board, ch, x)) {
        status.Message("simulated transducer on channel %u moved to %g (%s)", ch, x, what);
        return !BreakRequested();
    }
    status.Message("move the transducer on channel %u to %s (%g) and press Enter", ch, what, x);
    return WaitForEnter() && !BreakRequested();
}

double ZeroOf(uint8_t board, uint8_t ch, uint8_t model) {
    return model == 1 ? BoardZeroPosition(board, ch) : 0.0;
}

void CalibrateCommand::Declare(CLI::App& command) {
    command.add_option("INDEX", texts_.index, "transducer index")
        ->required()
        ->type_name("")
        ->check(Unsigned(0, 255, "a transducer index"));
    command.add_option("CHANNELS", texts_.channels, "CH0[,CH1]: channel 0 to 7, optionally one 8 to 15")
        ->required()
        ->type_name("CH0[,CH1]")
        ->check(Expect(
            [](const std::string& t) {
                const std::size_t comma = t.find(',');
                if (!ParseUnsigned(std::string_view(t).substr(0, comma), 7)) return false;
                if (comma == std::string::npos) return true;
                const auto ch1 = ParseUnsigned(std::string_view(t).substr(comma + 1), 15);
                return ch1 && *ch1 >= 8;
            },
            "CH0[,CH1] (CH0 0 to 7, CH1 8 to 15)"));
    command.add_option("--position", texts_.position, "where the transducer stands (not 0)")
        ->required()
        ->type_name("P")
        ->check(Expect(
            [](const std::string& t) {
                const std::optional<double> p = ParseReal(t);
                return p && *p != 0.0;
            },
            "a finite number other than 0"));
    CLI::Option* impedance = command.add_option("--impedance", texts_.impedance, "impedance (1)")
        ->type_name("Z")
        ->check(Unsigned(1, 0xFFFFFFFFUL, "an impedance"));
    CLI::Option* model = command.add_option("--model", texts_.model, "transducer model 0 or 1")
        ->type_name("0|1")
        ->check(Unsigned(0, 1, "a transducer model"));
    command.add_flag("--interactive", texts_.interactive, "step by step instead of the worker")
        ->excludes(impedance)
        ->excludes(model);
    command.footer(
        "Calibrates transducer type INDEX on channel CH0 (0-7) and optionally CH1 (8-15), with\n"
        "the transducer at P (metric, not 0) for the position steps: by the worker (transducer\n"
        "model 0 or 1, impedance Z, default 1) or step by step (--interactive); progress on\n"
        "stderr, readings before and after on stdout. Ctrl-C, SIGTERM or SIGHUP breaks off\n"
        "(exit 128 + the signal) and says what was restored: the worker's break restores the\n"
        "configuration block but not the potentiometers, and keeps a result it stored in the\n"
        "threshold phase; the step-by-step break restores potentiometers and excitation table\n"
        "after the running step.");
}

std::string CalibrateCommand::Finish(const CLI::App&) {
    CalibrateArguments& a = arguments_;
    a = {};
    a.index = *ParseByte(texts_.index);
    const std::size_t comma = texts_.channels.find(',');
    a.ch0 = *ParseByte(std::string_view(texts_.channels).substr(0, comma));
    if (comma != std::string::npos) a.ch1 = *ParseByte(std::string_view(texts_.channels).substr(comma + 1));
    a.position = *ParseReal(texts_.position);
    if (!texts_.impedance.empty()) a.impedance = static_cast<uint32_t>(Number(texts_.impedance));
    if (!texts_.model.empty()) a.model = static_cast<uint8_t>(Number(texts_.model));
    a.interactive = texts_.interactive;
    return {};
}

int CalibrateCommand::Run(const Invocation& invocation) const {
    const QMD5820_HANDLE handle = invocation.board->handle();
    const uint8_t board = invocation.board_index;
    const CalibrateArguments& a = arguments_;
    double range = 0.0, sensitivity = 0.0, frequency = 0.0, voltage = 0.0;
    uint8_t calibrated = 0;
    if (i_QMD5820_TransducerDatabaseReadTransducerInfo(handle, a.index, &range, &sensitivity,
                                                       &frequency, &voltage, &calibrated) != 0) {
        std::fprintf(stderr, "qmd5820: %s\n", pc_QMD5820_GetLastError(handle));
        return kFailed;
    }
    // The worker's start refuses a position it cannot reach or check (-5): say which bounds
    // apply to this transducer type before anything is read or changed.
    char problem[256] = {};
    if (!a.interactive &&
        qmd5820_worker_position_problem(a.position, range, problem, sizeof problem) != 0) {
        std::fprintf(stderr, "qmd5820: transducer %u: %s\n", a.index, problem);
        return kFailed;
    }
    // On the simulated board (with its front end's errors) the readings are taken at several
    // positions; on a board where the transducer stands.
    std::vector<double> where{a.position};
    if (kSimulator) {
        EnableFrontEnd(board);
        where = {-0.8 * range, -0.4 * range, 0.0, 0.4 * range, 0.8 * range};
        if (std::find(where.begin(), where.end(), a.position) == where.end()) {
            where.insert(std::upper_bound(where.begin(), where.end(), a.position), a.position);
        }
    }
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

    int result = 0;
    double elapsed = 0.0;
    {
        const InterruptSignals signals;
        StatusLine status(StatusLine::kOncePerKey);
        CalibrationRun run{handle, board, a, status, std::chrono::steady_clock::now()};
        run.calibrated_before = calibrated != 0;
        status.Message("calibrating transducer %u on channel %u%s%s by the %s, position %g",
                       a.index, a.ch0, a.ch1 != 0 ? " and " : "",
                       a.ch1 != 0 ? std::to_string(a.ch1).c_str() : "",
                       a.interactive ? "step-by-step procedure" : "worker", a.position);
        result = a.interactive ? RunInteractive(run) : RunWorker(run);
        status.End(false);
        elapsed = run.Elapsed();
    }
    if (result != 0) return result;
    std::fprintf(stderr, "calibrated in %.1f s\n", elapsed);

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

}  // namespace qmdtool
