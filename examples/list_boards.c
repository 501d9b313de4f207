/*
 * list_boards.c - the boards present with their identity and versions.
 *
 * On the simulated board the example first adds a board of its own (identifier
 * "QMD5820-EXAMPLE", serial number 4242), so the list shows one board more than the demo set.
 */
#include "example.h" /* first: it selects the POSIX declarations */

int main(void) {
    uint8_t count = 0;
    uint32_t dll = 0;
    unsigned i;
#if defined(EXAMPLE_SIMULATED)
    qmdsim_board_config config;
    qmdsim_default_board_config(0, &config);
    snprintf(config.identifier, sizeof config.identifier, "%s", "QMD5820-EXAMPLE");
    config.serial_number = 4242;
    qmdsim_add_board(&config);
#endif
    if (i_QMD5820_GetDLLVersion(&dll) != 0 || i_QMD5820_GetNumberOfBoards(&count) != 0) {
        fprintf(stderr, "the boards cannot be counted\n");
        return 1;
    }
    printf("library version 0x%08X, %u board(s)\n", (unsigned)dll, count);
    for (i = 0; i < count; ++i) {
        char identifier[64];
        uint32_t v[7];
        uint8_t v8;
        QMD5820_HANDLE board;
        uint32_t serial = 0, driver = 0, firmware = 0;
        char revision = '?';
        /* Board information needs no open board: it takes and releases one itself. */
        if (i_QMD5820_GetBoardInformation((uint8_t)i, sizeof identifier, identifier, &v[0], &v[1],
                                          &v[2], &v[3], &v[4], &v[5], &v[6], &v8) != 0 ||
            i_QMD5820_OpenBoardViaIndex((uint8_t)i, &board) != 0) {
            fprintf(stderr, "board %u cannot be opened\n", i);
            return 1;
        }
        if (i_QMD5820_GetBoardSerialNumber(board, &serial) != 0 ||
            i_QMD5820_GetBoardHardwareRevision(board, &revision) != 0 ||
            i_QMD5820_GetDeviceDriverVersion(board, &driver) != 0 ||
            i_QMD5820_GetFirmwareVersion(board, &firmware) != 0) {
            fprintf(stderr, "board %u: identity cannot be read\n", i);
            i_QMD5820_CloseBoard(board);
            return 1;
        }
        printf("board %u: %-20s serial %-10u revision %c  driver 0x%08X  firmware 0x%08X\n", i,
               identifier, (unsigned)serial, revision, (unsigned)driver, (unsigned)firmware);
        i_QMD5820_CloseBoard(board);
    }
    return 0;
}
