// The calibration worker's thread: every phase of a run, in order (the start, the status
// and the break are in worker_control.cpp).
#include <cmath>

#include "calibration/calibration.h"
#include "calibration/potentiometers.h"
#include "calibration/search.h"
#include "calibration/worker.h"
#include "core/backend.h"
#include "core/board_table.h"
#include "core/bytes.h"
#include "core/transport.h"
#include "eeprom/database.h"
#include "eeprom/eeprom.h"
#include "eeprom/settings.h"
#include "io/primary_line.h"

namespace qmd {
namespace {

// Statuses of the phases of group g: open, symmetry, first level, second level, first
// position, second position.
constexpr int32_t kGroupStatus[2][6] = {
    {QMD5820_WORKER_GROUP0_OPEN, QMD5820_WORKER_GROUP0_SYMMETRY, QMD5820_WORKER_GROUP0_FIRST_LEVEL,
     QMD5820_WORKER_GROUP0_SECOND_LEVEL, QMD5820_WORKER_GROUP0_FIRST_POSITION,
     QMD5820_WORKER_GROUP0_SECOND_POSITION},
    {QMD5820_WORKER_GROUP1_OPEN, QMD5820_WORKER_GROUP1_SYMMETRY, QMD5820_WORKER_GROUP1_FIRST_LEVEL,
     QMD5820_WORKER_GROUP1_SECOND_LEVEL, QMD5820_WORKER_GROUP1_FIRST_POSITION,
     QMD5820_WORKER_GROUP1_SECOND_POSITION}};

constexpr uint32_t kSettleMs = 250;
constexpr uint32_t kPollMs = 50;
constexpr int32_t kZeroWindow = 64;

double RecordF64(const CalibrationBlock& cal, std::size_t offset) {
    return bytes::GetF64(cal.worker_record.data() + offset);
}
uint8_t SelectionType(const CalibrationBlock& cal) { return cal.worker_record[rec::kSelectionType]; }
uint32_t Frequency(const CalibrationBlock& cal) {
    return TruncateFrequency(RecordF64(cal, rec::kFrequency));
}

// The excitation tables for the worker's factors A and B.
ExcitationTable WorkerTable(const CalibrationBlock& cal) {
    std::array<uint32_t, kMaxExcitationEntries> a{};
    std::array<uint32_t, kMaxExcitationEntries> b{};
    ExcitationTable table;
    table.count = ComputeExcitationTables(Frequency(cal), cal.factor_a, cal.factor_b, a, b);
    for (std::size_t i = 0; i < table.count && i < kMaxExcitationEntries; ++i) {
        table.a[i] = a[i];
        table.b[i] = b[i];
    }
    return table;
}

// A potentiometer search of the worker (one row of the members' table).
struct Member {
    const uint8_t* potentiometer;  // by group
    const uint8_t* prelude;        // potentiometer written before the search, or null
    uint8_t prelude_value;
    bool rising;
    bool position;                 // deviation from the worker position, else a level
    bool symmetry;                 // level deviation of the symmetry search
    bool epilogue;                 // first-level potentiometer back to 128 after the search
    // The largest |deviation| the search may end with (0: none), in its own units: the
    // limit of the step-by-step procedure's matching step. The first position search has
    // none (nor has step 5): it sets the coarse gain, one step of which can move the
    // reading by more than the limit, and the second position search completes it.
    double limit;
};

constexpr Member kSymmetry{pot::kSymmetry, pot::kFirstLevel, 64, true, false, true, true,
                           search::kLevelLimit};
constexpr Member kFirstLevel{pot::kFirstLevel, pot::kSecondLevel, 128, false, false, false, false,
                             search::kLevelLimit};
constexpr Member kSecondLevel{pot::kSecondLevel, nullptr, 0, true, false, false, false,
                              search::kSecondLevelLimit};
constexpr Member kFirstPosition{pot::kFirstPosition, pot::kSecondPosition, 128, true, true, false,
                                false, 0};
constexpr Member kSecondPosition{pot::kSecondPosition, nullptr, 0, false, true, false, false,
                                 search::kPositionLimit};

// The code of a phase whose search ended beyond its limit (the failure code is -this).
constexpr int16_t kBeyondLimit = -QMD5820_WORKER_BEYOND_LIMIT;

class Worker {
public:
    explicit Worker(BoardRecord& board)
        : cal_(board.calibration), handle_(board.device_handle.load()) {}

    // 0 after completion, 1 after a failure or a break.
    uint32_t Run() {
        if (!Prepare() || !CheckPrimaryLine() || StopOnBreak()) return 1;
        if (!Levels(0) || !FirstConfirmation()) return 1;
        cal_.next_step_request.store(0);
        if (!Phase(QMD5820_WORKER_BALANCE, [&] { return BalanceWorkerExcitation(); }) || StopOnBreak()) {
            return 1;
        }
        if (!WaitForNextStep(QMD5820_WORKER_CONFIRM_POSITION) || !Positions(0)) return 1;
        if (cal_.group1_channel != 0) {
            if (!Levels(1) || !WaitForNextStep(QMD5820_WORKER_CONFIRM_GROUP1_POSITION) || !Positions(1)) {
                return 1;
            }
        }
        if (!WaitForNextStep(QMD5820_WORKER_CONFIRM_THRESHOLD) || StopOnBreak()) return 1;
        cal_.worker_status.store(QMD5820_WORKER_THRESHOLD);
        if (const int16_t e = SearchTestThreshold(); e != 0) return Fail(QMD5820_WORKER_THRESHOLD, e);
        cal_.worker_status.store(QMD5820_WORKER_STORE);
        if (const int16_t r = StoreWorkerCalibration(); r != 0) return Fail(QMD5820_WORKER_STORE, -r);
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
        ComputeTransducerSettings(RecordF64(cal_, rec::kPrimaryVoltage),
                                  RecordF64(cal_, rec::kSensitivity), RecordF64(cal_, rec::kRange),
                                  static_cast<double>(cal_.worker_impedance), Frequency(cal_),
                                  computed);
        const uint8_t s = SelectionType(cal_);
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

    // Open, symmetry, first and second level of group g, then the levels request.
    bool Levels(int g) {
        const int32_t* st = kGroupStatus[g];
        if (!Phase(st[0], [&] { return OpenWorkerGroup(g); }) || StopOnBreak()) return false;
        if (!Phase(st[1], [&] { return Search(kSymmetry, g); }) || StopOnBreak()) return false;
        if (!Phase(st[2], [&] { return Search(kFirstLevel, g); }) || StopOnBreak()) return false;
        if (!Phase(st[3], [&] { return Search(kSecondLevel, g); }) || StopOnBreak()) return false;
        if (WorkerLevelsAdjusted(handle_) != 0) {
            Fail(st[3], 10);
            return false;
        }
        return !StopOnBreak();
    }

    bool Positions(int g) {
        const int32_t* st = kGroupStatus[g];
        if (!Phase(st[4], [&] { return Search(kFirstPosition, g); }) || StopOnBreak()) {
            return false;
        }
        if (!Phase(st[5], [&] { return Search(kSecondPosition, g); })) return false;
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

    int16_t OpenWorkerGroup(int g) {
        const uint8_t channel = g == 0 ? cal_.group0_channel : cal_.group1_channel;
        uint64_t address = 0;
        if (OpenWorkerAdjustment(handle_, channel, SelectionType(cal_), address) != 0) return -1;
        cal_.live_values_address.store(address);
        SleepMs(kSettleMs);
        if (StartWorkerAdjustment(handle_) != 0) return -2;
        SleepMs(kSettleMs);
        return 0;
    }

    bool BreakRequested() const { return cal_.break_request.load() != 0; }

    // A potentiometer search of group g: 0, -1, -10 or kBeyondLimit.
    int16_t Search(const Member& m, int g) {
        const uint8_t p = m.potentiometer[g];
        if (m.prelude != nullptr && WritePotentiometer(handle_, m.prelude[g], m.prelude_value) != 0) {
            return -1;
        }
        const double range = RecordF64(cal_, rec::kRange);
        const search::Settled settled = search::Bisection(
            m.rising,
            [&](uint8_t v) -> search::Measured {
                if (WritePotentiometer(handle_, p, v) != 0) return {-1, 0};
                SleepMs(kSettleMs);
                const WorkerAverages avg = AverageLiveValues64(handle_, cal_);
                if (avg.code != 0) return {-10, 0};
                if (m.position) {
                    const double converted = 2.0 * range * avg.value0 / 65535.0 - range;
                    return {0, cal_.worker_position - converted};
                }
                const int a0 = static_cast<uint16_t>(avg.value0);
                const int a1 = static_cast<uint16_t>(avg.value1);
                const int e = m.symmetry ? (65535 - a0) - a1 : 1535 - std::min(a1, 65535 - a0);
                return {0, static_cast<double>(e)};
            },
            [&] { return BreakRequested(); });
        if (settled.code != 0) return settled.code;
        if (WritePotentiometer(handle_, p, settled.value) != 0) return -1;
        if (m.epilogue) {
            if (WritePotentiometer(handle_, m.prelude[g], 128) != 0) return -1;
            SleepMs(kSettleMs);
        }
        cal_.worker_potentiometers[p] = settled.value;
        cal_.adjusted_potentiometers = static_cast<uint16_t>(cal_.adjusted_potentiometers | (1u << p));
        // What the step-by-step procedure refuses (-50) fails the phase instead of being
        // stored. A search ended by a break is not judged: the worker stops on the break.
        if (m.limit > 0 && !BreakRequested() && !(settled.deviation <= m.limit)) {
            return kBeyondLimit;
        }
        return 0;
    }

    // The balance's least |32767 - value 0| in counts against the step-by-step limit on the
    // converted reading: d counts are d x 2R / 65535 of it. Where the limit is finer than a
    // count (R above about 33) the converter cannot show better than one count.
    bool BalanceAccepted(double counts) const {
        const double range = RecordF64(cal_, rec::kRange);
        return counts <= 1 || counts * 2.0 * range / 65535.0 <= search::kBalanceLimit;
    }

    int16_t WriteTable() {
        if (WriteExcitationTable(handle_, WorkerTable(cal_)) != 0) return -1;
        SleepMs(kSettleMs);
        return 0;
    }

    // Status 8: 0, -1, -10 or kBeyondLimit (model 0 only).
    int16_t BalanceWorkerExcitation() {
        cal_.factor_a = cal_.factor_b = 1.0;
        if (WriteTable() != 0) return -1;
        if (cal_.transducer_model != 0) return 0;
        uint32_t r = 0;
        if (!BreakRequested()) {
            if (WritePotentiometer(handle_, pot::kThreshold, 255) != 0) return -1;
            SleepMs(kSettleMs);
            const WorkerAverages avg = AverageLiveValues64(handle_, cal_);
            if (avg.code != 0) return -10;
            r = avg.value0;
        }
        bool search_b = false;
        if (r > 32767) {
            cal_.factor_b -= 0.01;
            if (WriteTable() != 0) return -1;
            const WorkerAverages p = AverageLiveValues64(handle_, cal_);
            if (p.code != 0) return -10;
            search_b = p.value0 < r;
        } else {
            cal_.factor_a -= 0.01;
            if (WriteTable() != 0) return -1;
            const WorkerAverages p = AverageLiveValues64(handle_, cal_);
            if (p.code != 0) return -10;
            search_b = !(p.value0 > r);
        }
        double& factor = search_b ? cal_.factor_b : cal_.factor_a;
        const search::FactorResult found = search::FactorBisection(
            search_b,
            [&](double x) -> search::Measured {
                factor = x;
                if (WriteTable() != 0) return {-1, 0};
                const WorkerAverages avg = AverageLiveValues64(handle_, cal_);
                if (avg.code != 0) return {-10, 0};
                return {0, static_cast<double>(32767 - static_cast<int64_t>(avg.value0))};
            },
            [&] { return BreakRequested(); });
        if (found.code != 0) return found.code;
        factor = found.factor;
        if (WriteTable() != 0) return -1;
        if (!BreakRequested() && !BalanceAccepted(found.deviation)) return kBeyondLimit;
        return 0;
    }

    // Status 20: 0 or 1, 2, 3, 5.
    int16_t SearchTestThreshold() {
        int16_t e = 0;
        if (SetPrimaryLineTest(handle_, 1) != 0) {
            e = 1;
        } else {
            const search::Threshold found = search::ThresholdSearch(
                [&](uint8_t v) -> search::Probe {
                    if (WritePotentiometer(handle_, pot::kThreshold, v) != 0) return {2, false};
                    SleepMs(kSettleMs);
                    uint8_t line = 0;
                    if (ReadPrimaryLineStatus(handle_, line) != 0) return {3, false};
                    return {0, (line & kDetectionResponds) != 0};
                },
                [&] { return BreakRequested(); });
            e = found.code;
            if (found.record) PutBlockU32(cal_.working_block, kThresholdOffset, found.value);
        }
        if (SetPrimaryLineTest(handle_, 0) != 0) e = 1;
        if (WritePotentiometer(handle_, pot::kThreshold, cal_.worker_potentiometers[pot::kThreshold]) !=
            0) {
            return 5;
        }
        return e;
    }

    // Status 21: 0, -1 or -2.
    int16_t StoreWorkerCalibration() {
        for (std::size_t p = 0; p < kWorkerPotentiometers; ++p) {
            // Potentiometers this run did not adjust keep what the saved block holds.
            if ((cal_.adjusted_potentiometers & (1u << p)) != 0) {
                PutBlockU32(cal_.working_block, 4 * p, cal_.worker_potentiometers[p]);
            }
        }
        EnterExcitation(cal_.working_block, WorkerTable(cal_), cal_.factor_a, cal_.factor_b);
        const uint8_t s = SelectionType(cal_);
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
};

}  // namespace

uint32_t WorkerEntry(void* argument) {
    BoardRecord& board = *static_cast<BoardRecord*>(argument);
    const uint32_t exit_code = Worker(board).Run();
    board.calibration.Release(Procedure::kWorker);  // the worker's last access to the record
    return exit_code;
}

}  // namespace qmd
