/*
 * The public headers compiled as C: the types, the constants and a few calls on the
 * simulated board, and a backend written in C. Each function returns 0 when all is well,
 * otherwise the number of the first check that failed. The C++ tests call them.
 */
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "QMD5820.h"
#include "qmd5820_backend.h"
#include "qmd5820_texts.h"

_Static_assert(sizeof(QMD5820_HANDLE) == 8, "board handles are 64 bits");
_Static_assert(QMD5820_DLL_VERSION == 0x07EA0426u, "library version 2026.04.1.0");
_Static_assert(QMD5820_INVALID_HANDLE_VALUE == UINT64_C(0xFFFFFFFFFFFFFFFF),
               "the platform's invalid handle value");

int qmd_c_api_smoke(void);
int qmd_c_backend_smoke(void);
int qmd_c_texts_smoke(void);

int qmd_c_api_smoke(void) {
    QMD5820_HANDLE handle = 0;
    uint8_t boards = 0;
    uint8_t port = 0;
    uint8_t bit = 0xEE;
    uint32_t version = 0;
    uint32_t serial = 0;
    char revision = 0;
    char identifier[64];
    const char* text = NULL;

    if (i_QMD5820_GetDLLVersion(&version) != 0 || version != QMD5820_DLL_VERSION) return 1;
    if (i_QMD5820_GetNumberOfBoards(&boards) != 0 || boards == 0) return 2;
    if (i_QMD5820_GetBoardInformation(0, sizeof identifier, identifier, NULL, NULL, NULL, NULL,
                                      NULL, NULL, NULL, NULL) != 0)
        return 3;
    if (i_QMD5820_OpenBoardViaIdentifier(identifier, &handle) != 0 || handle == 0) return 4;

    if (i_QMD5820_GetBoardHardwareRevision(handle, &revision) != 0) return 5;
    if (revision < 'A' || revision > 'P') return 6;
    if (i_QMD5820_GetBoardSerialNumber(handle, &serial) != 0) return 7;

    if (i_QMD5820_Set8DigitalOutputsOff(handle, 0xFF) != 0) return 8;
    if (i_QMD5820_Set8DigitalOutputsOn(handle, 0x81) != 0) return 9;
    if (i_QMD5820_Get8DigitalOutputsStatus(handle, &port) != 0 || port != 0x81) return 10;
    if (i_QMD5820_Get1DigitalOutputStatus(handle, 7, &bit) != 0 || bit != 1) return 11;
    text = pc_QMD5820_GetLastError(handle);
    if (strcmp(text, "i_QMD5820_Get1DigitalOutputStatus: No error. (0)") != 0) return 12;

    if (i_QMD5820_Read1DigitalInput(handle, 8, &bit) != -2 || bit != 1) return 13;
    text = pc_QMD5820_GetLastError(handle);
    if (strncmp(text, "i_QMD5820_Read1DigitalInput: ", 29) != 0) return 14;

    if (i_QMD5820_CloseBoard(handle) != 0) return 15;
    if (i_QMD5820_CloseBoard(handle) != -2) return 16;
    return 0;
}

/* ---- a backend in C: counts the calls and passes them on to the default backend ---- */

struct counting_backend {
    const qmd5820_backend* inner;
    unsigned counts;
    unsigned opens;
    unsigned ioctls;
    uint32_t last_code;
};

static int32_t cb_count_boards(void* context) {
    struct counting_backend* cb = (struct counting_backend*)context;
    cb->counts++;
    return cb->inner->count_boards(cb->inner->context);
}

static int32_t cb_open_board(void* context, uint32_t index, uint64_t* handle) {
    struct counting_backend* cb = (struct counting_backend*)context;
    cb->opens++;
    return cb->inner->open_board(cb->inner->context, index, handle);
}

static int32_t cb_close_handle(void* context, uint64_t handle) {
    struct counting_backend* cb = (struct counting_backend*)context;
    return cb->inner->close_handle(cb->inner->context, handle);
}

static int32_t cb_device_io_control(void* context, uint64_t handle, uint32_t code,
                                    uint8_t* buffer, uint32_t in_size, uint32_t out_size) {
    struct counting_backend* cb = (struct counting_backend*)context;
    cb->ioctls++;
    cb->last_code = code;
    return cb->inner->device_io_control(cb->inner->context, handle, code, buffer, in_size,
                                        out_size);
}

static int32_t cb_read_stream(void* context, uint64_t handle, uint8_t* buffer, uint32_t size,
                              uint32_t* bytes_read) {
    struct counting_backend* cb = (struct counting_backend*)context;
    return cb->inner->read_stream(cb->inner->context, handle, buffer, size, bytes_read);
}

static void cb_sleep_ms(void* context, uint32_t ms) {
    struct counting_backend* cb = (struct counting_backend*)context;
    cb->inner->sleep_ms(cb->inner->context, ms);
}

static int64_t cb_clock_seconds(void* context) {
    struct counting_backend* cb = (struct counting_backend*)context;
    return cb->inner->clock_seconds(cb->inner->context);
}

int qmd_c_backend_smoke(void) {
    struct counting_backend cb;
    qmd5820_backend table;
    QMD5820_HANDLE handle = 0;
    uint8_t port = 0;
    int result = 0;

    memset(&cb, 0, sizeof cb);
    cb.inner = qmd5820_default_backend();
    if (cb.inner == NULL) return 1;

    memset(&table, 0, sizeof table);
    table.size = sizeof table;
    table.context = &cb;
    table.count_boards = cb_count_boards;
    table.open_board = cb_open_board;
    table.close_handle = cb_close_handle;
    table.device_io_control = cb_device_io_control;
    table.read_stream = cb_read_stream;
    table.sleep_ms = cb_sleep_ms;
    table.clock_seconds = cb_clock_seconds;
    if (qmd5820_install_backend(&table) != 0) return 2;

    if (i_QMD5820_OpenBoardViaIndex(0, &handle) != 0) result = 3;
    /* count, open, and the handshake request */
    else if (cb.counts != 1 || cb.opens != 1 || cb.ioctls != 1 || cb.last_code != 0x9001c014u)
        result = 4;
    else if (i_QMD5820_Read8DigitalInputs(handle, &port) != 0 || cb.ioctls != 2 ||
             cb.last_code != 0x90002140u)
        result = 5;
    else if (i_QMD5820_CloseBoard(handle) != 0)
        result = 6;

    if (qmd5820_install_backend(NULL) != 0 && result == 0) result = 7;
    return result;
}

/* ---- the shared texts and checks, compiled as C, with the C runtime's printf and strtod ---- */

int qmd_c_texts_smoke(void) {
    static const struct {
        double value;
        const char* text;
    } numbers[] = {{30, "30"},          {327.675, "327.675"}, {2147483647.0, "2147483647"},
                   {1e306, "1e+306"},   {1e-12, "1e-12"},     {2147483.647, "2147483.647"},
                   {-0.0, "-0"},        {0.1, "0.1"},         {1e-5, "1e-05"}};
    char text[QMD5820_PROBLEM_TEXT_SIZE];
    size_t i;
    for (i = 0; i < sizeof numbers / sizeof numbers[0]; ++i) {
        qmd5820_number_text(numbers[i].value, text);
        if (strcmp(text, numbers[i].text) != 0) return 1 + (int)i;
    }
    if (strcmp(qmd5820_worker_status_text(QMD5820_WORKER_CONFIRM_ZERO),
               "waiting for the confirmation: transducer at its zero") != 0)
        return 20;
    if (qmd5820_worker_failure_text(QMD5820_WORKER_BALANCE, QMD5820_WORKER_BEYOND_LIMIT) ==
        qmd5820_worker_failure_text(QMD5820_WORKER_BALANCE, 49))
        return 21;
    if (qmd5820_transducer_data_problem(2, 50, 5000, 3, 6, text, sizeof text) != 0 || text[0] != '\0')
        return 22;
    if (qmd5820_transducer_data_problem(2, 50, 5000, 1e-13, 6, text, sizeof text) != 4 ||
        strcmp(text, "voltage: expected a number above 1e-12 and at most 30 V, got 1e-13") != 0)
        return 23;
    if (qmd5820_worker_position_problem(-1, 2, text, sizeof text) != 1 ||
        strcmp(text, "position: expected a number from 0.015625 to 1.99 mm for a range of 2 mm, got -1") != 0)
        return 24;
    return 0;
}
