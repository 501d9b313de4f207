#include "core/board_table.h"

#include <algorithm>

#ifdef QMD5820_RECORD_CODES
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#endif

namespace qmd {
namespace {

std::atomic<uint8_t> g_board_count{0};
std::array<BoardRecord, kBoardRecords> g_boards;

#ifdef QMD5820_RECORD_CODES
// Test builds: every (function, code) pair recorded in this process is appended once to the
// file named by QMD5820_RECORDED_CODES ("name code" per line), so that a check after the
// test suite can tell which catalogue rows the suite reached. The variable is read once:
// this runs on every recording call, and the default build (the benchmarks' too) has it.
void AppendRecordedCode(const char* function_name, int32_t code) {
    static std::mutex mutex;
    static std::set<std::pair<std::string, int32_t>> seen;
    static const std::string path = [] {
        const char* value = std::getenv("QMD5820_RECORDED_CODES");
        return std::string(value == nullptr ? "" : value);
    }();
    if (path.empty() || function_name == nullptr) return;
    std::lock_guard<std::mutex> lock(mutex);
    if (!seen.emplace(function_name, code).second) return;
    if (std::FILE* file = std::fopen(path.c_str(), "a")) {
        std::fprintf(file, "%s %ld\n", function_name, static_cast<long>(code));
        std::fclose(file);
    }
}
#endif

}  // namespace

void CalibrationBlock::Reset() {
    interactive_position = 0;
    first_channel = second_channel = current_group = step = 0;
    saved_potentiometers.fill(0);
    saved_table_count = 0;
    saved_table_a.fill(0);
    saved_table_b.fill(0);
    interactive_potentiometers.fill(0);
    balance_factor = 0;
    worker_status.store(0);
    worker_record.fill(0);
    worker_impedance = 0;
    worker_position = 0;
    group0_channel = group1_channel = transducer_model = 0;
    worker_potentiometers.fill(0);
    adjusted_potentiometers = 0;
    error_phase.store(0);
    error_code.store(0);
    break_request.store(0);
    next_step_request.store(0);
    factor_a = factor_b = 0;
    saved_block.fill(0);
    working_block.fill(0);
    live_values_address.store(0);
    procedure.store(Procedure::kNone);
    restore_pending.store(0);
    saved_selection_type = 0;
}

void BoardRecord::Reset() {
    device_handle.store(0);
    open_count = 0;
    interrupt_installed.store(0);
    interrupt_event = 0;
    kill_event = 0;
    interrupt_thread = 0;
    user_routine.store(nullptr);
    labview_event.store(0);
    interrupt_thread_exit = 0;
    last_function.store(nullptr);
    last_code.store(0);
    std::fill(std::begin(last_error_text), std::end(last_error_text), '\0');
    channels = NotInitialisedChannels();
    calibration.Reset();
}

void OnProcessAttach() {
    g_board_count = 0;
    for (BoardRecord& record : g_boards) record.Reset();
}

std::atomic<uint8_t>& BoardCount() { return g_board_count; }

BoardRecord& Board(int index) { return g_boards[static_cast<std::size_t>(index)]; }

int FindBoardRecord(QMD5820_HANDLE handle) {
    if (handle == 0) return -1;
    const int limit = std::min<int>(g_board_count.load(std::memory_order_relaxed), kBoardRecords);
    for (int i = 0; i < limit; ++i) {
        if (g_boards[static_cast<std::size_t>(i)].device_handle.load(std::memory_order_relaxed) ==
            handle) {
            return i;
        }
    }
    return -1;
}

void RecordResult(int index, const char* function_name, int32_t code) {
    BoardRecord& record = Board(index);
    record.last_function.store(function_name, std::memory_order_relaxed);
    record.last_code.store(code, std::memory_order_relaxed);
#ifdef QMD5820_RECORD_CODES
    AppendRecordedCode(function_name, code);
#endif
}

}  // namespace qmd
