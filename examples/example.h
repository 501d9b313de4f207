/*
 * example.h - small helpers shared by the example programs: report a failed call with the
 * library's last-error text, sleep, and whether the simulated board is there to drive.
 *
 * Include it first: it asks for the POSIX declarations (nanosleep) before any system
 * header is read, so the examples build as plain ISO C11 (cc -std=c11) on Linux.
 */
#ifndef QMD5820_EXAMPLE_H
#define QMD5820_EXAMPLE_H

#if !defined(_WIN32) && !defined(_POSIX_C_SOURCE)
#define _POSIX_C_SOURCE 199309L /* nanosleep: not part of ISO C */
#endif

#include <stdint.h>
#include <stdio.h>

#include "QMD5820.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <time.h>

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
