// Signals that end a command early (Ctrl-C, and where a command says so SIGTERM): the
// handler only notes the signal's number; the command looks at it between its steps.
#ifndef QMD5820_TOOL_SIGNALS_H
#define QMD5820_TOOL_SIGNALS_H

#include <csignal>
#include <initializer_list>
#include <vector>

namespace qmdtool {

// The number of the signal that arrived since the last InterruptSignals was set up, or 0.
int Interrupted();

// The signals handled for the lifetime of the object. A signal the process was started
// with ignored (in the background, under nohup) stays ignored.
class InterruptSignals {
public:
    explicit InterruptSignals(std::initializer_list<int> signals);
    ~InterruptSignals();
    InterruptSignals(const InterruptSignals&) = delete;
    InterruptSignals& operator=(const InterruptSignals&) = delete;

private:
    struct Previous {
        int signal;
        void (*handler)(int);
    };
    std::vector<Previous> previous_;
};

// Waits `ms` milliseconds in short slices; false when a signal arrived meanwhile.
bool Pause(unsigned long ms);

}  // namespace qmdtool

#endif
