// Board interrupts reach the application through a routine installed per board. The
// library hands the driver a manual-reset interrupt event; a thread per board waits on it
// (and on a kill event), drains every queued interrupt record from the driver and calls
// the routine once per record.
#include "interrupts/interrupts.h"

#include <array>

#include "core/bytes.h"
#include "core/transport.h"
#include "platform/platform.h"

namespace qmd {
namespace {

using platform::Os;

// Interrupt record (144 bytes, no status byte).
constexpr std::size_t kValue1 = 0;
constexpr std::size_t kValue2 = 4;
constexpr std::size_t kData = 8;
constexpr std::size_t kDataCount = 136;
constexpr std::size_t kInfo = 140;
constexpr std::size_t kEmptyFlag = 141;
constexpr std::size_t kDataValues = 32;

// Exit codes of the interrupt thread.
enum : uint32_t {
    kKilled = 0,
    kKillResetFailed = 1,
    kInterruptResetFailed = 2,
    kDrainFailed = 3,
    kNoRoutine = 4,
    kWaitFailed = 6,
};

uint32_t InterruptThread(void* argument) {
    BoardRecord& board = *static_cast<BoardRecord*>(argument);
    const platform::Handle kill = board.kill_event;
    const platform::Handle interrupt = board.interrupt_event;
    Record<req::kReadInterruptRecord> record{};
    std::array<uint32_t, kDataValues> data{};
    for (;;) {
        const int woken = Os().wait_either(kill, interrupt);
        if (woken == 0) return Os().reset_event(kill) ? kKilled : kKillResetFailed;
        if (woken != 1) return kWaitFailed;
        if (!Os().reset_event(interrupt)) return kInterruptResetFailed;
        // Deliver everything the driver has queued before waiting again.
        for (;;) {
            const QMD5820_HANDLE handle = board.device_handle.load(std::memory_order_relaxed);
            if (!Transfer<req::kReadInterruptRecord>(handle, record)) return kDrainFailed;
            if (record[kEmptyFlag] != 0) break;
            const InterruptRoutine routine = board.user_routine.load(std::memory_order_acquire);
            if (routine == nullptr) return kNoRoutine;
            for (std::size_t i = 0; i < kDataValues; ++i) {
                data[i] = bytes::GetU32(record.data() + kData + 4 * i);
            }
            routine(handle, record[kInfo], bytes::GetU32(record.data() + kValue1),
                    bytes::GetU32(record.data() + kValue2), data.data(),
                    bytes::GetU32(record.data() + kDataCount));
        }
    }
}

// Ends the board's interrupt thread: sets the kill event and waits for the thread (at most
// 100 ms). The events and the thread handle are released only once the thread has ended;
// a thread that does not end in time (its routine does not return) keeps them.
void StopInterruptThread(BoardRecord& board) {
    Os().set_event(board.kill_event);
    uint32_t exit_code = 0;
    if (Os().join_thread(board.interrupt_thread, kInterruptThreadStopMs, &exit_code)) {
        board.interrupt_thread_exit = exit_code;
        Os().close_event(board.interrupt_event);
        Os().close_event(board.kill_event);
    }
    Os().close_thread(board.interrupt_thread);
    board.interrupt_event = 0;
    board.kill_event = 0;
    board.interrupt_thread = 0;
}

}  // namespace

int16_t InstallInterruptRoutine(BoardRecord& board, QMD5820_HANDLE handle,
                                InterruptRoutine routine) {
    if (board.interrupt_installed.load() == 1) return -2;
    board.kill_event = Os().create_event();
    if (board.kill_event == 0) return -3;
    board.interrupt_event = Os().create_event();
    if (board.interrupt_event == 0) {
        Os().close_event(board.kill_event);
        board.kill_event = 0;
        return -4;
    }
    board.interrupt_thread = Os().start_thread(InterruptThread, &board);
    if (board.interrupt_thread == 0) {
        Os().close_event(board.interrupt_event);
        Os().close_event(board.kill_event);
        board.interrupt_event = 0;
        board.kill_event = 0;
        return -5;
    }
    // The routine is in place before the driver learns the event.
    board.user_routine.store(routine, std::memory_order_release);

    int16_t code = 0;
    if (!Os().raise_process_priority()) {
        code = -6;
    } else if (!Os().raise_thread_priority(board.interrupt_thread)) {
        code = -7;
    } else {
        Record<req::kRegisterInterruptEvent> registration{};
        bytes::PutU64(registration.data(), board.interrupt_event);
        if (!Transfer<req::kRegisterInterruptEvent>(handle, registration)) code = -8;
    }
    if (code != 0) {
        StopInterruptThread(board);
        board.user_routine.store(nullptr, std::memory_order_release);
        return code;
    }
    board.interrupt_installed.store(1);
    return 0;
}

int16_t RemoveInterruptRoutine(BoardRecord& board) {
    if (board.interrupt_installed.load() != 1) return -2;
    StopInterruptThread(board);
    board.user_routine.store(nullptr, std::memory_order_release);
    board.interrupt_installed.store(0);
    return 0;
}

}  // namespace qmd

using namespace qmd;

extern "C" {

// Neither function records its result; the LabVIEW twins record the same codes.
int16_t i_QMD5820_SetBoardIntRoutine(QMD5820_HANDLE h_DeviceHandle,
                                     QMD5820_INTERRUPT_ROUTINE p_InterruptRoutine) {
    const int index = FindBoardRecord(h_DeviceHandle);
    if (index < 0) return -1;
    return InstallInterruptRoutine(Board(index), h_DeviceHandle, p_InterruptRoutine);
}

int16_t i_QMD5820_ResetBoardIntRoutine(QMD5820_HANDLE h_DeviceHandle) {
    const int index = FindBoardRecord(h_DeviceHandle);
    if (index < 0) return -1;
    return RemoveInterruptRoutine(Board(index));
}

}  // extern "C"
