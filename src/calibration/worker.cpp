// The worker calibration: i_QMD5820_CalibrationStart starts a thread that runs every phase;
// the caller polls the status, confirms the mechanical positions and may break.
#include <cmath>

#include "calibration/calibration.h"
#include "calibration/potentiometers.h"
#include "calibration/search.h"
#include "core/backend.h"
#include "core/board_table.h"
#include "qmd5820_protocol/bytes.h"
#include "core/output.h"
#include "core/transport.h"
#include "eeprom/database.h"
#include "eeprom/eeprom.h"
#include "qmd5820_protocol/settings.h"
#include "io/primary_line.h"
#include "platform/platform.h"

namespace qmd {
namespace {

namespace status {
inline constexpr int32_t kIdle = 0;
inline constexpr int32_t kPrimaryLine = 1;
inline constexpr int32_t kPrepare = 2;
inline constexpr int32_t kFirstConfirmation = 7;
inline constexpr int32_t kBalance = 8;
inline constexpr int32_t kBeforePositions = 9;
inline constexpr int32_t kBeforeGroup1Positions = 16;
inline constexpr int32_t kBeforeThreshold = 19;
inline constexpr int32_t kThreshold = 20;
inline constexpr int32_t kStore = 21;
inline constexpr int32_t kDone = 22;
inline constexpr int32_t kFailed = 23;
inline constexpr int32_t kRestore = 24;
inline constexpr int32_t kWaitingFirstConfirmation = 25;
// Statuses of the phases of group g: open, symmetry, first level, second level, first
// position, second position.
inline constexpr int32_t kGroup[2][6] = {{3, 4, 5, 6, 10, 11}, {12, 13, 14, 15, 17, 18}};
}  // namespace status

constexpr uint8_t kShortCircuitLatched = req::primary_line::kShortCircuitLatched;
constexpr uint8_t kDetectionResponds = req::primary_line::kDetectionResponds;
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
};

constexpr Member kSymmetry{pot::kSymmetry, pot::kFirstLevel, 64, true, false, true, true};
constexpr Member kFirstLevel{pot::kFirstLevel, pot::kSecondLevel, 128, false, false, false, false};
constexpr Member kSecondLevel{pot::kSecondLevel, nullptr, 0, true, false, false, false};
constexpr Member kFirstPosition{pot::kFirstPosition, pot::kSecondPosition, 128, true, true, false,
                                false};
constexpr Member kSecondPosition{pot::kSecondPosition, nullptr, 0, false, true, false, false};

class Worker {
public:
    explicit Worker(BoardRecord& board)
        : cal_(board.calibration), handle_(board.device_handle.load()) {}

    // 0 after completion, 1 after a failure or a break.
    uint32_t Run() {
        if (!Prepare() || !CheckPrimaryLine() || StopOnBreak()) return 1;
        if (!Levels(0) || !FirstConfirmation()) return 1;
        cal_.next_step_request.store(0);
        if (!Phase(status::kBalance, [&] { return BalanceWorkerExcitation(); }) || StopOnBreak()) {
            return 1;
        }
        if (!WaitForNextStep(status::kBeforePositions) || !Positions(0)) return 1;
        if (cal_.group1_channel != 0) {
            if (!Levels(1) || !WaitForNextStep(status::kBeforeGroup1Positions) || !Positions(1)) {
                return 1;
            }
        }
        if (!WaitForNextStep(status::kBeforeThreshold) || StopOnBreak()) return 1;
        cal_.worker_status.store(status::kThreshold);
        if (const int16_t e = SearchTestThreshold(); e != 0) return Fail(status::kThreshold, e);
        cal_.worker_status.store(status::kStore);
        if (const int16_t r = StoreWorkerCalibration(); r != 0) return Fail(status::kStore, -r);
        cal_.restore_pending.store(0);
        cal_.worker_status.store(status::kDone);
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
        cal_.worker_status.store(status::kFailed);
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
        cal_.worker_status.store(status::kPrepare);
        uint8_t computed[kConfigurationBlockBytes] = {};
        ComputeTransducerSettings(RecordF64(cal_, rec::kPrimaryVoltage),
                                  RecordF64(cal_, rec::kSensitivity), RecordF64(cal_, rec::kRange),
                                  static_cast<double>(cal_.worker_impedance), Frequency(cal_),
                                  computed);
        const uint8_t s = SelectionType(cal_);
        if (ReadConfigurationBlock(handle_, s, cal_.saved_block) != 0) {
            Fail(status::kPrepare, 1);
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
            Fail(status::kPrepare, 1);
            return false;
        }
        cal_.working_block = cal_.saved_block;
        return true;
    }

    bool CheckPrimaryLine() {
        cal_.worker_status.store(status::kPrimaryLine);
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
        Fail(status::kPrimaryLine, e);
        return false;
    }

    // Open, symmetry, first and second level of group g, then the levels request.
    bool Levels(int g) {
        const int32_t* st = status::kGroup[g];
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
        const int32_t* st = status::kGroup[g];
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
        cal_.worker_status.store(status::kFirstConfirmation);
        const bool model1 = cal_.transducer_model == 1;
        if (model1) {
            cal_.factor_a = cal_.factor_b = 1.0;
            if (WriteExcitationTable(handle_, WorkerTable(cal_)) != 0) {
                Fail(status::kWaitingFirstConfirmation, 1);
                return false;
            }
            SleepMs(kSettleMs);
            if (StopOnBreak()) return false;
        }
        for (;;) {
            if (model1) {
                const WorkerAverages avg = AverageLiveValues64(handle_, cal_);
                if (avg.code != 0) {
                    Fail(status::kWaitingFirstConfirmation, 10);
                    return false;
                }
                const int64_t away = static_cast<int64_t>(avg.value0) - 32767;
                if (away > kZeroWindow || away < -kZeroWindow) {
                    cal_.worker_status.store(status::kFirstConfirmation);
                    SleepMs(kPollMs);
                    if (StopOnBreak()) return false;
                    continue;
                }
            }
            cal_.worker_status.store(status::kWaitingFirstConfirmation);
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

    // A potentiometer search of group g: 0, -1 or -10.
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
        return 0;
    }

    int16_t WriteTable() {
        if (WriteExcitationTable(handle_, WorkerTable(cal_)) != 0) return -1;
        SleepMs(kSettleMs);
        return 0;
    }

    // Status 8: 0, -1 or -10.
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
        return WriteTable() != 0 ? int16_t{-1} : int16_t{0};
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
                PutBlockU32(cal_.working_block, cfg::FieldByte(cfg::kPotentiometers + p),
                            cal_.worker_potentiometers[p]);
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

uint32_t WorkerEntry(void* argument) {
    BoardRecord& board = *static_cast<BoardRecord*>(argument);
    const uint32_t exit_code = Worker(board).Run();
    board.calibration.running.store(0);  // the worker's last access to the record
    return exit_code;
}

int16_t CalibrationStart(BoardRecord& board, uint8_t index, uint8_t group0, uint8_t group1,
                         uint32_t impedance, double position, uint8_t model) {
    CalibrationBlock& cal = board.calibration;
    if (group0 > 7) return -2;
    if ((group1 >= 1 && group1 <= 7) || group1 > 15) return -3;
    if (impedance == 0) return -4;
    if (position == 0.0 || !std::isfinite(position)) return -5;
    if (model > 1) return -6;
    if (cal.running.load() != 0) return -7;  // the flag guards the fields the worker uses
    cal.break_request.store(0);
    const int32_t st = cal.worker_status.load();
    if (cal.step != 0 || (st >= 1 && st <= 21) || st >= 24) return -7;
    TransducerRecord record{};
    const int16_t found = FindTransducerRecord(board.device_handle.load(), index, record);
    if (found == -5) return -8;
    if (found != 0) return -9;
    const uint8_t s = record[rec::kSelectionType];
    if (s < 2 || s > 15) return -9;  // the block address would leave the block area
    for (std::size_t i = 0; i < record.size(); ++i) cal.worker_record[i] = record[i];
    cal.worker_position = position;
    cal.group0_channel = group0;
    cal.group1_channel = group1;
    cal.worker_impedance = impedance;
    cal.transducer_model = model;
    cal.next_step_request.store(0);
    cal.adjusted_potentiometers = 0;
    cal.restore_pending.store(0);
    cal.running.store(1);
    const platform::Handle thread = platform::Os().start_thread(&WorkerEntry, &board);
    if (thread == 0) {
        cal.running.store(0);
        return -10;
    }
    platform::Os().close_thread(thread);  // detached: never waited for
    return 0;
}

// Every step is tried; true when the saved block could not be written back.
bool RestoreAfterBreak(QMD5820_HANDLE handle, CalibrationBlock& cal) {
    const auto failed = [&](int32_t code) {
        cal.error_phase.store(status::kRestore);
        cal.error_code.store(code);
        cal.worker_status.store(status::kFailed);
    };
    if (WorkerLevelsAdjusted(handle) != 0) failed(1);
    if (WorkerPositionAdjusted(handle) != 0) failed(2);
    if (SetPrimaryLineTest(handle, 0) != 0) failed(3);
    bool write_back_failed = false;
    if (cal.restore_pending.load() != 0) {
        for (uint16_t k = 0; k < kBlockWords; ++k) {
            if (WriteEepromWord(handle, BlockWordAddress(cal.saved_selection_type, k),
                                cal.saved_block[k]) != 0) {
                write_back_failed = true;
            }
        }
        if (write_back_failed) {
            failed(4);
        } else {
            cal.restore_pending.store(0);
        }
    }
    if (RestartConfiguration(handle) != 0) failed(5);
    return write_back_failed;
}

int16_t CalibrationBreak(QMD5820_HANDLE handle, BoardRecord& board) {
    CalibrationBlock& cal = board.calibration;
    // A run that has just started still shows the status of the previous run (maybe 23):
    // a running worker is always asked to stop, and waited for.
    if (cal.running.load() != 0 || cal.worker_status.load() != status::kFailed) {
        cal.break_request.store(1);
    }
    while (cal.running.load() != 0) SleepMs(10);
    const bool write_back_failed = RestoreAfterBreak(handle, cal);
    cal.step = 0;
    if (write_back_failed) {
        cal.error_phase.store(status::kRestore);
        cal.error_code.store(4);
        cal.worker_status.store(status::kFailed);
        return -2;
    }
    cal.worker_status.store(status::kIdle);
    return 0;
}

void CurrentStatus(CalibrationBlock& cal, int32_t* status_out, uint32_t* values_out) {
    int32_t st = cal.worker_status.load();
    uint32_t values[2] = {0, 0};
    if (st == status::kFailed) {
        values[0] = static_cast<uint32_t>(cal.error_phase.load());
        values[1] = static_cast<uint32_t>(cal.error_code.load());
    } else if (st != status::kIdle && st != status::kPrimaryLine && st != status::kPrepare &&
               st != status::kDone) {
        const auto live = ReadLiveValues(cal.live_values_address.load());
        values[0] = live[0];
        values[1] = live[1];
    }
    Store(status_out, st);
    if (values_out != nullptr) {
        values_out[0] = values[0];
        values_out[1] = values[1];
    }
    if (st == status::kDone) {
        int32_t expected = status::kDone;
        cal.worker_status.compare_exchange_strong(expected, status::kIdle);
    }
}

}  // namespace
}  // namespace qmd

using namespace qmd;

extern "C" {

int16_t i_QMD5820_CalibrationStart(QMD5820_HANDLE h_DeviceHandle, uint8_t b_TransducerIndex,
                                   uint8_t b_Group0Channel, uint8_t b_Group1Channel,
                                   uint32_t dw_Impedance, double db_Position,
                                   uint8_t b_TransducerModel) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord& board) {
        return CalibrationStart(board, b_TransducerIndex, b_Group0Channel, b_Group1Channel,
                                dw_Impedance, db_Position, b_TransducerModel);
    });
}

int16_t i_QMD5820_CalibrationGetCurrentStatus(QMD5820_HANDLE h_DeviceHandle,
                                              int32_t* pdw_CalibrationStatus,
                                              uint32_t* pdw_StatusValues) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord& board) -> int16_t {
        CurrentStatus(board.calibration, pdw_CalibrationStatus, pdw_StatusValues);
        return 0;
    });
}

int16_t i_QMD5820_CalibrationNextStep(QMD5820_HANDLE h_DeviceHandle) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord& board) -> int16_t {
        board.calibration.next_step_request.store(1);
        return 0;
    });
}

int16_t i_QMD5820_CalibrationBreak(QMD5820_HANDLE h_DeviceHandle) {
    return CallFrame(__func__, h_DeviceHandle,
                     [&](BoardRecord& board) { return CalibrationBreak(h_DeviceHandle, board); });
}

}  // extern "C"
