/*
 * channel_reads.c - transducer channels in metric units, one at a time and several at once.
 *
 * Initialises channels 0, 1 and 2 of board 0 with transducer types 1, 5 and 12 of the
 * factory database (ranges 2 mm, 10 mm and 1 mm), then reads them five times: channel 0
 * alone (its raw code and the value in mm) and the three at once. On the simulated board
 * the example moves the three transducers between the reads, so every line differs; the
 * third goes beyond its range and reads the end of the range (1 mm).
 */
#include "example.h" /* first: it selects the POSIX declarations */

#define COUNT 3

int main(void) {
    const uint8_t channels[COUNT] = {0, 1, 2};
    const uint8_t transducers[COUNT] = {1, 5, 12};
    QMD5820_HANDLE board;
    int i, step, ok = 1;
    if (i_QMD5820_OpenBoardViaIndex(0, &board) != 0) {
        fprintf(stderr, "board 0 cannot be opened\n");
        return 1;
    }
    for (i = 0; i < COUNT && ok; ++i) {
        /* 0.0 Hz: excite at the transducer type's own frequency */
        if (i_QMD5820_Init1TransducerChannel(board, channels[i], transducers[i], 0.0) != 0)
            ok = example_failed(board, "initialising a channel");
    }
    printf("step  channel 0 alone (raw code)  channels 0, 1, 2 at once\n");
    for (step = 0; step < 5 && ok; ++step) {
        uint16_t raw, raws[COUNT];
        double value, values[COUNT];
#if defined(EXAMPLE_SIMULATED)
        qmdsim_set_position(0, 0, -1.5 + 0.75 * step); /* -1.5 .. 1.5 mm */
        qmdsim_set_position(0, 1, 8.0 - 4.0 * step);   /* 8 .. -8 mm */
        qmdsim_set_position(0, 2, 0.1 * step * step); /* 0 .. 1.6 mm: beyond the range of 1 mm */
#endif
        if (i_QMD5820_Read1TransducerChannel(board, 0, &raw) != 0 ||
            i_QMD5820_Convert1RawToMetricValue(board, 0, raw, &value) != 0) {
            ok = example_failed(board, "reading channel 0");
        } else if (i_QMD5820_ReadMoreTransducerChannels(board, COUNT, channels, raws) != 0 ||
                   i_QMD5820_ConvertMoreRawToMetricValues(board, COUNT, channels, raws, values) != 0) {
            ok = example_failed(board, "reading the channels");
        } else {
            printf("%4d  %10.6f mm (0x%04X)     %10.6f mm %10.6f mm %10.6f mm\n", step, value,
                   raw, values[0], values[1], values[2]);
        }
    }
    i_QMD5820_CloseBoard(board);
    return ok ? 0 : 1;
}
