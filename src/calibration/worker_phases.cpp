// The worker's adjustment phases: opening a group's adjustment, the five potentiometer
// searches, the balance of the excitation and the search of the line test threshold. Each
// runs on the worker thread, tests the break request between measurements and returns 0 or
// a code that the worker (worker.cpp) turns into its failure.
#include <algorithm>

#include "calibration/calibration.h"
#include "calibration/potentiometers.h"
#include "calibration/search.h"
#include "calibration/worker.h"
#include "core/backend.h"
#include "eeprom/database.h"
#include "qmd5820_protocol/settings.h"
#include "io/primary_line.h"

namespace qmd {
namespace {

bool BreakRequested(const CalibrationBlock& cal) { return cal.break_request.load() != 0; }

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

// In the order of Adjustment.
constexpr Member kMembers[] = {kSymmetry, kFirstLevel, kSecondLevel, kFirstPosition,
                               kSecondPosition};

// A potentiometer search of group g: 0, -1, -10 or kBeyondLimit.
int16_t Search(WorkerBoard b, const Member& m, int g) {
    const uint8_t p = m.potentiometer[g];
    if (m.prelude != nullptr && WritePotentiometer(b.handle, m.prelude[g], m.prelude_value) != 0) {
        return -1;
    }
    const double range = WorkerRecordF64(b.cal, rec::kRange);
    const search::Settled settled = search::Bisection(
        m.rising,
        [&](uint8_t v) -> search::Measured {
            if (WritePotentiometer(b.handle, p, v) != 0) return {-1, 0};
            SleepMs(kSettleMs);
            const WorkerAverages avg = AverageLiveValues64(b.handle, b.cal);
            if (avg.code != 0) return {-10, 0};
            if (m.position) {
                const double converted = 2.0 * range * avg.value0 / 65535.0 - range;
                return {0, b.cal.worker_position - converted};
            }
            const int a0 = static_cast<uint16_t>(avg.value0);
            const int a1 = static_cast<uint16_t>(avg.value1);
            const int e = m.symmetry ? (65535 - a0) - a1 : 1535 - std::min(a1, 65535 - a0);
            return {0, static_cast<double>(e)};
        },
        [&] { return BreakRequested(b.cal); });
    if (settled.code != 0) return settled.code;
    if (WritePotentiometer(b.handle, p, settled.value) != 0) return -1;
    if (m.epilogue) {
        if (WritePotentiometer(b.handle, m.prelude[g], 128) != 0) return -1;
        SleepMs(kSettleMs);
    }
    b.cal.worker_potentiometers[p] = settled.value;
    b.cal.adjusted_potentiometers =
        static_cast<uint16_t>(b.cal.adjusted_potentiometers | (1u << p));
    // What the step-by-step procedure refuses (-50) fails the phase instead of being
    // stored. A search ended by a break is not judged: the worker stops on the break.
    if (m.limit > 0 && !BreakRequested(b.cal) && !(settled.deviation <= m.limit)) {
        return kBeyondLimit;
    }
    return 0;
}

// The balance's least |32767 - value 0| in counts against the step-by-step limit on the
// converted reading: d counts are d x 2R / 65535 of it. Where the limit is finer than a
// count (R above about 33) the converter cannot show better than one count.
bool BalanceAccepted(const CalibrationBlock& cal, double counts) {
    const double range = WorkerRecordF64(cal, rec::kRange);
    return counts <= 1 || counts * 2.0 * range / 65535.0 <= search::kBalanceLimit;
}

int16_t WriteTable(WorkerBoard b) {
    if (WriteExcitationTable(b.handle, WorkerTable(b.cal)) != 0) return -1;
    SleepMs(kSettleMs);
    return 0;
}

}  // namespace

int16_t OpenWorkerGroup(WorkerBoard b, int g) {
    const uint8_t channel = g == 0 ? b.cal.group0_channel : b.cal.group1_channel;
    uint64_t address = 0;
    if (OpenWorkerAdjustment(b.handle, channel, WorkerSelectionType(b.cal), address) != 0) {
        return -1;
    }
    b.cal.live_values_address.store(address);
    SleepMs(kSettleMs);
    if (StartWorkerAdjustment(b.handle) != 0) return -2;
    SleepMs(kSettleMs);
    return 0;
}

int16_t AdjustWorker(WorkerBoard b, Adjustment adjustment, int g) {
    return Search(b, kMembers[static_cast<std::size_t>(adjustment)], g);
}

// Status 8: 0, -1, -10 or kBeyondLimit (model 0 only).
int16_t BalanceWorkerExcitation(WorkerBoard b) {
    b.cal.factor_a = b.cal.factor_b = 1.0;
    if (WriteTable(b) != 0) return -1;
    if (b.cal.transducer_model != 0) return 0;
    uint32_t r = 0;
    if (!BreakRequested(b.cal)) {
        if (WritePotentiometer(b.handle, pot::kThreshold, 255) != 0) return -1;
        SleepMs(kSettleMs);
        const WorkerAverages avg = AverageLiveValues64(b.handle, b.cal);
        if (avg.code != 0) return -10;
        r = avg.value0;
    }
    bool search_b = false;
    if (r > 32767) {
        b.cal.factor_b -= 0.01;
        if (WriteTable(b) != 0) return -1;
        const WorkerAverages p = AverageLiveValues64(b.handle, b.cal);
        if (p.code != 0) return -10;
        search_b = p.value0 < r;
    } else {
        b.cal.factor_a -= 0.01;
        if (WriteTable(b) != 0) return -1;
        const WorkerAverages p = AverageLiveValues64(b.handle, b.cal);
        if (p.code != 0) return -10;
        search_b = !(p.value0 > r);
    }
    double& factor = search_b ? b.cal.factor_b : b.cal.factor_a;
    const search::FactorResult found = search::FactorBisection(
        search_b,
        [&](double x) -> search::Measured {
            factor = x;
            if (WriteTable(b) != 0) return {-1, 0};
            const WorkerAverages avg = AverageLiveValues64(b.handle, b.cal);
            if (avg.code != 0) return {-10, 0};
            return {0, static_cast<double>(32767 - static_cast<int64_t>(avg.value0))};
        },
        [&] { return BreakRequested(b.cal); });
    if (found.code != 0) return found.code;
    factor = found.factor;
    if (WriteTable(b) != 0) return -1;
    if (!BreakRequested(b.cal) && !BalanceAccepted(b.cal, found.deviation)) return kBeyondLimit;
    return 0;
}

// Status 20: 0 or 1, 2, 3, 5.
int16_t SearchTestThreshold(WorkerBoard b) {
    int16_t e = 0;
    if (SetPrimaryLineTest(b.handle, 1) != 0) {
        e = 1;
    } else {
        const search::Threshold found = search::ThresholdSearch(
            [&](uint8_t v) -> search::Probe {
                if (WritePotentiometer(b.handle, pot::kThreshold, v) != 0) return {2, false};
                SleepMs(kSettleMs);
                uint8_t line = 0;
                if (ReadPrimaryLineStatus(b.handle, line) != 0) return {3, false};
                return {0, (line & kDetectionResponds) != 0};
            },
            [&] { return BreakRequested(b.cal); });
        e = found.code;
        if (found.record) PutBlockU32(b.cal.working_block, kThresholdOffset, found.value);
    }
    if (SetPrimaryLineTest(b.handle, 0) != 0) e = 1;
    const uint8_t worker_value = b.cal.worker_potentiometers[pot::kThreshold];
    if (WritePotentiometer(b.handle, pot::kThreshold, worker_value) != 0) return 5;
    return e;
}

}  // namespace qmd
