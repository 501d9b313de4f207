// The step-by-step calibration: the caller runs each step on its own thread with
// i_QMD5820_StartCalibration, i_QMD5820_NextCalibrationStep and i_QMD5820_BreakCalibration.
#include <cmath>

#include "calibration/calibration.h"
#include "calibration/potentiometers.h"
#include "calibration/search.h"
#include "core/backend.h"
#include "core/board_table.h"
#include "qmd5820_protocol/bytes.h"
#include "core/output.h"
#include "eeprom/database.h"
#include "eeprom/eeprom.h"
#include "io/primary_line.h"

namespace qmd {
namespace {

constexpr uint8_t kShortCircuitLatched = req::primary_line::kShortCircuitLatched;
constexpr double kStartFactor = 0.75;
constexpr uint8_t kStepLevels = 1;
constexpr uint8_t kStepBalance = 4;
constexpr uint8_t kStepPositions = 5;

// The transducer the procedure works with: the one the first channel was initialised with.
struct Transducer {
    uint8_t index;
    uint8_t selection_type;
    double frequency;
};

Transducer ChannelTransducer(const BoardRecord& board, uint8_t channel) {
    const ChannelBlock& block = board.channels[channel];
    return {block[rec::kIndex], block[rec::kSelectionType],
            bytes::GetF64(block.data() + rec::kFrequency)};
}

Transducer FirstChannelTransducer(const BoardRecord& board) {
    return ChannelTransducer(board, board.calibration.first_channel);
}

bool ValidSelectionType(uint8_t s) { return s >= 2 && s <= 15; }

// The procedure is over (stored or broken): step 0, and the board's claim given up.
void EndProcedure(CalibrationBlock& cal) {
    cal.step = 0;
    cal.Release(Procedure::kStepByStep);
}

// Maps a sampling failure onto a step's codes.
int16_t SamplingCode(SampleFailure failure, int16_t before, int16_t during, int16_t timeout) {
    switch (failure) {
        case SampleFailure::kCounterBeforeWait: return before;
        case SampleFailure::kCounterDuringWait: return during;
        case SampleFailure::kTimeout: return timeout;
        case SampleFailure::kNone: break;
    }
    return 0;
}

// One trial of a step's search: `v` into potentiometer `p`, 50 ms to settle, then the
// averages of the live values. False when the potentiometer write failed.
bool Trial(QMD5820_HANDLE handle, uint8_t p, uint8_t v, uint64_t address, Averages& avg) {
    if (WritePotentiometer(handle, p, v) != 0) return false;
    SleepMs(50);
    avg = AverageLiveValues(handle, address);
    return true;
}

// One adjustment of steps 1 to 3 (t) on group g: 0, -50, or -1 to -4.
int16_t AdjustLevel(QMD5820_HANDLE handle, CalibrationBlock& cal, int t) {
    const int g = cal.current_group;
    const uint8_t p = t == 1 ? pot::kSymmetry[g] : t == 2 ? pot::kFirstLevel[g] : pot::kSecondLevel[g];
    const uint64_t address = cal.live_values_address.load();
    const search::Approximation found = search::SuccessiveApproximation(
        [&](uint8_t v) -> search::Measured {
            Averages avg;
            if (!Trial(handle, p, v, address, avg)) return {-1, 0};
            if (avg.failure != SampleFailure::kNone) {
                return {SamplingCode(avg.failure, -2, -3, -4), 0};
            }
            const int a0 = avg.value0;
            const int a1c = 65535 - avg.value1;
            const int e = t == 1 ? a0 - a1c : t == 2 ? 1535 - std::min(a0, a1c)
                                                     : std::min(a0, a1c) - 1535;
            return {0, static_cast<double>(e)};
        },
        65535);
    if (found.code != 0) return found.code;
    if (WritePotentiometer(handle, p, found.best) != 0) return -4;
    cal.interactive_potentiometers[p] = found.best;
    if (found.least > search::kLevelLimit) return -50;
    if (t == 3 && found.least > search::kSecondLevelLimit) return -50;
    return 0;
}

// Converts a raw average on the first channel (offset binary while the step is not 0).
int16_t Convert(QMD5820_HANDLE handle, const CalibrationBlock& cal, uint16_t raw, double& value) {
    return i_QMD5820_Convert1RawToMetricValue(handle, cal.first_channel, raw, &value) == 0 ? 0
                                                                                          : -1;
}

// Step 4: 0, -50, or -1 to -4.
int16_t BalanceExcitation(QMD5820_HANDLE handle, BoardRecord& board) {
    CalibrationBlock& cal = board.calibration;
    const uint8_t n = SineTablePoints(FirstChannelTransducer(board).frequency);
    const uint64_t address = cal.live_values_address.load();
    for (int pass = 0; pass < 2; ++pass) {
        const search::BalancePassResult found = search::BalancePass(
            pass, [&](double x) -> search::Measured {
                if (n != 0) {
                    if (WriteExcitationTable(handle, ComputeSineTable(n, x, 1.5 - x)) != 0) {
                        return {-1, 0};
                    }
                    SleepMs(50);
                }
                const Averages avg = AverageLiveValues(handle, address);
                if (avg.failure != SampleFailure::kNone) return {-2, 0};
                double m = 0;
                if (Convert(handle, cal, avg.value0, m) != 0) return {-3, 0};
                return {0, m};
            });
        if (found.code != 0) return found.code;
        if (n != 0) {
            if (WriteExcitationTable(handle, ComputeSineTable(n, found.best, 1.5 - found.best)) !=
                0) {
                return -4;
            }
            cal.balance_factor = found.best;
        }
        if (found.least <= search::kBalanceLimit) return 0;
    }
    return -50;
}

// Steps 5 and 6 (t) on the current group: 0, -50 (step 6 only), or -1 to -5.
int16_t AdjustPosition(QMD5820_HANDLE handle, CalibrationBlock& cal, int t) {
    const int g = cal.current_group;
    const uint8_t p = t == 5 ? pot::kFirstPosition[g] : pot::kSecondPosition[g];
    const uint64_t address = cal.live_values_address.load();
    const search::Approximation found = search::SuccessiveApproximation(
        [&](uint8_t v) -> search::Measured {
            Averages avg;
            if (!Trial(handle, p, v, address, avg)) return {-1, 0};
            if (avg.failure != SampleFailure::kNone) {
                return {SamplingCode(avg.failure, -2, -3, -3), 0};
            }
            double converted = 0;
            if (Convert(handle, cal, avg.value0, converted) != 0) return {-4, 0};
            const double h = cal.interactive_position - converted;
            return {0, t == 5 ? -h : h};
        },
        1e99);
    if (found.code != 0) return found.code;
    if (WritePotentiometer(handle, p, found.best) != 0) return -5;
    cal.interactive_potentiometers[p] = found.best;
    if (t == 6 && found.least > search::kPositionLimit) return -50;
    return 0;
}

// The result into the transducer's configuration block, then the marks: 0 or -1 to -10.
int16_t StoreInteractiveCalibration(QMD5820_HANDLE handle, BoardRecord& board) {
    CalibrationBlock& cal = board.calibration;
    const Transducer t = FirstChannelTransducer(board);
    std::array<uint16_t, kBlockWords> block{};
    if (ReadConfigurationBlock(handle, t.selection_type, block) != 0) return -1;
    for (std::size_t p = 0; p < kPotentiometers; ++p) {
        PutBlockU32(block, cfg::FieldByte(cfg::kPotentiometers + p),
                    cal.interactive_potentiometers[p]);
    }
    ExcitationTable table;
    if (ReadExcitationTable(handle, table) != 0) return -2;
    if (table.count > kExcitationPoints) return -2;  // the block holds at most 64 pairs
    EnterExcitation(block, table, cal.balance_factor, 1.5 - cal.balance_factor);
    if (WriteConfigurationBlock(handle, t.selection_type, block) != 0) return -3;
    std::array<uint16_t, kBlockWords> back{};
    if (ReadConfigurationBlock(handle, t.selection_type, back) != 0) return -4;
    if (back != block) return -5;
    switch (MarkCalibrated(handle, t.index, t.selection_type)) {
        case MarkFailure::kNone: return 0;
        case MarkFailure::kDefault: return -6;
        case MarkFailure::kReadFirst: return -7;
        case MarkFailure::kWriteFirst: return -8;
        case MarkFailure::kReadSecond: return -9;
        case MarkFailure::kWriteSecond: return -10;
    }
    return 0;
}

int16_t LevelSteps(QMD5820_HANDLE handle, BoardRecord& board) {
    CalibrationBlock& cal = board.calibration;
    const int g = cal.current_group;
    const uint8_t channel = g == 0 ? cal.first_channel : cal.second_channel;
    uint64_t address = 0;
    if (OpenAdjustment(handle, channel, FirstChannelTransducer(board).selection_type, address) !=
        0) {
        return -11;
    }
    cal.live_values_address.store(address);
    if (WritePotentiometer(handle, pot::kFirstLevel[g], 64) != 0) return -12;
    SleepMs(50);
    if (const int16_t r = AdjustLevel(handle, cal, 1); r != 0) return r == -50 ? r : -12;
    if (WritePotentiometer(handle, pot::kFirstLevel[g], 128) != 0) return -13;
    SleepMs(50);
    cal.step = 2;
    if (const int16_t r = AdjustLevel(handle, cal, 2); r != 0) return r == -50 ? r : -13;
    cal.step = 3;
    if (const int16_t r = AdjustLevel(handle, cal, 3); r != 0) return r == -50 ? r : -14;
    if (LevelsAdjusted(handle) != 0) return -15;
    cal.step = g == 0 ? kStepBalance : kStepPositions;
    return 0;
}

int16_t PositionSteps(QMD5820_HANDLE handle, BoardRecord& board) {
    CalibrationBlock& cal = board.calibration;
    (void)AdjustPosition(handle, cal, 5);
    cal.step = 6;
    const int16_t r = AdjustPosition(handle, cal, 6);
    if (r == -50) return r;
    if (cal.current_group == 0 && cal.second_channel != 0) {
        cal.current_group = 1;
        cal.step = kStepLevels;
        return r;
    }
    if (r != 0) return r;  // nothing is stored after a failed last step; the step stays 6
    (void)CloseAdjustment(handle);
    (void)i_QMD5820_StopTransducerAcquisition(handle);
    const int16_t stored = StoreInteractiveCalibration(handle, board);
    EndProcedure(cal);
    return stored;
}

int16_t NextStep(QMD5820_HANDLE handle, BoardRecord& board) {
    CalibrationBlock& cal = board.calibration;
    switch (cal.step) {
        case 0: return -2;
        case kStepLevels: return LevelSteps(handle, board);
        case kStepBalance: {
            const int16_t r = BalanceExcitation(handle, board);
            if (r != -50) cal.step = kStepPositions;
            return r;
        }
        case kStepPositions: return PositionSteps(handle, board);
        default: return 0;  // 2, 3 and 6 wait for a break
    }
}

// The start from the acquisition stop on, with the board claimed; the step field is still
// 0 when it fails before step 1 ran.
int16_t PrepareAndRunStepOne(QMD5820_HANDLE handle, BoardRecord& board, uint8_t index,
                             uint8_t first, uint8_t second, double position, uint64_t* values) {
    CalibrationBlock& cal = board.calibration;
    (void)i_QMD5820_StopTransducerAcquisition(handle);
    if (i_QMD5820_Init1TransducerChannel(handle, first, index, 0.0) != 0) return -8;
    if (second != 0 && i_QMD5820_Init1TransducerChannel(handle, second, index, 0.0) != 0) {
        return -9;
    }
    // The table holds at most 64 points and the block address needs a real selection type.
    const Transducer t = ChannelTransducer(board, first);
    if (SineTablePoints(t.frequency) == 0 || !ValidSelectionType(t.selection_type)) return -14;

    uint8_t line = 0;
    if (const int16_t r = i_QMD5820_TestPrimaryLine(handle, &line); r != 0) return r;
    if ((line & kShortCircuitLatched) != 0) {
        (void)i_QMD5820_RearmPrimaryLine(handle);
        SleepMs(100);
        (void)i_QMD5820_TestPrimaryLine(handle, &line);
        if ((line & kShortCircuitLatched) != 0) return -6;
    }
    uint8_t channels = 0;
    if (i_QMD5820_GetNumberOfTransducerChannels(handle, &channels) != 0) return -7;
    if (first >= channels) return -2;
    const uint8_t used_second = channels < 9 ? 0 : second;
    if (used_second >= channels) return -3;

    cal.interactive_position = position;
    cal.first_channel = first;
    cal.second_channel = used_second;
    cal.balance_factor = kStartFactor;
    for (uint8_t p = 0; p < kPotentiometers; ++p) {
        uint8_t value = 0;
        if (ReadPotentiometer(handle, p, value) != 0) return -9;
        cal.saved_potentiometers[p] = value;
        if (WritePotentiometer(handle, p, 128) != 0) return -10;
        cal.interactive_potentiometers[p] = 128;
    }
    ExcitationTable saved;
    if (ReadExcitationTable(handle, saved) != 0) return -11;
    cal.saved_table_count = saved.count;
    cal.saved_table_a = saved.a;
    cal.saved_table_b = saved.b;
    const ExcitationTable start =
        ComputeSineTable(SineTablePoints(t.frequency), kStartFactor, kStartFactor);
    if (WriteExcitationTable(handle, start) != 0) return -12;
    SleepMs(2500);
    cal.current_group = 0;
    cal.step = kStepLevels;
    const int16_t r = i_QMD5820_NextCalibrationStep(handle);
    if (r != 0 && r != -50) return -13;
    Store(values, cal.live_values_address.load());
    return r;
}

int16_t StartCalibration(QMD5820_HANDLE handle, BoardRecord& board, uint8_t index, uint8_t first,
                         uint8_t second, double position, uint64_t* values) {
    CalibrationBlock& cal = board.calibration;
    if (first > 7) return -2;
    if ((second >= 1 && second <= 7) || second > 15) return -3;
    if (position == 0.0) return -4;
    // One claim for both procedures, taken before the seconds of potentiometer writes and
    // waiting: of two starts at once (of either kind) only one gets past here.
    if (!cal.Claim(Procedure::kStepByStep)) return -5;
    if (cal.step != 0) {
        cal.Release(Procedure::kStepByStep);
        return -5;
    }
    const int16_t r = PrepareAndRunStepOne(handle, board, index, first, second, position, values);
    if (cal.step == 0) cal.Release(Procedure::kStepByStep);  // failed before step 1
    return r;
}

int16_t BreakCalibration(QMD5820_HANDLE handle, BoardRecord& board) {
    CalibrationBlock& cal = board.calibration;
    if (cal.step == 0) return -2;
    for (uint8_t p = 0; p < kPotentiometers; ++p) {
        if (p == 4 || p == 5 || p == 10 || p == 11) continue;
        if (WritePotentiometer(handle, p, cal.saved_potentiometers[p]) != 0) return -3;
    }
    ExcitationTable saved;
    saved.count = cal.saved_table_count;
    saved.a = cal.saved_table_a;
    saved.b = cal.saved_table_b;
    if (WriteExcitationTable(handle, saved) != 0) return -4;
    (void)CloseAdjustment(handle);
    (void)i_QMD5820_StopTransducerAcquisition(handle);
    EndProcedure(cal);
    return 0;
}

}  // namespace
}  // namespace qmd

using namespace qmd;

extern "C" {

int16_t i_QMD5820_StartCalibration(QMD5820_HANDLE h_DeviceHandle, uint8_t b_TransducerIndex,
                                   uint8_t b_FirstChannel, uint8_t b_SecondChannel,
                                   double db_Position, uint64_t* pp_CalibrationValues) {
    return CallFrame(__func__, h_DeviceHandle, [&](BoardRecord& board) {
        return StartCalibration(h_DeviceHandle, board, b_TransducerIndex, b_FirstChannel,
                                b_SecondChannel, db_Position, pp_CalibrationValues);
    });
}

int16_t i_QMD5820_NextCalibrationStep(QMD5820_HANDLE h_DeviceHandle) {
    return CallFrame(__func__, h_DeviceHandle,
                     [&](BoardRecord& board) { return NextStep(h_DeviceHandle, board); });
}

int16_t i_QMD5820_BreakCalibration(QMD5820_HANDLE h_DeviceHandle) {
    return CallFrame(__func__, h_DeviceHandle,
                     [&](BoardRecord& board) { return BreakCalibration(h_DeviceHandle, board); });
}

}  // extern "C"
