// The simulated driver: boards, handles, the request table check, fault injection, the
// request trace and the clock, behind the backend table and the control API.
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
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "qmd5820_protocol/bytes.h"
#include "qmd5820_protocol/requests.h"
#include "qmd5820sim.h"
#include "sim_board.h"
#include "sim_state.h"

namespace qmdsim {
namespace {

constexpr uint64_t kFirstHandle = UINT64_C(0x0000'01A4'0000'0104);
constexpr uint64_t kHandleStep = 4;
constexpr uint32_t kMaxBoards = 255;
constexpr int64_t kVirtualCalendarEpoch = 1800000000;  // calendar seconds at virtual time 0

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

// A request whose input carries `address` where EEPROM word requests carry the byte address.
bool AtAddress(const uint8_t* in, uint32_t in_size, uint32_t address) {
    constexpr std::size_t kAt = qmd::req::eeprom_word::kByteAddress;
    return in_size >= kAt + 4 && qmd::bytes::GetU32(in + kAt) == address;
}

std::vector<uint8_t> Capture(const uint8_t* p, uint32_t size) {
    if (p == nullptr) return {};
    const uint32_t n = size < QMDSIM_TRACE_BYTES ? size : QMDSIM_TRACE_BYTES;
    return std::vector<uint8_t>(p, p + n);
}

using Signaller = void (*)(uint64_t event);

void StopPumpThreadAtExit();

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

    int32_t CountBoards() {
        std::lock_guard<std::mutex> lock(mutex_);
        const int32_t result =
            enumeration_fault_ != 0 ? enumeration_fault_ : static_cast<int32_t>(boards_.size());
        TraceRecord t;
        t.kind = QMDSIM_TRACE_COUNT;
        t.result = result;
        Trace(std::move(t));
        return result;
    }

    int32_t Open(uint32_t index, uint64_t* handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        int32_t code = QMD5820_OPEN_OK;
        uint64_t h = 0;
        const auto fault = open_faults_.find(index);
        if (handle == nullptr || index >= boards_.size()) {
            code = QMD5820_OPEN_NO_INTERFACE;
        } else if (fault != open_faults_.end()) {
            code = fault->second;
            if (code == QMD5820_OPEN_CREATE_FAILED) h = QMD5820_INVALID_HANDLE_VALUE;
        } else {
            h = next_handle_;
            next_handle_ += kHandleStep;
            handles_[h] = index;
        }
        if (handle != nullptr && (code == QMD5820_OPEN_OK || code == QMD5820_OPEN_CREATE_FAILED)) {
            *handle = h;
        }
        TraceRecord t;
        t.kind = QMDSIM_TRACE_OPEN;
        t.board = index;
        t.handle = h;
        t.result = code;
        Trace(std::move(t));
        return code;
    }

    int32_t Close(uint64_t handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = handles_.find(handle);
        bool ok = it != handles_.end();
        TraceRecord t;
        t.kind = QMDSIM_TRACE_CLOSE;
        t.handle = handle;
        t.board = ok ? it->second : QMDSIM_ANY_BOARD;
        if (close_fault_nth_ != 0 && ++closes_seen_ == close_fault_nth_) {
            close_fault_nth_ = 0;
            ok = false;
        } else if (ok) {
            handles_.erase(it);
        }
        t.result = ok ? 1 : 0;
        Trace(std::move(t));
        return ok ? 0 : 1;
    }

    int32_t DeviceIoControl(uint64_t handle, uint32_t code, uint8_t* buffer, uint32_t in_size,
                            uint32_t out_size) {
        Session session(*this);
        const uint64_t now = NowLocked();
        PumpLocked(now);
        TraceRecord t;
        t.kind = QMDSIM_TRACE_IOCTL;
        t.handle = handle;
        t.code = code;
        t.in_size = in_size;
        t.out_size = out_size;
        if (trace_capacity_ > 0) t.in = Capture(buffer, in_size);
        const int32_t result = Dispatch(handle, code, buffer, in_size, out_size, now, t);
        t.result = result;
        Trace(std::move(t));
        return result;
    }

    // Delivers as much of the board's waiting sequence data as is asked for; never waits.
    int32_t ReadStream(uint64_t handle, uint8_t* buffer, uint32_t size, uint32_t* bytes_read) {
        Session session(*this);
        PumpLocked(NowLocked());
        const auto it = handles_.find(handle);
        const bool ok = it != handles_.end() && bytes_read != nullptr &&
                        (buffer != nullptr || size == 0);
        uint32_t delivered = 0;
        if (ok) {
            delivered = static_cast<uint32_t>(boards_[it->second]->stream.Read(buffer, size));
            *bytes_read = delivered;
        }
        TraceRecord t;
        t.kind = QMDSIM_TRACE_READ;
        t.handle = handle;
        t.board = it != handles_.end() ? it->second : QMDSIM_ANY_BOARD;
        t.in_size = size;
        t.out_size = delivered;
        t.result = ok ? 1 : 0;
        if (trace_capacity_ > 0) t.out = Capture(buffer, delivered);
        Trace(std::move(t));
        return ok ? 1 : 0;
    }

    void SleepMs(uint32_t ms) {
        bool virtual_clock = false;
        {
            Session session(*this);
            virtual_clock = virtual_clock_;
            if (virtual_clock) {
                virtual_us_ += uint64_t{ms == 0 ? 1u : ms} * 1000;
                PumpLocked(virtual_us_);
            }
        }
        if (virtual_clock || ms == 0) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        }
    }

    int64_t ClockSeconds() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!virtual_clock_) return static_cast<int64_t>(std::time(nullptr));
        return kVirtualCalendarEpoch + static_cast<int64_t>(virtual_us_ / 1000000);
    }

    // ---- control ----

    // Everything back to the start state except the event signaller, which the library
    // installs once. The pump thread is taken out in the same step and joined after.
    void Reset() {
        std::thread pump_thread;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            state_.Detach();
            boards_.clear();
            handles_.clear();
            ClearFaults();
            trace_.clear();
            trace_capacity_ = 0;
            virtual_clock_ = false;
            virtual_us_ = 0;
            for (uint32_t i = 0; i < 2; ++i) {
                boards_.push_back(std::make_unique<Board>(DemoBoardConfig(i)));
            }
            pump_thread = TakePumpThreadLocked();
        }
        JoinPumpThread(std::move(pump_thread));
    }

    // Stops the pump thread for good (process exit): none is started again.
    void StopPumpThreadForExit() {
        std::thread pump_thread;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            exiting_ = true;
            pump_thread = TakePumpThreadLocked();
        }
        JoinPumpThread(std::move(pump_thread));
    }

    void ClearBoards() {
        std::lock_guard<std::mutex> lock(mutex_);
        boards_.clear();
        handles_.clear();
    }

    int32_t AddBoard(const qmdsim_board_config* config) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (boards_.size() >= kMaxBoards) return -1;
        const uint32_t index = static_cast<uint32_t>(boards_.size());
        boards_.push_back(
            std::make_unique<Board>(config != nullptr ? *config : DemoBoardConfig(index)));
        return static_cast<int32_t>(index);
    }

    uint32_t BoardCount() {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<uint32_t>(boards_.size());
    }

    uint32_t OpenHandles(uint32_t board) {
        std::lock_guard<std::mutex> lock(mutex_);
        uint32_t n = 0;
        for (const auto& [h, b] : handles_) n += b == board ? 1 : 0;
        return n;
    }

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

    int32_t StateAttach(const char* path) {
        std::lock_guard<std::mutex> lock(mutex_);
        return state_.Attach(path != nullptr ? path : DefaultStatePath(), boards_);
    }

    void StateDetach() {
        std::lock_guard<std::mutex> lock(mutex_);
        state_.Detach();
    }

    int32_t StateFlush() {
        std::lock_guard<std::mutex> lock(mutex_);
        return state_.Flush();
    }

    int32_t StateReset(bool force) {
        std::lock_guard<std::mutex> lock(mutex_);
        return state_.Reset(boards_, force);
    }

    int32_t StateDescribe(std::string* text) {
        std::lock_guard<std::mutex> lock(mutex_);
        return state_.Describe(text);
    }

    std::string StatePath() {
        std::lock_guard<std::mutex> lock(mutex_);
        return state_.Attached() ? state_.Path() : std::string();
    }

    uint32_t StateSaves() {
        std::lock_guard<std::mutex> lock(mutex_);
        return state_.Saves();
    }

    void Pump() {
        Session session(*this);
        PumpLocked(NowLocked());
    }

    void FaultRequest(uint32_t board, uint32_t code, bool at, uint32_t address, uint32_t nth,
                      int32_t kind, uint8_t status) {
        if (kind != QMDSIM_FAULT_CALL && kind != QMDSIM_FAULT_STATUS && kind != QMDSIM_FAULT_CUT) {
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        request_faults_.push_back({board, code, at, address, nth, kind, status});
    }

    void FaultEnumeration(int32_t result) {
        std::lock_guard<std::mutex> lock(mutex_);
        enumeration_fault_ = result;
    }

    void FaultOpen(uint32_t board, int32_t step) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (step >= QMD5820_OPEN_CREATE_FAILED && step <= QMD5820_OPEN_NO_DEVICE_SET) {
            open_faults_[board] = step;
        } else if (step == 0) {
            open_faults_.erase(board);
        }
    }

    void FaultClose(uint32_t nth) {
        std::lock_guard<std::mutex> lock(mutex_);
        close_fault_nth_ = nth;
        closes_seen_ = 0;
    }

    void FaultClear() {
        std::lock_guard<std::mutex> lock(mutex_);
        ClearFaults();
    }

    void TraceEnable(uint32_t capacity) {
        std::lock_guard<std::mutex> lock(mutex_);
        trace_capacity_ = capacity;
        while (trace_.size() > capacity && !trace_.empty() && capacity > 0) trace_.pop_front();
    }

    void TraceClear() {
        std::lock_guard<std::mutex> lock(mutex_);
        trace_.clear();
    }

    uint32_t TraceCount() {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<uint32_t>(trace_.size());
    }

    int32_t TraceGet(uint32_t i, qmdsim_trace_entry* e) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (e == nullptr || i >= trace_.size()) return -1;
        const TraceRecord& t = trace_[i];
        std::memset(e, 0, sizeof *e);
        e->kind = t.kind;
        e->board = t.board;
        e->handle = t.handle;
        e->code = t.code;
        e->in_size = t.in_size;
        e->out_size = t.out_size;
        e->result = t.result;
        if (!t.in.empty()) std::memcpy(e->in, t.in.data(), t.in.size());
        if (!t.out.empty()) std::memcpy(e->out, t.out.data(), t.out.size());
        return 0;
    }

    void SetVirtualClock(bool on) {
        Session session(*this);
        if (on && !virtual_clock_) virtual_us_ = 0;
        virtual_clock_ = on;
    }

    uint64_t NowUs() {
        std::lock_guard<std::mutex> lock(mutex_);
        return NowLocked();
    }

    void AdvanceUs(uint64_t us) {
        Session session(*this);
        if (virtual_clock_) virtual_us_ += us;
        PumpLocked(NowLocked());
    }

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

    void PumpLocked(uint64_t now) {
        for (const auto& board : boards_) board->Pump(now);
    }

    bool AnyTimeDrivenSourceLocked() const {
        return std::any_of(boards_.begin(), boards_.end(),
                           [](const auto& board) { return board->TimeDriven(); });
    }

    // The events of the boards that queued records since the last look, each once.
    std::vector<uint64_t> TakeSignalsLocked() {
        std::vector<uint64_t> events;
        for (const auto& board : boards_) {
            Interrupts& irq = board->interrupts;
            if (!irq.signal_pending) continue;
            irq.signal_pending = false;
            if (irq.event == 0) continue;
            if (std::find(events.begin(), events.end(), irq.event) == events.end()) {
                events.push_back(irq.event);
            }
        }
        return events;
    }

    // Called without the lock.
    void Signal(const std::vector<uint64_t>& events) const {
        if (events.empty()) return;
        const Signaller signal = signaller_.load();
        if (signal == nullptr) return;
        for (uint64_t event : events) signal(event);
    }

    // ---- pump thread ----

    // Starts the pump thread, or wakes it from its parking, when the real clock runs and a
    // source needs it. A thread that cannot be created leaves the pumping to the requests.
    void EnsurePumpThreadLocked() {
        if (virtual_clock_ || exiting_ || !AnyTimeDrivenSourceLocked()) return;
        if (pump_thread_.joinable()) {
            if (pump_parked_) {
                pump_parked_ = false;
                pump_wake_.notify_all();
            }
            return;
        }
        if (!exit_handler_registered_) {
            exit_handler_registered_ = std::atexit(StopPumpThreadAtExit) == 0;
            if (!exit_handler_registered_) return;  // a thread nobody would stop: none
        }
        try {
            pump_parked_ = false;
            pump_thread_ = std::thread(&Driver::PumpThread, this, pump_generation_);
        } catch (const std::system_error&) {
        }
    }

    // Ends the current pump thread's generation; the caller joins what it gets.
    std::thread TakePumpThreadLocked() {
        ++pump_generation_;
        pump_parked_ = false;
        pump_wake_.notify_all();
        return std::move(pump_thread_);
    }

    static void JoinPumpThread(std::thread thread) {
        if (!thread.joinable()) return;
        // A reset from a signaller running on the pump thread itself: that thread ends on
        // its own once it sees its generation is over.
        if (thread.get_id() == std::this_thread::get_id()) {
            thread.detach();
        } else {
            thread.join();
        }
    }

    void PumpThread(uint64_t generation) {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto over = [&] { return pump_generation_ != generation; };
        while (!over()) {
            if (virtual_clock_ || !AnyTimeDrivenSourceLocked()) {
                pump_parked_ = true;
                pump_wake_.wait(lock, [&] { return over() || !pump_parked_; });
                continue;
            }
            PumpLocked(NowLocked());
            const std::vector<uint64_t> events = TakeSignalsLocked();
            if (!events.empty()) {
                lock.unlock();
                Signal(events);
                lock.lock();
            }
            pump_wake_.wait_for(lock, std::chrono::milliseconds(1), over);
        }
    }

    uint64_t NowLocked() const {
        if (virtual_clock_) return virtual_us_;
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                         std::chrono::steady_clock::now() - real_origin_)
                                         .count());
    }

    void ClearFaults() {
        request_faults_.clear();
        enumeration_fault_ = 0;
        open_faults_.clear();
        close_fault_nth_ = 0;
        closes_seen_ = 0;
    }

    void Trace(TraceRecord&& t) {
        if (trace_capacity_ == 0) return;
        while (trace_.size() >= trace_capacity_) trace_.pop_front();
        trace_.push_back(std::move(t));
    }

    // Counts the request against every matching fault; the first fault that fires (in
    // injection order) decides. Only requests that reach the board count: a call the driver
    // refuses (unknown handle, code or sizes) is no request of any code. A fault of
    // QMDSIM_ANY_CODE counts every code, with the address condition too when it has one.
    const RequestFault* FaultFor(uint32_t board, uint32_t code, const uint8_t* in,
                                 uint32_t in_size) {
        const RequestFault* fired = nullptr;
        for (RequestFault& f : request_faults_) {
            if (f.spent || (f.code != QMDSIM_ANY_CODE && f.code != code)) continue;
            if (f.board != QMDSIM_ANY_BOARD && f.board != board) continue;
            if (f.at_address && !AtAddress(in, in_size, f.address)) continue;
            ++f.seen;
            // A cut stays: from its request on, the board answers nothing.
            const bool cut = f.kind == QMDSIM_FAULT_CUT;
            const bool fires = f.nth == 0 || f.seen == f.nth || (cut && f.seen > f.nth);
            if (f.nth != 0 && fires && !cut) f.spent = true;
            if (fires && fired == nullptr) fired = &f;
        }
        return fired;
    }

    int32_t Dispatch(uint64_t handle, uint32_t code, uint8_t* buffer, uint32_t in_size,
                     uint32_t out_size, uint64_t now, TraceRecord& t) {
        const auto it = handles_.find(handle);
        if (it == handles_.end()) return 0;
        const uint32_t board = it->second;
        t.board = board;
        const qmd::RequestSpec* size = qmd::FindRequest(code);
        if (size == nullptr || size->in_size != in_size || size->out_size != out_size) return 0;
        if (buffer == nullptr) return 0;

        // The record: the input, zero beyond it.
        std::vector<uint8_t> record(in_size > out_size ? in_size : out_size, 0);
        std::memcpy(record.data(), buffer, in_size);

        if (const RequestFault* f = FaultFor(board, code, record.data(), in_size)) {
            if (f->kind == QMDSIM_FAULT_CALL || f->kind == QMDSIM_FAULT_CUT) return 0;
            // A status answer with nothing executed (a request without output cannot
            // carry it: it succeeds and does nothing).
            if (out_size > 0) record[qmd::req::kStatus] = f->status;
        } else {
            // The kept state as every process left it, and what this request changes of it
            // kept before any other process's request runs on the board.
            Board& target = *boards_[board];
            if (!state_.Begin(board, target)) return 0;
            Execute(target, code, record.data(), in_size, out_size, now);
            if (!state_.End(board, target)) return 0;
        }
        std::memcpy(buffer, record.data(), out_size);
        if (trace_capacity_ > 0) t.out = Capture(record.data(), out_size);
        return 1;
    }

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
Driver& TheDriver() {
    static Driver* const driver = new Driver;
    return *driver;
}

void StopPumpThreadAtExit() { TheDriver().StopPumpThreadForExit(); }

// ---- backend table ----

int32_t BackendCount(void*) { return TheDriver().CountBoards(); }
int32_t BackendOpen(void*, uint32_t index, uint64_t* handle) {
    return TheDriver().Open(index, handle);
}
int32_t BackendClose(void*, uint64_t handle) { return TheDriver().Close(handle); }
int32_t BackendIoctl(void*, uint64_t handle, uint32_t code, uint8_t* buffer, uint32_t in_size,
                     uint32_t out_size) {
    return TheDriver().DeviceIoControl(handle, code, buffer, in_size, out_size);
}
int32_t BackendRead(void*, uint64_t handle, uint8_t* buffer, uint32_t size, uint32_t* bytes_read) {
    return TheDriver().ReadStream(handle, buffer, size, bytes_read);
}
void BackendSleep(void*, uint32_t ms) { TheDriver().SleepMs(ms); }
int64_t BackendClock(void*) { return TheDriver().ClockSeconds(); }

const qmd5820_backend kBackend = {
    sizeof(qmd5820_backend), nullptr,      BackendCount, BackendOpen, BackendClose,
    BackendIoctl,            BackendRead,  BackendSleep, BackendClock,
};

}  // namespace

void RunOnBoard(uint32_t index, const std::function<void(Board&, uint64_t)>& f) {
    TheDriver().WithPumpedBoard(index, f);
}

}  // namespace qmdsim

using qmdsim::TheDriver;

extern "C" {

void qmdsim_reset(void) { TheDriver().Reset(); }
void qmdsim_clear_boards(void) { TheDriver().ClearBoards(); }

void qmdsim_default_board_config(uint32_t index, qmdsim_board_config* config) {
    if (config != nullptr) *config = qmdsim::DemoBoardConfig(index);
}

int32_t qmdsim_add_board(const qmdsim_board_config* config) { return TheDriver().AddBoard(config); }
uint32_t qmdsim_board_count(void) { return TheDriver().BoardCount(); }
uint32_t qmdsim_open_handles(uint32_t board) { return TheDriver().OpenHandles(board); }

uint64_t qmdsim_last_handshake(uint32_t board) {
    uint64_t v = 0;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) { v = b.last_handshake; });
    return v;
}

const qmd5820_backend* qmdsim_backend(void) {
    TheDriver();  // the start state exists before the first call through the table
    return &qmdsim::kBackend;
}

uint16_t qmdsim_eeprom_get(uint32_t board, uint16_t word_address) {
    uint16_t v = 0;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) { v = b.eeprom[word_address]; });
    return v;
}

void qmdsim_eeprom_set(uint32_t board, uint16_t word_address, uint16_t value) {
    TheDriver().WithBoard(board,
                          [&](qmdsim::Board& b, uint64_t) {
                              b.eeprom[word_address] = value;
                              b.written_words.push_back(word_address);
                          });
}

void qmdsim_eeprom_load(uint32_t board, const uint16_t* words, uint32_t count) {
    if (words == nullptr) return;
    if (count > QMDSIM_EEPROM_WORDS) count = QMDSIM_EEPROM_WORDS;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) {
        std::memcpy(b.eeprom.data(), words, count * sizeof(uint16_t));
        for (uint32_t w = 0; w < count; ++w) b.written_words.push_back(static_cast<uint16_t>(w));
    });
}

void qmdsim_eeprom_dump(uint32_t board, uint16_t* words, uint32_t count) {
    if (words == nullptr) return;
    if (count > QMDSIM_EEPROM_WORDS) count = QMDSIM_EEPROM_WORDS;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) {
        std::memcpy(words, b.eeprom.data(), count * sizeof(uint16_t));
    });
}

void qmdsim_set_digital_inputs(uint32_t board, uint8_t inputs) {
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) { b.inputs = inputs; });
}

uint8_t qmdsim_digital_outputs(uint32_t board) {
    uint8_t v = 0;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) { v = b.outputs; });
    return v;
}

uint8_t qmdsim_digital_output_memory(uint32_t board) {
    uint8_t v = 0;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) { v = b.output_memory; });
    return v;
}

void qmdsim_timer(uint32_t board, qmdsim_timer_state* state) {
    if (state == nullptr) return;
    *state = qmdsim_timer_state{};
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t now) {
        state->running = b.timer.running ? 1 : 0;
        state->time_base = b.timer.time_base;
        state->reload_value = b.timer.reload;
        state->interrupt_enabled = b.timer.interrupt_enabled ? 1 : 0;
        state->expirations = b.timer.Expirations(now);
    });
}

uint32_t qmdsim_logic_word_count(uint32_t board) {
    uint32_t v = 0;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) {
        v = static_cast<uint32_t>(b.logic.words.size());
    });
    return v;
}

uint32_t qmdsim_logic_last_command(uint32_t board) {
    uint32_t v = 0;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) { v = b.logic.last_command; });
    return v;
}

// Sequences completed before the move carry the old position.
void qmdsim_set_position(uint32_t board, uint8_t channel, double position) {
    if (channel >= qmdsim::kChannelCount) return;
    TheDriver().WithPumpedBoard(board, [&](qmdsim::Board& b, uint64_t) {
        b.channels[channel].position = position;
        b.RefreshAutoArea();
    });
}

void qmdsim_channel(uint32_t board, uint8_t channel, qmdsim_channel_state* state) {
    if (state == nullptr) return;
    *state = qmdsim_channel_state{};
    if (channel >= qmdsim::kChannelCount) return;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) {
        const qmdsim::Channel& c = b.channels[channel];
        state->initialised = c.initialised ? 1 : 0;
        state->selection_type = c.selection_type;
        state->divider1 = c.divider1;
        state->divider2 = c.divider2;
        state->range = c.range;
        state->position = c.position;
    });
}

// 1 only sets the flag (an acquisition the board was not asked for); 0 stops whatever runs,
// as the stop request does.
void qmdsim_set_acquisition_running(uint32_t board, int32_t running) {
    TheDriver().WithPumpedBoard(board, [&](qmdsim::Board& b, uint64_t) {
        if (running != 0) {
            b.acquisition_running = true;
        } else {
            b.StopAcquisition();
        }
    });
}

uint32_t qmdsim_restart_count(uint32_t board) {
    uint32_t v = 0;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) { v = b.restarts; });
    return v;
}

// ---- interrupts ----

void qmdsim_set_event_signaller(void (*signal)(uint64_t event)) {
    TheDriver().SetSignaller(signal);
}

uint64_t qmdsim_registered_event(uint32_t board) {
    uint64_t v = 0;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) { v = b.interrupts.event; });
    return v;
}

void qmdsim_raise_interrupt(uint32_t board, const qmdsim_interrupt* record) {
    if (record == nullptr) return;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) { b.interrupts.Queue(*record); });
}

uint32_t qmdsim_pending_interrupts(uint32_t board) {
    uint32_t v = 0;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) {
        v = static_cast<uint32_t>(b.interrupts.queue.size());
    });
    return v;
}

uint32_t qmdsim_dropped_interrupts(uint32_t board) {
    uint32_t v = 0;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) {
        v = static_cast<uint32_t>(std::min<uint64_t>(b.interrupts.dropped, UINT32_MAX));
    });
    return v;
}

void qmdsim_pump(void) { TheDriver().Pump(); }

// ---- acquisition ----

void qmdsim_acquisition(uint32_t board, qmdsim_acquisition_state* state) {
    if (state == nullptr) return;
    *state = qmdsim_acquisition_state{};
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) {
        const qmdsim::Acquisition& a = b.acquisition;
        state->mode = a.mode;
        state->channel_count = a.channel_count;
        std::memcpy(state->channels, a.channels, sizeof a.channels);
        std::memcpy(state->transducer_indexes, a.transducer_indexes, sizeof a.transducer_indexes);
        state->sequences_before_interrupt = a.sequences_before_interrupt;
        state->sequence_size = a.mode == qmdsim::kModeSequence ? a.channel_count : 0;
        state->soft_trigger_mode = a.soft_trigger;
        state->extern_trigger_mode = a.extern_trigger;
        std::memcpy(state->parameters, a.parameters, sizeof a.parameters);
        state->sequences_done = static_cast<uint32_t>(a.sequences_done);
        state->triggers = a.triggers;
        state->division_factor = b.division_factor;
        state->auto_refresh_address =
            b.auto_refresh_mapped ? reinterpret_cast<uintptr_t>(b.auto_refresh.data()) : 0;
    });
}

void qmdsim_set_sequence_period_us(uint32_t board, uint32_t period_us) {
    TheDriver().WithPumpedBoard(
        board, [&](qmdsim::Board& b, uint64_t now) { b.SetSequencePeriod(period_us, now); });
}

uint32_t qmdsim_stream_bytes(uint32_t board) {
    uint32_t v = 0;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) {
        v = static_cast<uint32_t>(b.stream.Waiting());
    });
    return v;
}

// ---- potentiometers and primary line ----

uint8_t qmdsim_potentiometer(uint32_t board, uint8_t index) {
    uint8_t v = 0;
    if (index >= qmdsim::kPotentiometerCount) return 0;
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) { v = b.potentiometers[index]; });
    return v;
}

void qmdsim_set_line_test_threshold(uint32_t board, uint16_t threshold) {
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) { b.line.threshold = threshold; });
}

void qmdsim_inject_short_circuit(uint32_t board, int32_t persistent) {
    TheDriver().WithBoard(
        board, [&](qmdsim::Board& b, uint64_t) { b.InjectShortCircuit(persistent != 0); });
}

// The short circuit is gone; a latch stays until the next rearm.
void qmdsim_clear_short_circuit(uint32_t board) {
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) { b.line.persistent = false; });
}

void qmdsim_primary_line(uint32_t board, qmdsim_primary_line_state* state) {
    if (state == nullptr) return;
    *state = qmdsim_primary_line_state{};
    TheDriver().WithBoard(board, [&](qmdsim::Board& b, uint64_t) {
        state->test_on = b.line.test_on ? 1 : 0;
        state->latched = b.line.latched ? 1 : 0;
        state->persistent = b.line.persistent ? 1 : 0;
        state->interrupts_enabled = b.line.interrupts_enabled ? 1 : 0;
        state->rearms = b.line.rearms;
        state->tests_switched_on = b.line.tests_switched_on;
    });
}

// ---- faults ----

void qmdsim_fault_request(uint32_t board, uint32_t code, uint32_t nth, int32_t kind,
                          uint8_t status) {
    TheDriver().FaultRequest(board, code, false, 0, nth, kind, status);
}

void qmdsim_fault_request_at(uint32_t board, uint32_t code, uint32_t byte_address, uint32_t nth,
                             int32_t kind, uint8_t status) {
    TheDriver().FaultRequest(board, code, true, byte_address, nth, kind, status);
}

void qmdsim_fault_enumeration(int32_t result) { TheDriver().FaultEnumeration(result); }
void qmdsim_fault_open(uint32_t board, int32_t step) { TheDriver().FaultOpen(board, step); }
void qmdsim_fault_close(uint32_t nth) { TheDriver().FaultClose(nth); }
void qmdsim_fault_clear(void) { TheDriver().FaultClear(); }

void qmdsim_trace_enable(uint32_t capacity) { TheDriver().TraceEnable(capacity); }
void qmdsim_trace_clear(void) { TheDriver().TraceClear(); }
uint32_t qmdsim_trace_count(void) { return TheDriver().TraceCount(); }
int32_t qmdsim_trace_get(uint32_t i, qmdsim_trace_entry* entry) {
    return TheDriver().TraceGet(i, entry);
}

// ---- state file ----

namespace {

// Copies `text` as snprintf would; returns its full length.
uint32_t CopyOut(const std::string& text, char* out, uint32_t size) {
    if (out != nullptr && size > 0) {
        const std::size_t n = std::min<std::size_t>(text.size(), size - 1u);
        std::memcpy(out, text.data(), n);
        out[n] = '\0';
    }
    return static_cast<uint32_t>(text.size());
}

}  // namespace

uint32_t qmdsim_state_default_path(char* path, uint32_t size) {
    return CopyOut(qmdsim::DefaultStatePath(), path, size);
}

int32_t qmdsim_state_attach(const char* path) { return TheDriver().StateAttach(path); }
void qmdsim_state_detach(void) { TheDriver().StateDetach(); }
int32_t qmdsim_state_flush(void) { return TheDriver().StateFlush(); }

uint32_t qmdsim_state_path(char* path, uint32_t size) {
    return CopyOut(TheDriver().StatePath(), path, size);
}

int32_t qmdsim_state_reset(void) { return TheDriver().StateReset(false); }
int32_t qmdsim_state_force_reset(void) { return TheDriver().StateReset(true); }

int32_t qmdsim_state_describe(char* text, uint32_t size) {
    std::string description;
    if (TheDriver().StateDescribe(&description) != 0) return -1;
    return static_cast<int32_t>(CopyOut(description, text, size));
}

uint32_t qmdsim_state_saves(void) { return TheDriver().StateSaves(); }

void qmdsim_set_virtual_clock(int32_t on) { TheDriver().SetVirtualClock(on != 0); }
uint64_t qmdsim_now_us(void) { return TheDriver().NowUs(); }
void qmdsim_advance_us(uint64_t us) { TheDriver().AdvanceUs(us); }

}  // extern "C"
