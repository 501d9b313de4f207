// The panel's interrupt routine (see interrupts.h). The routine runs on the library's
// interrupt thread and only touches atomics.
#include "panel/interrupts.h"

#include <atomic>

namespace qmdpanel {
namespace {

constexpr int kBoards = 16;

struct Slot {
    std::atomic<QMD5820_HANDLE> handle{0};
    std::atomic<bool> installed{false};
    std::atomic<uint64_t> sequence{0}, timer{0}, short_circuit{0};
    std::atomic<uint32_t> last_timer{0}, last_sequence{0};
};

Slot slots[kBoards];

void Routine(QMD5820_HANDLE handle, uint8_t info, uint32_t value1, uint32_t, uint32_t*,
             uint32_t) {
    for (Slot& slot : slots) {
        if (slot.handle.load() != handle || !slot.installed.load()) continue;
        switch (info) {
            case 1:
                slot.sequence.fetch_add(1);
                slot.last_sequence.store(value1);
                break;
            case 2:
                slot.timer.fetch_add(1);
                slot.last_timer.store(value1);
                break;
            case 3:
                slot.short_circuit.fetch_add(1);
                break;
            default:
                break;
        }
        return;
    }
}

}  // namespace

int16_t InstallRoutine(BoardState& state) {
    if (state.index >= kBoards) return -1;
    Slot& slot = slots[state.index];
    if (slot.installed.load()) return 0;
    slot.handle.store(state.handle);
    slot.installed.store(true);
    const int16_t code = i_QMD5820_SetBoardIntRoutine(state.handle, Routine);
    if (code != 0) slot.installed.store(false);
    return code;
}

int16_t RemoveRoutine(BoardState& state) {
    if (state.index >= kBoards || !slots[state.index].installed.load()) return 0;
    const int16_t code = i_QMD5820_ResetBoardIntRoutine(state.handle);
    slots[state.index].installed.store(false);
    return code;
}

bool RoutineInstalled(uint8_t board) { return board < kBoards && slots[board].installed.load(); }

InterruptCounts Counts(uint8_t board) {
    InterruptCounts counts;
    if (board >= kBoards) return counts;
    const Slot& slot = slots[board];
    counts.sequence = slot.sequence.load();
    counts.timer = slot.timer.load();
    counts.short_circuit = slot.short_circuit.load();
    counts.last_timer_value = slot.last_timer.load();
    counts.last_sequence_value = slot.last_sequence.load();
    return counts;
}

}  // namespace qmdpanel
