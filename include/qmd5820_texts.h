/**
 * @file qmd5820_texts.h
 * @brief What the calibration worker's statuses and failure codes mean, and the checks of
 * transducer data and of a worker calibration position: one definition for the library,
 * the qmd5820 tool, the examples, the test panel and the Python package (which gets the
 * same tables and checks generated into qmd5820/_tables.py by scripts/gen_python_tables.py
 * from the lists below).
 *
 * Header-only, usable from C (C99 or later) and C++; it declares nothing the library
 * exports. The lists are X-macros: QMD5820_WORKER_STATUS_TEXTS(X) calls X(status, text),
 * QMD5820_WORKER_FAILURE_TEXTS(X) calls X(phase, twin phase, code, text) (the twin is the
 * same phase of the other channel group, or the phase itself), QMD5820_TRANSDUCER_FIELDS(X)
 * calls X(number, name, unit, exclusive minimum, inclusive maximum).
 *
 * Numbers in the texts are written as the shortest decimal that reads back as the same
 * double ("327.675", "1e-12"), in the "C" numeric locale (a program that calls setlocale()
 * with another decimal separator gets that one).
 */
#ifndef QMD5820_TEXTS_H
#define QMD5820_TEXTS_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "QMD5820.h"

#ifdef __cplusplus
extern "C" {
#endif

/** A numeric macro of QMD5820.h as text inside a string literal ("0.005"). */
#define QMD5820_TEXT_NUMBER(macro) QMD5820_TEXT_NUMBER_(macro)
#define QMD5820_TEXT_NUMBER_(value) #value

/* ---- worker statuses and failures ----------------------------------------------------------- */

/** X(status, text): what each worker status means. */
#define QMD5820_WORKER_STATUS_TEXTS(X)                                                            \
    X(QMD5820_WORKER_IDLE, "idle")                                                                \
    X(QMD5820_WORKER_PRIMARY_LINE, "checking the primary line")                                   \
    X(QMD5820_WORKER_PREPARE, "preparing the configuration block")                                \
    X(QMD5820_WORKER_GROUP0_OPEN, "group 0: opening the adjustment")                              \
    X(QMD5820_WORKER_GROUP0_SYMMETRY, "group 0: symmetry")                                        \
    X(QMD5820_WORKER_GROUP0_FIRST_LEVEL, "group 0: first level")                                  \
    X(QMD5820_WORKER_GROUP0_SECOND_LEVEL, "group 0: second level")                                \
    X(QMD5820_WORKER_AWAIT_ZERO, "waiting for the transducer at its zero")                        \
    X(QMD5820_WORKER_BALANCE, "excitation balance")                                               \
    X(QMD5820_WORKER_CONFIRM_POSITION, "waiting for the confirmation: transducer at the position") \
    X(QMD5820_WORKER_GROUP0_FIRST_POSITION, "group 0: first position")                            \
    X(QMD5820_WORKER_GROUP0_SECOND_POSITION, "group 0: second position")                          \
    X(QMD5820_WORKER_GROUP1_OPEN, "group 1: opening the adjustment")                              \
    X(QMD5820_WORKER_GROUP1_SYMMETRY, "group 1: symmetry")                                        \
    X(QMD5820_WORKER_GROUP1_FIRST_LEVEL, "group 1: first level")                                  \
    X(QMD5820_WORKER_GROUP1_SECOND_LEVEL, "group 1: second level")                                \
    X(QMD5820_WORKER_CONFIRM_GROUP1_POSITION,                                                     \
      "waiting for the confirmation: group 1's transducer at the position")                      \
    X(QMD5820_WORKER_GROUP1_FIRST_POSITION, "group 1: first position")                            \
    X(QMD5820_WORKER_GROUP1_SECOND_POSITION, "group 1: second position")                          \
    X(QMD5820_WORKER_CONFIRM_THRESHOLD,                                                           \
      "waiting for the confirmation before the threshold search")                                 \
    X(QMD5820_WORKER_THRESHOLD, "searching the threshold of the primary line test")               \
    X(QMD5820_WORKER_STORE, "storing the result")                                                 \
    X(QMD5820_WORKER_DONE, "done")                                                                \
    X(QMD5820_WORKER_FAILED, "failed")                                                            \
    X(QMD5820_WORKER_RESTORE, "restoring after a break")                                          \
    X(QMD5820_WORKER_CONFIRM_ZERO, "waiting for the confirmation: transducer at its zero")

#define QMD5820_SAMPLING_FAILED_TEXT_ \
    "sampling the live values failed (conversion counter request, or no refresh for 2 s)"

/**
 * X(phase, twin phase, code, text): what failure code `code` of a phase means. The phase
 * is the status the worker failed in; QMD5820_WORKER_RESTORE is the restore of
 * i_QMD5820_CalibrationBreak().
 */
#define QMD5820_WORKER_FAILURE_TEXTS(X)                                                           \
    X(QMD5820_WORKER_PRIMARY_LINE, QMD5820_WORKER_PRIMARY_LINE, 1,                                \
      "switching the primary line test on failed")                                                \
    X(QMD5820_WORKER_PRIMARY_LINE, QMD5820_WORKER_PRIMARY_LINE, 2,                                \
      "reading the primary line status failed")                                                   \
    X(QMD5820_WORKER_PRIMARY_LINE, QMD5820_WORKER_PRIMARY_LINE, 3,                                \
      "switching the primary line test off failed")                                               \
    X(QMD5820_WORKER_PRIMARY_LINE, QMD5820_WORKER_PRIMARY_LINE, 4,                                \
      "a short circuit on the primary line persists after a rearm")                               \
    X(QMD5820_WORKER_PREPARE, QMD5820_WORKER_PREPARE, 1,                                          \
      "reading or writing the transducer's configuration block failed")                           \
    X(QMD5820_WORKER_GROUP0_OPEN, QMD5820_WORKER_GROUP1_OPEN, 1,                                  \
      "the request that opens the adjustment failed")                                             \
    X(QMD5820_WORKER_GROUP0_OPEN, QMD5820_WORKER_GROUP1_OPEN, 2,                                  \
      "the request that starts the adjustment failed")                                            \
    X(QMD5820_WORKER_GROUP0_SYMMETRY, QMD5820_WORKER_GROUP1_SYMMETRY, 1,                          \
      "writing a potentiometer failed")                                                           \
    X(QMD5820_WORKER_GROUP0_SYMMETRY, QMD5820_WORKER_GROUP1_SYMMETRY, 10,                         \
      QMD5820_SAMPLING_FAILED_TEXT_)                                                              \
    X(QMD5820_WORKER_GROUP0_SYMMETRY, QMD5820_WORKER_GROUP1_SYMMETRY, QMD5820_WORKER_BEYOND_LIMIT, \
      "no symmetry setting within " QMD5820_TEXT_NUMBER(QMD5820_LEVEL_LIMIT)                      \
      " counts: check the transducer's connection")                                               \
    X(QMD5820_WORKER_GROUP0_FIRST_LEVEL, QMD5820_WORKER_GROUP1_FIRST_LEVEL, 1,                    \
      "writing a potentiometer failed")                                                           \
    X(QMD5820_WORKER_GROUP0_FIRST_LEVEL, QMD5820_WORKER_GROUP1_FIRST_LEVEL, 10,                   \
      QMD5820_SAMPLING_FAILED_TEXT_)                                                              \
    X(QMD5820_WORKER_GROUP0_FIRST_LEVEL, QMD5820_WORKER_GROUP1_FIRST_LEVEL,                       \
      QMD5820_WORKER_BEYOND_LIMIT,                                                                \
      "no first level setting within " QMD5820_TEXT_NUMBER(QMD5820_LEVEL_LIMIT)                   \
      " counts: check the transducer's connection")                                               \
    X(QMD5820_WORKER_GROUP0_SECOND_LEVEL, QMD5820_WORKER_GROUP1_SECOND_LEVEL, 1,                  \
      "writing a potentiometer failed")                                                           \
    X(QMD5820_WORKER_GROUP0_SECOND_LEVEL, QMD5820_WORKER_GROUP1_SECOND_LEVEL, 10,                 \
      "sampling the live values or the levels-adjusted request failed")                           \
    X(QMD5820_WORKER_GROUP0_SECOND_LEVEL, QMD5820_WORKER_GROUP1_SECOND_LEVEL,                     \
      QMD5820_WORKER_BEYOND_LIMIT,                                                                \
      "no second level setting within " QMD5820_TEXT_NUMBER(QMD5820_SECOND_LEVEL_LIMIT)           \
      " counts: check the transducer's connection")                                               \
    X(QMD5820_WORKER_CONFIRM_ZERO, QMD5820_WORKER_CONFIRM_ZERO, 1,                                \
      "writing the unity excitation table failed")                                                \
    X(QMD5820_WORKER_CONFIRM_ZERO, QMD5820_WORKER_CONFIRM_ZERO, 10, QMD5820_SAMPLING_FAILED_TEXT_) \
    X(QMD5820_WORKER_BALANCE, QMD5820_WORKER_BALANCE, 1,                                          \
      "writing a potentiometer or the excitation table failed")                                   \
    X(QMD5820_WORKER_BALANCE, QMD5820_WORKER_BALANCE, 10, QMD5820_SAMPLING_FAILED_TEXT_)          \
    X(QMD5820_WORKER_BALANCE, QMD5820_WORKER_BALANCE, QMD5820_WORKER_BEYOND_LIMIT,                \
      "the reading at the transducer's zero stayed more than "                                    \
      QMD5820_TEXT_NUMBER(QMD5820_BALANCE_LIMIT)                                                  \
      " off: was the transducer at its zero when it was confirmed?")                              \
    X(QMD5820_WORKER_GROUP0_FIRST_POSITION, QMD5820_WORKER_GROUP1_FIRST_POSITION, 1,              \
      "writing a potentiometer failed")                                                           \
    X(QMD5820_WORKER_GROUP0_FIRST_POSITION, QMD5820_WORKER_GROUP1_FIRST_POSITION, 10,             \
      QMD5820_SAMPLING_FAILED_TEXT_)                                                              \
    X(QMD5820_WORKER_GROUP0_SECOND_POSITION, QMD5820_WORKER_GROUP1_SECOND_POSITION, 1,            \
      "writing a potentiometer failed")                                                           \
    X(QMD5820_WORKER_GROUP0_SECOND_POSITION, QMD5820_WORKER_GROUP1_SECOND_POSITION, 10,           \
      QMD5820_SAMPLING_FAILED_TEXT_)                                                              \
    X(QMD5820_WORKER_GROUP0_SECOND_POSITION, QMD5820_WORKER_GROUP1_SECOND_POSITION,               \
      QMD5820_WORKER_BEYOND_LIMIT,                                                                \
      "the reading stayed more than " QMD5820_TEXT_NUMBER(QMD5820_POSITION_LIMIT)                 \
      " away from the position: was the transducer at the position when it was confirmed?")     \
    X(QMD5820_WORKER_THRESHOLD, QMD5820_WORKER_THRESHOLD, 1,                                      \
      "switching the primary line test failed")                                                   \
    X(QMD5820_WORKER_THRESHOLD, QMD5820_WORKER_THRESHOLD, 2,                                      \
      "writing the threshold potentiometer failed")                                               \
    X(QMD5820_WORKER_THRESHOLD, QMD5820_WORKER_THRESHOLD, 3,                                      \
      "reading the primary line status failed")                                                   \
    X(QMD5820_WORKER_THRESHOLD, QMD5820_WORKER_THRESHOLD, 5,                                      \
      "writing potentiometer 7 back failed")                                                      \
    X(QMD5820_WORKER_STORE, QMD5820_WORKER_STORE, 1, "writing the EEPROM failed")                 \
    X(QMD5820_WORKER_STORE, QMD5820_WORKER_STORE, 2, "reading the EEPROM failed")                 \
    X(QMD5820_WORKER_RESTORE, QMD5820_WORKER_RESTORE, 1, "the levels-adjusted request failed")    \
    X(QMD5820_WORKER_RESTORE, QMD5820_WORKER_RESTORE, 2, "the position-adjusted request failed")  \
    X(QMD5820_WORKER_RESTORE, QMD5820_WORKER_RESTORE, 3,                                          \
      "switching the primary line test off failed")                                               \
    X(QMD5820_WORKER_RESTORE, QMD5820_WORKER_RESTORE, 4,                                          \
      "writing the configuration block back failed (the break can be repeated)")                 \
    X(QMD5820_WORKER_RESTORE, QMD5820_WORKER_RESTORE, 5,                                          \
      "the restart-configuration request failed")

/** The text of a status no list names. */
#define QMD5820_UNKNOWN_STATUS_TEXT "unknown status"
/** The text of a (phase, code) no list names. */
#define QMD5820_UNKNOWN_FAILURE_TEXT "undocumented failure"

/** What worker status `status` means; QMD5820_UNKNOWN_STATUS_TEXT for any other value. */
static inline const char* qmd5820_worker_status_text(int32_t status) {
#define QMD5820_STATUS_CASE_(value, text) \
    case value:                           \
        return text;
    switch (status) {
        QMD5820_WORKER_STATUS_TEXTS(QMD5820_STATUS_CASE_)
        default:
            break;
    }
#undef QMD5820_STATUS_CASE_
    return QMD5820_UNKNOWN_STATUS_TEXT;
}

/**
 * What failure code `code` of phase `phase` means (the two status values after status
 * QMD5820_WORKER_FAILED); QMD5820_UNKNOWN_FAILURE_TEXT for a pair the worker never reports.
 */
static inline const char* qmd5820_worker_failure_text(int32_t phase, int32_t code) {
#define QMD5820_FAILURE_ROW_(first, twin, value, text) \
    if ((phase == (first) || phase == (twin)) && code == (value)) return text;
    QMD5820_WORKER_FAILURE_TEXTS(QMD5820_FAILURE_ROW_)
#undef QMD5820_FAILURE_ROW_
    return QMD5820_UNKNOWN_FAILURE_TEXT;
}

/* ---- numbers in texts ------------------------------------------------------------------------ */

/** Room for any number qmd5820_number_text() writes, with its terminator. */
#define QMD5820_NUMBER_TEXT_SIZE 32

/**
 * `value` with the fewest significant digits (at most 17) that read back as the same
 * double, in printf's %g style, but without an exponent from 1e-4 up to 1e17 ("30",
 * "327.675", "2147483647", "1e+306", "1e-12", "-0") and with two exponent digits at least;
 * "nan", "inf" and "-inf" for the others. `text` holds QMD5820_NUMBER_TEXT_SIZE characters.
 */
static inline void qmd5820_number_text(double value, char* text) {
    int digits;
    int exponent;
    char* e;
    if (value != value) {
        strcpy(text, "nan");
        return;
    }
    if (value - value != 0) {
        strcpy(text, value > 0 ? "inf" : "-inf");
        return;
    }
    for (digits = 1; digits < 17; ++digits) {
        snprintf(text, QMD5820_NUMBER_TEXT_SIZE, "%.*e", digits - 1, value);
        if (strtod(text, NULL) == value) break;
    }
    exponent = atoi(strchr(text, 'e') + 1);
    /* %g writes an exponent from `digits` on: widen to keep whole numbers below 1e17 whole. */
    if (exponent >= digits && exponent < 17) digits = exponent + 1;
    snprintf(text, QMD5820_NUMBER_TEXT_SIZE, "%.*g", digits, value);
    /* Some C runtimes write three exponent digits ("1e-012"): drop the leading zero. */
    e = strchr(text, 'e');
    if (e != NULL && e[2] == '0' && strlen(e + 2) > 2) memmove(e + 2, e + 3, strlen(e + 3) + 1);
}

/** Room for any problem text of the two checks below, with its terminator. */
#define QMD5820_PROBLEM_TEXT_SIZE 256

/* `whole` into `text` of `size` characters, cut to fit and terminated (nothing when 0). */
static inline void qmd5820_copy_text_(char* text, size_t size, const char* whole) {
    size_t length = strlen(whole);
    if (text == NULL || size == 0) return;
    if (length >= size) length = size - 1;
    memcpy(text, whole, length);
    text[length] = '\0';
}

/* ---- transducer data ------------------------------------------------------------------------- */

/**
 * X(number, name, unit, exclusive minimum, inclusive maximum): the transducer data a
 * database entry can hold, in the order of i_QMD5820_TransducerDatabaseAdd(). A value is
 * acceptable when it lies above the minimum and at most at the maximum (so never NaN or
 * infinite). Why these bounds:
 * - range 327.675 mm (65535 x QMD5820_POSITION_LIMIT): a raw count is 2 x range / 65535 of
 *   the reading, at most 0.01 here, so the acceptance window of a calibrated position
 *   (+-QMD5820_POSITION_LIMIT) always holds a reading the converter can give;
 * - sensitivity 1e306 mV/V/mm: the settings computation multiplies it with the range and
 *   the excitation amplitude; up to here the product stays finite;
 * - frequency 2147483647 Hz: the settings computation truncates it to a signed 32-bit
 *   integer, which larger values do not have;
 * - voltage above 1e-12 V: the whole attenuation (dB from the 4.64 V maximum amplitude
 *   down to the voltage) must fit the 8 bits of its field, up to 255 dB (253 at 1e-12);
 *   at most 30 V: above about 30.25 V the first gain computed for the board is below 0
 *   (truncated to 0 up to about 32.66 V, stored negative beyond), which is no
 *   potentiometer value;
 * - impedance 2147483.647 ohm: the settings computation takes it x 1000 as a signed
 *   32-bit integer.
 */
#define QMD5820_TRANSDUCER_FIELDS(X)                 \
    X(1, range, "mm", 0, 327.675)                    \
    X(2, sensitivity, "mV/V/mm", 0, 1e306)           \
    X(3, frequency, "Hz", 0, 2147483647)             \
    X(4, voltage, "V", 1e-12, 30)                    \
    X(5, impedance, "ohm", 0, 2147483.647)

/** The problem text: field name, minimum, maximum, unit, value. */
#define QMD5820_TRANSDUCER_PROBLEM_FORMAT "%s: expected a number above %s and at most %s %s, got %s"

/**
 * Checks transducer data as i_QMD5820_TransducerDatabaseAdd() takes it (range in mm,
 * sensitivity in mV/V/mm, frequency in Hz, primary voltage in V, impedance in ohm)
 * against QMD5820_TRANSDUCER_FIELDS. Returns 0 when every value is acceptable, otherwise
 * the number of the first field that is not (1 range to 5 impedance) and, when `text` is
 * not null and `size` not 0, writes what is wrong (cut to `size` with its terminator;
 * QMD5820_PROBLEM_TEXT_SIZE always holds it whole), for example
 * "range: expected a number above 0 and at most 327.675 mm, got -5".
 * The library itself does not refuse such values (its add has no code for them); the
 * tools check before they add, and report a database entry that fails as inconsistent.
 */
static inline int qmd5820_transducer_data_problem(double range_mm, double sensitivity,
                                                  double frequency_hz, double primary_voltage,
                                                  double impedance, char* text, size_t size) {
    const double values[5] = {range_mm, sensitivity, frequency_hz, primary_voltage, impedance};
    char low[QMD5820_NUMBER_TEXT_SIZE];
    char high[QMD5820_NUMBER_TEXT_SIZE];
    char got[QMD5820_NUMBER_TEXT_SIZE];
    char whole[QMD5820_PROBLEM_TEXT_SIZE];
#define QMD5820_FIELD_CHECK_(number, name, unit, minimum, maximum)                            \
    if (!(values[(number)-1] > (minimum) && values[(number)-1] <= (maximum))) {                 \
        qmd5820_number_text((minimum), low);                                                    \
        qmd5820_number_text((maximum), high);                                                   \
        qmd5820_number_text(values[(number)-1], got);                                           \
        snprintf(whole, sizeof whole, QMD5820_TRANSDUCER_PROBLEM_FORMAT, #name, low, high, unit, \
                 got);                                                                          \
        qmd5820_copy_text_(text, size, whole);                                                  \
        return (number);                                                                        \
    }
    QMD5820_TRANSDUCER_FIELDS(QMD5820_FIELD_CHECK_)
#undef QMD5820_FIELD_CHECK_
    qmd5820_copy_text_(text, size, "");
    return 0;
}

/* ---- worker calibration position ------------------------------------------------------------ */

/**
 * The worker calibrates a transducer type at a position P (`db_Position` of
 * i_QMD5820_CalibrationStart(), in the unit of the type's range R) from
 * max(R / QMD5820_POSITION_RANGE_DIVISOR, 2 x QMD5820_POSITION_LIMIT) to
 * R - 2 x QMD5820_POSITION_LIMIT:
 * - positive: the position phases adjust a gain, which scales a negative reading away
 *   from a negative position; no search can reach one;
 * - at least R / 128, that is 256 raw counts: the first position search steps an 8-bit
 *   potentiometer, about 1/128 of the gain per step at mid-scale, which then moves the
 *   reading at P by at least two counts (the averages are whole counts) and can be seen;
 * - at least 2 x QMD5820_POSITION_LIMIT: a transducer left at its zero (a confirmation
 *   without moving it) reads about 0, which stays out of the acceptance window of P
 *   (+-QMD5820_POSITION_LIMIT) with a margin of one limit for the zero's own error;
 * - at most R - 2 x QMD5820_POSITION_LIMIT: the reading clips at R, so a window reaching R
 *   would accept a clipped reading (any gain too high) as a match.
 * A range below 4 x QMD5820_POSITION_LIMIT (0.02) leaves no position.
 */
#define QMD5820_POSITION_RANGE_DIVISOR 128

/** The problem text of a position outside its bounds: from, to, range, position. */
#define QMD5820_POSITION_PROBLEM_FORMAT \
    "position: expected a number from %s to %s mm for a range of %s mm, got %s"
/** The problem text of a range that leaves no position: range, least range. */
#define QMD5820_POSITION_NO_ROOM_FORMAT \
    "position: a range of %s mm leaves no position to calibrate at (it needs at least %s mm)"

/**
 * Checks a worker calibration position for a transducer type of range `range_mm`. Returns
 * 0 when i_QMD5820_CalibrationStart() accepts it, 1 when the position is outside the bounds
 * above, 2 when the range leaves no position (not finite, or below 0.02 mm); when `text`
 * is not null and `size` not 0 it receives what is wrong (or an empty text).
 */
static inline int qmd5820_worker_position_problem(double position, double range_mm, char* text,
                                                  size_t size) {
    const double margin = 2 * QMD5820_POSITION_LIMIT;
    const double resolved = range_mm / QMD5820_POSITION_RANGE_DIVISOR;
    const double lowest = resolved > margin ? resolved : margin;
    const double highest = range_mm - margin;
    char a[QMD5820_NUMBER_TEXT_SIZE];
    char b[QMD5820_NUMBER_TEXT_SIZE];
    char c[QMD5820_NUMBER_TEXT_SIZE];
    char d[QMD5820_NUMBER_TEXT_SIZE];
    char whole[QMD5820_PROBLEM_TEXT_SIZE];
    if (!(range_mm - range_mm == 0 && lowest <= highest)) {
        qmd5820_number_text(range_mm, a);
        qmd5820_number_text(2 * margin, b);
        snprintf(whole, sizeof whole, QMD5820_POSITION_NO_ROOM_FORMAT, a, b);
        qmd5820_copy_text_(text, size, whole);
        return 2;
    }
    if (!(position >= lowest && position <= highest)) {
        qmd5820_number_text(lowest, a);
        qmd5820_number_text(highest, b);
        qmd5820_number_text(range_mm, c);
        qmd5820_number_text(position, d);
        snprintf(whole, sizeof whole, QMD5820_POSITION_PROBLEM_FORMAT, a, b, c, d);
        qmd5820_copy_text_(text, size, whole);
        return 1;
    }
    qmd5820_copy_text_(text, size, "");
    return 0;
}

#ifdef __cplusplus
}
#endif

#endif /* QMD5820_TEXTS_H */
