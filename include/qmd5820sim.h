/*
 * qmd5820sim.h - control API of the simulated QMD5820 board.
 *
 * The simulated board is the driver's side of every request the library sends: board
 * enumeration and open, the board information and version requests, the EEPROM word
 * requests, transducer channels, the configuration restart, digital I/O, the timer and the
 * logic load channel. It is a library of its own; qmdsim_backend() hands out the backend
 * table (qmd5820_backend.h) through which the QMD5820 library reaches it.
 *
 * Any number of boards may be simulated. Tests configure their own set; the default is
 * the demo board set (two boards with the factory EEPROM image).
 *
 * Every function here is thread-safe: the simulated driver serialises its state.
 */
#ifndef QMD5820SIM_H
#define QMD5820SIM_H

#include <stdint.h>

#include "qmd5820_backend.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define QMDSIM_API
#else
#define QMDSIM_API __attribute__((visibility("default")))
#endif

#define QMDSIM_ANY_BOARD 0xFFFFFFFFu
#define QMDSIM_EEPROM_WORDS 65536u
#define QMDSIM_IDENTIFIER_BYTES 52u

/* ---- boards ------------------------------------------------------------------------ */

typedef struct qmdsim_board_config {
    /* The identifier field of the board information record, byte for byte (bytes 32 to
     * 83). It need not be terminated: a 52-character identifier fills the field. */
    char identifier[QMDSIM_IDENTIFIER_BYTES];
    /* The seven 32-bit values of the board information record in record order
     * (offsets 0, 4, 8, ..., 24) and the 8-bit value at offset 28. */
    uint32_t info_values[7];
    uint8_t info_value8;
    uint32_t driver_version;   /* answer of request 0x90002018 */
    uint32_t firmware_version; /* first half of the answer of request 0x9001c010 */
    uint32_t serial_number;    /* EEPROM words 129 (low) and 130 (high) of the factory image */
    uint8_t hardware_revision; /* 0 = revision A; bits 12 to 15 of EEPROM word 128 */
} qmdsim_board_config;

/* Back to the start state: the demo board set, real time, no faults, an empty and
 * disabled trace, every handle closed. The event signaller stays installed; the
 * simulator's pump thread is stopped (and joined) before this returns. */
QMDSIM_API void qmdsim_reset(void);

/* Remove every board (handles still open become unknown to the driver). */
QMDSIM_API void qmdsim_clear_boards(void);

/* The configuration of demo board `index` (identifier "QMD5820-DEMO-<index>" etc.). */
QMDSIM_API void qmdsim_default_board_config(uint32_t index, qmdsim_board_config* config);

/* Add a board with the factory EEPROM image built for its serial number and revision;
 * NULL adds the next demo board. Returns its board index, or -1 when 255 boards exist. */
QMDSIM_API int32_t qmdsim_add_board(const qmdsim_board_config* config);

QMDSIM_API uint32_t qmdsim_board_count(void);

/* Number of driver handles currently open on a board (leak checks). */
QMDSIM_API uint32_t qmdsim_open_handles(uint32_t board);

/* Value carried by the last open handshake (request 0x9001c014) on a board, 0 if none. */
QMDSIM_API uint64_t qmdsim_last_handshake(uint32_t board);

/* The backend table of the simulated driver. */
QMDSIM_API const qmd5820_backend* qmdsim_backend(void);

/* ---- EEPROM (65536 words, addressed by the driver in bytes) ------------------------- */

/* The driver answers an EEPROM word request whose byte address is odd or above 131070
 * with status 2. A read returns the word in the low 16 bits of bytes 8 to 11; a write
 * stores the low 16 bits of bytes 8 to 11. */

QMDSIM_API uint16_t qmdsim_eeprom_get(uint32_t board, uint16_t word_address);
QMDSIM_API void qmdsim_eeprom_set(uint32_t board, uint16_t word_address, uint16_t value);
/* Copy `count` words (at most 65536) from/to the EEPROM starting at word 0. */
QMDSIM_API void qmdsim_eeprom_load(uint32_t board, const uint16_t* words, uint32_t count);
QMDSIM_API void qmdsim_eeprom_dump(uint32_t board, uint16_t* words, uint32_t count);

/* The factory image (65536 words) for a serial number and a hardware revision. */
QMDSIM_API void qmdsim_build_factory_image(uint16_t* words, uint32_t serial_number,
                                           uint8_t hardware_revision);

/* The transducer types of the factory image, in table order. */
typedef struct qmdsim_transducer {
    uint8_t transducer_index;
    uint8_t selection_type;
    uint8_t calibrated;      /* bit 0 of both calibration state words set */
    double range;
    double sensitivity;
    double frequency;
    double primary_voltage;
    double impedance;        /* used for the configuration block only */
} qmdsim_transducer;

/* Returns the number of factory transducer types; fills *out for index < that number. */
QMDSIM_API uint32_t qmdsim_factory_transducer(uint32_t index, qmdsim_transducer* out);

/* ---- digital I/O, timer, logic load -------------------------------------------------- */

/* Digital I/O: a switch value (byte 2 of 0x90002144, byte 1 of 0x90002148) other than 0
 * or 1 gives driver status 2.
 * Timer: a 16-bit down-counter that counts from the reload value to 0 and reloads on the
 * next tick of its time base (a period is reload + 1 ticks; each reload is one
 * expiration), on the simulated clock. Start answers status 2 for a time base above 2 and
 * 3 for an interrupt switch above 1; trigger reloads the count (a running timer keeps
 * running); stop holds count and expirations. */
QMDSIM_API void qmdsim_set_digital_inputs(uint32_t board, uint8_t inputs);
QMDSIM_API uint8_t qmdsim_digital_outputs(uint32_t board);
QMDSIM_API uint8_t qmdsim_digital_output_memory(uint32_t board);

typedef struct qmdsim_timer_state {
    uint8_t running;
    uint8_t time_base;         /* 0: 1 us, 1: 1 ms, 2: 1 s per count */
    uint16_t reload_value;
    uint8_t interrupt_enabled;
    uint16_t expirations;      /* periods completed since the last start (wraps) */
} qmdsim_timer_state;

QMDSIM_API void qmdsim_timer(uint32_t board, qmdsim_timer_state* state);

/* Logic load channel model:
 *   commands: 1 = begin a load (clears the memory), 2 = end the load, 3 = rewind the read
 *   pointer; any other command gives driver status 2.
 *   write: appends a word while a load is open (else driver status 3), at most 4096 words
 *   (then driver status 4); read: the next word written (else driver status 5).
 *   status byte: bit 0 = load open, bit 1 = load completed, bit 2 = read pointer at end. */
QMDSIM_API uint32_t qmdsim_logic_word_count(uint32_t board);
QMDSIM_API uint32_t qmdsim_logic_last_command(uint32_t board);

/* ---- transducer channels --------------------------------------------------------------- */

/* Channel initialisation (0x90002040) takes the channel (0 to 15, else driver status 2), a
 * selection type and two dividers. The board looks the selection type up in the transducer
 * table of its own EEPROM (status 3 when no record has it) and keeps that record's range.
 * A read (0x90002044) of a channel that was never initialised answers status 3; otherwise
 * the channel's position as a sign-and-magnitude code: bit 15 the sign, magnitude
 * round(|position| / range x 32767), limited to 32767 (full scale at the range). A range
 * not above 0 (or NaN) and a NaN position give code 0; the sign bit follows position < 0,
 * so -0.0 gives 0 and a negative position below half a step 0x8000. While an acquisition
 * runs both requests answer status 50, before any other check. Positions start at 0.0 and
 * outlive re-initialisation; qmdsim_reset clears channels, acquisition state and counts. */
typedef struct qmdsim_channel_state {
    uint8_t initialised;
    uint8_t selection_type;
    uint8_t divider1;
    uint8_t divider2;
    double range;     /* range of the record found at initialisation */
    double position;  /* metric position set through qmdsim_set_position */
} qmdsim_channel_state;

QMDSIM_API void qmdsim_set_position(uint32_t board, uint8_t channel, double position);
QMDSIM_API void qmdsim_channel(uint32_t board, uint8_t channel, qmdsim_channel_state* state);
/* Put the board into (1) or out of (0) the acquisition state. 1 only sets the state (an
 * acquisition the board was not asked to start); 0 ends any running acquisition, as the
 * stop request does. A start request sets the state, the stop request clears it. */
QMDSIM_API void qmdsim_set_acquisition_running(uint32_t board, int32_t running);
/* Number of restart-configuration requests (0x90002048) the board has answered with 0. */
QMDSIM_API uint32_t qmdsim_restart_count(uint32_t board);

/* ---- interrupts ------------------------------------------------------------------------ */

/* The library registers a manual-reset event per board (request 0x90002004, its 64-bit
 * value) and drains the board's queue of 144-byte interrupt records with request
 * 0x90002008 (empty flag at byte 141 set when nothing is pending). The board signals the
 * registered event through the function installed here: the library's default backend
 * installs qmd5820_signal_event. Without a signaller, or before registration, records
 * are queued but nothing is signalled; a registration that finds records pending signals
 * the new event (after the request, as for any record). */
QMDSIM_API void qmdsim_set_event_signaller(void (*signal)(uint64_t event));
QMDSIM_API uint64_t qmdsim_registered_event(uint32_t board);

/* b_InterruptInfo of the board's own sources. */
#define QMDSIM_INTERRUPT_SEQUENCE 1      /* value1: sequences so far; value2: stream bytes */
#define QMDSIM_INTERRUPT_TIMER 2         /* value1: expirations so far; value2: reload value */
#define QMDSIM_INTERRUPT_SHORT_CIRCUIT 3 /* value1: primary line status byte */
#define QMDSIM_INTERRUPT_QUEUE 4096u     /* records beyond this are dropped (and counted) */

typedef struct qmdsim_interrupt {
    uint8_t info;
    uint32_t value1;
    uint32_t value2;
    uint32_t data[32];
    uint32_t data_count; /* passed as given, even above 32 */
} qmdsim_interrupt;

/* Queue a record on a board and signal its registered event. The signaller is called after
 * the driver's lock is released, once per board and operation however many records it
 * queued; registering event 0 registers none. */
QMDSIM_API void qmdsim_raise_interrupt(uint32_t board, const qmdsim_interrupt* record);
QMDSIM_API uint32_t qmdsim_pending_interrupts(uint32_t board);
QMDSIM_API uint32_t qmdsim_dropped_interrupts(uint32_t board);

/* Run the time-driven sources (timer periods with the interrupt enabled, sequence
 * acquisition) up to the simulator's clock. It runs on every request and on
 * qmdsim_advance_us; with the real clock a background thread of the simulator also runs it
 * about every millisecond while a time-driven source is active. */
QMDSIM_API void qmdsim_pump(void);

/* ---- acquisition ------------------------------------------------------------------------ */

/* Auto-refresh (0x90002080): count 1 to 16 (else status 2), every listed channel 0 to 15
 * and initialised (else status 4); the board initialises nothing itself. The start answers
 * the address of 16 little-endian 16-bit codes in this process, one per listed entry, kept
 * current with the channels' positions; the area lives until the board is removed.
 * Sequence (0x90002084): statuses 2 (sequences before interrupt 0), 3 (size 0 or above
 * 16), 4 (soft trigger mode not 0, 1 or 5), 6 (a channel above 15 or not initialised),
 * 7 (size x sequences before interrupt odd), 8 (soft and external trigger modes of
 * different kinds: 5 is one shot, every other mode is sequence), in this order. Soft
 * trigger mode 0 runs at once; 1 runs from the first software trigger (0x90002088); 5 runs
 * `sequences before interrupt` sequences per trigger. A sequence appends its channels'
 * codes (16 bits each, little-endian) to the data stream that read_stream delivers (as
 * much as is waiting, at most what is asked; 0 bytes when none); after every `sequences
 * before interrupt` sequences the board raises a QMDSIM_INTERRUPT_SEQUENCE interrupt.
 * One sequence takes the sequence period (default 1000 us). Stop (0x9000208c) ends either
 * mode; the division factor (0x90002090) accepts 5 to 255 (else status 2).
 * A successful start replaces the running acquisition, a refused one changes nothing; a
 * sequence start empties the stream, a stop keeps it readable. A one-shot trigger during a
 * run queues one more block behind it; a trigger in mode 0 or without a sequence
 * acquisition changes nothing. The stream holds at most 1 MiB: sequences that find it
 * full are counted and interrupt as usual, but their data are lost. */
typedef struct qmdsim_acquisition_state {
    uint8_t mode; /* 0 none, 1 auto-refresh, 2 sequence */
    uint8_t channel_count;
    uint8_t channels[16];
    uint8_t transducer_indexes[16];
    uint16_t sequences_before_interrupt;
    uint8_t sequence_size;
    uint8_t soft_trigger_mode;
    uint8_t extern_trigger_mode;
    uint32_t parameters[3];
    uint32_t sequences_done;
    uint32_t triggers;
    uint8_t division_factor; /* 0 until set */
    uint64_t auto_refresh_address;
} qmdsim_acquisition_state;

QMDSIM_API void qmdsim_acquisition(uint32_t board, qmdsim_acquisition_state* state);
QMDSIM_API void qmdsim_set_sequence_period_us(uint32_t board, uint32_t period_us);
QMDSIM_API uint32_t qmdsim_stream_bytes(uint32_t board);

/* ---- potentiometers and primary line ------------------------------------------------------ */

/* 32 potentiometers (0x900020c0 read, 0x900020c4 write; a number above 31 gives status 2),
 * 128 after reset. The primary line: the test switch (0x90002100, byte 1 0 or 1, else
 * status 2; switching it on during an acquisition gives status 50), the status byte
 * (0x90002104: bit 0 while the test is on and potentiometer 7 is at or above the
 * threshold, bit 1 a latched short circuit), the rearm (0x90002108: clears the latch unless
 * the short circuit persists), the short-circuit interrupt switch (0x9000210c, 0 or 1, else
 * status 2). */
QMDSIM_API uint8_t qmdsim_potentiometer(uint32_t board, uint8_t index);
/* Threshold of the line test detection; 256 = never responds. Default 100. */
QMDSIM_API void qmdsim_set_line_test_threshold(uint32_t board, uint16_t threshold);
/* A short circuit: latches bit 1 and, when enabled, raises QMDSIM_INTERRUPT_SHORT_CIRCUIT.
 * `persistent`: a rearm does not clear it until qmdsim_clear_short_circuit, which leaves
 * the latch to the next rearm. */
QMDSIM_API void qmdsim_inject_short_circuit(uint32_t board, int32_t persistent);
QMDSIM_API void qmdsim_clear_short_circuit(uint32_t board);

typedef struct qmdsim_primary_line_state {
    uint8_t test_on;
    uint8_t latched;
    uint8_t persistent;
    uint8_t interrupts_enabled;
    uint32_t rearms;
    uint32_t tests_switched_on;
} qmdsim_primary_line_state;

QMDSIM_API void qmdsim_primary_line(uint32_t board, qmdsim_primary_line_state* state);

/* ---- analog front end and calibration requests ---------------------------------------- */

/* The calibration requests are always answered by the front end model:
 *   0x900020c8 / 0x900020cc  the excitation table: byte 1 count (at most 64, else status 2
 *       on a write), bytes 4-259 A[0..63], 260-515 B[0..63]; a sample with any of its
 *       upper 8 bits set gives status 3. The board starts with the 40-point unity table
 *       of the 4883 Hz profile.
 *   0x900020d0 / 0x900020e0  open the adjustment of channel byte 1 (above 15: status 2)
 *       for selection type byte 2 (not in the board's transducer table: status 3; during
 *       an acquisition: status 50) and answer at bytes 8-15 the address of the two live
 *       values (the same address for the board's lifetime, never freed). The interactive
 *       open (d0) converts at once in level mode; the worker open (e0) converts only after
 *       the start request 0x900020e4 (without a worker open: status 3).
 *   0x900020d4 / 0x900020e8  levels adjusted: the interactive / worker adjustment in level
 *       mode goes to position mode (otherwise nothing changes; status 0).
 *   0x900020d8 / 0x900020ec  close the adjustment (status 0 also when none is open).
 *   0x900020dc  bytes 2-3: the conversion counter, the number of refreshes of the live
 *       values modulo 65536. Refreshes run at the conversion rate on the board's clock
 *       (real or virtual), whether or not an adjustment is open; rate 0 freezes them.
 * The model (level and position mode, and the channel codes with the front end on) is
 * described in sim/sim_frontend.h; the parameters below are its errors. */
#define QMDSIM_ADJUST_CLOSED 0
#define QMDSIM_ADJUST_OPENED 1   /* worker open, not started: the values are not refreshed */
#define QMDSIM_ADJUST_LEVELS 2
#define QMDSIM_ADJUST_POSITION 3

typedef struct qmdsim_frontend_params {
    double level_error[2];         /* relative error of the half swing per group (0.012) */
    double span_error[2];          /* relative error of the position gain per group */
    double symmetry_zero[2];       /* symmetry potentiometer value that balances the values;
                                      outside 0-255 it cannot be reached */
    double board_zero;             /* the board's zero offset, fraction of full scale */
    double conversions_per_second; /* refresh rate of the live values; 0 freezes them */
} qmdsim_frontend_params;

/* Defaults: level errors +1.2 % / -0.9 %, span errors +2.5 % / -1.8 %, symmetry zeros 141 /
 * 135, board zero +0.5 % of full scale, 2000 conversions per second. Every channel's
 * transducer starts with a small gain error of its own and no zero offset (see
 * qmdsim_transducer_error). */
QMDSIM_API void qmdsim_frontend_default_params(qmdsim_frontend_params* params);
QMDSIM_API void qmdsim_frontend_params_get(uint32_t board, qmdsim_frontend_params* params);
QMDSIM_API void qmdsim_frontend_params_set(uint32_t board, const qmdsim_frontend_params* params);
/* Channel codes with (1) or without (0, the default) the front end's errors. */
QMDSIM_API void qmdsim_frontend_enable(uint32_t board, int32_t on);

/* The transducer on `channel`: relative gain error and zero offset (fraction of full
 * scale). Kept across re-initialisation; qmdsim_reset restores the defaults. */
QMDSIM_API void qmdsim_set_transducer_error(uint32_t board, uint8_t channel, double gain_error,
                                            double zero_offset);
QMDSIM_API void qmdsim_transducer_error(uint32_t board, uint8_t channel, double* gain_error,
                                        double* zero_offset);

/* The position at which the channel's position-mode value 0 is mid (its electrical zero
 * under the excitation table in the board): where a transducer is put when it is zeroed by
 * moving it. NaN for an unknown board or channel, or a channel never initialised or opened
 * (its range is needed). */
QMDSIM_API double qmdsim_frontend_zero_position(uint32_t board, uint8_t channel);

typedef struct qmdsim_adjustment_state {
    uint8_t mode;             /* QMDSIM_ADJUST_* */
    uint8_t worker;           /* opened by 0x900020e0 */
    uint8_t channel;
    uint8_t selection_type;
    uint32_t values[2];       /* the live values as the application reads them now */
    uint64_t address;         /* their address */
    uint16_t counter;         /* the conversion counter now */
    uint8_t table_count;      /* the excitation table in the board */
    double table_amplitude[2];/* amplitudes of arrays A and B (peak / 0x7FFFFF) */
} qmdsim_adjustment_state;

QMDSIM_API void qmdsim_adjustment(uint32_t board, qmdsim_adjustment_state* state);
/* The excitation table in the board: its count, and 64 samples of each array (either
 * pointer may be NULL). Returns the count. */
QMDSIM_API uint32_t qmdsim_excitation_table(uint32_t board, uint32_t* a, uint32_t* b);

/* ---- fault injection ------------------------------------------------------------------ */

#define QMDSIM_FAULT_CALL 1   /* the device I/O control call itself fails */
#define QMDSIM_FAULT_STATUS 2 /* the driver answers with `status` in byte 0 and does nothing */
/* A cut (power loss): the `nth` request and every later matching one fail as calls and do
 * nothing, until qmdsim_fault_clear; the board's state stays as it was at the cut. */
#define QMDSIM_FAULT_CUT 3

#define QMDSIM_ANY_CODE 0u /* with qmdsim_fault_request: requests of every code count */

/* Fault the `nth` request (1-based, counted from now) of `code` (QMDSIM_ANY_CODE: of any
 * code) on `board` (QMDSIM_ANY_BOARD: on any board), or every such request when nth is 0. */
QMDSIM_API void qmdsim_fault_request(uint32_t board, uint32_t code, uint32_t nth, int32_t kind,
                                     uint8_t status);
/* The same, counting only requests whose bytes 4 to 7 (the EEPROM byte address) equal
 * `byte_address` (with QMDSIM_ANY_CODE: requests of any code with at least 8 bytes in). */
QMDSIM_API void qmdsim_fault_request_at(uint32_t board, uint32_t code, uint32_t byte_address,
                                        uint32_t nth, int32_t kind, uint8_t status);
/* Board counting answers `result` (-1 or -3) until set back to 0. */
QMDSIM_API void qmdsim_fault_enumeration(int32_t result);
/* Opening `board` fails at `step` (-3 to -7; 0 clears) until cleared. */
QMDSIM_API void qmdsim_fault_open(uint32_t board, int32_t step);
/* The `nth` close from now (1-based) fails; the handle stays open. 0 disarms. */
QMDSIM_API void qmdsim_fault_close(uint32_t nth);
/* Remove every injected fault. */
QMDSIM_API void qmdsim_fault_clear(void);

/* ---- request trace -------------------------------------------------------------------- */

#define QMDSIM_TRACE_COUNT 1
#define QMDSIM_TRACE_OPEN 2
#define QMDSIM_TRACE_CLOSE 3
#define QMDSIM_TRACE_IOCTL 4
#define QMDSIM_TRACE_READ 5
#define QMDSIM_TRACE_BYTES 1024u

typedef struct qmdsim_trace_entry {
    uint32_t kind;      /* QMDSIM_TRACE_* */
    uint32_t board;     /* board index; QMDSIM_ANY_BOARD when the handle is unknown */
    uint64_t handle;
    uint32_t code;      /* control code (ioctl) */
    uint32_t in_size;   /* bytes in (ioctl) / requested (read) */
    uint32_t out_size;  /* bytes out (ioctl) / delivered (read) */
    int32_t result;     /* ioctl, read, close: 1 ok, 0 failed; count: the count; open: code */
    uint8_t in[QMDSIM_TRACE_BYTES];  /* first in_size bytes as received */
    uint8_t out[QMDSIM_TRACE_BYTES]; /* first out_size bytes as answered (0 if failed) */
} qmdsim_trace_entry;

/* Start (capacity > 0: keep at most that many entries, oldest dropped) or stop tracing. */
QMDSIM_API void qmdsim_trace_enable(uint32_t capacity);
QMDSIM_API void qmdsim_trace_clear(void);
QMDSIM_API uint32_t qmdsim_trace_count(void);
/* 0 and *entry filled for i < count, else -1. */
QMDSIM_API int32_t qmdsim_trace_get(uint32_t i, qmdsim_trace_entry* entry);

/* ---- state file (Linux) ------------------------------------------------------------------ */

/* The boards can keep what a real board keeps when switched off (the EEPROM) and what a
 * user expects them to remember between programs (digital outputs and output memory,
 * potentiometers) in a state file. Nothing is kept until a state file is attached: test
 * programs that drive the simulator themselves stay hermetic. libQMD5820.so attaches the
 * default file (qmdsim_state_attach(NULL)) when its default backend is first used, so the
 * qmd5820 tool and every library program on the simulated board share one state.
 *
 * The default file: QMD5820_SIM_STATE when set (empty or "off": no state file), else
 * $XDG_STATE_HOME/qmd5820/sim-state, else $HOME/.local/state/qmd5820/sim-state.
 *
 * Every process using the file maps it, and every request runs under a lock kept in it:
 * the board first takes what other processes changed, then what the request changes is
 * in the file before any other process's request runs. Programs running at the same time
 * see each other's changes request by request, as programs sharing one real board do;
 * there is no later save that could fail or lose a change. Control calls on a board
 * (qmdsim_eeprom_set, qmdsim_digital_outputs, ...) see and keep the state the same way.
 * The first 16 boards are kept.
 *
 * A path that names anything but a regular file (a device, FIFO, directory, socket), or
 * a file that is not a state file of this format, is never opened for writing nor
 * replaced: attaching fails with what to do on stderr, and every request fails until the
 * state file is detached or another one attached. A state file whose header or an entry
 * is damaged is reported on stderr and replaced by (or that entry read as) the factory
 * state. Beside the file, "<path>.lock" serialises making and removing it. qmdsim_reset
 * detaches the state file. A program that wants the default file before its first
 * library call (a `sim reset` or `sim show` command) attaches it with
 * qmdsim_state_attach(NULL) first. */

/* The default file path (what attaching NULL uses), as snprintf: returns its length and
 * copies at most size - 1 characters plus the terminator. 0 when the default is "none". */
QMDSIM_API uint32_t qmdsim_state_default_path(char* path, uint32_t size);
/* Attach a state file (NULL: the default; made when missing): the boards take its state.
 * 0 attached, 1 no state file wanted (empty path, or the default is "none"), -1 the file
 * cannot be used (message on stderr; requests fail until a detach or another attach). */
QMDSIM_API int32_t qmdsim_state_attach(const char* path);
/* Stop keeping state (the boards keep their current state). */
QMDSIM_API void qmdsim_state_detach(void);
/* Write the file through to the disk: 0 done (or nothing attached), -1 failed or the
 * attached file cannot be used. */
QMDSIM_API int32_t qmdsim_state_flush(void);
/* The attached file's path (also one that could not be used) as snprintf; 0 and "" when
 * none is attached. */
QMDSIM_API uint32_t qmdsim_state_path(char* path, uint32_t size);
/* Back to the factory state: the EEPROM, outputs and potentiometers of every board, and
 * the file and its lock file removed (only a state file is removed, of any format).
 * 0 done, -1 nothing attached or the file cannot be reset, -2 another process has the
 * file mapped (it uses the boards): nothing changed. */
QMDSIM_API int32_t qmdsim_state_reset(void);
/* The same even while other processes use the boards: they see the factory state at their
 * next request, and the file stays (they share it). */
QMDSIM_API int32_t qmdsim_state_force_reset(void);
/* A readable description of what the attached file holds (path, per board: outputs,
 * potentiometers not at 128, EEPROM words that differ from the factory image). Returns
 * its length as snprintf, -1 when no file is attached or it cannot be used. */
QMDSIM_API int32_t qmdsim_state_describe(char* text, uint32_t size);
/* Number of requests and control calls of this process that changed the state file. */
QMDSIM_API uint32_t qmdsim_state_saves(void);

/* ---- time ------------------------------------------------------------------------------ */

/* Real time (the default) or a virtual clock: a sleep advances virtual time at once, a
 * sleep of 0 ms by 1 ms. Switching the virtual clock on starts it at 0 us (calendar
 * second 1800000000); qmdsim_advance_us moves only the virtual clock. */
QMDSIM_API void qmdsim_set_virtual_clock(int32_t on);
QMDSIM_API uint64_t qmdsim_now_us(void);
QMDSIM_API void qmdsim_advance_us(uint64_t us);

#ifdef __cplusplus
}
#endif

#endif /* QMD5820SIM_H */
