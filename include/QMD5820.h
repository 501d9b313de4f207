/**
 * @file QMD5820.h
 * @brief Programming interface of the QMD5820 PCI measurement board for inductive
 * displacement transducers (16 channels, primary line, digital I/O, timer, logic load,
 * EEPROM transducer database).
 *
 * @par Results
 * Every function returns a code: 0 on success, a negative value on failure. Handle-taking
 * functions return -1 for a handle that no open board has (nothing is recorded then);
 * otherwise the function records its own name and code for the board, which
 * pc_QMD5820_GetLastError() turns into one line of text. -100 means the driver request
 * itself failed; -s is the driver's status s. Functions marked "Records nothing" never
 * appear in the text.
 *
 * @par Names and units
 * Prefixes: i_ returns a signed 16-bit code, l_ a signed 32-bit value, pc_ a text.
 * Parameters: h_ handle, b_ 8 bits, w_ 16 bits, dw_ 32 bits, db_ double; a leading p
 * marks an output. A null output pointer is never written. Metric values are in the unit
 * of the transducer type's range (the unit its data sheet uses, e.g. mm); frequencies in
 * Hz, voltages in V, impedances in ohm.
 *
 * @par Threads
 * These are the library's thread rules, in one place:
 * - One board, one thread at a time: calls on one board (any function taking its handle,
 *   including the conversions and pc_QMD5820_GetLastError()) must not overlap. The caller
 *   serialises them; the library takes no lock.
 * - Different boards may be used from different threads at the same time.
 * - Opening, closing and enumerating (i_QMD5820_GetNumberOfBoards(), the two open
 *   functions, i_QMD5820_CloseBoard(), i_QMD5820_GetBoardInformation(), which opens and
 *   closes the board it reads, and i_QMD5820_OpenBoardViaIdentifier(), which does so for
 *   every board it scans) must not overlap with each other, nor with calls on a board
 *   being closed.
 * - i_QMD5820_GetDLLVersion() may be called from any thread at any time.
 * - The interrupt routine runs on the board's own interrupt thread. It may call the
 *   library for its board (read data, trigger, stop, switch outputs) provided no other
 *   thread is inside a call on that board at the same moment (let the other threads wait
 *   for the routine, e.g. on an event, instead of calling the library). It may remove
 *   its own installation (i_QMD5820_ResetBoardIntRoutine() or
 *   i_QMD5820_ResetLabViewInterrupt() for its board): that removal returns at once and the
 *   thread ends when the routine returns, releasing its events. It must not call
 *   i_QMD5820_CloseBoard() for its own board, and must return well within 100 ms: a
 *   removal from another thread waits that long for the thread to end.
 * - Do not close a board, initialise its channels or change its database while an
 *   acquisition runs on it.
 * - The text of pc_QMD5820_GetLastError() is overwritten by the next call for the board.
 *
 * @par Stricter than the board's reference behaviour
 * Board indexes of 30 and above are refused with -2; the identifier scan and the board
 * information release every open they take; identifiers are compared whole;
 * i_QMD5820_ReadMoreTransducerChannels() refuses a channel above 15 with -4;
 * l_QMD5820_ReadSequenceData() records 0 after a successful read; the database delete
 * cannot loop on an inconsistent EEPROM; removing an interrupt routine waits for the
 * thread (at most 100 ms) and never closes an event the thread can still use. Each
 * function's description names its own case.
 *
 * Usable from C and C++.
 */
#ifndef QMD5820_H
#define QMD5820_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define QMD5820_API
#else
#define QMD5820_API __attribute__((visibility("default")))
#endif

/** A board handle: the driver file handle returned by the open functions. */
typedef uint64_t QMD5820_HANDLE;

/** Library version 2026.04.1.0, as i_QMD5820_GetDLLVersion() returns it. */
#define QMD5820_DLL_VERSION 0x07EA0426u

/* ---- boards -------------------------------------------------------------------------- */

/**
 * @brief Counts the boards present (a new enumeration on every call).
 * @param[out] pb_NumberOfBoards number of boards, 0 to 255.
 * @retval 0 success (also with no board: the count is then 0).
 * @retval -1 the enumeration failed; the library's board count becomes 0.
 * @note Records nothing.
 */
QMD5820_API int16_t i_QMD5820_GetNumberOfBoards(uint8_t* pb_NumberOfBoards);

/**
 * @brief Opens board `b_BoardIndex` (0 = first in the driver's enumeration).
 * Opens are counted: opening an open board returns the same handle and counts one more open;
 * only the last i_QMD5820_CloseBoard() releases it.
 * @param b_BoardIndex board index, below the board count and below 30.
 * @param[out] ph_DeviceHandle the board's handle (written on success, on -7 and on -9).
 * @retval 0 success.
 * @retval -1 the enumeration failed.
 * @retval -2 no board has this index, or the index is 30 or above (stricter: refused before
 *         any board record is touched).
 * @retval -3 the device information set cannot be obtained.
 * @retval -4 no device interface has this index.
 * @retval -5 no memory for the interface details.
 * @retval -6 the interface details cannot be read.
 * @retval -7 the device cannot be opened (`*ph_DeviceHandle` = the invalid handle value).
 * @retval -9 the record counts opens but holds no handle (`*ph_DeviceHandle` = 0).
 * @note Records nothing (the failed open has no board to record in).
 */
QMD5820_API int16_t i_QMD5820_OpenBoardViaIndex(uint8_t b_BoardIndex,
                                                QMD5820_HANDLE* ph_DeviceHandle);

/**
 * @brief Opens the first board whose identifier equals `pc_Identifier` exactly
 * (case-sensitive; identifiers of 50 to 52 characters are compared whole, a prefix never
 * matches). The scan leaves exactly one more open on the matched board and none elsewhere.
 * @param pc_Identifier zero-terminated identifier, e.g. "QMD5820-DEMO-0".
 * @param[out] ph_DeviceHandle the board's handle on success.
 * @retval 0 success.
 * @retval -1 the enumeration failed.
 * @retval -2 a board's identifier cannot be read.
 * @retval -3 the matching board cannot be opened.
 * @retval -4 no board has this identifier (also for a null `pc_Identifier`).
 * @note Records nothing.
 */
QMD5820_API int16_t i_QMD5820_OpenBoardViaIdentifier(const char* pc_Identifier,
                                                     QMD5820_HANDLE* ph_DeviceHandle);

/**
 * @brief Releases one open of the board; the last one closes the driver handle. Does not
 * remove an interrupt routine (remove it first) and does not change the channels.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @retval 0 success.
 * @retval -1 closing the driver handle failed.
 * @retval -2 `h_DeviceHandle` is not an open board's handle.
 * @note Records nothing.
 */
QMD5820_API int16_t i_QMD5820_CloseBoard(QMD5820_HANDLE h_DeviceHandle);

/* ---- identity and versions ------------------------------------------------------------- */

/**
 * @brief Identity of board `b_BoardIndex` without an open board: opens it, reads the board
 * information and releases that open again (stricter: the open count is left as it was).
 * @param[out] pdw_BoardValue1 board value 1 (32 bits; its meaning is the driver's).
 * @param[out] pdw_BoardValue2 board value 2 (32 bits; its meaning is the driver's). Values 2
 *        and 3 are crossed: value 2 is the record's third value (offset 8), value 3 its
 *        second (offset 4).
 * @param[out] pdw_BoardValue3 board value 3 (32 bits; its meaning is the driver's).
 * @param[out] pdw_BoardValue4 board value 4 (32 bits; its meaning is the driver's).
 * @param[out] pdw_BoardValue5 board value 5 (32 bits; its meaning is the driver's).
 * @param[out] pdw_BoardValue6 board value 6 (32 bits; its meaning is the driver's).
 * @param[out] pdw_BoardValue7 board value 7 (32 bits; its meaning is the driver's).
 * @param b_BoardIndex board index.
 * @param dw_IdentifierSize size of `pc_Identifier` in bytes; at most `dw_IdentifierSize` - 1
 *        characters plus the terminator are copied (nothing when 0).
 * @param[out] pc_Identifier the identifier text.
 * @param[out] pb_BoardValue8 the 8-bit board value.
 * @retval 0 success.
 * @retval -1 the board cannot be opened (any open code).
 * @retval -2 the board information request failed.
 * @note Records nothing.
 */
QMD5820_API int16_t i_QMD5820_GetBoardInformation(
    uint8_t b_BoardIndex, uint32_t dw_IdentifierSize, char* pc_Identifier,
    uint32_t* pdw_BoardValue1, uint32_t* pdw_BoardValue2, uint32_t* pdw_BoardValue3,
    uint32_t* pdw_BoardValue4, uint32_t* pdw_BoardValue5, uint32_t* pdw_BoardValue6,
    uint32_t* pdw_BoardValue7, uint8_t* pb_BoardValue8);

/**
 * @brief The library version, #QMD5820_DLL_VERSION (0x07EA0426 = 2026.04.1.0). Needs no board.
 * @param[out] pdw_DLLVersion the version.
 * @retval 0 always.
 */
QMD5820_API int16_t i_QMD5820_GetDLLVersion(uint32_t* pdw_DLLVersion);

/**
 * @brief The kernel driver's version.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param[out] pdw_DriverVersion the version.
 * @retval 0 success.
 * @retval -1 the request failed (also for a handle the driver does not know).
 * @note Records nothing.
 */
QMD5820_API int16_t i_QMD5820_GetDeviceDriverVersion(QMD5820_HANDLE h_DeviceHandle,
                                                     uint32_t* pdw_DriverVersion);

/**
 * @brief The board firmware's version.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param[out] pdw_FirmwareVersion the version.
 * @retval 0 success.
 * @retval -1 the request failed (also for a handle the driver does not know).
 * @note Records nothing.
 */
QMD5820_API int16_t i_QMD5820_GetFirmwareVersion(QMD5820_HANDLE h_DeviceHandle,
                                                 uint32_t* pdw_FirmwareVersion);

/**
 * @brief The hardware revision letter, "A" to "P" (EEPROM word 128, bits 12 to 15).
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param[out] pc_HardwareRevision one character (not terminated).
 * @retval 0 success (recorded).
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -2 the EEPROM read failed (not recorded; nothing written).
 */
QMD5820_API int16_t i_QMD5820_GetBoardHardwareRevision(QMD5820_HANDLE h_DeviceHandle,
                                                       char* pc_HardwareRevision);

/**
 * @brief The serial number (EEPROM words 129, low half, and 130, high half).
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param[out] pdw_SerialNumber the serial number; a half whose read failed is 0.
 * @retval 0 success (recorded).
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -2 an EEPROM read failed (not recorded).
 */
QMD5820_API int16_t i_QMD5820_GetBoardSerialNumber(QMD5820_HANDLE h_DeviceHandle,
                                                   uint32_t* pdw_SerialNumber);

/* ---- last error ------------------------------------------------------------------------- */

/**
 * @brief The board's last recorded result as one line, "<function>: <message> (<code>)",
 * e.g. "i_QMD5820_Read1TransducerChannel: A timeout occurred during the acquisition (-51)".
 * A code 0 reads "No error."; a board without a recorded result gives "No error information is
 * available for this board."; an unknown handle gives "pc_QMD5820_GetLastError failed: The
 * h_DeviceHandle parameter is wrong (-1)". Functions documented as recording nothing never
 * appear in it.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @return a zero-terminated text: the board's buffer, the same address on every call, valid
 *         until the next call for the same board (copy it before calling again).
 * @note Never fails.
 */
QMD5820_API const char* pc_QMD5820_GetLastError(QMD5820_HANDLE h_DeviceHandle);

/* ---- interrupts ---------------------------------------------------------------------------- */

/**
 * @brief An interrupt routine, called on the board's interrupt thread once per interrupt
 * record. It may call the library for the same board under the rules of "Threads" above
 * and must return well within 100 ms.
 * @param h_DeviceHandle the board.
 * @param b_InterruptInfo the source: 1 sequence acquisition, 2 timer, 3 short circuit.
 * @param dw_InterruptValue1 sequence: sequences so far; timer: expirations so far; short
 *        circuit: the primary line status byte.
 * @param dw_InterruptValue2 sequence: bytes in the data stream; timer: the reload value.
 * The values are the driver's, passed through unchanged (as above on the simulated board).
 * @param pdw_InterruptData 32 values, valid only during the call.
 * @param dw_InterruptDataCount how many of them are valid.
 */
typedef void (*QMD5820_INTERRUPT_ROUTINE)(QMD5820_HANDLE h_DeviceHandle, uint8_t b_InterruptInfo,
                                          uint32_t dw_InterruptValue1,
                                          uint32_t dw_InterruptValue2,
                                          uint32_t* pdw_InterruptData,
                                          uint32_t dw_InterruptDataCount);

/**
 * @brief Installs `p_InterruptRoutine` and starts the board's interrupt thread, which calls it
 * once per interrupt record the driver queued (all queued records in one wake-up, in the
 * driver's order). Sources: sequence acquisition (info 1), timer (2), short circuit (3).
 * Raises the process to the real-time priority class and the thread to time-critical (on
 * Linux best effort: an unprivileged installation keeps its priorities and still succeeds).
 * A null routine is accepted: the first interrupt then ends the thread.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param p_InterruptRoutine the routine (see #QMD5820_INTERRUPT_ROUTINE), or null.
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -2 a routine is already installed on this board (the first one stays).
 * @retval -3 the kill event cannot be created.
 * @retval -4 the interrupt event cannot be created.
 * @retval -5 the interrupt thread cannot be created.
 * @retval -6 the process priority class cannot be raised.
 * @retval -7 the thread priority cannot be raised.
 * @retval -8 the driver refused the interrupt event.
 * @note Records nothing; on failure everything created so far is released again.
 */
QMD5820_API int16_t i_QMD5820_SetBoardIntRoutine(QMD5820_HANDLE h_DeviceHandle,
                                                 QMD5820_INTERRUPT_ROUTINE p_InterruptRoutine);

/**
 * @brief Removes the routine: ends the interrupt thread and waits for it (at most 100 ms,
 * stricter than a fixed sleep), then releases its events. Called from the routine itself,
 * it returns at once and the thread releases its events after the routine returns.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -2 no routine is installed.
 * @note Records nothing.
 */
QMD5820_API int16_t i_QMD5820_ResetBoardIntRoutine(QMD5820_HANDLE h_DeviceHandle);

/**
 * @brief Names the LabVIEW run-time module in which PostLVUserEvent is looked up (optional;
 * by default the run-time loaded in the process is found). No check, no result.
 * @param p_Module module handle of the LabVIEW run-time (lvrt.dll or lvffrt.dll).
 */
QMD5820_API void SetLVRTModule(void* p_Module);

/**
 * @brief Installs the library's own routine, which posts every interrupt record to the
 * LabVIEW user event `*pdw_UserEventRef` with PostLVUserEvent.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param pdw_UserEventRef the LabVIEW user event reference.
 * @return the codes of i_QMD5820_SetBoardIntRoutine(), recorded under this name (except -1).
 * @note Outside LabVIEW the first interrupt to be posted ends the process with a message.
 */
QMD5820_API int16_t i_QMD5820_SetLabViewInterrupt(QMD5820_HANDLE h_DeviceHandle,
                                                  uint32_t* pdw_UserEventRef);

/**
 * @brief Removes what i_QMD5820_SetLabViewInterrupt() installed.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @return the codes of i_QMD5820_ResetBoardIntRoutine(), recorded under this name (except -1).
 */
QMD5820_API int16_t i_QMD5820_ResetLabViewInterrupt(QMD5820_HANDLE h_DeviceHandle);

/* ---- transducer database (up to 14 transducer types in the board EEPROM) ------------------ */

/**
 * @brief The transducer indexes of the board's database, in table order.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param[out] pb_TransducerIndexes array of `b_ArraySize` bytes.
 * @param b_ArraySize entries available in `pb_TransducerIndexes` (14 are always enough).
 * @param[out] pb_TransducerCount number of transducer types in the database.
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -2 the EEPROM cannot be read.
 * @retval -3 more types than `b_ArraySize`: the first `b_ArraySize` indexes and the full
 *         count are delivered.
 * @note Records its name and result for pc_QMD5820_GetLastError().
 */
QMD5820_API int16_t i_QMD5820_GetAvailableTransducerTypes(QMD5820_HANDLE h_DeviceHandle,
                                                          uint8_t* pb_TransducerIndexes,
                                                          uint8_t b_ArraySize,
                                                          uint8_t* pb_TransducerCount);

/**
 * @brief The data of one transducer type.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param b_TransducerIndex the transducer index.
 * @param[out] pdb_Range measuring range, in the metric unit of the readings (full scale).
 * @param[out] pdb_Sensitivity sensitivity, mV/V per metric unit.
 * @param[out] pdb_Frequency excitation frequency, Hz.
 * @param[out] pdb_PrimaryVoltage excitation voltage, V.
 * @param[out] pb_CalibrationState bit 0 set: the type is calibrated.
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -2 the list of transducers cannot be read.
 * @retval -3 the index is not in the database.
 * @retval -4 the record cannot be read.
 * @retval -5 the calibration state cannot be read.
 * @note Records its name and result for pc_QMD5820_GetLastError().
 */
QMD5820_API int16_t i_QMD5820_TransducerDatabaseReadTransducerInfo(
    QMD5820_HANDLE h_DeviceHandle, uint8_t b_TransducerIndex, double* pdb_Range,
    double* pdb_Sensitivity, double* pdb_Frequency, double* pdb_PrimaryVoltage,
    uint8_t* pb_CalibrationState);

/**
 * @brief Adds a transducer type to the EEPROM database and writes its computed settings
 * (about 1000 EEPROM requests; do not use the board meanwhile).
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param b_TransducerIndex the new index.
 * @param db_Range measuring range (metric unit of the readings).
 * @param db_Sensitivity sensitivity, mV/V per metric unit.
 * @param db_Frequency excitation frequency, Hz.
 * @param db_PrimaryVoltage excitation voltage, V.
 * @param db_Impedance transducer impedance, ohm.
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -2 the list of transducers cannot be read.
 * @retval -3 the database already holds 14 types.
 * @retval -4 the index is already in the database.
 * @retval -5 no free slot (selection type) for the new type.
 * @retval -6..-31 the EEPROM step that failed, named by the last-error text; steps are not
 *         rolled back.
 * @note Records its name and result for pc_QMD5820_GetLastError().
 */
QMD5820_API int16_t i_QMD5820_TransducerDatabaseAdd(QMD5820_HANDLE h_DeviceHandle,
                                                    uint8_t b_TransducerIndex, double db_Range,
                                                    double db_Sensitivity, double db_Frequency,
                                                    double db_PrimaryVoltage,
                                                    double db_Impedance);

/**
 * @brief Deletes a transducer type and its settings from the EEPROM database. Prints one
 * diagnostic line on standard output.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param b_TransducerIndex transducer index in the board's database.
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -2 the list of transducers cannot be read.
 * @retval -3 the last transducer type cannot be deleted.
 * @retval -4 the index is not in the database.
 * @retval -5..-32 the EEPROM step that failed, named by the last-error text (-21 also when
 *         the record is not among the records the table counts: stricter, an inconsistent
 *         EEPROM never makes it loop).
 * @note Records its name and result for pc_QMD5820_GetLastError().
 */
QMD5820_API int16_t i_QMD5820_TransducerDatabaseDelete(QMD5820_HANDLE h_DeviceHandle,
                                                       uint8_t b_TransducerIndex);

/* ---- transducer channels (0 to 15) and metric values --------------------------------------- */

/**
 * @brief Number of transducer channels (16 on a QMD5820), from the EEPROM.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param[out] pb_NumberOfChannels number of channels.
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -2 the EEPROM cannot be read.
 * @note Records its name and result for pc_QMD5820_GetLastError().
 */
QMD5820_API int16_t i_QMD5820_GetNumberOfTransducerChannels(QMD5820_HANDLE h_DeviceHandle,
                                                            uint8_t* pb_NumberOfChannels);

/**
 * @brief Initialises a channel with a transducer type of the database; reads and conversions
 * of the channel then use that type's range. Refused while an acquisition runs.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param b_Channel channel 0 to 15.
 * @param b_TransducerIndex transducer index in the database.
 * @param db_Frequency excitation frequency in Hz; 0.0 uses the type's own frequency. The
 *        nearest of the board's 14 frequencies is used.
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -2 `b_Channel` above 15.
 * @retval -3 the transducer type is not in the database or cannot be read.
 * @retval -50 an acquisition is in progress.
 * @retval -100 the driver request failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError(). A failure leaves the previous initialisation.
 */
QMD5820_API int16_t i_QMD5820_Init1TransducerChannel(QMD5820_HANDLE h_DeviceHandle,
                                                     uint8_t b_Channel, uint8_t b_TransducerIndex,
                                                     double db_Frequency);

/**
 * @brief Reads the raw code of one channel: bit 15 the sign, bits 0-14 the magnitude,
 * 32767 = full scale (the range of the channel's transducer type).
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param b_Channel channel 0 to 15.
 * @param[out] pw_RawValue the code.
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -2 `b_Channel` above 15.
 * @retval -3 the board holds no configuration for the channel (driver status 3).
 * @retval -4 the channel was never initialised.
 * @retval -50 an acquisition is in progress.
 * @retval -51 a timeout occurred during the conversion.
 * @retval -100 the driver request failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError().
 */
QMD5820_API int16_t i_QMD5820_Read1TransducerChannel(QMD5820_HANDLE h_DeviceHandle,
                                                     uint8_t b_Channel, uint16_t* pw_RawValue);

/**
 * @brief Reads several channels in order, one request each.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param b_ChannelCount number of entries (0 reads nothing and returns 0).
 * @param b_Channels channel numbers.
 * @param[out] pw_RawValues one code per entry; at the first failing entry the reading stops:
 *        the values before it are delivered, the failing and later entries are not written.
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -3 the board holds no configuration for an entry's channel (driver status 3).
 * @retval -4 an entry's channel is not initialised, or (stricter) above 15.
 * @retval -50 an acquisition is in progress.
 * @retval -100 the driver request failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError().
 */
QMD5820_API int16_t i_QMD5820_ReadMoreTransducerChannels(QMD5820_HANDLE h_DeviceHandle,
                                                         uint8_t b_ChannelCount,
                                                         const uint8_t* b_Channels,
                                                         uint16_t* pw_RawValues);

/**
 * @brief Converts a raw code of a channel to its metric value: sign x range x magnitude /
 * 32767 (during an interactive calibration: offset binary, 0 = -range, 65535 = +range).
 * No driver request.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param b_Channel channel number.
 * @param w_RawValue raw code as read (bit 15 the sign, bits 0-14 the magnitude).
 * @param[out] pdb_MetricValue the value, in the metric unit of the transducer type's range.
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -2 `b_Channel` above 15.
 * @retval -3 the channel was never initialised.
 * @note Records its name and result for pc_QMD5820_GetLastError().
 */
QMD5820_API int16_t i_QMD5820_Convert1RawToMetricValue(QMD5820_HANDLE h_DeviceHandle,
                                                       uint8_t b_Channel, uint16_t w_RawValue,
                                                       double* pdb_MetricValue);

/**
 * @brief Converts several codes, entry i with channel `b_Channels[i]`. At the first failing
 * entry the conversion stops: the values before it are written, the rest are not.
 * Up to 255 entries per call, the same channel may appear many times (whole sequences of
 * acquisition data can be converted in one call).
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param b_ChannelCount number of entries in the arrays.
 * @param b_Channels channel numbers, one per entry.
 * @param pw_RawValues raw codes, one per entry.
 * @param[out] pdb_MetricValues metric values, one per entry.
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -2 an entry's channel is above 15.
 * @retval -3 an entry's channel is not initialised.
 * @note Records its name and result for pc_QMD5820_GetLastError().
 */
QMD5820_API int16_t i_QMD5820_ConvertMoreRawToMetricValues(QMD5820_HANDLE h_DeviceHandle,
                                                           uint8_t b_ChannelCount,
                                                           const uint8_t* b_Channels,
                                                           const uint16_t* pw_RawValues,
                                                           double* pdb_MetricValues);

/* ---- acquisition ----------------------------------------------------------------------------- */

/**
 * @brief Stops any acquisition, initialises the listed channels (each with its transducer
 * type, at its own frequency) and starts auto-refresh: the board keeps the latest code of each
 * listed channel, as 16-bit little-endian values in entry order, in memory mapped into the
 * process.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param b_ChannelCount 1 to 16 entries used.
 * @param b_Channels 16 bytes, channel numbers (the count says how many are used).
 * @param b_TransducerIndexes 16 bytes, transducer index per entry.
 * @param[out] pp_AutoRefreshData the address of the codes (8 bytes written on success only).
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -2 `b_ChannelCount` not 1 to 16 (above 16: refused before anything is done).
 * @retval -3 the EEPROM cannot be read.
 * @retval -4 a channel of the list is invalid.
 * @retval -5 initialising a channel failed (channels initialised before stay so; the previous
 *         acquisition has been stopped).
 * @retval -50 the memory cannot be mapped.
 * @retval -100 the driver request failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError().
 */
QMD5820_API int16_t i_QMD5820_InitAndStartAutoRefreshAcquisition(
    QMD5820_HANDLE h_DeviceHandle, uint8_t b_ChannelCount, const uint8_t* b_Channels,
    const uint8_t* b_TransducerIndexes, uint64_t* pp_AutoRefreshData);

/**
 * @brief Stops any acquisition, initialises the listed channels and starts a sequence
 * acquisition: one sequence = one code per listed channel, appended to the data stream that
 * l_QMD5820_ReadSequenceData() reads; a sequence interrupt (info 1) every
 * `dw_SequencesBeforeInterrupt` sequences. Needs an installed interrupt routine.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param dw_SequencesBeforeInterrupt 1 to 65535 (16 bits wide).
 * @param dw_SequenceParameter1 passed to the driver unchanged.
 * @param b_SequenceSize number of channels per sequence, 1 to 16.
 * @param b_Channels 16 bytes, channel numbers.
 * @param b_TransducerIndexes 16 bytes, transducer index per entry.
 * @param dw_SequenceParameter2 passed to the driver unchanged.
 * @param b_SoftTriggerMode 0: run at once; 1: run from the first software trigger; 5: one
 *        block of `dw_SequencesBeforeInterrupt` sequences per trigger.
 * @param b_ExternTriggerMode must be of the same kind as the soft mode (5 one shot, others sequence).
 * @param dw_SequenceParameter3 passed to the driver unchanged.
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -2 `dw_SequencesBeforeInterrupt` is 0.
 * @retval -3 `b_SequenceSize` not 1 to 16 (above 16: refused before anything is done).
 * @retval -4 `b_SoftTriggerMode` is not 0, 1 or 5.
 * @retval -5 the EEPROM cannot be read.
 * @retval -6 a channel of the list is invalid.
 * @retval -7 `b_SequenceSize` x `dw_SequencesBeforeInterrupt` is odd.
 * @retval -8 the trigger modes differ in kind.
 * @retval -9 no interrupt routine is installed (a running acquisition keeps running).
 * @retval -10 initialising a channel failed.
 * @retval -100 the driver request failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError().
 */
QMD5820_API int16_t i_QMD5820_InitAndStartTransducerSequence(
    QMD5820_HANDLE h_DeviceHandle, uint16_t dw_SequencesBeforeInterrupt,
    uint32_t dw_SequenceParameter1, uint8_t b_SequenceSize, const uint8_t* b_Channels,
    const uint8_t* b_TransducerIndexes, uint32_t dw_SequenceParameter2, uint8_t b_SoftTriggerMode,
    uint8_t b_ExternTriggerMode, uint32_t dw_SequenceParameter3);

/**
 * @brief Reads acquired sequence data: codes of 16 bits, little-endian, sequence after
 * sequence, in the order of the channel list. Returns what is waiting, at most
 * `dw_NumberOfBytes` (possibly 0).
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param dw_NumberOfBytes bytes wanted (0 reads nothing).
 * @param[out] pb_Buffer at least `dw_NumberOfBytes` bytes.
 * @return the number of bytes read (0 or more), or:
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -2 the read failed.
 * @note Records 0 after a successful read (stricter: the text reads "No error."), -2 otherwise.
 */
QMD5820_API int32_t l_QMD5820_ReadSequenceData(QMD5820_HANDLE h_DeviceHandle,
                                               uint32_t dw_NumberOfBytes, uint8_t* pb_Buffer);

/**
 * @brief Software trigger of a sequence acquisition started with soft trigger mode 1 or 5.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -100 the driver request failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError().
 */
QMD5820_API int16_t i_QMD5820_TriggerTransducerAcquisition(QMD5820_HANDLE h_DeviceHandle);

/**
 * @brief Stops either acquisition mode; acquired sequence data stay readable.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @retval 0 success (also when nothing runs).
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -100 the driver request failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError().
 */
QMD5820_API int16_t i_QMD5820_StopTransducerAcquisition(QMD5820_HANDLE h_DeviceHandle);

/**
 * @brief Sets the conversion time division factor.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param b_DivisionFactor 5 to 255.
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -2 `b_DivisionFactor` below 5.
 * @retval -100 the driver request failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError().
 */
QMD5820_API int16_t i_QMD5820_SetConvertTimeDivisionFactor(QMD5820_HANDLE h_DeviceHandle,
                                                           uint8_t b_DivisionFactor);

/* ---- calibration, step by step ---------------------------------------------------------- */

/**
 * Starts the step-by-step calibration of transducer type `b_TransducerIndex` and runs its
 * first step (the three level adjustments of group 0).
 *
 * The transducer is connected to `b_FirstChannel` (group 0) and, if `b_SecondChannel` is
 * not 0, also to that channel (group 1). The function initialises both channels, tests the
 * primary line (one rearm if a short circuit is latched), saves the 32 potentiometers and
 * the excitation table (restored by i_QMD5820_BreakCalibration), sets every potentiometer
 * to 128, writes the start excitation table, waits 2.5 s and runs step 1. The transducer's
 * data (selection type, frequency) are those of `b_FirstChannel`, and the raw averages are
 * converted on that channel.
 *
 * @param h_DeviceHandle   handle of an open board.
 * @param b_TransducerIndex transducer type of the board's database.
 * @param b_FirstChannel   group 0 channel, 0 to 7.
 * @param b_SecondChannel  group 1 channel, 8 to 15, or 0 for none (taken as 0 on a board
 *                         with fewer than 9 channels).
 * @param db_Position      mechanical position of the transducer for the position steps,
 *                         in the transducer's metric unit; not 0.0.
 * @param pp_CalibrationValues receives, on 0 and -50, the address where the driver exposes
 *                         the two live 32-bit raw values; untouched otherwise.
 * @return 0 step 1 done; -1 unknown handle (not recorded); -2 `b_FirstChannel` above 7 or
 *         not below the number of channels; -3 `b_SecondChannel` not 0 and not 8 to 15, or
 *         not below the number of channels; -4 `db_Position` is 0.0; -5 a step-by-step
 *         calibration is in progress or being started, or a worker calibration runs (the
 *         start takes the board before it touches it); -6 a short circuit on the
 *         primary line persists after one rearm; the code of i_QMD5820_TestPrimaryLine when
 *         the line test fails; -7 reading the number of channels failed; -8 initialising
 *         `b_FirstChannel` failed; -9 initialising `b_SecondChannel` or reading a
 *         potentiometer failed; -10 writing a potentiometer failed; -11 reading the
 *         excitation table failed; -12 writing the start table failed; -13 step 1 failed;
 *         -14 the transducer's frequency needs more than 64 excitation points (at most
 *         about 3038 Hz), or fewer than 1, or its selection type is not 2 to 15;
 *         -50 step 1 found no acceptable setting (move the transducer, call
 *         i_QMD5820_NextCalibrationStep again, or break).
 * Blocks the calling thread for several seconds. Calls for one board must not overlap.
 */
QMD5820_API int16_t i_QMD5820_StartCalibration(QMD5820_HANDLE h_DeviceHandle,
                                               uint8_t b_TransducerIndex, uint8_t b_FirstChannel,
                                               uint8_t b_SecondChannel, double db_Position,
                                               uint64_t* pp_CalibrationValues);

/**
 * Runs the next step of the step-by-step calibration: the balance of the excitation (the
 * transducer at its zero), the two position adjustments (the transducer at `db_Position`),
 * the level adjustments of group 1, and after the last group the store into the EEPROM.
 *
 * @param h_DeviceHandle handle of an open board.
 * @return 0 the step succeeded (after the last step: the result is stored and the
 *         transducer marked as calibrated); -1 unknown handle (not recorded); -2 no
 *         calibration in progress; -50 no acceptable setting (a level or balance step may be
 *         repeated; after a position step only a break is possible);
 *         level steps: -11 opening the adjustment, -12 to -14 the first to third adjustment,
 *         -15 the levels request failed;
 *         balance step: -1 table write, -2 sampling (counter request or 2 s time-out),
 *         -3 conversion, -4 final table write (the procedure goes on with the positions);
 *         position steps: -1 potentiometer write, -2/-3 sampling (counter request before or
 *         during the wait, -3 also for the 2 s time-out), -4 conversion, -5 final write
 *         (after the last group nothing is stored and only a break is possible);
 *         store: -1 reading, -2 reading the excitation table (or more than 64 points),
 *         -3 writing, -4 reading back the block, -5 read-back differs, -6 default
 *         transducer word, -7/-8 first calibration state word read/write, -9/-10 second.
 * Blocks the calling thread for several seconds.
 */
QMD5820_API int16_t i_QMD5820_NextCalibrationStep(QMD5820_HANDLE h_DeviceHandle);

/**
 * Abandons the step-by-step calibration: restores the saved potentiometers (all but 4, 5,
 * 10 and 11, which stay at 128) and the saved excitation table, closes the adjustment.
 *
 * @param h_DeviceHandle handle of an open board.
 * @return 0 done; -1 unknown handle (not recorded); -2 no calibration in progress;
 *         -3 restoring a potentiometer failed; -4 restoring the table failed (for -3 and -4
 *         the procedure stays in progress, so the break can be repeated).
 */
QMD5820_API int16_t i_QMD5820_BreakCalibration(QMD5820_HANDLE h_DeviceHandle);

/* ---- calibration by the worker thread ------------------------------------------------------ */

/**
 * The worker's statuses, as i_QMD5820_CalibrationGetCurrentStatus() reports them. After a
 * failure (QMD5820_WORKER_FAILED) the first status value is the status the worker failed
 * in (the failed phase), or QMD5820_WORKER_RESTORE for the break's restore, and the second
 * its failure code. qmd5820_texts.h gives a text for each status and failure.
 */
enum qmd5820_worker_status {
    QMD5820_WORKER_IDLE = 0,                    /**< never started, broken, or completion reported */
    QMD5820_WORKER_PRIMARY_LINE = 1,            /**< checking the primary line */
    QMD5820_WORKER_PREPARE = 2,                 /**< preparing the configuration block (set by a successful start) */
    QMD5820_WORKER_GROUP0_OPEN = 3,             /**< group 0: opening the adjustment */
    QMD5820_WORKER_GROUP0_SYMMETRY = 4,         /**< group 0: symmetry */
    QMD5820_WORKER_GROUP0_FIRST_LEVEL = 5,      /**< group 0: first level */
    QMD5820_WORKER_GROUP0_SECOND_LEVEL = 6,     /**< group 0: second level */
    QMD5820_WORKER_AWAIT_ZERO = 7,              /**< before the first confirmation; model 1: the transducer is away from its zero */
    QMD5820_WORKER_BALANCE = 8,                 /**< excitation balance */
    QMD5820_WORKER_CONFIRM_POSITION = 9,        /**< waits for the confirmation: transducer at `db_Position` */
    QMD5820_WORKER_GROUP0_FIRST_POSITION = 10,  /**< group 0: first position */
    QMD5820_WORKER_GROUP0_SECOND_POSITION = 11, /**< group 0: second position */
    QMD5820_WORKER_GROUP1_OPEN = 12,            /**< group 1: opening the adjustment */
    QMD5820_WORKER_GROUP1_SYMMETRY = 13,        /**< group 1: symmetry */
    QMD5820_WORKER_GROUP1_FIRST_LEVEL = 14,     /**< group 1: first level */
    QMD5820_WORKER_GROUP1_SECOND_LEVEL = 15,    /**< group 1: second level */
    QMD5820_WORKER_CONFIRM_GROUP1_POSITION = 16, /**< waits for the confirmation: group 1's transducer at `db_Position` */
    QMD5820_WORKER_GROUP1_FIRST_POSITION = 17,  /**< group 1: first position */
    QMD5820_WORKER_GROUP1_SECOND_POSITION = 18, /**< group 1: second position */
    QMD5820_WORKER_CONFIRM_THRESHOLD = 19,      /**< waits for the confirmation before the threshold search */
    QMD5820_WORKER_THRESHOLD = 20,              /**< searching the threshold of the primary line test */
    QMD5820_WORKER_STORE = 21,                  /**< storing the result */
    QMD5820_WORKER_DONE = 22,                   /**< done; reported once, then QMD5820_WORKER_IDLE */
    QMD5820_WORKER_FAILED = 23,                 /**< failed: the status values are the phase and the code */
    QMD5820_WORKER_RESTORE = 24,                /**< failed phase only: the restore of i_QMD5820_CalibrationBreak() */
    QMD5820_WORKER_CONFIRM_ZERO = 25            /**< waits for the first confirmation: transducer at its zero */
};

/**
 * Failure code of a worker phase whose adjustment ended beyond its acceptance limit: the
 * symmetry and the first level more than QMD5820_LEVEL_LIMIT counts off, the second level
 * more than QMD5820_SECOND_LEVEL_LIMIT, the excitation balance (model 0) a converted
 * reading at the zero more than QMD5820_BALANCE_LIMIT off (or more than one count where
 * that is finer than a count), the second position phase of a group a converted reading
 * more than QMD5820_POSITION_LIMIT away from `db_Position`. Nothing is stored; a break
 * restores the configuration block.
 */
#define QMD5820_WORKER_BEYOND_LIMIT 50

/** Acceptance limits of both calibration procedures: symmetry and first level (raw counts). */
#define QMD5820_LEVEL_LIMIT 256
/** Second level (raw counts). */
#define QMD5820_SECOND_LEVEL_LIMIT 32
/** Excitation balance: the converted reading at the transducer's zero (metric unit). */
#define QMD5820_BALANCE_LIMIT 0.002
/** Position: the converted reading at `db_Position` (metric unit). */
#define QMD5820_POSITION_LIMIT 0.005

/**
 * Starts a worker thread that calibrates transducer type `b_TransducerIndex` on
 * `b_Group0Channel` and, if not 0, on `b_Group1Channel`. Poll the progress with
 * i_QMD5820_CalibrationGetCurrentStatus; confirm with i_QMD5820_CalibrationNextStep when
 * the status is 25 (transducer at its zero), 9 and 16 (transducer at `db_Position`) and 19
 * (before the search of the line test threshold).
 *
 * @param h_DeviceHandle    handle of an open board.
 * @param b_TransducerIndex transducer type of the board's database.
 * @param b_Group0Channel   group 0 channel, 0 to 7.
 * @param b_Group1Channel   group 1 channel, 8 to 15, or 0 for none.
 * @param dw_Impedance      transducer impedance in ohms, not 0.
 * @param db_Position       position for the position phases (metric unit): positive, from
 *                          max(R / 128, 0.01) to R - 0.01 for the type's range R
 *                          (qmd5820_worker_position_problem() in qmd5820_texts.h checks it
 *                          and says why).
 * @param b_TransducerModel 0 or 1 (1: unity excitation, the first confirmation waits for
 *                          the transducer's zero).
 * @return 0 thread started, the status is QMD5820_WORKER_PREPARE already; -1 unknown handle
 *         (not recorded); -2 `b_Group0Channel` above 7; -3 `b_Group1Channel` not 0 and not
 *         8 to 15; -4 `dw_Impedance` is 0; -5 `db_Position` is not a positive finite number
 *         (checked with the parameters), or outside the bounds for the type's range
 *         (checked after the type was read); -6 `b_TransducerModel` above 1; -7 a
 *         calibration (step by step or worker) is in progress or being started; -8 the
 *         transducer is not in the database; -9 reading the EEPROM failed (or a corrupt
 *         selection type); -10 the thread could not be started (the status keeps its value).
 * A pending break request is cleared, also when the start fails. Of two starts at the same
 * moment (of either procedure) only one runs; the other gets -7 (or -5 from
 * i_QMD5820_StartCalibration()).
 * Every adjustment phase whose search ends beyond the acceptance limit of the step-by-step
 * procedure fails with QMD5820_WORKER_BEYOND_LIMIT and stores nothing.
 */
QMD5820_API int16_t i_QMD5820_CalibrationStart(QMD5820_HANDLE h_DeviceHandle,
                                               uint8_t b_TransducerIndex, uint8_t b_Group0Channel,
                                               uint8_t b_Group1Channel, uint32_t dw_Impedance,
                                               double db_Position, uint8_t b_TransducerModel);

/**
 * The worker's status (enum qmd5820_worker_status): 0 idle; 1 primary line; 2 preparing;
 * 3-6 group 0 open, symmetry, first and second level; 7 waiting for the transducer's zero
 * (model 1); 25 waiting for the first confirmation; 8 excitation balance; 9 waiting before
 * the positions; 10, 11 group 0 positions; 12-15 group 1 levels; 16 waiting before the
 * group 1 positions; 17, 18 group 1 positions; 19 waiting before the threshold search;
 * 20 threshold search; 21 storing; 22 done (reported once, then 0); 23 failed.
 *
 * @param h_DeviceHandle        handle of an open board.
 * @param pdw_CalibrationStatus receives the status.
 * @param pdw_StatusValues      receives two values: for 23 the failed phase (24: the
 *                              break's restore) and the code; for 0, 1, 2 and 22 zeros;
 *                              otherwise the two live raw values (zeros before the first
 *                              adjustment was opened).
 * @return 0; -1 unknown handle (not recorded). May be called while the worker runs.
 */
QMD5820_API int16_t i_QMD5820_CalibrationGetCurrentStatus(QMD5820_HANDLE h_DeviceHandle,
                                                          int32_t* pdw_CalibrationStatus,
                                                          uint32_t* pdw_StatusValues);

/**
 * Confirms the position the worker waits for (statuses 25, 9, 16, 19). A confirmation
 * given early lets the next wait pass at once.
 *
 * @param h_DeviceHandle handle of an open board.
 * @return 0; -1 unknown handle (not recorded). May be called while the worker runs.
 */
QMD5820_API int16_t i_QMD5820_CalibrationNextStep(QMD5820_HANDLE h_DeviceHandle);

/**
 * Stops the worker (waiting in 10 ms steps until it has stopped), ends the adjustment and
 * writes the transducer's configuration block back as the run found it (only if that run
 * read it completely and neither completed nor was restored yet). Sets the status to 0.
 *
 * @param h_DeviceHandle handle of an open board.
 * @return 0; -1 unknown handle (not recorded); -2 the configuration block could not be
 *         written back (status 23, phase 24, code 4; the break may be repeated).
 */
QMD5820_API int16_t i_QMD5820_CalibrationBreak(QMD5820_HANDLE h_DeviceHandle);

/* ---- primary line ------------------------------------------------------------------------------ */

/**
 * @brief Tests the primary (excitation) line: switches the line test on, reads the status,
 * switches it off. Takes 500 ms.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param[out] pb_PrimaryLineStatus bit 1: a short circuit is latched (until a rearm); bit 0:
 *        the short-circuit detection responds under the test.
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -50 an acquisition is in progress.
 * @retval -100 the driver request failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError().
 */
QMD5820_API int16_t i_QMD5820_TestPrimaryLine(QMD5820_HANDLE h_DeviceHandle,
                                              uint8_t* pb_PrimaryLineStatus);

/**
 * @brief Clears a latched short circuit (it latches again while the short persists).
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -100 the driver request failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError().
 */
QMD5820_API int16_t i_QMD5820_RearmPrimaryLine(QMD5820_HANDLE h_DeviceHandle);

/**
 * @brief Adjusts the line test threshold (potentiometer 7) by a bitwise search under the
 * switched-on test; the value found stays in the board. Takes about a second.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -2 a short circuit is latched and one rearm did not clear it.
 * @retval -50 an acquisition is in progress.
 * @retval -100 a driver request (or a potentiometer write) failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError().
 */
QMD5820_API int16_t i_QMD5820_CalibratePrimaryLineTest(QMD5820_HANDLE h_DeviceHandle);

/**
 * @brief Switches the short-circuit interrupts (info 3) on or off.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param b_Enabled 1 on, 0 off.
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -2 `b_Enabled` is not 0 or 1.
 * @retval -100 the driver request failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError().
 */
QMD5820_API int16_t i_QMD5820_EnableDisableShortCircuitInterrupts(QMD5820_HANDLE h_DeviceHandle,
                                                                  uint8_t b_Enabled);

/* ---- digital inputs and outputs (channels 0 to 7) -------------------------------------- */

/**
 * @brief Reads one digital input.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param b_Channel channel 0 to 7.
 * @param[out] pb_ChannelStatus 0 or 1.
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -2 `b_Channel` above 7.
 * @retval -100 the driver request failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError().
 */
QMD5820_API int16_t i_QMD5820_Read1DigitalInput(QMD5820_HANDLE h_DeviceHandle, uint8_t b_Channel,
                                                uint8_t* pb_ChannelStatus);

/**
 * @brief Reads the 8 digital inputs.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param[out] pb_PortStatus bit n = input n.
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -100 the driver request failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError().
 */
QMD5820_API int16_t i_QMD5820_Read8DigitalInputs(QMD5820_HANDLE h_DeviceHandle,
                                                 uint8_t* pb_PortStatus);

/**
 * @brief Switches one digital output on; the others keep their state.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param b_Channel channel 0 to 7.
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -2 `b_Channel` above 7.
 * @retval -100 the driver request failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError().
 */
QMD5820_API int16_t i_QMD5820_Set1DigitalOutputOn(QMD5820_HANDLE h_DeviceHandle,
                                                  uint8_t b_Channel);

/**
 * @brief Switches one digital output off; the others keep their state.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param b_Channel channel 0 to 7.
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -2 `b_Channel` above 7.
 * @retval -100 the driver request failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError().
 */
QMD5820_API int16_t i_QMD5820_Set1DigitalOutputOff(QMD5820_HANDLE h_DeviceHandle,
                                                   uint8_t b_Channel);

/**
 * @brief Switches on the outputs whose bits are set in `b_OutputMask`; the others keep their state.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param b_OutputMask bit n selects output n.
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -100 the driver request failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError().
 */
QMD5820_API int16_t i_QMD5820_Set8DigitalOutputsOn(QMD5820_HANDLE h_DeviceHandle,
                                                   uint8_t b_OutputMask);

/**
 * @brief Switches off the outputs whose bits are set in `b_OutputMask`; the others keep their state.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param b_OutputMask bit n selects output n.
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -100 the driver request failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError().
 */
QMD5820_API int16_t i_QMD5820_Set8DigitalOutputsOff(QMD5820_HANDLE h_DeviceHandle,
                                                    uint8_t b_OutputMask);

/**
 * @brief Switches the board's digital output memory on (a board setting the driver applies).
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -100 the driver request failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError().
 */
QMD5820_API int16_t i_QMD5820_SetDigitalOutputMemoryOn(QMD5820_HANDLE h_DeviceHandle);

/**
 * @brief Switches the board's digital output memory off.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -100 the driver request failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError().
 */
QMD5820_API int16_t i_QMD5820_SetDigitalOutputMemoryOff(QMD5820_HANDLE h_DeviceHandle);

/**
 * @brief Reads the state of one digital output.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param b_Channel channel 0 to 7.
 * @param[out] pb_ChannelStatus 0 or 1.
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -2 `b_Channel` above 7.
 * @retval -100 the driver request failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError().
 */
QMD5820_API int16_t i_QMD5820_Get1DigitalOutputStatus(QMD5820_HANDLE h_DeviceHandle,
                                                      uint8_t b_Channel,
                                                      uint8_t* pb_ChannelStatus);

/**
 * @brief Reads the state of the 8 digital outputs.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param[out] pb_PortStatus bit n = output n.
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -100 the driver request failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError().
 */
QMD5820_API int16_t i_QMD5820_Get8DigitalOutputsStatus(QMD5820_HANDLE h_DeviceHandle,
                                                       uint8_t* pb_PortStatus);

/* ---- timer ------------------------------------------------------------------------------- */

/**
 * @brief Starts the timer: it counts `w_ReloadValue` down to 0 and reloads on the next tick (a period is `w_ReloadValue` + 1 ticks); with `b_InterruptEnabled` 1 a timer interrupt (info 2, value 1 the expirations so far, value 2 the reload value) comes every period.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param b_TimeBase 0: 1 us, 1: 1 ms, 2: 1 s per count.
 * @param w_ReloadValue 0 to 65535.
 * @param b_InterruptEnabled 0 or 1.
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -2 `b_TimeBase` above 2.
 * @retval -3 `b_InterruptEnabled` above 1.
 * @retval -100 the driver request failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError(). On failure no output is written.
 */
QMD5820_API int16_t i_QMD5820_InitAndStartTimer(QMD5820_HANDLE h_DeviceHandle, uint8_t b_TimeBase,
                                                uint16_t w_ReloadValue,
                                                uint8_t b_InterruptEnabled);

/**
 * @brief Stops the timer; it keeps its count.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -100 the driver request failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError(). On failure no output is written.
 */
QMD5820_API int16_t i_QMD5820_StopTimer(QMD5820_HANDLE h_DeviceHandle);

/**
 * @brief Reloads the timer's count (a running timer keeps running).
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -100 the driver request failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError(). On failure no output is written.
 */
QMD5820_API int16_t i_QMD5820_TriggerTimer(QMD5820_HANDLE h_DeviceHandle);

/**
 * @brief Reads the timer status.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param[out] pb_StatusByte1 status byte 1.
 * @param[out] pb_StatusByte2 status byte 2.
 * @param[out] pw_StatusWord status word.
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -100 the driver request failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError(). On failure no output is written.
 */
QMD5820_API int16_t i_QMD5820_ReadTimerStatus(QMD5820_HANDLE h_DeviceHandle,
                                              uint8_t* pb_StatusByte1, uint8_t* pb_StatusByte2,
                                              uint16_t* pw_StatusWord);

/**
 * @brief Reads the timer's current count.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param[out] pw_TimerValue the count.
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -100 the driver request failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError(). On failure no output is written.
 */
QMD5820_API int16_t i_QMD5820_ReadTimerValue(QMD5820_HANDLE h_DeviceHandle,
                                             uint16_t* pw_TimerValue);

/* ---- logic load channel ------------------------------------------------------------------ */

/**
 * @brief Sends a command to the logic load channel (1 begin a load, 2 end it, 3 rewind the read pointer).
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param dw_Command the command.
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -100 the driver request failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError(). On failure no output is written.
 */
QMD5820_API int16_t i_QMD5820_LoadLogicCommand(QMD5820_HANDLE h_DeviceHandle, uint32_t dw_Command);

/**
 * @brief Writes one word of logic data (while a load is open).
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param dw_Data the word.
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -100 the driver request failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError(). On failure no output is written.
 */
QMD5820_API int16_t i_QMD5820_LoadLogicWrite(QMD5820_HANDLE h_DeviceHandle, uint32_t dw_Data);

/**
 * @brief Reads back the next word of logic data.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param[out] pdw_Data the word.
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -100 the driver request failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError(). On failure no output is written.
 */
QMD5820_API int16_t i_QMD5820_LoadLogicRead(QMD5820_HANDLE h_DeviceHandle, uint32_t* pdw_Data);

/**
 * @brief Reads the logic load channel's status byte.
 * @param h_DeviceHandle the board's handle, from i_QMD5820_OpenBoardViaIndex() or i_QMD5820_OpenBoardViaIdentifier().
 * @param[out] pb_Status the status.
 * @retval 0 success.
 * @retval -1 `h_DeviceHandle` is not an open board's handle (nothing recorded).
 * @retval -100 the driver request failed.
 * @retval -s the driver answered status s.
 * @note Records its name and result for pc_QMD5820_GetLastError(). On failure no output is written.
 */
QMD5820_API int16_t i_QMD5820_GetLoadLogicStatus(QMD5820_HANDLE h_DeviceHandle,
                                                 uint8_t* pb_Status);

#ifdef __cplusplus
}
#endif

#endif /* QMD5820_H */
