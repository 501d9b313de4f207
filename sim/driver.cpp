// The simulated driver's core: handles, the request table check and the dispatch of each
// request to its board, the backend table.
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "qmd5820_protocol/requests.h"
#include "poisoned_tail.h"
#include "sim_driver.h"

namespace qmdsim {
namespace {

constexpr uint64_t kHandleStep = 4;
constexpr uint32_t kMaxBoards = 255;

std::vector<uint8_t> Capture(const uint8_t* p, uint32_t size) {
    if (p == nullptr) return {};
    const uint32_t n = size < QMDSIM_TRACE_BYTES ? size : QMDSIM_TRACE_BYTES;
    return std::vector<uint8_t>(p, p + n);
}

}  // namespace

int32_t Driver::CountBoards() {
    std::lock_guard<std::mutex> lock(mutex_);
    const int32_t result =
        enumeration_fault_ != 0 ? enumeration_fault_ : static_cast<int32_t>(boards_.size());
    TraceRecord t;
    t.kind = QMDSIM_TRACE_COUNT;
    t.result = result;
    Trace(std::move(t));
    return result;
}

int32_t Driver::Open(uint32_t index, uint64_t* handle) {
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

int32_t Driver::Close(uint64_t handle) {
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

int32_t Driver::DeviceIoControl(uint64_t handle, uint32_t code, uint8_t* buffer, uint32_t in_size,
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

int32_t Driver::ReadStream(uint64_t handle, uint8_t* buffer, uint32_t size, uint32_t* bytes_read) {
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

void Driver::Reset() {
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

void Driver::ClearBoards() {
    std::lock_guard<std::mutex> lock(mutex_);
    boards_.clear();
    handles_.clear();
}

int32_t Driver::AddBoard(const qmdsim_board_config* config) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (boards_.size() >= kMaxBoards) return -1;
    const uint32_t index = static_cast<uint32_t>(boards_.size());
    boards_.push_back(
        std::make_unique<Board>(config != nullptr ? *config : DemoBoardConfig(index)));
    return static_cast<int32_t>(index);
}

uint32_t Driver::BoardCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<uint32_t>(boards_.size());
}

uint32_t Driver::OpenHandles(uint32_t board) {
    std::lock_guard<std::mutex> lock(mutex_);
    uint32_t n = 0;
    for (const auto& [h, b] : handles_) n += b == board ? 1 : 0;
    return n;
}

int32_t Driver::Dispatch(uint64_t handle, uint32_t code, uint8_t* buffer, uint32_t in_size,
                         uint32_t out_size, uint64_t now, TraceRecord& t) {
    const auto it = handles_.find(handle);
    if (it == handles_.end()) return 0;
    const uint32_t board = it->second;
    t.board = board;
    const qmd::RequestSpec* size = qmd::FindRequest(code);
    if (size == nullptr || size->in_size != in_size || size->out_size != out_size) return 0;
    if (buffer == nullptr) return 0;

    // The record: the input, zero beyond it. It lives on the stack (no allocation per
    // request); the bytes past its size are poisoned under AddressSanitizer.
    std::array<uint8_t, qmd::kLargestRecord> record{};
    std::memcpy(record.data(), buffer, in_size);
    const PoisonedTail tail(record.data(), in_size > out_size ? in_size : out_size,
                            record.size());

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

// Created at first use and never destroyed, so a late call from another thread during
// process exit still finds it.
Driver& TheDriver() {
    static Driver* const driver = new Driver;
    return *driver;
}

namespace {

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

extern "C" const qmd5820_backend* qmdsim_backend(void) {
    qmdsim::TheDriver();  // the start state exists before the first call through the table
    return &qmdsim::kBackend;
}
