// Open descriptors and threads of this process (Linux: /proc/self), to check that what a
// test does leaves nothing behind. -1 where the system does not tell.
#pragma once

#include <chrono>
#include <filesystem>
#include <system_error>
#include <thread>

namespace qmdtest {

inline int CountEntries(const char* directory) {
#ifdef __linux__
    std::error_code error;
    int n = 0;
    for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        ++n;
    }
    return error ? -1 : n;
#else
    (void)directory;
    return -1;
#endif
}

inline int OpenDescriptors() { return CountEntries("/proc/self/fd"); }
inline int Threads() { return CountEntries("/proc/self/task"); }

// Waits (at most `seconds` of real time) until both counts are back at most at the given
// ones; threads that ended on their own leave a moment after they are done.
inline bool BackTo(int descriptors, int threads, int seconds = 3) {
    for (int i = 0; i < seconds * 1000; ++i) {
        if (OpenDescriptors() <= descriptors && Threads() <= threads) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

}  // namespace qmdtest
