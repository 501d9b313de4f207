/*
 * qmd5820_backend.h - the seam between the QMD5820 library and the outside world.
 *
 * Everything the library asks of the kernel driver and of the passage of time goes
 * through one table of plain C function pointers. Three backends exist:
 *   - the Win32 backend (production QMD5820.dll): SetupAPI, CreateFileA,
 *     DeviceIoControl, ReadFile, Sleep, time();
 *   - the simulated board (the default on Linux, and in the tests);
 *   - any foreign backend a caller installs with qmd5820_install_backend()
 *     (test harnesses in any language, record/replay, remote boards).
 *
 * Only plain C types are used so that, for example, Python's ctypes can stand in for
 * the driver. The install entry point is not part of the production DLL's export table.
 */
#ifndef QMD5820_BACKEND_H
#define QMD5820_BACKEND_H

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Device interface class GUID that the QMD5820 kernel driver registers for each board:
 * {98CB37B9-320E-4B91-B2CE-D6ED1875B745}. The Win32 backend enumerates present devices
 * of this interface class; a driver (or a stand-in) must register exactly this GUID. */
#define QMD5820_DEVICE_INTERFACE_GUID_TEXT "{98CB37B9-320E-4B91-B2CE-D6ED1875B745}"
#define QMD5820_DEVICE_INTERFACE_GUID_INIT                                             \
    {0x98cb37b9, 0x320e, 0x4b91, {0xb2, 0xce, 0xd6, 0xed, 0x18, 0x75, 0xb7, 0x45}}

/* Result codes of open_board (the failing step of opening board i). */
#define QMD5820_OPEN_OK 0
#define QMD5820_OPEN_NO_DEVICE_SET (-3)   /* device information set unavailable */
#define QMD5820_OPEN_NO_INTERFACE (-4)    /* no device interface with that index */
#define QMD5820_OPEN_NO_MEMORY (-5)       /* interface detail data not allocated */
#define QMD5820_OPEN_NO_DETAIL (-6)       /* interface detail data unreadable */
#define QMD5820_OPEN_CREATE_FAILED (-7)   /* opening the device path failed */

/* The platform's invalid handle value (what a failed CreateFileA returns). */
#define QMD5820_INVALID_HANDLE_VALUE UINT64_C(0xFFFFFFFFFFFFFFFF)

typedef struct qmd5820_backend {
    /* sizeof(qmd5820_backend) as the installer knows it; later versions append members. */
    uint32_t size;
    /* Passed back unchanged as the first argument of every call. */
    void* context;

    /* Number of present boards (>= 0); -1 when the device information set cannot be
     * obtained; -3 when the enumeration ended with an unexpected platform error. */
    int32_t (*count_boards)(void* context);

    /* Open board `index` of a fresh enumeration. 0 and *handle = the device handle on
     * success; otherwise one of the QMD5820_OPEN_* codes. On QMD5820_OPEN_CREATE_FAILED
     * *handle receives the platform's invalid handle value. */
    int32_t (*open_board)(void* context, uint32_t index, uint64_t* handle);

    /* Close a device handle: 0 on success, anything else on failure. */
    int32_t (*close_handle)(void* context, uint64_t handle);

    /* One synchronous device I/O control call. `buffer` is both input (in_size bytes)
     * and output (out_size bytes); it holds at least the larger of the two. Returns 1
     * when the call succeeded, 0 when it failed. */
    int32_t (*device_io_control)(void* context, uint64_t handle, uint32_t code,
                                 uint8_t* buffer, uint32_t in_size, uint32_t out_size);

    /* One synchronous read of the board's data stream. Returns 1 on success with
     * *bytes_read set, 0 on failure. */
    int32_t (*read_stream)(void* context, uint64_t handle, uint8_t* buffer, uint32_t size,
                           uint32_t* bytes_read);

    /* Sleep for `ms` milliseconds; 0 yields (and lets a virtual clock move). */
    void (*sleep_ms)(void* context, uint32_t ms);

    /* Calendar clock in whole seconds. */
    int64_t (*clock_seconds)(void* context);
} qmd5820_backend;

#if defined(_WIN32)
#define QMD5820_BACKEND_API
#else
#define QMD5820_BACKEND_API __attribute__((visibility("default")))
#endif

/* Install a backend (the table is copied; every pointer must be set). NULL restores the
 * default backend. Returns 0 on success, -1 when the table is incomplete or too small;
 * the active backend is then unchanged. Install only while no board call runs. */
QMD5820_BACKEND_API int32_t qmd5820_install_backend(const qmd5820_backend* backend);

/* Signal an event the library created and handed to the driver (the interrupt event
 * registered with request 0x90002004), by its 64-bit value: what a driver does when it
 * queues an interrupt. On Windows the value is an event handle and SetEvent would do the
 * same. Returns 0 on success, -1 for a value that is not a live event. */
QMD5820_BACKEND_API int32_t qmd5820_signal_event(uint64_t event);

/* Trace every driver request and its answer (request name, sizes, status or result,
 * duration in microseconds), one line per call, to `stream`; NULL switches tracing off.
 * The stream stays the caller's (it is not closed); lines are flushed as written. On Linux
 * the environment variable QMD5820_TRACE switches tracing on when the library is loaded:
 * "1" traces to stderr, "0" or empty not at all, any other value is a file appended to.
 * Line format (prefix "qmd5820 trace: "):
 *   ioctl EepromRead (0x9001c00c) handle 0x000001a400000104 in 12 out 12 -> ok status 0, 4 us
 *   ioctl DriverVersion (0x90002018) handle 0x... in 0 out 4 -> ok, 2 us
 *   ioctl ... -> failed, 3 us
 *   count boards -> 2, 1 us | open board 0 -> ok handle 0x..., 2 us
 *   close handle 0x... -> ok, 1 us | read stream handle 0x... size 4096 -> ok 128 bytes, 3 us
 * Not part of the production DLL's export table. */
QMD5820_BACKEND_API void qmd5820_set_trace(FILE* stream);

/* The backend the library uses when none is installed. */
QMD5820_BACKEND_API const qmd5820_backend* qmd5820_default_backend(void);

#ifdef __cplusplus
}
#endif

#endif /* QMD5820_BACKEND_H */
