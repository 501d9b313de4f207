// The calibration worker's thread: every phase of a run, in order, with its failures and the
// store (the adjustment phases are in worker_phases.cpp; the start, the status and the break
// in worker_control.cpp).
#include <cmath>

#include "calibration/calibration.h"
#include "calibration/worker.h"
#include "core/backend.h"
#include "core/board_table.h"
#include "qmd5820_protocol/bytes.h"
#include "core/transport.h"
#include "eeprom/database.h"
#include "eeprom/eeprom.h"
#include "qmd5820_protocol/settings.h"
#include "io/primary_line.h"

namespace qmd {

double WorkerRecordF64(const CalibrationBlock& cal, std::size_t offset) {
    return bytes::GetF64(cal.worker_record.data() + offset);
}
uint8_t WorkerSelectionType(const CalibrationBlock& cal) {
    return cal.worker_record[rec::kSelectionType];
}
uint32_t WorkerFrequency(const CalibrationBlock& cal) {
    return TruncateFrequency(WorkerRecordF64(cal, rec::kFrequency));
}

ExcitationTable WorkerTable(const CalibrationBlock& cal) {
    std::array<uint32_t, kMaxExcitationEntries> a{};
    std::array<uint32_t, kMaxExcitationEntries> b{};
    ExcitationTable table;
    table.count = ComputeExcitationTables(WorkerFrequency(cal), cal.factor_a, cal.factor_b, a, b);
    for (std::size_t i = 0; i < table.count && i < kMaxExcitationEntries; ++i) {
        table.a[i] = a[i];
        table.b[i] = b[i];
    }
    return table;
}

namespace {

// Statuses of the phases of group g: open, then the searches in the order of Adjustment
// (symmetry, first level, second level, first position, second position).
constexpr int32_t kGroupStatus[2][6] = {
    {QMD5820_WORKER_GROUP0_OPEN, QMD5820_WORKER_GROUP0_SYMMETRY, QMD5820_WORKER_GROUP0_FIRST_LEVEL,
     QMD5820_WORKER_GROUP0_SECOND_LEVEL, QMD5820_WORKER_GROUP0_FIRST_POSITION,
     QMD5820_WORKER_GROUP0_SECOND_POSITION},
    {QMD5820_WORKER_GROUP1_OPEN, QMD5820_WORKER_GROUP1_SYMMETRY, QMD5820_WORKER_GROUP1_FIRST_LEVEL,
     QMD5820_WORKER_GROUP1_SECOND_LEVEL, QMD5820_WORKER_GROUP1_FIRST_POSITION,
     QMD5820_WORKER_GROUP1_SECOND_POSITION}};

constexpr uint32_t kPollMs = 50;
constexpr int32_t kZeroWindow = 64;

class Worker {
public:
    explicit Worker(BoardRecord& board)
        : cal_(board.calibration), handle_(board.device_handle.load()), board_{cal_, handle_} {}

    // 0 after completion, 1 after a failure or a break.
    uint32_t Run() {
        if (!Prepare() || !CheckPrimaryLine() || StopOnBreak()) return 1;
        if (!Levels(0) || !FirstConfirmation()) return 1;
        cal_.next_step_request.store(0);
        if (!Phase(QMD5820_WORKER_BALANCE, [&] { return BalanceWorkerExcitation(board_); }) ||
            StopOnBreak()) {
            return 1;
        }
        if (!WaitForNextStep(QMD5820_WORKER_CONFIRM_POSITION) || !Positions(0)) return 1;
        if (cal_.group1_channel != 0) {
            if (!Levels(1) || !WaitForNextStep(QMD5820_WORKER_CONFIRM_GROUP1_POSITION) ||
                !Positions(1)) {
                return 1;
            }
        }
        if (!WaitForNextStep(QMD5820_WORKER_CONFIRM_THRESHOLD) || StopOnBreak()) return 1;
        cal_.worker_status.store(QMD5820_WORKER_THRESHOLD);
        if (const int16_t e = SearchTestThreshold(board_); e != 0) {
            return Fail(QMD5820_WORKER_THRESHOLD, e);
        }
        cal_.worker_status.store(QMD5820_WORKER_STORE);
        if (const int16_t r = StoreWorkerCalibration(); r != 0) {
            return Fail(QMD5820_WORKER_STORE, -r);
        }
        cal_.restore_pending.store(0);
        cal_.worker_status.store(QMD5820_WORKER_DONE);
        return 0;
    }

private:
    bool StopOnBreak() {
        if (cal_.break_request.load() == 0) return false;
        cal_.break_request.store(0);
        return true;
    }

    uint32_t Fail(int32_t phase, int32_t code) {
        cal_.error_phase.store(phase);
        cal_.error_code.store(code);
        cal_.worker_status.store(QMD5820_WORKER_FAILED);
        cal_.break_request.store(0);
        return 1;
    }

    // Runs a phase operation under `phase`: true when it succeeded; a result r fails the
    // run with the phase and -r.
    template <class Op>
    bool Phase(int32_t phase, Op&& op) {
        cal_.worker_status.store(phase);
        const int16_t r = op();
        if (r == 0) return true;
        Fail(phase, -r);
        return false;
    }

    bool Prepare() {
        cal_.worker_status.store(QMD5820_WORKER_PREPARE);
        uint8_t computed[kConfigurationBlockBytes] = {};
        ComputeTransducerSettings(
            WorkerRecordF64(cal_, rec::kPrimaryVoltage), WorkerRecordF64(cal_, rec::kSensitivity),
            WorkerRecordF64(cal_, rec::kRange), static_cast<double>(cal_.worker_impedance),
            WorkerFrequency(cal_), computed);
        const uint8_t s = WorkerSelectionType(cal_);
        if (ReadConfigurationBlock(handle_, s, cal_.saved_block) != 0) {
            Fail(QMD5820_WORKER_PREPARE, 1);
            return false;
        }
        cal_.saved_selection_type = s;
        cal_.restore_pending.store(1);
        std::array<uint16_t, kBlockWords> computed_words{};
        for (std::size_t k = 0; k < kBlockWords; ++k) {
            computed_words[k] = bytes::GetU16(computed + 2 * k);
        }
        if (computed_words != cal_.saved_block &&
            WriteConfigurationBlock(handle_, s, computed_words) != 0) {
            Fail(QMD5820_WORKER_PREPARE, 1);
            return false;
        }
        cal_.working_block = cal_.saved_block;
        return true;
    }

    bool CheckPrimaryLine() {
        cal_.worker_status.store(QMD5820_WORKER_PRIMARY_LINE);
        int32_t e = 0;
        if (SetPrimaryLineTest(handle_, 1) != 0) {
            e = 1;
        } else {
            uint8_t line = 0;
            if (ReadPrimaryLineStatus(handle_, line) != 0) {
                e = 2;
            } else if ((line & kShortCircuitLatched) != 0) {
                SleepMs(kSettleMs);
                Record<req::kRearmPrimaryLine> rearm{};
                (void)Exchange<req::kRearmPrimaryLine>(handle_, rearm);
                SleepMs(kSettleMs);
                if (ReadPrimaryLineStatus(handle_, line) != 0) {
                    e = 2;
                } else if ((line & kShortCircuitLatched) != 0) {
                    e = 4;
                }
            }
        }
        if (SetPrimaryLineTest(handle_, 0) != 0) e = 3;
        if (e == 0) return true;
        Fail(QMD5820_WORKER_PRIMARY_LINE, e);
        return false;
    }

    // The search `a` of group g under its status: true when it succeeded.
    bool Adjust(Adjustment a, int g) {
        const int32_t st = kGroupStatus[g][static_cast<int>(a) + 1];
        return Phase(st, [&] { return AdjustWorker(board_, a, g); });
    }

    // Open, symmetry, first and second level of group g, then the levels request.
    bool Levels(int g) {
        if (!Phase(kGroupStatus[g][0], [&] { return OpenWorkerGroup(board_, g); }) ||
            StopOnBreak()) {
            return false;
        }
        for (Adjustment a :
             {Adjustment::kSymmetry, Adjustment::kFirstLevel, Adjustment::kSecondLevel}) {
            if (!Adjust(a, g) || StopOnBreak()) return false;
        }
        if (WorkerLevelsAdjusted(handle_) != 0) {
            Fail(kGroupStatus[g][3], 10);
            return false;
        }
        return !StopOnBreak();
    }

    bool Positions(int g) {
        if (!Adjust(Adjustment::kFirstPosition, g) || StopOnBreak()) return false;
        if (!Adjust(Adjustment::kSecondPosition, g)) return false;
        (void)WorkerPositionAdjusted(handle_);
        return !StopOnBreak();
    }

    // Waits in 50 ms steps for the caller's confirmation; false when stopped on a break.
    bool WaitForNextStep(int32_t phase) {
        cal_.worker_status.store(phase);
        while (cal_.next_step_request.load() != 1) {
            SleepMs(kPollMs);
            if (StopOnBreak()) return false;
        }
        cal_.next_step_request.store(0);
        return true;
    }

    bool FirstConfirmation() {
        cal_.worker_status.store(QMD5820_WORKER_AWAIT_ZERO);
        const bool model1 = cal_.transducer_model == 1;
        if (model1) {
            cal_.factor_a = cal_.factor_b = 1.0;
            if (WriteExcitationTable(handle_, WorkerTable(cal_)) != 0) {
                Fail(QMD5820_WORKER_CONFIRM_ZERO, 1);
                return false;
            }
            SleepMs(kSettleMs);
            if (StopOnBreak()) return false;
        }
        for (;;) {
            if (model1) {
                const WorkerAverages avg = AverageLiveValues64(handle_, cal_);
                if (avg.code != 0) {
                    Fail(QMD5820_WORKER_CONFIRM_ZERO, 10);
                    return false;
                }
                const int64_t away = static_cast<int64_t>(avg.value0) - 32767;
                if (away > kZeroWindow || away < -kZeroWindow) {
                    cal_.worker_status.store(QMD5820_WORKER_AWAIT_ZERO);
                    SleepMs(kPollMs);
                    if (StopOnBreak()) return false;
                    continue;
                }
            }
            cal_.worker_status.store(QMD5820_WORKER_CONFIRM_ZERO);
            if (cal_.next_step_request.load() == 1) return true;
            SleepMs(kPollMs);
            if (StopOnBreak()) return false;
        }
    }

    // Status 21: 0, -1 or -2.
    int16_t StoreWorkerCalibration() {
        for (std::size_t p = 0; p < kWorkerPotentiometers; ++p) {
            // Potentiometers this run did not adjust keep what the saved block holds.
            if ((cal_.adjusted_potentiometers & (1u << p)) != 0) {
                PutBlockU32(cal_.working_block, cfg::FieldByte(cfg::kPotentiometers + p),
                            cal_.worker_potentiometers[p]);
            }
        }
        EnterExcitation(cal_.working_block, WorkerTable(cal_), cal_.factor_a, cal_.factor_b);
        const uint8_t s = WorkerSelectionType(cal_);
        if (WriteConfigurationBlock(handle_, s, cal_.working_block) != 0) return -1;
        switch (MarkCalibrated(handle_, cal_.worker_record[rec::kIndex], s)) {
            case MarkFailure::kNone: return 0;
            case MarkFailure::kReadFirst:
            case MarkFailure::kReadSecond: return -2;
            default: return -1;
        }
    }

    CalibrationBlock& cal_;
    QMD5820_HANDLE handle_;
    WorkerBoard board_;
};

}  // namespace

uint32_t WorkerEntry(void* argument) {
    BoardRecord& board = *static_cast<BoardRecord*>(argument);
    const uint32_t exit_code = Worker(board).Run();
    board.calibration.Release(Procedure::kWorker);  // the worker's last access to the record
    return exit_code;
}

}  // namespace qmd
