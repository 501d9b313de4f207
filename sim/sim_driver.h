// The simulated driver: boards, handles, the request table check, fault injection, the
// request trace and the clock, behind the backend table and the control API. The driver's
// core is in driver.cpp; the clock and pump thread, fault injection, the trace and the
// state file glue each in a file of their own, the C control API by subsystem in
// sim_*_api.cpp.
//
// Handles: every successful open hands out a new value from a process-wide counter (above
// 32 bits, step 4, never 0 or all ones, never reused, not even across qmdsim_reset), so a
// stale handle or one truncated to 32 bits is unknown to the driver.
//
// One mutex guards the whole driver; no call sleeps while holding it. Interrupt records
// are queued under it, but the registered events are signalled only after it is released
// (see Session): the library's interrupt thread answers a signal with requests of its own.
//
// Time-driven sources (the timer with its interrupt, a sequence acquisition) run in the
// pump, which every request, qmdsim_advance_us and a virtual sleep call first. With the
// real clock a pump thread also runs it about every millisecond while such a source is
// active: started at the first need, parked while nothing needs it, stopped and joined by
// qmdsim_reset and at process exit (an atexit handler registered when the first one starts,
// so it runs before the static objects that existed then are destroyed).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qmd5820sim.h"
#include "sim_board.h"
#include "sim_state.h"

namespace qmdsim {

inline constexpr uint64_t kFirstHandle = UINT64_C(0x0000'01A4'0000'0104);

struct RequestFault {
    uint32_t board;
    uint32_t code;
    bool at_address;
    uint32_t address;
    uint32_t nth;  // 0: every request
    int32_t kind;
    uint8_t status;
    uint32_t seen = 0;
    bool spent = false;
};

struct TraceRecord {
    uint32_t kind = 0;
    uint32_t board = QMDSIM_ANY_BOARD;
    uint64_t handle = 0;
    uint32_t code = 0;
    uint32_t in_size = 0;
    uint32_t out_size = 0;
    int32_t result = 0;
    std::vector<uint8_t> in;
    std::vector<uint8_t> out;
};

using Signaller = void (*)(uint64_t event);

class Driver {
    // The driver's lock for one operation. On release it collects the events of the boards
    // that queued records, makes sure the pump thread runs if a source needs it, unlocks,
    // and only then signals the events.
    class Session {
      public:
        explicit Session(Driver& driver) : driver_(driver), lock_(driver.mutex_) {}
        ~Session() {
            std::vector<uint64_t> events = driver_.TakeSignalsLocked();
            driver_.EnsurePumpThreadLocked();
            lock_.unlock();
            driver_.Signal(events);
        }
        Session(const Session&) = delete;
        Session& operator=(const Session&) = delete;

      private:
        Driver& driver_;
        std::unique_lock<std::mutex> lock_;
    };

  public:
    Driver() : real_origin_(std::chrono::steady_clock::now()) { Reset(); }

    // ---- backend ----

    int32_t CountBoards();

    int32_t Open(uint32_t index, uint64_t* handle);

    int32_t Close(uint64_t handle);

    int32_t DeviceIoControl(uint64_t handle, uint32_t code, uint8_t* buffer, uint32_t in_size,
                            uint32_t out_size);

    // Delivers as much of the board's waiting sequence data as is asked for; never waits.
    int32_t ReadStream(uint64_t handle, uint8_t* buffer, uint32_t size, uint32_t* bytes_read);

    void SleepMs(uint32_t ms);

    int64_t ClockSeconds();

    // ---- control ----

    // Everything back to the start state except the event signaller, which the library
    // installs once. The pump thread is taken out in the same step and joined after.
    void Reset();

    // Stops the pump thread for good (process exit): none is started again.
    void StopPumpThreadForExit();

    void ClearBoards();

    int32_t AddBoard(const qmdsim_board_config* config);

    uint32_t BoardCount();

    uint32_t OpenHandles(uint32_t board);

    // Runs `f` on board `index` under the lock; does nothing for an unknown board. Records
    // `f` queues are signalled when it is done.
    template <typename F>
    void WithBoard(uint32_t index, F f) {
        Session session(*this);
        if (index < boards_.size()) OnKeptBoardLocked(index, f, NowLocked());
    }

    // The same, with the time-driven sources run up to now first (a change of what they
    // acquire applies from now on).
    template <typename F>
    void WithPumpedBoard(uint32_t index, F f) {
        Session session(*this);
        const uint64_t now = NowLocked();
        PumpLocked(now);
        if (index < boards_.size()) OnKeptBoardLocked(index, f, now);
    }

    void SetSignaller(Signaller signaller) { signaller_.store(signaller); }

    // ---- state file ----

    int32_t StateAttach(const char* path);

    void StateDetach();

    int32_t StateFlush();

    int32_t StateReset(bool force);

    int32_t StateDescribe(std::string* text);

    std::string StatePath();

    uint32_t StateSaves();

    void Pump();

    void FaultRequest(uint32_t board, uint32_t code, bool at, uint32_t address, uint32_t nth,
                      int32_t kind, uint8_t status);

    void FaultEnumeration(int32_t result);

    void FaultOpen(uint32_t board, int32_t step);

    void FaultClose(uint32_t nth);

    void FaultClear();

    void TraceEnable(uint32_t capacity);

    void TraceClear();

    uint32_t TraceCount();

    int32_t TraceGet(uint32_t i, qmdsim_trace_entry* e);

    void SetVirtualClock(bool on);

    uint64_t NowUs();

    void AdvanceUs(uint64_t us);

  private:
    // A control call on a board sees the kept state as a request does, and what it
    // changes of it is kept the same way.
    template <typename F>
    void OnKeptBoardLocked(uint32_t index, F& f, uint64_t now) {
        Board& board = *boards_[index];
        const bool kept = state_.Begin(index, board);
        f(board, now);
        if (kept) (void)state_.End(index, board);
    }

    void PumpLocked(uint64_t now);

    bool AnyTimeDrivenSourceLocked() const;

    // The events of the boards that queued records since the last look, each once.
    std::vector<uint64_t> TakeSignalsLocked();

    // Called without the lock.
    void Signal(const std::vector<uint64_t>& events) const;

    // ---- pump thread ----

    // Starts the pump thread, or wakes it from its parking, when the real clock runs and a
    // source needs it. A thread that cannot be created leaves the pumping to the requests.
    void EnsurePumpThreadLocked();

    // Ends the current pump thread's generation; the caller joins what it gets.
    std::thread TakePumpThreadLocked();

    static void JoinPumpThread(std::thread thread);

    void PumpThread(uint64_t generation);

    uint64_t NowLocked() const;

    void ClearFaults();

    void Trace(TraceRecord&& t);

    // Counts the request against every matching fault; the first fault that fires (in
    // injection order) decides. Only requests that reach the board count: a call the driver
    // refuses (unknown handle, code or sizes) is no request of any code. A fault of
    // QMDSIM_ANY_CODE counts every code, with the address condition too when it has one.
    const RequestFault* FaultFor(uint32_t board, uint32_t code, const uint8_t* in,
                                 uint32_t in_size);

    int32_t Dispatch(uint64_t handle, uint32_t code, uint8_t* buffer, uint32_t in_size,
                     uint32_t out_size, uint64_t now, TraceRecord& t);

    std::mutex mutex_;
    // Boards are held by pointer: the auto-refresh area handed out must not move.
    std::vector<std::unique_ptr<Board>> boards_;
    std::map<uint64_t, uint32_t> handles_;  // handle -> board index
    uint64_t next_handle_ = kFirstHandle;

    std::vector<RequestFault> request_faults_;
    int32_t enumeration_fault_ = 0;
    std::map<uint32_t, int32_t> open_faults_;
    uint32_t close_fault_nth_ = 0;
    uint32_t closes_seen_ = 0;

    std::deque<TraceRecord> trace_;
    uint32_t trace_capacity_ = 0;

    const std::chrono::steady_clock::time_point real_origin_;
    bool virtual_clock_ = false;
    uint64_t virtual_us_ = 0;

    std::atomic<Signaller> signaller_{nullptr};  // kept across resets

    std::thread pump_thread_;
    uint64_t pump_generation_ = 0;  // a pump thread runs while this is its own
    bool pump_parked_ = false;
    std::condition_variable pump_wake_;
    bool exit_handler_registered_ = false;
    bool exiting_ = false;

    Persistence state_;
};

// Created at first use and never destroyed, so a late call from another thread during
// process exit still finds it.
Driver& TheDriver();

}  // namespace qmdsim
