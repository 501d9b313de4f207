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
