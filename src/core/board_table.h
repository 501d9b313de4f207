// The process-global board table: 30 board records and the board count.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "QMD5820.h"
#include "qmd5820_protocol/eeprom_map.h"
#include "qmd5820_protocol/requests.h"

namespace qmd {

inline constexpr int kBoardRecords = 30;
inline constexpr int kChannels = board::kChannels;
inline constexpr std::size_t kTransducerRecordBytes = rec::kBytes;
inline constexpr std::size_t kLastErrorTextBytes = 1024;
inline constexpr uint8_t kChannelNotInitialised = 255;

// Copy of the transducer record a channel was last initialised with; byte 0 = 255 marks
// a channel that is not initialised.
using ChannelBlock = std::array<uint8_t, kTransducerRecordBytes>;

// The user interrupt routine: called on the board's interrupt thread once per interrupt
// record; `pdw_InterruptData` is valid only during the call.
using InterruptRoutine = void (*)(QMD5820_HANDLE h_DeviceHandle, uint8_t b_InterruptInfo,
                                  uint32_t dw_InterruptValue1, uint32_t dw_InterruptValue2,
                                  uint32_t* pdw_InterruptData, uint32_t dw_InterruptDataCount);

constexpr std::array<ChannelBlock, kChannels> NotInitialisedChannels() {
    std::array<ChannelBlock, kChannels> channels{};
    for (ChannelBlock& block : channels) block[0] = kChannelNotInitialised;
    return channels;
}

inline constexpr std::size_t kPotentiometers = board::kPotentiometers;
inline constexpr std::size_t kWorkerPotentiometers = 16;
inline constexpr std::size_t kExcitationPoints = req::excitation_table::kPoints;
inline constexpr std::size_t kBlockWords = ee::kConfigurationWords;

// Which calibration procedure holds a board (CalibrationBlock::procedure).
enum class Procedure : uint8_t { kNone = 0, kStepByStep = 1, kWorker = 2 };

// Calibration state of the board (the step-by-step procedure and the worker). Fields that
// the caller's threads and the worker thread share are atomic; the others belong to one
// side at a time: to the procedure that holds the claim (`procedure`), and the worker's
// own fields are handed back when the worker releases it.
struct CalibrationBlock {
    // Interactive procedure (caller's thread only).
    double interactive_position = 0;
    uint8_t first_channel = 0;
    uint8_t second_channel = 0;  // 0 = none
    uint8_t current_group = 0;
    // Step of the interactive calibration: 0 when none runs, 1 to 6 while one does. While
    // it is not 0 the channel codes are offset binary instead of sign and magnitude.
    uint8_t step = 0;
    std::array<uint8_t, kPotentiometers> saved_potentiometers{};
    uint8_t saved_table_count = 0;
    std::array<uint32_t, kExcitationPoints> saved_table_a{};
    std::array<uint32_t, kExcitationPoints> saved_table_b{};
    std::array<uint8_t, kPotentiometers> interactive_potentiometers{};
    double balance_factor = 0;

    // Worker procedure.
    std::atomic<int32_t> worker_status{0};
    std::array<uint8_t, kTransducerRecordBytes> worker_record{};
    uint32_t worker_impedance = 0;
    double worker_position = 0;
    uint8_t group0_channel = 0;
    uint8_t group1_channel = 0;  // 0 = none
    uint8_t transducer_model = 0;
    std::array<uint8_t, kWorkerPotentiometers> worker_potentiometers{};
    uint16_t adjusted_potentiometers = 0;  // bit p: this run's search settled potentiometer p
    std::atomic<int32_t> error_phase{0};
    std::atomic<int32_t> error_code{0};
    std::atomic<uint8_t> break_request{0};
    std::atomic<uint8_t> next_step_request{0};
    double factor_a = 0;
    double factor_b = 0;
    std::array<uint16_t, kBlockWords> saved_block{};
    std::array<uint16_t, kBlockWords> working_block{};
    // Where the driver exposes the two live values; kept after the adjustment ends.
    std::atomic<uint64_t> live_values_address{0};

    // The one claim both procedures take with a compare-exchange, so that two starts of
    // either kind can never both run: kStepByStep from the step-by-step start's parameter
    // check until its step field is 0 again (the start failed, the result was stored, or
    // a break); kWorker from the worker start's parameter check until the worker thread's
    // last access to the record (or the start failed).
    std::atomic<Procedure> procedure{Procedure::kNone};
    bool Claim(Procedure p) {
        Procedure none = Procedure::kNone;
        return procedure.compare_exchange_strong(none, p);
    }
    // Gives the claim up if `p` holds it.
    void Release(Procedure p) {
        Procedure held = p;
        procedure.compare_exchange_strong(held, Procedure::kNone);
    }
    bool WorkerRunning() const { return procedure.load() == Procedure::kWorker; }
    // The saved block holds all 512 words of `saved_selection_type` read by a run that has
    // neither completed nor been written back yet.
    std::atomic<uint8_t> restore_pending{0};
    uint8_t saved_selection_type = 0;

    // Back to the process-attach state (all zero).
    void Reset();
};

struct BoardRecord {
    // Null while the board is closed. Also read by the board's interrupt thread.
    std::atomic<uint64_t> device_handle{0};
    int16_t open_count = 0;      // opens not yet matched by a close

    // Read by the board's interrupt thread while the caller's threads use the board.
    std::atomic<uint8_t> interrupt_installed{0};
    uint64_t interrupt_event = 0;
    uint64_t kill_event = 0;
    uint64_t interrupt_thread = 0;
    std::atomic<InterruptRoutine> user_routine{nullptr};
    std::atomic<uint32_t> labview_event{0};
    uint32_t interrupt_thread_exit = 0;  // exit code of the last interrupt thread that ended

    // The last recorded (function, code). Atomic so that calls that overlap against the
    // rules (two calibration starts at once) stay free of data races; the pair is then
    // whichever call recorded last.
    std::atomic<const char*> last_function{nullptr};  // exported name of the last recording function
    std::atomic<int32_t> last_code{0};
    char last_error_text[kLastErrorTextBytes] = {};

    std::array<ChannelBlock, kChannels> channels = NotInitialisedChannels();
    CalibrationBlock calibration;

    // Back to the process-attach state: everything zero, channels not initialised.
    void Reset();
};

// Process attach: the board count and every record back to their initial state.
void OnProcessAttach();

// Read by the interrupt threads (through the handle lookup) as well as the callers.
std::atomic<uint8_t>& BoardCount();
BoardRecord& Board(int index);

// The index of the record whose device handle is `handle`, scanning records 0 to board
// count - 1 (never beyond the table); -1 when none matches. A null handle never matches.
int FindBoardRecord(QMD5820_HANDLE handle);

// Stores the calling exported function's name and its result in record `index`.
void RecordResult(int index, const char* function_name, int32_t code);

// The call frame of a handle-taking exported function: unknown handle -> -1 (nothing
// recorded); otherwise run `body` on the record, record its code under `name`, return it.
template <class Body>
int16_t CallFrame(const char* name, QMD5820_HANDLE handle, Body&& body) {
    const int index = FindBoardRecord(handle);
    if (index < 0) return -1;
    const int16_t code = body(Board(index));
    RecordResult(index, name, code);
    return code;
}

}  // namespace qmd
