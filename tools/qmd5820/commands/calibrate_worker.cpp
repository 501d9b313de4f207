// The calibrate command by the library's worker: the worker runs on its own thread and is
// polled every 50 ms; the tool places the transducer and confirms where the worker waits.
#include <chrono>
#include <thread>

#include "commands/calibration_run.h"

namespace qmdtool {
namespace {

// The worker's status as text.
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

}  // namespace

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
    for (;;) {
        if (run.BreakRequested()) {
            run.status.Message("breaking off: stopping the worker, restoring the configuration block");
            const int16_t restored = i_QMD5820_CalibrationBreak(handle);
            if (restored != 0) run.status.Message("qmd5820: %s", pc_QMD5820_GetLastError(handle));
            return kFailed;
        }
        int32_t status = 0;
        uint32_t values[2] = {};
        i_QMD5820_CalibrationGetCurrentStatus(handle, &status, values);
        if (status == 22) {
            run.Show(WorkerPhase(status), nullptr);
            return 0;
        }
        if (status == 23) {
            run.status.Message("calibration failed in phase %u (%s): code %u, %s", values[0],
                               WorkerPhase(values[0]), values[1], WorkerFailure(values[0], values[1]));
            const int16_t restored = i_QMD5820_CalibrationBreak(handle);
            run.status.Message(restored == 0 ? "configuration block restored"
                                             : "the configuration block could not be restored");
            return kFailed;
        }
        run.Show(WorkerPhase(status), status >= 3 ? values : nullptr);
        if (status != confirmed) confirmed = -1;
        bool placed = true;
        if (status == 7 && confirmed != 7) {
            zero = ZeroOf(run.board, a.ch0, a.model);
            placed = run.PutTransducer(a.ch0, zero, "the board's zero");
            confirmed = 7;  // the worker goes on by itself once it sees the zero
        } else if ((status == 25 || status == 9 || status == 16 || status == 19) &&
                   confirmed != status) {
            if (status == 25 && a.model == 0) {
                placed = run.PutTransducer(a.ch0, zero, "its zero");
            } else if (status == 9) {
                placed = run.PutTransducer(a.ch0, zero + a.position, "the position");
            } else if (status == 16) {
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
