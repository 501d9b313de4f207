// The driver's clock (real or virtual), the pump that runs the time-driven sources, its
// thread, and the signalling of the library's interrupt events.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <system_error>
#include <thread>

#include "sim_driver.h"

namespace qmdsim {
namespace {

constexpr int64_t kVirtualCalendarEpoch = 1800000000;  // calendar seconds at virtual time 0

void StopPumpThreadAtExit() { TheDriver().StopPumpThreadForExit(); }

}  // namespace

void Driver::SleepMs(uint32_t ms) {
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

int64_t Driver::ClockSeconds() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!virtual_clock_) return static_cast<int64_t>(std::time(nullptr));
    return kVirtualCalendarEpoch + static_cast<int64_t>(virtual_us_ / 1000000);
}

void Driver::StopPumpThreadForExit() {
    std::thread pump_thread;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        exiting_ = true;
        pump_thread = TakePumpThreadLocked();
    }
    JoinPumpThread(std::move(pump_thread));
}

void Driver::Pump() {
    Session session(*this);
    PumpLocked(NowLocked());
}

void Driver::SetVirtualClock(bool on) {
    Session session(*this);
    if (on && !virtual_clock_) virtual_us_ = 0;
    virtual_clock_ = on;
}

uint64_t Driver::NowUs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return NowLocked();
}

void Driver::AdvanceUs(uint64_t us) {
    Session session(*this);
    if (virtual_clock_) virtual_us_ += us;
    PumpLocked(NowLocked());
}

void Driver::PumpLocked(uint64_t now) {
    for (const auto& board : boards_) board->Pump(now);
}

bool Driver::AnyTimeDrivenSourceLocked() const {
    return std::any_of(boards_.begin(), boards_.end(),
                       [](const auto& board) { return board->TimeDriven(); });
}

std::vector<uint64_t> Driver::TakeSignalsLocked() {
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

void Driver::Signal(const std::vector<uint64_t>& events) const {
    if (events.empty()) return;
    const Signaller signal = signaller_.load();
    if (signal == nullptr) return;
    for (uint64_t event : events) signal(event);
}

void Driver::EnsurePumpThreadLocked() {
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

std::thread Driver::TakePumpThreadLocked() {
    ++pump_generation_;
    pump_parked_ = false;
    pump_wake_.notify_all();
    return std::move(pump_thread_);
}

void Driver::JoinPumpThread(std::thread thread) {
    if (!thread.joinable()) return;
    // A reset from a signaller running on the pump thread itself: that thread ends on
    // its own once it sees its generation is over.
    if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();
    } else {
        thread.join();
    }
}

void Driver::PumpThread(uint64_t generation) {
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

uint64_t Driver::NowLocked() const {
    if (virtual_clock_) return virtual_us_;
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now() - real_origin_)
                                     .count());
}

}  // namespace qmdsim

using qmdsim::TheDriver;

extern "C" {

void qmdsim_set_virtual_clock(int32_t on) { TheDriver().SetVirtualClock(on != 0); }
uint64_t qmdsim_now_us(void) { return TheDriver().NowUs(); }
void qmdsim_advance_us(uint64_t us) { TheDriver().AdvanceUs(us); }

}  // extern "C"
