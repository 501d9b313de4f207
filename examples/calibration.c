/*
 * calibration.c - calibrating a transducer type with the library's worker thread.
 *
 * Transducer type 1 of the factory database (range 2 mm) on channel 3 of board 0, position
 * 1.0 mm for the position phases. The program polls the worker's status, prints each new
 * phase with its two live values, and at every wait tells the operator what to do before
 * it confirms: status 25 the transducer at its zero, 9 (and 16 for a second channel) at
 * the position, 19 nothing to move before the line test threshold search.
 *
 * On the simulated board the program starts from the factory state (without touching the
 * kept state of the simulated boards), switches the analog front end's errors on and runs
 * on a virtual clock (the worker's waits pass at once); it puts the transducer at its zero
 * and at the position itself and prints the readings at five positions before and after:
 * errors of 1 to 3 % of range before, below 0.1 % after. On a real board the operator
 * moves the transducer and presses Enter at each wait; the readings are then taken where
 * the transducer stands.
 */
#include "example.h" /* first: it selects the POSIX declarations */
#include "qmd5820_texts.h"

#define TRANSDUCER 1
#define CHANNEL 3
#define RANGE_MM 2.0
#define POSITION_MM 1.0
#define IMPEDANCE_OHM 350
#define POINTS 5

static const double points[POINTS] = {-0.9, -0.5, 0.0, 0.5, 0.9}; /* fractions of range */

/* What the worker reports, as text (the library's one table, qmd5820_texts.h): the phase of
 * a status, and for a failure (`values` = failed phase and code) what the failure means. */
static const char* worker_text(int32_t status, const uint32_t* values) {
    if (status == QMD5820_WORKER_FAILED && values != NULL)
        return qmd5820_worker_failure_text((int32_t)values[0], (int32_t)values[1]);
    return qmd5820_worker_status_text(status);
}

/* What the operator does at a waiting status before confirming (NULL: not a wait). */
static const char* instruction(int32_t status) {
    switch (status) {
        case QMD5820_WORKER_CONFIRM_ZERO: return "put the transducer at its zero (0 mm)";
        case QMD5820_WORKER_CONFIRM_POSITION: return "put the transducer at the calibration position";
        case QMD5820_WORKER_CONFIRM_GROUP1_POSITION:
            return "put group 1's transducer at the calibration position";
        case QMD5820_WORKER_CONFIRM_THRESHOLD:
            return "nothing to move: the line test threshold search comes next";
        default: return NULL;
    }
}

/* Reads the channel at each point (the simulated board places the transducer there) and
 * prints the readings in mm and their errors in % of range. */
static int print_readings(QMD5820_HANDLE board, const char* when) {
    double value[POINTS];
    int i;
    if (i_QMD5820_Init1TransducerChannel(board, CHANNEL, TRANSDUCER, 0.0) != 0)
        return example_failed(board, "initialising the channel");
    for (i = 0; i < POINTS; ++i) {
        uint16_t raw;
#if defined(EXAMPLE_SIMULATED)
        qmdsim_set_position(0, CHANNEL, points[i] * RANGE_MM);
#endif
        if (i_QMD5820_Read1TransducerChannel(board, CHANNEL, &raw) != 0 ||
            i_QMD5820_Convert1RawToMetricValue(board, CHANNEL, raw, &value[i]) != 0)
            return example_failed(board, "reading the channel");
    }
    printf("%-15s", when);
    for (i = 0; i < POINTS; ++i) printf("  %+9.5f", value[i]);
    printf("\nerror/%% range  ");
    for (i = 0; i < POINTS; ++i) printf("  %+9.3f", 100.0 * (value[i] - points[i] * RANGE_MM) / RANGE_MM);
    printf("\n");
    return 1;
}

/* Gets the transducer where the worker waits for it: on the simulated board the program
 * moves it, on a real board the operator does and presses Enter. */
static void place_transducer(int32_t status) {
#if defined(EXAMPLE_SIMULATED)
    if (status == QMD5820_WORKER_CONFIRM_ZERO) qmdsim_set_position(0, CHANNEL, 0.0);
    if (status == QMD5820_WORKER_CONFIRM_POSITION) qmdsim_set_position(0, CHANNEL, POSITION_MM);
#else
    int c;
    (void)status;
    printf("    then press Enter\n");
    while ((c = getchar()) != '\n' && c != EOF) {
    }
#endif
}

/* Runs the worker to its end; returns 1 when it completed. */
static int run_worker(QMD5820_HANDLE board) {
    int32_t status = -1, shown = -1;
    uint32_t values[2];
    long polls = 0;
    if (i_QMD5820_CalibrationStart(board, TRANSDUCER, CHANNEL, 0, IMPEDANCE_OHM, POSITION_MM, 0) != 0)
        return example_failed(board, "starting the calibration");
    for (;;) {
        if (i_QMD5820_CalibrationGetCurrentStatus(board, &status, values) != 0)
            return example_failed(board, "reading the calibration status");
        if (status != shown) {
            const char* todo = instruction(status);
            shown = status;
            if (status == QMD5820_WORKER_FAILED) {
                fprintf(stderr, "the calibration failed in phase %u (%s), code %u: %s\n",
                        (unsigned)values[0], worker_text((int32_t)values[0], NULL),
                        (unsigned)values[1], worker_text(status, values));
                /* The break writes the transducer's configuration block back as the run
                 * found it; the potentiometers keep what the run set. */
                i_QMD5820_CalibrationBreak(board);
                return 0;
            }
            if (status != 0)
                printf("  status %2d  %-52s live values %5u %5u\n", (int)status,
                       worker_text(status, NULL), (unsigned)values[0], (unsigned)values[1]);
            if (status == QMD5820_WORKER_DONE) return 1;
            if (todo != NULL) {
                printf("    operator: %s", todo);
                if (status == QMD5820_WORKER_CONFIRM_POSITION ||
                    status == QMD5820_WORKER_CONFIRM_GROUP1_POSITION)
                    printf(" (%g mm)", POSITION_MM);
                printf("\n");
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
    int ok, i;
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
    printf("transducer type %d on channel %d, calibration position %g mm\n", TRANSDUCER, CHANNEL,
           POSITION_MM);
    printf("position/mm    ");
    for (i = 0; i < POINTS; ++i) printf("  %+9.5f", points[i] * RANGE_MM);
    printf("\n");
    ok = print_readings(board, "before/mm") && run_worker(board) && print_readings(board, "after/mm");
    i_QMD5820_CloseBoard(board);
    return ok ? 0 : 1;
}
