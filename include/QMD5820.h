/*
 * QMD5820.h - programming interface of the QMD5820 PCI measurement board for inductive
 * displacement transducers.
 *
 * Every function returns a code: 0 on success, a negative value on failure. Handle-taking
 * functions return -1 for a handle that no open board has (nothing is recorded then);
 * otherwise the function records its own name and code for the board, which
 * pc_QMD5820_GetLastError() turns into one line of text.
 *
 * Prefixes: i_ returns a signed 16-bit code, l_ a signed 32-bit value, pc_ a text.
 * Parameters: h_ handle, b_ 8 bits, w_ 16 bits, dw_ 32 bits, db_ double; a leading p
 * marks an output. A null output pointer is never written.
 *
 * Usable from C and C++. Calls on one board must be serialised by the caller.
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

/* A board handle: the driver file handle returned by the open functions. */
typedef uint64_t QMD5820_HANDLE;

/* Library version 2026.04.1.0. */
#define QMD5820_DLL_VERSION 0x07EA0426u

/* ---- boards -------------------------------------------------------------------------- */

QMD5820_API int16_t i_QMD5820_GetNumberOfBoards(uint8_t* pb_NumberOfBoards);
QMD5820_API int16_t i_QMD5820_OpenBoardViaIndex(uint8_t b_BoardIndex,
                                                QMD5820_HANDLE* ph_DeviceHandle);
QMD5820_API int16_t i_QMD5820_OpenBoardViaIdentifier(const char* pc_Identifier,
                                                     QMD5820_HANDLE* ph_DeviceHandle);
QMD5820_API int16_t i_QMD5820_CloseBoard(QMD5820_HANDLE h_DeviceHandle);

/* ---- identity and versions ------------------------------------------------------------- */

QMD5820_API int16_t i_QMD5820_GetBoardInformation(
    uint8_t b_BoardIndex, uint32_t dw_IdentifierSize, char* pc_Identifier,
    uint32_t* pdw_BoardValue1, uint32_t* pdw_BoardValue2, uint32_t* pdw_BoardValue3,
    uint32_t* pdw_BoardValue4, uint32_t* pdw_BoardValue5, uint32_t* pdw_BoardValue6,
    uint32_t* pdw_BoardValue7, uint8_t* pb_BoardValue8);
QMD5820_API int16_t i_QMD5820_GetDLLVersion(uint32_t* pdw_DLLVersion);
QMD5820_API int16_t i_QMD5820_GetDeviceDriverVersion(QMD5820_HANDLE h_DeviceHandle,
                                                     uint32_t* pdw_DriverVersion);
QMD5820_API int16_t i_QMD5820_GetFirmwareVersion(QMD5820_HANDLE h_DeviceHandle,
                                                 uint32_t* pdw_FirmwareVersion);
QMD5820_API int16_t i_QMD5820_GetBoardHardwareRevision(QMD5820_HANDLE h_DeviceHandle,
                                                       char* pc_HardwareRevision);
QMD5820_API int16_t i_QMD5820_GetBoardSerialNumber(QMD5820_HANDLE h_DeviceHandle,
                                                   uint32_t* pdw_SerialNumber);

/* ---- last error ------------------------------------------------------------------------- */

/* The board's last recorded result as "<function>: <message> (<code>)". The text stays
 * valid until the next call for the same board. */
QMD5820_API const char* pc_QMD5820_GetLastError(QMD5820_HANDLE h_DeviceHandle);

/* ---- interrupts ---------------------------------------------------------------------------- */

/* Called on the board's interrupt thread once per interrupt record; pdw_InterruptData
 * (32 values, dw_InterruptDataCount of them valid) is valid only during the call. The
 * routine may call the library for the same board and must return well within 100 ms. */
typedef void (*QMD5820_INTERRUPT_ROUTINE)(QMD5820_HANDLE h_DeviceHandle, uint8_t b_InterruptInfo,
                                          uint32_t dw_InterruptValue1,
                                          uint32_t dw_InterruptValue2,
                                          uint32_t* pdw_InterruptData,
                                          uint32_t dw_InterruptDataCount);

/* Installing raises the process to the real-time priority class (best effort outside
 * Windows). Neither function records its result. */
QMD5820_API int16_t i_QMD5820_SetBoardIntRoutine(QMD5820_HANDLE h_DeviceHandle,
                                                 QMD5820_INTERRUPT_ROUTINE p_InterruptRoutine);
QMD5820_API int16_t i_QMD5820_ResetBoardIntRoutine(QMD5820_HANDLE h_DeviceHandle);

/* LabVIEW: board interrupts posted as LabVIEW user events through the run-time's
 * PostLVUserEvent. SetLVRTModule names the run-time module to use (optional). */
QMD5820_API void SetLVRTModule(void* p_Module);
QMD5820_API int16_t i_QMD5820_SetLabViewInterrupt(QMD5820_HANDLE h_DeviceHandle,
                                                  uint32_t* pdw_UserEventRef);
QMD5820_API int16_t i_QMD5820_ResetLabViewInterrupt(QMD5820_HANDLE h_DeviceHandle);

/* ---- transducer database (up to 14 transducer types in the board EEPROM) ------------------ */

QMD5820_API int16_t i_QMD5820_GetAvailableTransducerTypes(QMD5820_HANDLE h_DeviceHandle,
                                                          uint8_t* pb_TransducerIndexes,
                                                          uint8_t b_ArraySize,
                                                          uint8_t* pb_TransducerCount);
QMD5820_API int16_t i_QMD5820_TransducerDatabaseReadTransducerInfo(
    QMD5820_HANDLE h_DeviceHandle, uint8_t b_TransducerIndex, double* pdb_Range,
    double* pdb_Sensitivity, double* pdb_Frequency, double* pdb_PrimaryVoltage,
    uint8_t* pb_CalibrationState);
QMD5820_API int16_t i_QMD5820_TransducerDatabaseAdd(QMD5820_HANDLE h_DeviceHandle,
                                                    uint8_t b_TransducerIndex, double db_Range,
                                                    double db_Sensitivity, double db_Frequency,
                                                    double db_PrimaryVoltage,
                                                    double db_Impedance);
QMD5820_API int16_t i_QMD5820_TransducerDatabaseDelete(QMD5820_HANDLE h_DeviceHandle,
                                                       uint8_t b_TransducerIndex);

/* ---- transducer channels (0 to 15) and metric values --------------------------------------- */

QMD5820_API int16_t i_QMD5820_GetNumberOfTransducerChannels(QMD5820_HANDLE h_DeviceHandle,
                                                            uint8_t* pb_NumberOfChannels);
/* db_Frequency 0.0 uses the transducer's own excitation frequency. */
QMD5820_API int16_t i_QMD5820_Init1TransducerChannel(QMD5820_HANDLE h_DeviceHandle,
                                                     uint8_t b_Channel, uint8_t b_TransducerIndex,
                                                     double db_Frequency);
QMD5820_API int16_t i_QMD5820_Read1TransducerChannel(QMD5820_HANDLE h_DeviceHandle,
                                                     uint8_t b_Channel, uint16_t* pw_RawValue);
QMD5820_API int16_t i_QMD5820_ReadMoreTransducerChannels(QMD5820_HANDLE h_DeviceHandle,
                                                         uint8_t b_ChannelCount,
                                                         const uint8_t* b_Channels,
                                                         uint16_t* pw_RawValues);
QMD5820_API int16_t i_QMD5820_Convert1RawToMetricValue(QMD5820_HANDLE h_DeviceHandle,
                                                       uint8_t b_Channel, uint16_t w_RawValue,
                                                       double* pdb_MetricValue);
QMD5820_API int16_t i_QMD5820_ConvertMoreRawToMetricValues(QMD5820_HANDLE h_DeviceHandle,
                                                           uint8_t b_ChannelCount,
                                                           const uint8_t* b_Channels,
                                                           const uint16_t* pw_RawValues,
                                                           double* pdb_MetricValues);

/* ---- acquisition ----------------------------------------------------------------------------- */

/* b_Channels and b_TransducerIndexes are always 16 bytes; the count says how many are used. */
QMD5820_API int16_t i_QMD5820_InitAndStartAutoRefreshAcquisition(
    QMD5820_HANDLE h_DeviceHandle, uint8_t b_ChannelCount, const uint8_t* b_Channels,
    const uint8_t* b_TransducerIndexes, uint64_t* pp_AutoRefreshData);
/* Needs an installed interrupt routine. dw_SequencesBeforeInterrupt is 16 bits wide. */
QMD5820_API int16_t i_QMD5820_InitAndStartTransducerSequence(
    QMD5820_HANDLE h_DeviceHandle, uint16_t dw_SequencesBeforeInterrupt,
    uint32_t dw_SequenceParameter1, uint8_t b_SequenceSize, const uint8_t* b_Channels,
    const uint8_t* b_TransducerIndexes, uint32_t dw_SequenceParameter2, uint8_t b_SoftTriggerMode,
    uint8_t b_ExternTriggerMode, uint32_t dw_SequenceParameter3);
/* The number of bytes read (possibly fewer than asked), or a negative code. */
QMD5820_API int32_t l_QMD5820_ReadSequenceData(QMD5820_HANDLE h_DeviceHandle,
                                               uint32_t dw_NumberOfBytes, uint8_t* pb_Buffer);
QMD5820_API int16_t i_QMD5820_TriggerTransducerAcquisition(QMD5820_HANDLE h_DeviceHandle);
QMD5820_API int16_t i_QMD5820_StopTransducerAcquisition(QMD5820_HANDLE h_DeviceHandle);
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
 *         calibration is in progress or a worker calibration runs; -6 a short circuit on the
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
 * @param db_Position       position for the position phases (metric unit), finite, not 0.0.
 * @param b_TransducerModel 0 or 1 (1: unity excitation, the first confirmation waits for
 *                          the transducer's zero).
 * @return 0 thread started; -1 unknown handle (not recorded); -2 `b_Group0Channel` above 7;
 *         -3 `b_Group1Channel` not 0 and not 8 to 15; -4 `dw_Impedance` is 0;
 *         -5 `db_Position` is 0.0 or not finite; -6 `b_TransducerModel` above 1;
 *         -7 a calibration (step by step or worker) is in progress; -8 the transducer is not
 *         in the database; -9 reading the EEPROM failed (or a corrupt selection type);
 *         -10 the thread could not be started.
 * A pending break request is cleared, also when the start fails.
 */
QMD5820_API int16_t i_QMD5820_CalibrationStart(QMD5820_HANDLE h_DeviceHandle,
                                               uint8_t b_TransducerIndex, uint8_t b_Group0Channel,
                                               uint8_t b_Group1Channel, uint32_t dw_Impedance,
                                               double db_Position, uint8_t b_TransducerModel);

/**
 * The worker's status: 0 idle; 1 primary line; 2 preparing; 3-6 group 0 open, symmetry,
 * first and second level; 7 waiting for the transducer's zero (model 1); 25 waiting for
 * the first confirmation; 8 excitation balance; 9 waiting before the positions; 10, 11
 * group 0 positions; 12-15 group 1 levels; 16 waiting before the group 1 positions; 17, 18
 * group 1 positions; 19 waiting before the threshold search; 20 threshold search;
 * 21 storing; 22 done (reported once, then 0); 23 failed.
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

/* Status bit 1: a short circuit is latched (until a rearm). The test takes 500 ms. */
QMD5820_API int16_t i_QMD5820_TestPrimaryLine(QMD5820_HANDLE h_DeviceHandle,
                                              uint8_t* pb_PrimaryLineStatus);
QMD5820_API int16_t i_QMD5820_RearmPrimaryLine(QMD5820_HANDLE h_DeviceHandle);
/* Adjusts the line test threshold (potentiometer 7); takes about a second. */
QMD5820_API int16_t i_QMD5820_CalibratePrimaryLineTest(QMD5820_HANDLE h_DeviceHandle);
QMD5820_API int16_t i_QMD5820_EnableDisableShortCircuitInterrupts(QMD5820_HANDLE h_DeviceHandle,
                                                                  uint8_t b_Enabled);

/* ---- digital inputs and outputs (channels 0 to 7) -------------------------------------- */

QMD5820_API int16_t i_QMD5820_Read1DigitalInput(QMD5820_HANDLE h_DeviceHandle, uint8_t b_Channel,
                                                uint8_t* pb_ChannelStatus);
QMD5820_API int16_t i_QMD5820_Read8DigitalInputs(QMD5820_HANDLE h_DeviceHandle,
                                                 uint8_t* pb_PortStatus);
QMD5820_API int16_t i_QMD5820_Set1DigitalOutputOn(QMD5820_HANDLE h_DeviceHandle,
                                                  uint8_t b_Channel);
QMD5820_API int16_t i_QMD5820_Set1DigitalOutputOff(QMD5820_HANDLE h_DeviceHandle,
                                                   uint8_t b_Channel);
QMD5820_API int16_t i_QMD5820_Set8DigitalOutputsOn(QMD5820_HANDLE h_DeviceHandle,
                                                   uint8_t b_OutputMask);
QMD5820_API int16_t i_QMD5820_Set8DigitalOutputsOff(QMD5820_HANDLE h_DeviceHandle,
                                                    uint8_t b_OutputMask);
QMD5820_API int16_t i_QMD5820_SetDigitalOutputMemoryOn(QMD5820_HANDLE h_DeviceHandle);
QMD5820_API int16_t i_QMD5820_SetDigitalOutputMemoryOff(QMD5820_HANDLE h_DeviceHandle);
QMD5820_API int16_t i_QMD5820_Get1DigitalOutputStatus(QMD5820_HANDLE h_DeviceHandle,
                                                      uint8_t b_Channel,
                                                      uint8_t* pb_ChannelStatus);
QMD5820_API int16_t i_QMD5820_Get8DigitalOutputsStatus(QMD5820_HANDLE h_DeviceHandle,
                                                       uint8_t* pb_PortStatus);

/* ---- timer ------------------------------------------------------------------------------- */

QMD5820_API int16_t i_QMD5820_InitAndStartTimer(QMD5820_HANDLE h_DeviceHandle, uint8_t b_TimeBase,
                                                uint16_t w_ReloadValue,
                                                uint8_t b_InterruptEnabled);
QMD5820_API int16_t i_QMD5820_StopTimer(QMD5820_HANDLE h_DeviceHandle);
QMD5820_API int16_t i_QMD5820_TriggerTimer(QMD5820_HANDLE h_DeviceHandle);
QMD5820_API int16_t i_QMD5820_ReadTimerStatus(QMD5820_HANDLE h_DeviceHandle,
                                              uint8_t* pb_StatusByte1, uint8_t* pb_StatusByte2,
                                              uint16_t* pw_StatusWord);
QMD5820_API int16_t i_QMD5820_ReadTimerValue(QMD5820_HANDLE h_DeviceHandle,
                                             uint16_t* pw_TimerValue);

/* ---- logic load channel ------------------------------------------------------------------ */

QMD5820_API int16_t i_QMD5820_LoadLogicCommand(QMD5820_HANDLE h_DeviceHandle, uint32_t dw_Command);
QMD5820_API int16_t i_QMD5820_LoadLogicWrite(QMD5820_HANDLE h_DeviceHandle, uint32_t dw_Data);
QMD5820_API int16_t i_QMD5820_LoadLogicRead(QMD5820_HANDLE h_DeviceHandle, uint32_t* pdw_Data);
QMD5820_API int16_t i_QMD5820_GetLoadLogicStatus(QMD5820_HANDLE h_DeviceHandle,
                                                 uint8_t* pb_Status);

#ifdef __cplusplus
}
#endif

#endif /* QMD5820_H */
