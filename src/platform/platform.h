// The operating system as the library uses it: events, threads, priorities, module lookup
// and the fatal message. Windows uses the Win32 calls; elsewhere the POSIX equivalents.
// The table can be replaced in tests to reach failures the system does not produce.
#pragma once

#include <cstdint>

namespace qmd::platform {

// Events and threads are known by 64-bit values, as the driver is given them.
using Handle = uint64_t;

struct Api {
    // Manual-reset event, initially not signalled, unnamed; 0 on failure.
    Handle (*create_event)();
    bool (*set_event)(Handle event);
    bool (*reset_event)(Handle event);
    void (*close_event)(Handle event);
    // Waits without time-out until one of the two events is signalled: 0 the first, 1 the
    // second, -1 the wait failed.
    int (*wait_either)(Handle first, Handle second);

    // Starts a thread at once with the default stack size; 0 on failure.
    Handle (*start_thread)(uint32_t (*entry)(void*), void* argument);
    // Waits up to `ms` milliseconds for the thread to end: true when it has ended, and its
    // exit code is stored.
    bool (*join_thread)(Handle thread, uint32_t ms, uint32_t* exit_code);
    // Releases the handle of a thread that has ended, or lets a running one go on alone.
    void (*close_thread)(Handle thread);

    // The whole process to the real-time priority class; a thread to time-critical.
    bool (*raise_process_priority)();
    bool (*raise_thread_priority)(Handle thread);

    // Modules already loaded in the process (nothing is loaded): the main executable, a
    // module by name (null when not loaded), a symbol of a module (null when absent).
    void* (*main_module)();
    void* (*loaded_module)(const char* name);
    void* (*find_symbol)(void* module, const char* name);

    // Shows a fatal message (a task-modal error box on Windows, standard error elsewhere)
    // and ends the process with exit code 1; it does not return.
    void (*fatal)(const char* text, const char* caption);
};

// The system's table.
const Api& SystemApi();

// The table in use (the system's unless a test replaced it).
const Api& Os();

// Tests: replace the table (nullptr restores the system's).
void ReplaceForTesting(const Api* api);

// Names of the LabVIEW run-time modules on this system.
extern const char* const kLabViewRuntime;
extern const char* const kLabViewRuntimeFast;

}  // namespace qmd::platform
