/*
 * timer_interrupts.c - the board timer with an interrupt every period.
 *
 * Installs an interrupt routine on board 0, starts the timer with a 1 ms time base and a
 * reload value of 19 (a period of 20 ms), prints the first five timer interrupts as they
 * come (expirations so far, reload value), then stops the timer and removes the routine.
 */
#include "example.h" /* first: it selects the POSIX declarations */

#include <stdatomic.h>

#define TIMER_INTERRUPT 2 /* b_InterruptInfo of a timer interrupt */
#define WANTED 5

static atomic_uint timer_interrupts;
static atomic_uint expirations[WANTED];

/* Runs on the board's interrupt thread: keep it short (well within 100 ms). */
static void on_interrupt(QMD5820_HANDLE board, uint8_t info, uint32_t value1, uint32_t value2,
                         uint32_t* data, uint32_t data_count) {
    unsigned n;
    (void)board;
    (void)value2;
    (void)data;
    (void)data_count;
    if (info != TIMER_INTERRUPT) return;
    n = atomic_fetch_add(&timer_interrupts, 1u);
    if (n < WANTED) atomic_store(&expirations[n], value1);
}

int main(void) {
    QMD5820_HANDLE board;
    unsigned waited = 0, i;
    uint16_t value = 0;
    int ok = 1;
    atomic_init(&timer_interrupts, 0u);
    if (i_QMD5820_OpenBoardViaIndex(0, &board) != 0) {
        fprintf(stderr, "board 0 cannot be opened\n");
        return 1;
    }
    if (i_QMD5820_SetBoardIntRoutine(board, on_interrupt) != 0) {
        fprintf(stderr, "the interrupt routine cannot be installed\n");
        i_QMD5820_CloseBoard(board);
        return 1;
    }
    /* time base 1 = 1 ms per count; 19 -> 0 and reload: 20 ms; interrupts on */
    if (i_QMD5820_InitAndStartTimer(board, 1, 19, 1) != 0) ok = example_failed(board, "starting the timer");
    while (ok && atomic_load(&timer_interrupts) < WANTED && waited < 5000) {
        example_sleep_ms(5);
        waited += 5;
    }
    if (ok && i_QMD5820_ReadTimerValue(board, &value) != 0) ok = example_failed(board, "timer value");
    if (ok && i_QMD5820_StopTimer(board) != 0) ok = example_failed(board, "stopping the timer");
    i_QMD5820_ResetBoardIntRoutine(board);
    i_QMD5820_CloseBoard(board);
    if (!ok) return 1;
    if (atomic_load(&timer_interrupts) < WANTED) {
        fprintf(stderr, "only %u timer interrupts came\n", atomic_load(&timer_interrupts));
        return 1;
    }
    for (i = 0; i < WANTED; ++i) {
        printf("timer interrupt %u: %u expiration(s) of the 20 ms period so far\n", i + 1,
               atomic_load(&expirations[i]));
    }
    printf("timer value when stopped: %u (it counts down from 19 to 0 in steps of 1 ms)\n", value);
    return 0;
}
