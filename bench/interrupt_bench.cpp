// Interrupt delivery: from the simulated driver queueing a record and signalling the
// registered event to the user routine being entered (median and 99th percentile), and
// records delivered per second when the queue holds many; against a bare event wake-up
// between two threads (an eventfd and poll, what the library's events are here) in the
// same run. The ratio is the library's own cost.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "QMD5820.h"
#include "core/board_table.h"
#include "qmd5820_backend.h"
#include "qmd5820sim.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSamples = 2000;

std::atomic<int64_t> g_entered{0};
std::atomic<int> g_calls{0};

void Routine(QMD5820_HANDLE, uint8_t, uint32_t, uint32_t, uint32_t*, uint32_t) {
    g_entered.store(Clock::now().time_since_epoch().count(), std::memory_order_release);
    g_calls.fetch_add(1, std::memory_order_acq_rel);
}

struct Figures {
    double median_us, p99_us, per_second;
};

double Percentile(std::vector<double>& v, double p) {
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

void WaitFor(int calls) {
    while (g_calls.load(std::memory_order_acquire) < calls) std::this_thread::yield();
}

Figures Library() {
    qmdsim_reset();
    qmdsim_set_event_signaller([](uint64_t event) { (void)qmd5820_signal_event(event); });
    qmd::OnProcessAttach();
    QMD5820_HANDLE handle = 0;
    i_QMD5820_OpenBoardViaIndex(0, &handle);
    i_QMD5820_SetBoardIntRoutine(handle, Routine);
    qmdsim_interrupt record{};
    record.info = 1;
    std::vector<double> latency;
    for (int i = 0; i < kSamples; ++i) {
        const int before = g_calls.load();
        const auto t0 = Clock::now();
        qmdsim_raise_interrupt(0, &record);
        WaitFor(before + 1);
        latency.push_back(
            std::chrono::duration<double, std::micro>(
                Clock::duration(g_entered.load(std::memory_order_acquire)) - t0.time_since_epoch())
                .count());
    }
    // Throughput: a full queue, one signal.
    qmdsim_set_event_signaller(nullptr);
    const int before = g_calls.load();
    for (uint32_t i = 0; i < QMDSIM_INTERRUPT_QUEUE; ++i) qmdsim_raise_interrupt(0, &record);
    const auto t0 = Clock::now();
    qmd5820_signal_event(qmdsim_registered_event(0));
    WaitFor(before + static_cast<int>(QMDSIM_INTERRUPT_QUEUE));
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    i_QMD5820_ResetBoardIntRoutine(handle);
    i_QMD5820_CloseBoard(handle);
    return {Percentile(latency, 0.5), Percentile(latency, 0.99), QMDSIM_INTERRUPT_QUEUE / seconds};
}

Figures BareWakeUp() {
    const int fd = eventfd(0, EFD_NONBLOCK);
    std::atomic<bool> stop{false};
    std::thread waiter([&] {
        pollfd p{fd, POLLIN, 0};
        while (!stop.load()) {
            if (poll(&p, 1, 100) <= 0) continue;
            uint64_t v = 0;
            if (read(fd, &v, sizeof v) != sizeof v) continue;
            for (uint64_t k = 0; k < v; ++k) Routine(0, 0, 0, 0, nullptr, 0);
        }
    });
    std::vector<double> latency;
    const uint64_t one = 1;
    for (int i = 0; i < kSamples; ++i) {
        const int before = g_calls.load();
        const auto t0 = Clock::now();
        if (write(fd, &one, sizeof one) != sizeof one) break;
        WaitFor(before + 1);
        latency.push_back(
            std::chrono::duration<double, std::micro>(
                Clock::duration(g_entered.load(std::memory_order_acquire)) - t0.time_since_epoch())
                .count());
    }
    const int before = g_calls.load();
    const auto t0 = Clock::now();
    const uint64_t many = QMDSIM_INTERRUPT_QUEUE;
    if (write(fd, &many, sizeof many) != sizeof many) return {0, 0, 0};
    WaitFor(before + static_cast<int>(QMDSIM_INTERRUPT_QUEUE));
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    stop = true;
    waiter.join();
    close(fd);
    return {Percentile(latency, 0.5), Percentile(latency, 0.99), QMDSIM_INTERRUPT_QUEUE / seconds};
}

}  // namespace

int main() {
    const Figures bare = BareWakeUp();
    const Figures lib = Library();
    std::printf("bare event wake-up:  median %.1f us, p99 %.1f us, %.3g wake-ups/s\n",
                bare.median_us, bare.p99_us, bare.per_second);
    std::printf("library delivery:    median %.1f us, p99 %.1f us, %.3g records/s\n",
                lib.median_us, lib.p99_us, lib.per_second);
    std::printf("ratio library/bare:  median %.2f, p99 %.2f, throughput %.3f\n",
                lib.median_us / bare.median_us, lib.p99_us / bare.p99_us,
                lib.per_second / bare.per_second);
    return 0;
}
