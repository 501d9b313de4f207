// The board library's vocabulary of failures: for each recording function, the message
// of each of its result codes. Constant data; row -1 is common to every listed function
// and is supplied by the lookup.
#include "core/catalogue.h"

#include <cstring>

namespace qmd {
namespace {

// Messages shared by several functions.
constexpr const char* kIoctlFailed =
    "An error occurred while calling the IOCTL function";
constexpr const char* kChannel0To7 =
    "The b_Channel parameter is wrong (value should be between 0 and 7)";
constexpr const char* kEepromUnreadable =
    "Unable to read the board's EEPROM";
constexpr const char* kChannel0To15 =
    "The b_Channel parameter is wrong (value should be between 0 and 15)";
constexpr const char* kAcquisitionRunning =
    "An acquisition is already in progress";
constexpr const char* kInputNotInitialised =
    "The input must be initialized first (with i_QMD5820_Init1TransducerChannel)";
constexpr const char* kInputsNotInitialised =
    "All the inputs must be initialized first (with i_QMD5820_Init1TransducerChannel)";
constexpr const char* kListUnreadable =
    "Cannot read the list of available transducers";
constexpr const char* kIndexNotInDatabase =
    "The selected transducer index is not in the database";
constexpr const char* kChannelArrayInvalid =
    "A channel in the b_Channels array is invalid";
constexpr const char* kTransducerInitFailed =
    "Error while initializing a transducer (wrong channel or transducer index?)";
constexpr const char* kPositionZero =
    "The db_Position parameter is wrong (value should be different from 0.0)";
constexpr const char* kCalibrationRunning =
    "A calibration process is already in progress on this board";
constexpr const char* kShortCircuit =
    "A short circuit was detected on the primary line, try to rearm it first with i_QMD5820_RearmPrimaryLine";
constexpr const char* kNoCalibrationPoint =
    "Unable to find an acceptable calibration point, make sure that the transducer is correctly connected and try again with a different mechanical position";
constexpr const char* kNoCalibration =
    "No calibration process is in progress on this board";
constexpr const char* kCurrentSizeUnreadable =
    "Cannot read the current size";
constexpr const char* kNewSizeNotWritten =
    "Cannot write the new size";
constexpr const char* kFunctionalityCountUnreadable =
    "Cannot read the number of functionalites";
constexpr const char* kFunctionalityOffsetUnreadable =
    "Cannot read the functionality offset";
constexpr const char* kFunctionalityOffsetNotWritten =
    "Cannot write the new functionality offset";
constexpr const char* kFunctionalityUnreadable =
    "Cannot read the functionality";
constexpr const char* kTransducerOffsetUnreadable =
    "Cannot read the offset of the transducers";
constexpr const char* kHeaderSizeUnreadable =
    "Cannot read the header size";
constexpr const char* kHeaderSizeNotWritten =
    "Cannot write the new header size";
constexpr const char* kHeaderConfigurationUnreadable =
    "Cannot read the header configuration";
constexpr const char* kInputCountUnreadable =
    "Cannot read the number of inputs";
constexpr const char* kJumpSizeUnreadable =
    "Cannot read the current size to jump";
constexpr const char* kTableSizeUnreadable =
    "Cannot read the transducers header size";
constexpr const char* kTableSizeNotWritten =
    "Cannot write the new transducers header size";
constexpr const char* kTransducerCountUnreadable =
    "Cannot read the number of available transducers";
constexpr const char* kTransducerCountNotWritten =
    "Cannot write the new number of available transducers";
constexpr const char* kCurrentValueUnreadable =
    "Cannot read the current value";
constexpr const char* kCurrentValueNotCopied =
    "Cannot copy the current value";
constexpr const char* kCalibrationStateUnreadable =
    "Cannot read the calibration state";
constexpr const char* kCalibrationStateNotCleared =
    "Cannot clear the calibration state";

constexpr CatalogueRow kTriggerTransducerAcquisitionRows[] = {
    {-100, kIoctlFailed},
};
constexpr CatalogueRow kStopTransducerAcquisitionRows[] = {
    {-100, kIoctlFailed},
};
constexpr CatalogueRow kRearmPrimaryLineRows[] = {
    {-100, kIoctlFailed},
};
constexpr CatalogueRow kRead8DigitalInputsRows[] = {
    {-100, kIoctlFailed},
};
constexpr CatalogueRow kSet8DigitalOutputsOnRows[] = {
    {-100, kIoctlFailed},
};
constexpr CatalogueRow kSet8DigitalOutputsOffRows[] = {
    {-100, kIoctlFailed},
};
constexpr CatalogueRow kSetDigitalOutputMemoryOnRows[] = {
    {-100, kIoctlFailed},
};
constexpr CatalogueRow kSetDigitalOutputMemoryOffRows[] = {
    {-100, kIoctlFailed},
};
constexpr CatalogueRow kGet8DigitalOutputsStatusRows[] = {
    {-100, kIoctlFailed},
};
constexpr CatalogueRow kStopTimerRows[] = {
    {-100, kIoctlFailed},
};
constexpr CatalogueRow kTriggerTimerRows[] = {
    {-100, kIoctlFailed},
};
constexpr CatalogueRow kReadTimerStatusRows[] = {
    {-100, kIoctlFailed},
};
constexpr CatalogueRow kReadTimerValueRows[] = {
    {-100, kIoctlFailed},
};
constexpr CatalogueRow kLoadLogicCommandRows[] = {
    {-100, kIoctlFailed},
};
constexpr CatalogueRow kLoadLogicWriteRows[] = {
    {-100, kIoctlFailed},
};
constexpr CatalogueRow kLoadLogicReadRows[] = {
    {-100, kIoctlFailed},
};
constexpr CatalogueRow kGetLoadLogicStatusRows[] = {
    {-100, kIoctlFailed},
};
constexpr CatalogueRow kRead1DigitalInputRows[] = {
    {-2, kChannel0To7},
    {-100, kIoctlFailed},
};
constexpr CatalogueRow kSet1DigitalOutputOnRows[] = {
    {-2, kChannel0To7},
    {-100, kIoctlFailed},
};
constexpr CatalogueRow kSet1DigitalOutputOffRows[] = {
    {-2, kChannel0To7},
    {-100, kIoctlFailed},
};
constexpr CatalogueRow kGet1DigitalOutputStatusRows[] = {
    {-2, kChannel0To7},
    {-100, kIoctlFailed},
};
constexpr CatalogueRow kGetNumberOfTransducerChannelsRows[] = {
    {-2, kEepromUnreadable},
};
constexpr CatalogueRow kGetAvailableTransducerTypesRows[] = {
    {-2, kEepromUnreadable},
    {-3, "The indexes array is too small to contain all the available transducer types"},
};
constexpr CatalogueRow kInit1TransducerChannelRows[] = {
    {-2, kChannel0To15},
    {-3, kEepromUnreadable},
    {-50, kAcquisitionRunning},
};
constexpr CatalogueRow kRead1TransducerChannelRows[] = {
    {-2, kChannel0To15},
    {-3, kEepromUnreadable},
    {-4, kInputNotInitialised},
    {-50, kAcquisitionRunning},
    {-51, "A timeout occurred during the acquisition"},
    {-100, kIoctlFailed},
};
constexpr CatalogueRow kConvert1RawToMetricValueRows[] = {
    {-2, kChannel0To15},
    {-3, kInputNotInitialised},
};
constexpr CatalogueRow kReadMoreTransducerChannelsRows[] = {
    {-3, kEepromUnreadable},
    {-4, kInputsNotInitialised},
    {-50, kAcquisitionRunning},
    {-100, kIoctlFailed},
};
constexpr CatalogueRow kConvertMoreRawToMetricValuesRows[] = {
    {-3, kInputsNotInitialised},
};
constexpr CatalogueRow kTransducerDatabaseReadTransducerInfoRows[] = {
    {-2, kListUnreadable},
    {-3, kIndexNotInDatabase},
    {-4, "Cannot read the information of the selected transducer"},
    {-5, "Cannot read the calibration state of the selected transducer"},
};
constexpr CatalogueRow kInitAndStartAutoRefreshAcquisitionRows[] = {
    {-2, "The b_ChannelCount parameter is wrong (value should be between 1 and 16)"},
    {-3, kEepromUnreadable},
    {-4, kChannelArrayInvalid},
    {-5, kTransducerInitFailed},
    {-50, "Error while mapping memory for the autorefresh pointer"},
    {-100, kIoctlFailed},
};
constexpr CatalogueRow kInitAndStartTransducerSequenceRows[] = {
    {-2, "The dw_SequencesBeforeInterrupt parameter is wrong (value should be between 1 and 65535)"},
    {-3, "The b_SequenceSize parameter is wrong (value should be between 1 and 16)"},
    {-4, "The b_SoftTriggerMode parameter is wrong (value should be equal to 0 or equal to 1 or equal to 5)"},
    {-5, kEepromUnreadable},
    {-6, kChannelArrayInvalid},
    {-7, "b_SequenceSize * dw_SequencesBeforeInterrupt must be pair"},
    {-8, "The modes must be the same for software and external triggers (sequence or one shot)"},
    {-9, "An interrupt function must be registered (use i_QMD5820_SetBoardIntRoutine first)"},
    {-10, kTransducerInitFailed},
    {-100, kIoctlFailed},
};
constexpr CatalogueRow kReadSequenceDataRows[] = {
    {-2, "I/O error"},
};
constexpr CatalogueRow kSetConvertTimeDivisionFactorRows[] = {
    {-2, "The b_DivisionFactor parameter is wrong (value should be between 5 and 255)"},
    {-100, kIoctlFailed},
};
constexpr CatalogueRow kStartCalibrationRows[] = {
    {-2, "The b_FirstChannel parameter is wrong (value should be between 0 and 7)"},
    {-3, "The b_SecondChannel parameter is wrong (value should be equal to 0 or between 8 and 15)"},
    {-4, kPositionZero},
    {-5, kCalibrationRunning},
    {-6, kShortCircuit},
    {-14, "The transducer's frequency or selection type cannot be calibrated (the excitation table holds 1 to 64 points, at most about 3038 Hz)"},
    {-50, kNoCalibrationPoint},
};
constexpr CatalogueRow kNextCalibrationStepRows[] = {
    {-2, kNoCalibration},
    {-50, kNoCalibrationPoint},
};
constexpr CatalogueRow kBreakCalibrationRows[] = {
    {-2, kNoCalibration},
};
constexpr CatalogueRow kCalibrationBreakRows[] = {
    {-2, "Unable to write the transducer's configuration block back to the board's EEPROM"},
};
constexpr CatalogueRow kCalibrationStartRows[] = {
    {-2, "The b_Group0Channel parameter is wrong (value should be between 0 and 7)"},
    {-3, "The b_Group1Channel parameter is wrong (value should be equal to 0 or between 8 and 15)"},
    {-4, "The dw_Impedance parameter is wrong (value should be different from 0)"},
    {-5, kPositionZero},
    {-6, "The b_TransducerModel parameter is wrong (value should be equal to 0 or equal to 1)"},
    {-7, kCalibrationRunning},
    {-8, "The parameter b_TransducerIndex is wrong. The transducer is not in the database of the board"},
    {-9, "Error while reading the board EEPROM"},
};
constexpr CatalogueRow kTestPrimaryLineRows[] = {
    {-50, kAcquisitionRunning},
};
constexpr CatalogueRow kCalibratePrimaryLineTestRows[] = {
    {-2, kShortCircuit},
    {-50, kAcquisitionRunning},
};
constexpr CatalogueRow kEnableDisableShortCircuitInterruptsRows[] = {
    {-2, "The b_Enabled parameter is wrong (value should be equal to 1 or equal to 0)"},
    {-100, kIoctlFailed},
};
constexpr CatalogueRow kInitAndStartTimerRows[] = {
    {-2, "The b_TimeBase parameter is wrong (value should be between 0 and 2)"},
    {-3, "The b_InterruptEnabled parameter is wrong (value should be between 0 and 1)"},
    {-100, kIoctlFailed},
};
constexpr CatalogueRow kSetLabViewInterruptRows[] = {
    {-2, "An interrupt routine is already installed. Remove it with ResetBoardIntRoutine and retry"},
    {-3, "An error occurred while creating the kill event"},
    {-4, "An error occurred while creating the interrupt event"},
    {-5, "An error occurred while creating the interrupt thread"},
    {-6, "An error occurred while changing the priority of the thread"},
    {-7, "An error occurred while changing the priority of the interrupt thread"},
    {-8, kIoctlFailed},
};
constexpr CatalogueRow kResetLabViewInterruptRows[] = {
    {-2, "No interrupt routine was installed"},
};
constexpr CatalogueRow kTransducerDatabaseDeleteRows[] = {
    {-2, kListUnreadable},
    {-3, "The minimum number of transducer in the database is 1."},
    {-4, kIndexNotInDatabase},
    {-5, kCurrentSizeUnreadable},
    {-6, kNewSizeNotWritten},
    {-7, kFunctionalityCountUnreadable},
    {-8, kFunctionalityOffsetUnreadable},
    {-9, kFunctionalityOffsetNotWritten},
    {-10, kFunctionalityUnreadable},
    {-11, kTransducerOffsetUnreadable},
    {-12, kHeaderSizeUnreadable},
    {-13, kHeaderSizeNotWritten},
    {-14, kHeaderConfigurationUnreadable},
    {-15, kInputCountUnreadable},
    {-16, kJumpSizeUnreadable},
    {-17, kTableSizeUnreadable},
    {-18, kTableSizeNotWritten},
    {-19, kTransducerCountUnreadable},
    {-20, kTransducerCountNotWritten},
    {-21, "Cannot read the transducer type"},
    {-22, kCurrentValueUnreadable},
    {-23, kCurrentValueNotCopied},
    {-24, "Cannot fill with 0"},
    {-25, kCalibrationStateUnreadable},
    {-26, kCalibrationStateNotCleared},
    {-27, kCalibrationStateUnreadable},
    {-28, kCalibrationStateNotCleared},
    {-29, "Cannot read the default transducer type"},
    {-30, "No transducer remaining"},
    {-31, "Cannot write the new default transducer"},
    {-32, "Cannot restart the configuration"},
};
constexpr CatalogueRow kTransducerDatabaseAddRows[] = {
    {-2, kListUnreadable},
    {-3, "There is already 14 transducers in the database. Delete one using the function i_QMD5820_TransducerDatabaseDelete and retry"},
    {-4, "The transducer is already in the database"},
    {-5, "Cannot find a new type for the transducer"},
    {-6, kCurrentSizeUnreadable},
    {-7, kNewSizeNotWritten},
    {-8, kFunctionalityCountUnreadable},
    {-9, kFunctionalityOffsetUnreadable},
    {-10, kFunctionalityOffsetNotWritten},
    {-11, kFunctionalityUnreadable},
    {-12, kTransducerOffsetUnreadable},
    {-13, kHeaderSizeUnreadable},
    {-14, kHeaderSizeNotWritten},
    {-15, kHeaderConfigurationUnreadable},
    {-16, kInputCountUnreadable},
    {-17, kJumpSizeUnreadable},
    {-18, kTableSizeUnreadable},
    {-19, kTableSizeNotWritten},
    {-20, kTransducerCountUnreadable},
    {-21, kTransducerCountNotWritten},
    {-22, kCurrentValueUnreadable},
    {-23, kCurrentValueNotCopied},
    {-24, "Cannot write the transducer information"},
    {-25, kCalibrationStateUnreadable},
    {-26, kCalibrationStateNotCleared},
    {-27, kCalibrationStateUnreadable},
    {-28, kCalibrationStateNotCleared},
    {-29, "Cannot read the current potis value"},
    {-30, "Cannot write the new potis value"},
    {-31, "Cannot write the new configuration"},
};

constexpr CatalogueEntry kCatalogue[] = {
    {"i_QMD5820_TriggerTransducerAcquisition", kTriggerTransducerAcquisitionRows},
    {"i_QMD5820_StopTransducerAcquisition", kStopTransducerAcquisitionRows},
    {"i_QMD5820_RearmPrimaryLine", kRearmPrimaryLineRows},
    {"i_QMD5820_Read8DigitalInputs", kRead8DigitalInputsRows},
    {"i_QMD5820_Set8DigitalOutputsOn", kSet8DigitalOutputsOnRows},
    {"i_QMD5820_Set8DigitalOutputsOff", kSet8DigitalOutputsOffRows},
    {"i_QMD5820_SetDigitalOutputMemoryOn", kSetDigitalOutputMemoryOnRows},
    {"i_QMD5820_SetDigitalOutputMemoryOff", kSetDigitalOutputMemoryOffRows},
    {"i_QMD5820_Get8DigitalOutputsStatus", kGet8DigitalOutputsStatusRows},
    {"i_QMD5820_StopTimer", kStopTimerRows},
    {"i_QMD5820_TriggerTimer", kTriggerTimerRows},
    {"i_QMD5820_ReadTimerStatus", kReadTimerStatusRows},
    {"i_QMD5820_ReadTimerValue", kReadTimerValueRows},
    {"i_QMD5820_LoadLogicCommand", kLoadLogicCommandRows},
    {"i_QMD5820_LoadLogicWrite", kLoadLogicWriteRows},
    {"i_QMD5820_LoadLogicRead", kLoadLogicReadRows},
    {"i_QMD5820_GetLoadLogicStatus", kGetLoadLogicStatusRows},
    {"i_QMD5820_Read1DigitalInput", kRead1DigitalInputRows},
    {"i_QMD5820_Set1DigitalOutputOn", kSet1DigitalOutputOnRows},
    {"i_QMD5820_Set1DigitalOutputOff", kSet1DigitalOutputOffRows},
    {"i_QMD5820_Get1DigitalOutputStatus", kGet1DigitalOutputStatusRows},
    {"i_QMD5820_GetNumberOfTransducerChannels", kGetNumberOfTransducerChannelsRows},
    {"i_QMD5820_CalibrationGetCurrentStatus", {}},
    {"i_QMD5820_CalibrationNextStep", {}},
    {"i_QMD5820_CalibrationBreak", kCalibrationBreakRows},
    {"i_QMD5820_GetAvailableTransducerTypes", kGetAvailableTransducerTypesRows},
    {"i_QMD5820_Init1TransducerChannel", kInit1TransducerChannelRows},
    {"i_QMD5820_Read1TransducerChannel", kRead1TransducerChannelRows},
    {"i_QMD5820_Convert1RawToMetricValue", kConvert1RawToMetricValueRows},
    {"i_QMD5820_ReadMoreTransducerChannels", kReadMoreTransducerChannelsRows},
    {"i_QMD5820_ConvertMoreRawToMetricValues", kConvertMoreRawToMetricValuesRows},
    {"i_QMD5820_TransducerDatabaseReadTransducerInfo", kTransducerDatabaseReadTransducerInfoRows},
    {"i_QMD5820_InitAndStartAutoRefreshAcquisition", kInitAndStartAutoRefreshAcquisitionRows},
    {"i_QMD5820_InitAndStartTransducerSequence", kInitAndStartTransducerSequenceRows},
    {"l_QMD5820_ReadSequenceData", kReadSequenceDataRows},
    {"i_QMD5820_SetConvertTimeDivisionFactor", kSetConvertTimeDivisionFactorRows},
    {"i_QMD5820_StartCalibration", kStartCalibrationRows},
    {"i_QMD5820_NextCalibrationStep", kNextCalibrationStepRows},
    {"i_QMD5820_BreakCalibration", kBreakCalibrationRows},
    {"i_QMD5820_CalibrationStart", kCalibrationStartRows},
    {"i_QMD5820_TestPrimaryLine", kTestPrimaryLineRows},
    {"i_QMD5820_CalibratePrimaryLineTest", kCalibratePrimaryLineTestRows},
    {"i_QMD5820_EnableDisableShortCircuitInterrupts", kEnableDisableShortCircuitInterruptsRows},
    {"i_QMD5820_InitAndStartTimer", kInitAndStartTimerRows},
    {"i_QMD5820_SetLabViewInterrupt", kSetLabViewInterruptRows},
    {"i_QMD5820_ResetLabViewInterrupt", kResetLabViewInterruptRows},
    {"i_QMD5820_TransducerDatabaseDelete", kTransducerDatabaseDeleteRows},
    {"i_QMD5820_TransducerDatabaseAdd", kTransducerDatabaseAddRows},
};

}  // namespace

std::span<const CatalogueEntry> Catalogue() { return kCatalogue; }

const char* CatalogueMessage(const char* function_name, int32_t code) {
    if (function_name == nullptr) return nullptr;
    for (const CatalogueEntry& entry : kCatalogue) {
        if (std::strcmp(entry.function_name, function_name) != 0) continue;
        if (code == -1) return kInvalidHandleMessage;
        for (const CatalogueRow& row : entry.rows) {
            if (row.code == code) return row.message;
        }
        return nullptr;
    }
    return nullptr;
}

}  // namespace qmd
