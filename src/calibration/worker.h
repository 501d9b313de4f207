// The calibration worker's thread and what its start and break share with it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "QMD5820.h"
#include "calibration/calibration.h"
#include "core/board_table.h"

namespace qmd {

// The worker thread's routine; `board_record` is the BoardRecord it calibrates. Runs every
// phase (worker.cpp); 0 after completion, 1 after a failure or a break. Gives the board's
// worker claim up as its last access to the record.
uint32_t WorkerEntry(void* board_record);

// Primary line status bits the worker looks at.
inline constexpr uint8_t kShortCircuitLatched = req::primary_line::kShortCircuitLatched;
inline constexpr uint8_t kDetectionResponds = req::primary_line::kDetectionResponds;

// Every measurement of the worker waits this long after its potentiometer or table write.
inline constexpr uint32_t kSettleMs = 250;

// The worker transducer record's fields: a double at `offset`, the selection type, the
// frequency truncated as the settings computation takes it.
double WorkerRecordF64(const CalibrationBlock& cal, std::size_t offset);
uint8_t WorkerSelectionType(const CalibrationBlock& cal);
uint32_t WorkerFrequency(const CalibrationBlock& cal);
// The excitation tables for the worker's factors A and B.
ExcitationTable WorkerTable(const CalibrationBlock& cal);

// ---- the adjustment phases (worker_phases.cpp) --------------------------------------------

// What the phase operations work on: the board's calibration block and its device.
struct WorkerBoard {
    CalibrationBlock& cal;
    QMD5820_HANDLE handle;
};

// A phase whose search ended beyond its acceptance limit (failure code -kBeyondLimit).
inline constexpr int16_t kBeyondLimit = -QMD5820_WORKER_BEYOND_LIMIT;

// Opens the adjustment of group g (0 or 1) on its channel: 0, -1 (open request) or -2
// (start request).
int16_t OpenWorkerGroup(WorkerBoard b, int g);

// The five potentiometer searches of a group.
enum class Adjustment : uint8_t {
    kSymmetry,
    kFirstLevel,
    kSecondLevel,
    kFirstPosition,
    kSecondPosition,
};
// 0, -1 (a potentiometer write), -10 (sampling) or kBeyondLimit; the value found is
// written and entered as the worker potentiometer value in every case but a failure.
int16_t AdjustWorker(WorkerBoard b, Adjustment adjustment, int g);

// Status 8: 0, -1 (a write), -10 (sampling) or kBeyondLimit (model 0 only).
int16_t BalanceWorkerExcitation(WorkerBoard b);

// Status 20: 0 or the failure code 1, 2, 3 or 5.
int16_t SearchTestThreshold(WorkerBoard b);

}  // namespace qmd
