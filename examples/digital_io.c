/*
 * digital_io.c - the 8 digital inputs and outputs of board 0.
 *
 * Reads the inputs (on the simulated board the example sets them to a walking pattern
 * first), switches outputs one by one and as a mask, and reads the output status back.
 */
#include "example.h" /* first: it selects the POSIX declarations */

static void bits(const char* label, uint8_t value) {
    int i;
    printf("%-8s", label);
    for (i = 7; i >= 0; --i) putchar((value >> i) & 1 ? '1' : '0');
    printf("  (0x%02X)\n", value);
}

int main(void) {
    QMD5820_HANDLE board;
    uint8_t value = 0, one = 0;
    int step, ok = 1;
    if (i_QMD5820_OpenBoardViaIndex(0, &board) != 0) {
        fprintf(stderr, "board 0 cannot be opened\n");
        return 1;
    }
    for (step = 0; step < 4 && ok; ++step) {
#if defined(EXAMPLE_SIMULATED)
        qmdsim_set_digital_inputs(0, (uint8_t)(0x11u << step)); /* what the wiring would do */
#endif
        if (i_QMD5820_Read8DigitalInputs(board, &value) != 0) ok = example_failed(board, "inputs");
        else bits("inputs", value);
    }
    if (ok && i_QMD5820_Read1DigitalInput(board, 7, &one) != 0) ok = example_failed(board, "input 7");
    if (ok) printf("input 7 alone: %u\n", one);

    if (ok && i_QMD5820_Set8DigitalOutputsOff(board, 0xFF) != 0) ok = example_failed(board, "all off");
    for (step = 0; step < 8 && ok; step += 3) {
        if (i_QMD5820_Set1DigitalOutputOn(board, (uint8_t)step) != 0 ||
            i_QMD5820_Get8DigitalOutputsStatus(board, &value) != 0) {
            ok = example_failed(board, "output on");
        } else {
            bits("outputs", value);
        }
    }
    if (ok && (i_QMD5820_Set8DigitalOutputsOn(board, 0xF0) != 0 ||
               i_QMD5820_Set1DigitalOutputOff(board, 6) != 0 ||
               i_QMD5820_Get8DigitalOutputsStatus(board, &value) != 0)) {
        ok = example_failed(board, "outputs by mask");
    } else if (ok) {
        bits("outputs", value);
    }
    if (ok && i_QMD5820_Set1DigitalOutputOn(board, 9) != 0) {
        /* A deliberate mistake: the texts tell what was wrong. */
        printf("output 9: %s\n", pc_QMD5820_GetLastError(board));
    }
    i_QMD5820_Set8DigitalOutputsOff(board, 0xFF);
    i_QMD5820_CloseBoard(board);
    return ok ? 0 : 1;
}
