// What the calibrate command's two procedures share: the arguments, the status line, the
// break request and where the transducer has to be.
#ifndef QMD5820_TOOL_COMMANDS_CALIBRATION_RUN_H
#define QMD5820_TOOL_COMMANDS_CALIBRATION_RUN_H

#include <chrono>
#include <cstdint>

#include "QMD5820.h"
#include "commands/calibrate.h"
#include "common/status_line.h"

namespace qmdtool {

struct CalibrationRun {
    QMD5820_HANDLE handle;
    uint8_t board;
    const CalibrateArguments& arguments;
    StatusLine& status;
    std::chrono::steady_clock::time_point start;
    bool broken = false;  // the run is to be broken off (Ctrl-C, or the input ended)
    bool calibrated_before = false;  // the transducer type was calibrated before the run

    double Elapsed() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    // Ctrl-C came or the run is to be broken off for another reason.
    bool BreakRequested() const;
    // The status line: elapsed time, phase and (when given) the two live values.
    void Show(const char* phase, const uint32_t* values);
    // Puts the transducer of channel `ch` at `x` (described by `what`): on the simulated
    // board the tool moves it; on a board the user does and confirms with Enter. False when
    // the user ends the input or the run is broken off.
    bool PutTransducer(uint8_t ch, double x, const char* what);
};

// The position at which the channel (initialised) reads zero: the transducer's zero, or on
// the simulated board for transducer model 1 the board's zero, where the run zeroes it.
double ZeroOf(uint8_t board, uint8_t ch, uint8_t model);

// Whether the transducer type is marked calibrated now (false when it cannot be read).
bool TransducerCalibrated(const CalibrationRun& run);

// What a break of the worker left, from the worker's phase when it came.
struct WorkerBreakReport {
    bool block_restored = false;          // the configuration block is as before the run
    bool potentiometers_changed = false;  // the worker had adjusted potentiometers (not restored)
    bool result_kept = false;             // the worker stored its result before it stopped
};
// `phase`: the worker's status when the break came; `restored`: the break succeeded;
// calibrated before the run and after the break.
WorkerBreakReport ReportWorkerBreak(int32_t phase, bool restored, bool calibrated_before,
                                    bool calibrated_after);
void PrintWorkerBreak(StatusLine& status, uint8_t index, const WorkerBreakReport& report);

// The two procedures; each returns the exit status: 0, kFailed, or 128 + the signal that
// broke the run off.
int RunWorker(CalibrationRun& run);
int RunInteractive(CalibrationRun& run);

}  // namespace qmdtool

#endif
