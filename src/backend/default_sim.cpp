// The simulated board as the library's default backend (Linux, and the test programs).
// The simulated driver signals the library's interrupt events through
// qmd5820_signal_event, as a driver signals an event handle.
#include "qmd5820_backend.h"
#include "qmd5820sim.h"

extern "C" const qmd5820_backend* qmd5820_default_backend(void) {
    static const bool signaller_installed = [] {
        qmdsim_set_event_signaller([](uint64_t event) { (void)qmd5820_signal_event(event); });
        return true;
    }();
    (void)signaller_installed;
    return qmdsim_backend();
}
