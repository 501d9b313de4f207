// Board interrupts reach the application through a routine installed per board. The
// library hands the driver a manual-reset interrupt event; a thread per board waits on it
// (and on a kill event), drains every queued interrupt record from the driver and calls
// the routine once per record.
//
// Each interrupt thread has a context of its own (its events, its thread handle, its
// routine), so an installation that follows a removal never shares anything with a thread
// that is still ending. The context is counted: the thread, the board's installation and,
// while it runs, the installing call each hold it, and whoever lets go last releases it.
// That is the removal once the thread has ended, or the thread itself when it ends after
// the removal stopped waiting for it (a routine that removes its own installation, or one
// that outlived the wait).
#include "interrupts/interrupts.h"

#include <array>
#include <atomic>
#include <new>

#include "qmd5820_protocol/bytes.h"
#include "core/transport.h"
#include "platform/platform.h"

namespace qmd {
namespace {

using platform::Os;

// Interrupt record (144 bytes, no status byte).
using namespace req::interrupt_record;

// Exit codes of the interrupt thread.
enum : uint32_t {
    kKilled = 0,
    kKillResetFailed = 1,
    kInterruptResetFailed = 2,
    kDrainFailed = 3,
    kNoRoutine = 4,
    kWaitFailed = 6,
};

struct InterruptContext {
    BoardRecord* board;
    platform::Handle kill;
    platform::Handle interrupt;
    InterruptRoutine routine;
    std::atomic<platform::Handle> thread{0};
    std::atomic<bool> stop{false};  // removed: take no further record from the driver
    std::atomic<int> holders{3};    // the thread, the installation, the installing call
};

// The context of the interrupt thread running on this thread, if any.
thread_local InterruptContext* t_context = nullptr;

// The context of each board's installation. Changed only by installation and removal,
// which callers serialise per board (a routine calling them counts as such a caller).
std::array<InterruptContext*, kBoardRecords> g_contexts{};

InterruptContext*& ContextOf(const BoardRecord& board) {
    return g_contexts[static_cast<std::size_t>(&board - &Board(0))];
}

// One holder lets go; the last releases the interrupt event, the kill event and the
// thread handle, in this order, and the context.
void LetGo(InterruptContext* context) {
    if (context->holders.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    Os().close_event(context->interrupt);
    Os().close_event(context->kill);
    Os().close_thread(context->thread.load(std::memory_order_acquire));
    delete context;
}

uint32_t RunInterruptThread(InterruptContext& context) {
    BoardRecord& board = *context.board;
    Record<req::kReadInterruptRecord> record{};
    std::array<uint32_t, kDataValues> data{};
    for (;;) {
        const int woken = Os().wait_either(context.kill, context.interrupt);
        if (woken == 0) return Os().reset_event(context.kill) ? kKilled : kKillResetFailed;
        if (woken != 1) return kWaitFailed;
        if (!Os().reset_event(context.interrupt)) return kInterruptResetFailed;
        // Deliver everything the driver has queued before waiting again; after a removal,
        // leave what is left to the next installation.
        for (;;) {
            if (context.stop.load(std::memory_order_acquire)) return kKilled;
            const QMD5820_HANDLE handle = board.device_handle.load(std::memory_order_relaxed);
            if (!Transfer<req::kReadInterruptRecord>(handle, record)) return kDrainFailed;
            if (record[kEmpty] != 0) break;
            if (context.routine == nullptr) return kNoRoutine;
            for (std::size_t i = 0; i < kDataValues; ++i) {
                data[i] = bytes::GetU32(record.data() + kData + 4 * i);
            }
            context.routine(handle, record[kInfo], bytes::GetU32(record.data() + kValue1),
                            bytes::GetU32(record.data() + kValue2), data.data(),
                            bytes::GetU32(record.data() + kDataCount));
        }
    }
}

uint32_t InterruptThread(void* argument) {
    auto* context = static_cast<InterruptContext*>(argument);
    t_context = context;
    const uint32_t exit_code = RunInterruptThread(*context);
    t_context = nullptr;
    LetGo(context);
    return exit_code;
}

// Ends the board's interrupt thread from another thread: sets the kill event and waits
// for the thread (at most 100 ms). The events and the thread handle are released once the
// thread has ended; a thread that does not end in time (its routine has not returned)
// releases them itself when it ends. From the interrupt thread itself (its routine removes
// the installation) nothing waits: the thread ends when the routine returns.
void StopInterruptThread(BoardRecord& board) {
    InterruptContext* context = ContextOf(board);
    if (context == nullptr) return;
    context->stop.store(true, std::memory_order_release);
    if (context == t_context) {
        board.interrupt_thread_exit = kKilled;
    } else {
        Os().set_event(context->kill);
        uint32_t exit_code = 0;
        if (Os().join_thread(context->thread.load(), kInterruptThreadStopMs, &exit_code)) {
            board.interrupt_thread_exit = exit_code;
        }
    }
    LetGo(context);
    ContextOf(board) = nullptr;
    board.interrupt_event = 0;
    board.kill_event = 0;
    board.interrupt_thread = 0;
}

}  // namespace

int16_t InstallInterruptRoutine(BoardRecord& board, QMD5820_HANDLE handle,
                                InterruptRoutine routine) {
    if (board.interrupt_installed.load() == 1) return -2;
    const platform::Handle kill = Os().create_event();
    if (kill == 0) return -3;
    const platform::Handle interrupt = Os().create_event();
    if (interrupt == 0) {
        Os().close_event(kill);
        return -4;
    }
    // The routine is in place before the thread starts, and so before the driver learns
    // the event.
    auto* context = new (std::nothrow) InterruptContext{&board, kill, interrupt, routine};
    const platform::Handle thread =
        context == nullptr ? 0 : Os().start_thread(InterruptThread, context);
    if (thread == 0) {
        delete context;
        Os().close_event(interrupt);
        Os().close_event(kill);
        return -5;
    }
    context->thread.store(thread, std::memory_order_release);
    ContextOf(board) = context;
    board.kill_event = kill;
    board.interrupt_event = interrupt;
    board.interrupt_thread = thread;
    board.user_routine.store(routine, std::memory_order_release);

    int16_t code = 0;
    if (!Os().raise_process_priority()) {
        code = -6;
    } else if (!Os().raise_thread_priority(thread)) {
        code = -7;
    } else {
        // Installed before the driver learns the event: the routine may remove the
        // installation from its very first call on.
        board.interrupt_installed.store(1);
        Record<req::kRegisterInterruptEvent> registration{};
        bytes::PutU64(registration.data() + req::interrupt_event::kEvent, interrupt);
        if (!Transfer<req::kRegisterInterruptEvent>(handle, registration)) code = -8;
    }
    if (code != 0) {
        StopInterruptThread(board);
        board.user_routine.store(nullptr, std::memory_order_release);
        board.interrupt_installed.store(0);
        LetGo(context);
        return code;
    }
    // Records the driver queued before it knew the event (a full queue that raises
    // nothing new, for one) are drained now, not at some later interrupt. This call still
    // holds the event, also when the routine has removed the installation already.
    Os().set_event(interrupt);
    LetGo(context);
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
