// Signals that end a command early (see signals.h).
#include "common/signals.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace qmdtool {
namespace {

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int signal_number) { g_interrupted = signal_number; }

}  // namespace

int Interrupted() { return g_interrupted; }

InterruptSignals::InterruptSignals(std::initializer_list<int> signals) {
    g_interrupted = 0;
    for (const int signal : signals) {
        void (*handler)(int) = std::signal(signal, OnInterrupt);
        if (handler == SIG_IGN) std::signal(signal, SIG_IGN);
        previous_.push_back({signal, handler});
    }
}

InterruptSignals::~InterruptSignals() {
    for (const Previous& p : previous_) std::signal(p.signal, p.handler == SIG_ERR ? SIG_DFL : p.handler);
}

bool Pause(unsigned long ms) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (g_interrupted == 0) {
        const Clock::time_point now = Clock::now();
        if (now >= deadline) return true;
        std::this_thread::sleep_for(std::min<Clock::duration>(deadline - now,
                                                              std::chrono::milliseconds(20)));
    }
    return false;
}

}  // namespace qmdtool
