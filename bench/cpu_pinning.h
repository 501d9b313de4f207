// Fixed cores for benchmark threads. On a machine with few cores a thread that the
// scheduler moves between them, or puts on the core of the thread it is measured against,
// measures the scheduler: each ratio a benchmark reports compares threads that sit on the
// same cores for both paths.
#pragma once

#include <pthread.h>
#include <sched.h>

#include <vector>

namespace bench {

// The cores this process may run on, in ascending order.
inline std::vector<int> AllowedCores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    std::vector<int> cores;
    if (sched_getaffinity(0, sizeof set, &set) != 0) return cores;
    for (int c = 0; c < CPU_SETSIZE; ++c) {
        if (CPU_ISSET(c, &set)) cores.push_back(c);
    }
    return cores;
}

// Pins `thread` to `core`; false when the system refuses.
inline bool PinThread(pthread_t thread, int core) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(core, &set);
    return pthread_setaffinity_np(thread, sizeof set, &set) == 0;
}

inline bool PinCurrentThread(int core) { return PinThread(pthread_self(), core); }

// The core the calling thread is on now (-1 if unknown).
inline int CurrentCore() { return sched_getcpu(); }

}  // namespace bench
