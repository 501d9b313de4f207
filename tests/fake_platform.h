// A platform table for tests: forwards to the system's, counts what it is asked, and can
// make chosen calls fail.
#pragma once

#include <atomic>
#include <memory>
#include <thread>

#include "platform/platform.h"

namespace qmdtest {

struct FakePlatform {
    static inline std::atomic<int> events_created{0};
    static inline std::atomic<int> events_closed{0};
    static inline std::atomic<int> threads_closed{0};
    static inline bool fail_event_number[3] = {};  // fail the 1st / 2nd event creation
    static inline bool fail_thread = false;
    static inline bool fail_process_priority = false;
    static inline bool fail_thread_priority = false;
    // Threads started meanwhile wait before running their routine until this is cleared.
    static inline std::atomic<bool> hold_threads{false};

    static void Reset() {
        events_created = 0;
        events_closed = 0;
        threads_closed = 0;
        fail_event_number[1] = fail_event_number[2] = false;
        fail_thread = fail_process_priority = fail_thread_priority = false;
        hold_threads = false;
    }

    static const qmd::platform::Api& Sys() { return qmd::platform::SystemApi(); }

    struct Held {
        uint32_t (*entry)(void*);
        void* argument;
    };
    static uint32_t RunHeld(void* p) {
        const std::unique_ptr<Held> held(static_cast<Held*>(p));
        while (hold_threads.load()) std::this_thread::yield();
        return held->entry(held->argument);
    }

    // Makes this table the one in use (built once: threads of earlier tests may still read it).
    static void Install() {
        static const qmd::platform::Api api = Table();
        qmd::platform::ReplaceForTesting(&api);
    }

    static qmd::platform::Api Table() {
        qmd::platform::Api api = Sys();
        api.create_event = [] {
            const int n = ++events_created;
            if (n < 3 && fail_event_number[n]) return qmd::platform::Handle{0};
            return Sys().create_event();
        };
        api.close_event = [](qmd::platform::Handle e) {
            ++events_closed;
            Sys().close_event(e);
        };
        api.start_thread = [](uint32_t (*entry)(void*), void* argument) {
            if (fail_thread) return qmd::platform::Handle{0};
            if (!hold_threads) return Sys().start_thread(entry, argument);
            auto* held = new Held{entry, argument};
            const qmd::platform::Handle t = Sys().start_thread(&RunHeld, held);
            if (t == 0) delete held;
            return t;
        };
        api.close_thread = [](qmd::platform::Handle t) {
            ++threads_closed;
            Sys().close_thread(t);
        };
        api.raise_process_priority = [] { return !fail_process_priority; };
        api.raise_thread_priority = [](qmd::platform::Handle) { return !fail_thread_priority; };
        return api;
    }
};

}  // namespace qmdtest
