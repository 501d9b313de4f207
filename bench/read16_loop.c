/*
 * read16_loop.c - the C side of bench/python_bench.py: reads 16 channels in metric units
 * (one multiple read, one multiple conversion) in a loop through the shared library, and
 * prints the values per second and the time per loop as "values_per_second=V ns_per_loop=N".
 * Usage: read16_loop [LOOPS]
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "QMD5820.h"

static double now_s(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

int main(int argc, char** argv) {
    const long loops = argc > 1 ? atol(argv[1]) : 20000;
    uint8_t channels[16];
    uint16_t raw[16];
    double metric[16], sum = 0.0, start, elapsed;
    QMD5820_HANDLE board;
    long i;
    int c;
    if (i_QMD5820_OpenBoardViaIndex(0, &board) != 0) return 1;
    for (c = 0; c < 16; ++c) {
        channels[c] = (uint8_t)c;
        if (i_QMD5820_Init1TransducerChannel(board, (uint8_t)c, 1, 0.0) != 0) return 1;
    }
    start = now_s();
    for (i = 0; i < loops; ++i) {
        if (i_QMD5820_ReadMoreTransducerChannels(board, 16, channels, raw) != 0 ||
            i_QMD5820_ConvertMoreRawToMetricValues(board, 16, channels, raw, metric) != 0) {
            puts(pc_QMD5820_GetLastError(board));
            return 1;
        }
        sum += metric[i % 16];
    }
    elapsed = now_s() - start;
    i_QMD5820_CloseBoard(board);
    printf("values_per_second=%.0f ns_per_loop=%.0f checksum=%g\n", 16.0 * (double)loops / elapsed,
           elapsed * 1e9 / (double)loops, sum);
    return 0;
}
