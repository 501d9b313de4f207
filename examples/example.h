/*
 * example.h - small helpers shared by the example programs: report a failed call with the
 * library's last-error text, sleep, and whether the simulated board is there to drive.
 */
#ifndef QMD5820_EXAMPLE_H
#define QMD5820_EXAMPLE_H

#include <stdio.h>

#include "QMD5820.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <time.h> /* nanosleep: the build defines _POSIX_C_SOURCE */

#include "qmd5820sim.h" /* Linux: the library runs on the simulated board */
#define EXAMPLE_SIMULATED 1
#endif

/* Prints what failed with the board's last-error text; returns 0 for `ok = ...` chains. */
static inline int example_failed(QMD5820_HANDLE board, const char* what) {
    fprintf(stderr, "%s: %s\n", what, pc_QMD5820_GetLastError(board));
    return 0;
}

static inline void example_sleep_ms(unsigned ms) {
#if defined(_WIN32)
    Sleep(ms);
#else
    struct timespec pause;
    pause.tv_sec = (time_t)(ms / 1000u);
    pause.tv_nsec = (long)(ms % 1000u) * 1000000L;
    while (nanosleep(&pause, &pause) != 0) {
    }
#endif
}

#endif /* QMD5820_EXAMPLE_H */
