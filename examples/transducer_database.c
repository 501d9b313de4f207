/*
 * transducer_database.c - the transducer types in the EEPROM of board 0: list them, add
 * one (index 40: range 5 mm, 80 mV/V/mm, 6104 Hz, 2.5 V, 400 ohm), show it and delete it.
 *
 * The example deletes the type it added, so it can run again. A run stopped between the
 * add and the delete leaves type 40 in the database (a real board and the simulated board
 * both keep their EEPROM): delete it first (qmd5820 db 0 delete 40).
 */
#include "example.h" /* first: it selects the POSIX declarations */

#define NEW_INDEX 40

static int list(QMD5820_HANDLE board) {
    uint8_t indexes[16], count = 0, i;
    if (i_QMD5820_GetAvailableTransducerTypes(board, indexes, sizeof indexes, &count) != 0) {
        return example_failed(board, "listing the database");
    }
    printf("%u transducer type(s):\n"
           "  index  range/mm  sensitivity/(mV/V/mm)  frequency/Hz  primary/V  calibrated\n",
           count);
    for (i = 0; i < count; ++i) {
        double range, sensitivity, frequency, voltage;
        uint8_t state;
        if (i_QMD5820_TransducerDatabaseReadTransducerInfo(board, indexes[i], &range, &sensitivity,
                                                           &frequency, &voltage, &state) != 0) {
            return example_failed(board, "reading a transducer type");
        }
        printf("  %5u  %8.2f  %21.2f  %12.0f  %9.2f  %s\n", indexes[i], range, sensitivity,
               frequency, voltage, (state & 1) ? "yes" : "no");
    }
    return 1;
}

int main(void) {
    QMD5820_HANDLE board;
    int ok;
    if (i_QMD5820_OpenBoardViaIndex(0, &board) != 0) {
        fprintf(stderr, "board 0 cannot be opened\n");
        return 1;
    }
    ok = list(board);
    if (ok) {
        printf("adding transducer type %d: range 5 mm, 80 mV/V/mm, 6104 Hz, 2.5 V, 400 ohm\n",
               NEW_INDEX);
        if (i_QMD5820_TransducerDatabaseAdd(board, NEW_INDEX, 5.0, 80.0, 6104.0, 2.5, 400.0) != 0)
            ok = example_failed(board, "adding");
    }
    if (ok) ok = list(board);
    if (ok && i_QMD5820_TransducerDatabaseAdd(board, NEW_INDEX, 5.0, 80.0, 6104.0, 2.5, 400.0) != 0)
        printf("adding it again: %s\n", pc_QMD5820_GetLastError(board));
    if (ok) {
        printf("deleting transducer type %d\n", NEW_INDEX);
        if (i_QMD5820_TransducerDatabaseDelete(board, NEW_INDEX) != 0) ok = example_failed(board, "deleting");
    }
    if (ok) ok = list(board);
    i_QMD5820_CloseBoard(board);
    return ok ? 0 : 1;
}
