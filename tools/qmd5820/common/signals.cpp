// Signals that end a command early (see signals.h).
#include "common/signals.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#if !defined(_WIN32)
#include <poll.h>
#include <unistd.h>
#endif

namespace qmdtool {
namespace {

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int signal_number) { g_interrupted = signal_number; }

// The signals that end a command, in the order they are installed.
std::vector<int> HandledSignals() {
    std::vector<int> signals{SIGINT, SIGTERM};
#if defined(SIGHUP)
    signals.push_back(SIGHUP);
#endif
    return signals;
}

}  // namespace

int Interrupted() { return g_interrupted; }

const char* SignalName(int signal) {
    if (signal == SIGINT) return "SIGINT (Ctrl-C)";
    if (signal == SIGTERM) return "SIGTERM";
#if defined(SIGHUP)
    if (signal == SIGHUP) return "SIGHUP";
#endif
    return "a signal";
}

InterruptSignals::InterruptSignals() {
    g_interrupted = 0;
    for (const int signal : HandledSignals()) Install(signal);
}

InterruptSignals::InterruptSignals(std::initializer_list<int> signals) {
    g_interrupted = 0;
    for (const int signal : signals) Install(signal);
}

void InterruptSignals::Install(int signal) {
    void (*handler)(int) = std::signal(signal, OnInterrupt);
    if (handler == SIG_IGN) std::signal(signal, SIG_IGN);
    previous_.push_back({signal, handler});
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

bool WaitForEnter() {
#if !defined(_WIN32)
    // The handlers restart interrupted reads, so a blocking read would not see Ctrl-C: the
    // input is read only once poll says a line (or its end) is there.
    std::fflush(stderr);
    for (;;) {
        if (g_interrupted != 0) return false;
        pollfd input{STDIN_FILENO, POLLIN, 0};
        const int ready = poll(&input, 1, 100);
        if (ready < 0) continue;  // interrupted by a signal: looked at above
        if (ready == 0) continue;
        break;
    }
#endif
    char line[256];
    return std::fgets(line, sizeof line, stdin) != nullptr && g_interrupted == 0;
}

}  // namespace qmdtool
