// Signals that end a command early: Ctrl-C (SIGINT), SIGTERM and, where the system has it,
// SIGHUP. The handler only notes the signal's number; the command looks at it between its
// steps (at least every 100 ms) and ends with InterruptedStatus(signal), 128 + the
// signal's number, after saying what it kept and what it restored.
#ifndef QMD5820_TOOL_SIGNALS_H
#define QMD5820_TOOL_SIGNALS_H

#include <csignal>
#include <initializer_list>
#include <vector>

namespace qmdtool {

// The number of the signal that arrived since the last InterruptSignals was set up, or 0.
int Interrupted();

// The exit status of a command ended by `signal`: 128 + its number (130 for Ctrl-C, 143
// for SIGTERM, 129 for SIGHUP), the same for every command.
constexpr int InterruptedStatus(int signal) { return 128 + signal; }

// "SIGINT (Ctrl-C)", "SIGTERM", "SIGHUP", or "signal N".
const char* SignalName(int signal);

// SIGINT, SIGTERM and SIGHUP handled for the lifetime of the object. A signal the process
// was started with ignored (in the background, under nohup) stays ignored.
class InterruptSignals {
public:
    InterruptSignals();
    // Only the signals given (a command that ends otherwise on the rest).
    explicit InterruptSignals(std::initializer_list<int> signals);
    ~InterruptSignals();
    InterruptSignals(const InterruptSignals&) = delete;
    InterruptSignals& operator=(const InterruptSignals&) = delete;

private:
    void Install(int signal);
    struct Previous {
        int signal;
        void (*handler)(int);
    };
    std::vector<Previous> previous_;
};

// Waits `ms` milliseconds in short slices; false when a signal arrived meanwhile.
bool Pause(unsigned long ms);

// Waits for a line on standard input (the user's Enter), looking for a signal at least
// every 100 ms; false when the input ended or a signal arrived.
bool WaitForEnter();

}  // namespace qmdtool

#endif
