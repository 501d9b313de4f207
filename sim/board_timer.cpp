// The board's timer: its requests, its count and expirations, and its interrupts.
#include "board_requests.h"

#include <algorithm>

#include "qmd5820_protocol/bytes.h"
#include "qmd5820_protocol/requests.h"

namespace qmdsim {

namespace bytes = qmd::bytes;
namespace req = qmd::req;

namespace {
constexpr uint64_t kTickUs[3] = {1, 1000, 1000000};  // time bases 0, 1, 2
}  // namespace

uint8_t TimerRequest(Board& board, uint32_t code, uint8_t* r, uint64_t now_us) {
    Timer& t = board.timer;
    switch (code) {
        case req::kStartTimer: {
            namespace start = req::timer_start;
            const uint8_t base = r[start::kTimeBase];
            const uint8_t interrupts = r[start::kInterrupts];
            if (base > 2) return kStatusBadTimeBase;
            if (interrupts > 1) return kStatusBadInterruptSwitch;
            t.Start(base, bytes::GetU16(r + start::kReload), interrupts == 1, now_us);
            return kStatusOk;
        }
        case req::kStopTimer:
            t.Stop(now_us);
            return kStatusOk;
        case req::kTriggerTimer:
            t.Trigger(now_us);
            return kStatusOk;
        case req::kReadTimerStatus:
            // Running, interrupts on, and the expirations since the start.
            r[req::timer_status::kByte1] = t.running ? 1 : 0;
            r[req::timer_status::kByte2] = t.interrupt_enabled ? 1 : 0;
            r[req::timer_status::kUnused] = 0;
            bytes::PutU16(r + req::timer_status::kWord, t.Expirations(now_us));
            return kStatusOk;
        default:  // req::kReadTimerValue
            r[req::timer_value::kUnused] = 0;
            bytes::PutU16(r + req::timer_value::kCount, t.Count(now_us));
            return kStatusOk;
    }
}

uint64_t Timer::Ticks(uint64_t now_us) const {
    return now_us > origin_us ? (now_us - origin_us) / kTickUs[time_base] : 0;
}

uint16_t Timer::Count(uint64_t now_us) const {
    if (!running) return held_count;
    const uint64_t period = uint64_t{reload} + 1;
    return static_cast<uint16_t>(reload - Ticks(now_us) % period);
}

uint64_t Timer::TotalExpirations(uint64_t now_us) const {
    if (!running) return held_expirations;
    const uint64_t period = uint64_t{reload} + 1;
    return expirations_base + Ticks(now_us) / period;
}

uint16_t Timer::Expirations(uint64_t now_us) const {
    return static_cast<uint16_t>(TotalExpirations(now_us));
}

void Timer::Start(uint8_t base, uint16_t reload_value, bool interrupts, uint64_t now_us) {
    running = true;
    time_base = base;
    reload = reload_value;
    interrupt_enabled = interrupts;
    origin_us = now_us;
    expirations_base = 0;
    interrupted = 0;
}

void Timer::Stop(uint64_t now_us) {
    if (!running) return;
    held_count = Count(now_us);
    held_expirations = TotalExpirations(now_us);
    running = false;
}

// Reloads the count; a running timer keeps running from the reload value.
void Timer::Trigger(uint64_t now_us) {
    if (running) {
        expirations_base = TotalExpirations(now_us);
        origin_us = now_us;
    } else {
        held_count = reload;
    }
}

// One record per expiration since the last pump; when more expired than the queue can
// take, the rest are counted as dropped without being built, so a timer of 1 us costs no
// more per pump than the queue holds.
void Board::PumpTimer(uint64_t now_us) {
    if (!timer.running || !timer.interrupt_enabled) return;
    const uint64_t total = timer.TotalExpirations(now_us);
    if (total <= timer.interrupted) return;
    const uint64_t expired = total - timer.interrupted;
    const uint64_t queued = std::min<uint64_t>(expired, interrupts.Space());
    qmdsim_interrupt record{};
    record.info = QMDSIM_INTERRUPT_TIMER;
    record.value2 = timer.reload;
    for (uint64_t i = 1; i <= queued; ++i) {
        record.value1 = static_cast<uint32_t>(timer.interrupted + i);
        interrupts.Queue(record);
    }
    interrupts.dropped += expired - queued;
    timer.interrupted = total;
}

}  // namespace qmdsim
