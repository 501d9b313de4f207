/*
 * calibration.c - calibrating a transducer type with the library's worker thread.
 *
 * Transducer type 1 of the factory database (range 2) on channel 3 of board 0, position
 * 1.0 for the position phases. The program polls the worker's status, prints each new
 * status with what it means and its two live values, and confirms at the waits (the
 * statuses QMD5820_WORKER_CONFIRM_...); a failure is printed with what its code means
 * (qmd5820_texts.h).
 *
 * On the simulated board the program starts from the factory state (without touching the
 * kept state of the simulated boards), switches the analog front end's errors on and runs
 * on a virtual clock (the worker's waits pass at once); it puts the transducer at its zero
 * and at the position when the worker asks, and prints the readings at five positions
 * before and after: errors of 1 to 3 % of range before, below 0.1 % after. On a real board
 * the operator moves the transducer; the program waits for Enter at each wait.
 */
#include <stdint.h>

#include "example.h"
#include "qmd5820_texts.h"

#define TRANSDUCER 1
#define CHANNEL 3
#define RANGE 2.0
#define POSITION 1.0
#define POINTS 5

static const double points[POINTS] = {-0.9, -0.5, 0.0, 0.5, 0.9}; /* fractions of range */

/* Prints the reading at each point (the simulated board places the transducer there). */
static int print_readings(QMD5820_HANDLE board, const char* when) {
    int i;
    if (i_QMD5820_Init1TransducerChannel(board, CHANNEL, TRANSDUCER, 0.0) != 0)
        return example_failed(board, "initialising the channel");
    printf("%-7s", when);
    for (i = 0; i < POINTS; ++i) {
        const double x = points[i] * RANGE;
        uint16_t raw;
        double value;
#if defined(EXAMPLE_SIMULATED)
        qmdsim_set_position(0, CHANNEL, x);
#endif
        if (i_QMD5820_Read1TransducerChannel(board, CHANNEL, &raw) != 0 ||
            i_QMD5820_Convert1RawToMetricValue(board, CHANNEL, raw, &value) != 0)
            return example_failed(board, "reading the channel");
        printf("  %+9.5f (%+6.3f %%)", value, 100.0 * (value - x) / RANGE);
    }
    printf("\n");
    return 1;
}

static int waits_for_confirmation(int32_t status) {
    return status == QMD5820_WORKER_CONFIRM_ZERO || status == QMD5820_WORKER_CONFIRM_POSITION ||
           status == QMD5820_WORKER_CONFIRM_GROUP1_POSITION ||
           status == QMD5820_WORKER_CONFIRM_THRESHOLD;
}

/* Puts the transducer where the worker waits for it (or asks the operator to). */
static void place_transducer(int32_t status) {
    const int moves =
        status == QMD5820_WORKER_CONFIRM_ZERO || status == QMD5820_WORKER_CONFIRM_POSITION;
    const double where = status == QMD5820_WORKER_CONFIRM_POSITION ? POSITION : 0.0;
#if defined(EXAMPLE_SIMULATED)
    if (moves) qmdsim_set_position(0, CHANNEL, where);
#else
    int c;
    if (moves) printf("  put the transducer at %g, then press Enter\n", where);
    else printf("  press Enter to go on\n");
    while ((c = getchar()) != '\n' && c != EOF) {
    }
#endif
}

/* Runs the worker to its end; returns 1 when it completed. */
static int run_worker(QMD5820_HANDLE board) {
    int32_t status = -1, shown = -1;
    uint32_t values[2];
    long polls = 0;
    if (i_QMD5820_CalibrationStart(board, TRANSDUCER, CHANNEL, 0, 350, POSITION, 0) != 0)
        return example_failed(board, "starting the calibration");
    for (;;) {
        if (i_QMD5820_CalibrationGetCurrentStatus(board, &status, values) != 0)
            return example_failed(board, "reading the calibration status");
        if (status != shown) {
            shown = status;
            if (status == QMD5820_WORKER_FAILED) {
                const int32_t phase = (int32_t)values[0], code = (int32_t)values[1];
                fprintf(stderr, "the calibration failed in phase %d (%s) with code %d: %s\n",
                        (int)phase, qmd5820_worker_status_text(phase), (int)code,
                        qmd5820_worker_failure_text(phase, code));
                i_QMD5820_CalibrationBreak(board); /* restores the configuration block */
                return 0;
            }
            if (status != QMD5820_WORKER_IDLE)
                printf("  status %2d  live values %5u %5u  %s\n", (int)status, (unsigned)values[0],
                       (unsigned)values[1], qmd5820_worker_status_text(status));
            if (status == QMD5820_WORKER_DONE) return 1;
            if (waits_for_confirmation(status)) {
                place_transducer(status);
                if (i_QMD5820_CalibrationNextStep(board) != 0)
                    return example_failed(board, "confirming");
            }
        }
        if (++polls > 600000L) { /* 10 minutes of 1 ms polls */
            fprintf(stderr, "the calibration does not end; breaking it\n");
            i_QMD5820_CalibrationBreak(board);
            return 0;
        }
        example_sleep_ms(1);
    }
}

int main(void) {
    QMD5820_HANDLE board;
    int ok;
#if defined(EXAMPLE_SIMULATED)
    uint8_t count = 0;
    /* The first library call attaches the simulated boards' kept state; the reset then
     * detaches it: the example runs on factory boards and stores its result nowhere. */
    if (i_QMD5820_GetNumberOfBoards(&count) != 0 || count == 0) {
        fprintf(stderr, "no board\n");
        return 1;
    }
    qmdsim_reset();
    qmdsim_set_virtual_clock(1); /* the worker's waits take no time */
    qmdsim_frontend_enable(0, 1);
#endif
    if (i_QMD5820_OpenBoardViaIndex(0, &board) != 0) {
        fprintf(stderr, "board 0 cannot be opened\n");
        return 1;
    }
    printf("readings at");
    for (ok = 0; ok < POINTS; ++ok) printf("  %+9.5f           ", points[ok] * RANGE);
    printf("\n");
    ok = print_readings(board, "before") && run_worker(board) && print_readings(board, "after");
    i_QMD5820_CloseBoard(board);
    return ok ? 0 : 1;
}
