// The worker calibration's exported functions: i_QMD5820_CalibrationStart starts a thread
// that runs every phase (worker.cpp); the caller polls the status, confirms the mechanical
// positions and may break, which restores what the run changed.
#include <cmath>

#include "qmd5820_texts.h"

#include "calibration/calibration.h"
#include "calibration/worker.h"
#include "core/backend.h"
#include "core/board_table.h"
#include "qmd5820_protocol/bytes.h"
#include "core/output.h"
#include "eeprom/database.h"
#include "eeprom/eeprom.h"
#include "io/primary_line.h"
#include "platform/platform.h"

namespace qmd {
namespace {

int16_t CalibrationStart(BoardRecord& board, uint8_t index, uint8_t group0, uint8_t group1,
                         uint32_t impedance, double position, uint8_t model) {
    CalibrationBlock& cal = board.calibration;
    if (group0 > 7) return -2;
    if ((group1 >= 1 && group1 <= 7) || group1 > 15) return -3;
    if (impedance == 0) return -4;
    // The position phases can only reach a finite, positive position (a gain scales a
    // negative reading away from a negative one); its bounds from the range follow below.
    if (!(position > 0.0) || !std::isfinite(position)) return -5;
    if (model > 1) return -6;
    cal.break_request.store(0);
    // One claim for both procedures: of two starts at once only one gets past here. The
    // claim also guards the fields the worker uses from here on.
    if (!cal.Claim(Procedure::kWorker)) return -7;
    const auto refuse = [&](int16_t code) {
        cal.Release(Procedure::kWorker);
        return code;
    };
    const int32_t st = cal.worker_status.load();
    if (cal.step != 0 || (st >= 1 && st <= 21) || st >= 24) return refuse(-7);
    TransducerRecord record{};
    const int16_t found = FindTransducerRecord(board.device_handle.load(), index, record);
    if (found == -5) return refuse(-8);
    if (found != 0) return refuse(-9);
    const uint8_t s = record[rec::kSelectionType];
    if (s < 2 || s > 15) return refuse(-9);  // the block address would leave the block area
    // A position the procedure can resolve and check against its acceptance limit, within
    // the type's range (bounds and reasons in qmd5820_texts.h).
    if (qmd5820_worker_position_problem(position, bytes::GetF64(record.data() + rec::kRange),
                                        nullptr, 0) != 0) {
        return refuse(-5);
    }
    for (std::size_t i = 0; i < record.size(); ++i) cal.worker_record[i] = record[i];
    cal.worker_position = position;
    cal.group0_channel = group0;
    cal.group1_channel = group1;
    cal.worker_impedance = impedance;
    cal.transducer_model = model;
    cal.next_step_request.store(0);
    cal.adjusted_potentiometers = 0;
    cal.restore_pending.store(0);
    // The status the worker begins with, before it runs: a poll right after the start
    // never sees the previous run's status (23 or 22) and acts on it.
    const int32_t previous = cal.worker_status.exchange(QMD5820_WORKER_PREPARE);
    const platform::Handle thread = platform::Os().start_thread(&WorkerEntry, &board);
    if (thread == 0) {
        cal.worker_status.store(previous);
        return refuse(-10);
    }
    platform::Os().close_thread(thread);  // detached: never waited for
    return 0;
}

// Every step is tried; true when the saved block could not be written back.
bool RestoreAfterBreak(QMD5820_HANDLE handle, CalibrationBlock& cal) {
    const auto failed = [&](int32_t code) {
        cal.error_phase.store(QMD5820_WORKER_RESTORE);
        cal.error_code.store(code);
        cal.worker_status.store(QMD5820_WORKER_FAILED);
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
    // A running worker is always asked to stop, and waited for.
    if (cal.WorkerRunning() || cal.worker_status.load() != QMD5820_WORKER_FAILED) {
        cal.break_request.store(1);
    }
    while (cal.WorkerRunning()) SleepMs(10);
    const bool write_back_failed = RestoreAfterBreak(handle, cal);
    if (cal.step != 0) {  // this break also ends a step-by-step calibration
        cal.step = 0;
        cal.Release(Procedure::kStepByStep);
    }
    if (write_back_failed) {
        cal.error_phase.store(QMD5820_WORKER_RESTORE);
        cal.error_code.store(4);
        cal.worker_status.store(QMD5820_WORKER_FAILED);
        return -2;
    }
    cal.worker_status.store(QMD5820_WORKER_IDLE);
    return 0;
}

void CurrentStatus(CalibrationBlock& cal, int32_t* status_out, uint32_t* values_out) {
    int32_t st = cal.worker_status.load();
    uint32_t values[2] = {0, 0};
    if (st == QMD5820_WORKER_FAILED) {
        values[0] = static_cast<uint32_t>(cal.error_phase.load());
        values[1] = static_cast<uint32_t>(cal.error_code.load());
    } else if (st != QMD5820_WORKER_IDLE && st != QMD5820_WORKER_PRIMARY_LINE && st != QMD5820_WORKER_PREPARE &&
               st != QMD5820_WORKER_DONE) {
        const auto live = ReadLiveValues(cal.live_values_address.load());
        values[0] = live[0];
        values[1] = live[1];
    }
    Store(status_out, st);
    if (values_out != nullptr) {
        values_out[0] = values[0];
        values_out[1] = values[1];
    }
    if (st == QMD5820_WORKER_DONE) {
        int32_t expected = QMD5820_WORKER_DONE;
        cal.worker_status.compare_exchange_strong(expected, QMD5820_WORKER_IDLE);
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
