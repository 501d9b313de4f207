// The calibrate command by the library's worker: the worker runs on its own thread and is
// polled every 50 ms; the tool places the transducer and confirms where the worker waits.
// The meanings of the worker's statuses and failures are the library's (qmd5820_texts.h).
#include <chrono>
#include <thread>

#include "commands/calibration_run.h"
#include "common/signals.h"
#include "qmd5820_texts.h"

namespace qmdtool {
namespace {

const char* PhaseText(int32_t status) {
    return status == 0 ? "starting" : qmd5820_worker_status_text(status);
}

}  // namespace

// What a worker break leaves, by the phase the worker was in when it came. The break
// writes back the configuration block the worker saved at its start, unless the worker
// stored its result first: a break in the threshold phase (or one that came just as the
// threshold search was confirmed) lets the worker finish storing, and that result stays.
// The potentiometers are not put back; the worker adjusts them from its symmetry phase on.
WorkerBreakReport ReportWorkerBreak(int32_t phase, bool restored, bool calibrated_before,
                                    bool calibrated_after) {
    const bool may_store = phase == QMD5820_WORKER_CONFIRM_THRESHOLD ||
                           phase == QMD5820_WORKER_THRESHOLD || phase == QMD5820_WORKER_STORE ||
                           phase == QMD5820_WORKER_DONE;
    WorkerBreakReport r;
    r.result_kept = may_store && calibrated_after &&
                    (!calibrated_before || phase != QMD5820_WORKER_CONFIRM_THRESHOLD);
    r.block_restored = restored && !r.result_kept;
    r.potentiometers_changed = phase >= QMD5820_WORKER_GROUP0_SYMMETRY &&
                               phase != QMD5820_WORKER_FAILED && phase != QMD5820_WORKER_RESTORE;
    return r;
}

void PrintWorkerBreak(StatusLine& status, uint8_t index, const WorkerBreakReport& r) {
    if (r.result_kept) {
        status.Message("  kept: the result stored in the threshold phase (transducer %u is "
                       "calibrated)", index);
    } else {
        status.Message("  stored: nothing");
    }
    if (r.result_kept) {
        status.Message("  configuration block: holds the stored result");
    } else if (r.block_restored) {
        status.Message("  restored: the configuration block of transducer %u as it was before "
                       "the run", index);
    } else {
        status.Message("  NOT restored: the configuration block of transducer %u (the restore "
                       "failed; run the calibration again or restore an EEPROM backup)", index);
    }
    if (r.potentiometers_changed) {
        status.Message("  NOT restored: the potentiometers the worker adjusted (a worker break "
                       "restores only the configuration block)");
    } else {
        status.Message("  potentiometers: not changed yet");
    }
}

int RunWorker(CalibrationRun& run) {
    const CalibrateArguments& a = run.arguments;
    const QMD5820_HANDLE handle = run.handle;
    double zero = 0.0;  // where the transducer reads zero
    const int16_t code = i_QMD5820_CalibrationStart(handle, a.index, a.ch0, a.ch1, a.impedance,
                                                    a.position, a.model);
    if (code != 0) {
        run.status.Message("qmd5820: %s", pc_QMD5820_GetLastError(handle));
        return kFailed;
    }
    int32_t confirmed = -1;
    int32_t phase = QMD5820_WORKER_PREPARE;  // the status last seen
    for (;;) {
        if (run.BreakRequested()) {
            const int signal = Interrupted();
            int32_t now = phase;
            uint32_t ignored[2] = {};
            if (i_QMD5820_CalibrationGetCurrentStatus(handle, &now, ignored) == 0 &&
                now != QMD5820_WORKER_IDLE && now != QMD5820_WORKER_FAILED) {
                phase = now;
            }
            run.status.Message("%s%s in phase %d (%s): breaking off the worker",
                               signal != 0 ? "interrupted by " : "input ended",
                               signal != 0 ? SignalName(signal) : "", phase, PhaseText(phase));
            const int16_t restored = i_QMD5820_CalibrationBreak(handle);
            if (restored != 0) run.status.Message("qmd5820: %s", pc_QMD5820_GetLastError(handle));
            PrintWorkerBreak(run.status, a.index,
                             ReportWorkerBreak(phase, restored == 0, run.calibrated_before,
                                               TransducerCalibrated(run)));
            return signal != 0 ? InterruptedStatus(signal) : kFailed;
        }
        int32_t status = 0;
        uint32_t values[2] = {};
        i_QMD5820_CalibrationGetCurrentStatus(handle, &status, values);
        if (status == QMD5820_WORKER_DONE) {
            run.Show(PhaseText(status), nullptr);
            return 0;
        }
        if (status == QMD5820_WORKER_FAILED) {
            const auto failed_phase = static_cast<int32_t>(values[0]);
            const auto failure = static_cast<int32_t>(values[1]);
            run.status.Message("calibration failed in phase %d (%s): code %d, %s", failed_phase,
                               PhaseText(failed_phase), failure,
                               qmd5820_worker_failure_text(failed_phase, failure));
            const int16_t restored = i_QMD5820_CalibrationBreak(handle);
            run.status.Message(restored == 0 ? "configuration block restored"
                                             : "the configuration block could not be restored");
            if (failed_phase >= QMD5820_WORKER_GROUP0_SYMMETRY) {
                run.status.Message("the potentiometers the worker adjusted are not restored");
            }
            return kFailed;
        }
        phase = status;
        run.Show(PhaseText(status), status >= 3 ? values : nullptr);
        if (status != confirmed) confirmed = -1;
        bool placed = true;
        if (status == QMD5820_WORKER_AWAIT_ZERO && confirmed != status) {
            zero = ZeroOf(run.board, a.ch0, a.model);
            placed = run.PutTransducer(a.ch0, zero, "the board's zero");
            confirmed = status;  // the worker goes on by itself once it sees the zero
        } else if ((status == QMD5820_WORKER_CONFIRM_ZERO ||
                    status == QMD5820_WORKER_CONFIRM_POSITION ||
                    status == QMD5820_WORKER_CONFIRM_GROUP1_POSITION ||
                    status == QMD5820_WORKER_CONFIRM_THRESHOLD) &&
                   confirmed != status) {
            if (status == QMD5820_WORKER_CONFIRM_ZERO && a.model == 0) {
                placed = run.PutTransducer(a.ch0, zero, "its zero");
            } else if (status == QMD5820_WORKER_CONFIRM_POSITION) {
                placed = run.PutTransducer(a.ch0, zero + a.position, "the position");
            } else if (status == QMD5820_WORKER_CONFIRM_GROUP1_POSITION) {
                placed = run.PutTransducer(a.ch1, a.position, "the position");
            }
            if (placed) i_QMD5820_CalibrationNextStep(handle);
            confirmed = status;
        }
        if (!placed) run.broken = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace qmdtool
