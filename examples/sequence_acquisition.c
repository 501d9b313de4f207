/*
 * sequence_acquisition.c - a sequence acquisition from plain C.
 *
 * Opens board 0, installs an interrupt routine, acquires channels 0 and 1 (transducer
 * types 1 and 5 of the factory database) as one sequence until three sequence interrupts
 * came, collects the acquired codes with l_QMD5820_ReadSequenceData, prints them as metric
 * values, then stops the acquisition, removes the routine and closes the board.
 *
 * On the simulated board the transducers are placed first (channel 0 at 0.5 mm, channel 1 at
 * -2.5 mm) and the routine moves channel 0 by 0.25 mm at every sequence interrupt, so each
 * block of ten sequences shows a new value (link libQMD5820sim beside libQMD5820 on Linux:
 * pkg-config --libs qmd5820 qmd5820-sim, or with find_package QMD5820::sim).
 *
 * Exit status 0 on success, 1 on any failure (the library's last-error text is printed).
 */
#include "example.h" /* first: it selects the POSIX declarations */

#include <stdatomic.h>

#define CHANNEL_COUNT 2
#define SEQUENCES_PER_INTERRUPT 10 /* CHANNEL_COUNT x this must be even */
#define INTERRUPTS 3
#define SEQUENCES (SEQUENCES_PER_INTERRUPT * INTERRUPTS)
#define DATA_BYTES (SEQUENCES * CHANNEL_COUNT * 2)
#define SEQUENCE_INTERRUPT 1 /* b_InterruptInfo of a sequence interrupt */
#define TIMEOUT_MS 5000

/* Counted by the routine on the board's interrupt thread, read by main. */
static atomic_uint sequence_interrupts;

static void on_interrupt(QMD5820_HANDLE board, uint8_t info, uint32_t value1, uint32_t value2,
                         uint32_t* data, uint32_t data_count) {
    (void)board;
    (void)value1;
    (void)value2;
    (void)data;
    (void)data_count;
    if (info == SEQUENCE_INTERRUPT) {
        const unsigned n = atomic_fetch_add(&sequence_interrupts, 1u) + 1u;
#if defined(EXAMPLE_SIMULATED)
        qmdsim_set_position(0, 0, 0.5 + 0.25 * n); /* the transducer moves on (mm) */
#else
        (void)n;
#endif
    }
}

/* Reads until `want` bytes are in `buffer` or nothing more comes within the time-out. */
static int read_sequences(QMD5820_HANDLE board, uint8_t* buffer, uint32_t want) {
    uint32_t got = 0;
    unsigned waited = 0;
    while (got < want) {
        const int32_t n = l_QMD5820_ReadSequenceData(board, want - got, buffer + got);
        if (n < 0) return example_failed(board, "reading the sequence data");
        if (n > 0) {
            got += (uint32_t)n;
            waited = 0;
            continue;
        }
        if (waited >= TIMEOUT_MS) {
            fprintf(stderr, "only %u of %u bytes of sequence data arrived\n", got, want);
            return 0;
        }
        example_sleep_ms(10);
        waited += 10;
    }
    return 1;
}

/* The acquisition between installing and removing the routine; 1 on success. */
static int acquire(QMD5820_HANDLE board) {
    /* Both lists always have 16 entries; the sequence size says how many are used. */
    const uint8_t channels[16] = {0, 1};
    const uint8_t transducers[16] = {1, 5};
    static uint8_t data[DATA_BYTES];
    uint16_t raw[SEQUENCES * CHANNEL_COUNT];
    double metric[SEQUENCES * CHANNEL_COUNT];
    unsigned waited = 0;
    int ok = 1;
    int i;

    /* Software trigger mode 0: the acquisition runs at once; external trigger mode 0. */
    if (i_QMD5820_InitAndStartTransducerSequence(board, SEQUENCES_PER_INTERRUPT, 0,
                                                 CHANNEL_COUNT, channels, transducers, 0, 0, 0,
                                                 0) != 0) {
        return example_failed(board, "starting the acquisition");
    }
    while (atomic_load(&sequence_interrupts) < INTERRUPTS) {
        if (waited >= TIMEOUT_MS) {
            fprintf(stderr, "%u of %d sequence interrupts came within %d ms\n",
                    atomic_load(&sequence_interrupts), INTERRUPTS, TIMEOUT_MS);
            ok = 0;
            break;
        }
        example_sleep_ms(10);
        waited += 10;
    }
    /* Three interrupts: the data of at least SEQUENCES sequences are waiting. */
    if (ok) ok = read_sequences(board, data, DATA_BYTES);
    if (i_QMD5820_StopTransducerAcquisition(board) != 0) {
        ok = example_failed(board, "stopping the acquisition");
    }
    if (!ok) return 0;

    /* Codes: 16 bits little-endian, one per channel per sequence, in channel-list order. */
    for (i = 0; i < SEQUENCES * CHANNEL_COUNT; ++i) {
        raw[i] = (uint16_t)(data[2 * i] | (data[2 * i + 1] << 8));
    }
    for (i = 0; i < SEQUENCES; ++i) {
        if (i_QMD5820_ConvertMoreRawToMetricValues(board, CHANNEL_COUNT, channels,
                                                   raw + i * CHANNEL_COUNT,
                                                   metric + i * CHANNEL_COUNT) != 0) {
            return example_failed(board, "converting the codes");
        }
    }
    printf("sequence     channel 0     channel 1\n");
    for (i = 0; i < SEQUENCES; ++i) {
        printf("%8d  %9.6f mm  %9.6f mm\n", i + 1, metric[i * CHANNEL_COUNT],
               metric[i * CHANNEL_COUNT + 1]);
    }
    return 1;
}

int main(void) {
    QMD5820_HANDLE board = 0;
    int16_t code;
    int ok;

    atomic_init(&sequence_interrupts, 0u);
#if defined(EXAMPLE_SIMULATED)
    qmdsim_set_position(0, 0, 0.5);
    qmdsim_set_position(0, 1, -2.5);
#endif
    code = i_QMD5820_OpenBoardViaIndex(0, &board);
    if (code != 0) {
        fprintf(stderr, "board 0 cannot be opened (code %d)\n", code);
        return 1;
    }
    code = i_QMD5820_SetBoardIntRoutine(board, on_interrupt);
    if (code != 0) {
        /* The install records nothing: the code tells. */
        fprintf(stderr, "the interrupt routine cannot be installed (code %d)\n", code);
        i_QMD5820_CloseBoard(board);
        return 1;
    }
    ok = acquire(board);
    code = i_QMD5820_ResetBoardIntRoutine(board);
    if (code != 0) {
        fprintf(stderr, "the interrupt routine cannot be removed (code %d)\n", code);
        ok = 0;
    }
    i_QMD5820_CloseBoard(board);
    return ok ? 0 : 1;
}
