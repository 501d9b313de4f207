// The simulated board as the library's default backend (Linux, and the test programs).
// The simulated driver signals the library's interrupt events through
// qmd5820_signal_event, as a driver signals an event handle.
//
// Built into libQMD5820.so (QMD5820_SIM_STATE_FILE), the default backend attaches the
// simulator's default state file on first use, so that every program on the simulated
// board (the qmd5820 tool included) sees the boards as the last one left them. Test
// programs compile this file without it and keep their simulator to themselves.
#include "qmd5820_backend.h"
#include "qmd5820sim.h"

extern "C" const qmd5820_backend* qmd5820_default_backend(void) {
    static const bool signaller_installed = [] {
        qmdsim_set_event_signaller([](uint64_t event) { (void)qmd5820_signal_event(event); });
        return true;
    }();
    (void)signaller_installed;
#if defined(QMD5820_SIM_STATE_FILE)
    static const bool state_attached = [] {
        (void)qmdsim_state_attach(nullptr);
        return true;
    }();
    (void)state_attached;
#endif
    return qmdsim_backend();
}
