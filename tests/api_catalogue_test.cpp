// The error catalogue and the last-error text.
#include <cstring>
#include <set>
#include <string>

#include "api_fixture.h"
#include "core/catalogue.h"

namespace qmdtest {
namespace {

using LastErrorText = ApiTest;

const std::string kFallback =
    "Internal or undocumented error, please contact Arcadia Measurement Systems "
    "(support@arcadia-measure.example)";

TEST_F(LastErrorText, BoardOpenedButNeverUsed) {
    const QMD5820_HANDLE handle = Open();
    EXPECT_EQ(LastError(handle), "No error information is available for this board.");
}

TEST_F(LastErrorText, ComposedFromTheRecordedPair) {
    const QMD5820_HANDLE handle = Open();
    struct Case {
        const char* name;
        int32_t code;
        std::string text;
    };
    const Case cases[] = {
        {"i_QMD5820_Read1TransducerChannel", -51,
         "i_QMD5820_Read1TransducerChannel: A timeout occurred during the acquisition (-51)"},
        {"i_QMD5820_TransducerDatabaseDelete", -32,
         "i_QMD5820_TransducerDatabaseDelete: Cannot restart the configuration (-32)"},
        {"i_QMD5820_TransducerDatabaseAdd", -32, "i_QMD5820_TransducerDatabaseAdd: " + kFallback + " (-32)"},
        {"i_QMD5820_TransducerDatabaseAdd", -8,
         "i_QMD5820_TransducerDatabaseAdd: Cannot read the number of functionalites (-8)"},
        {"i_QMD5820_TransducerDatabaseDelete", -7,
         "i_QMD5820_TransducerDatabaseDelete: Cannot read the number of functionalites (-7)"},
        {"i_QMD5820_ReadMoreTransducerChannels", -2,
         "i_QMD5820_ReadMoreTransducerChannels: " + kFallback + " (-2)"},
        {"l_QMD5820_ReadSequenceData", 4096, "l_QMD5820_ReadSequenceData: " + kFallback + " (4096)"},
        {"l_QMD5820_ReadSequenceData", -2, "l_QMD5820_ReadSequenceData: I/O error (-2)"},
        {"i_QMD5820_CalibrationBreak", -1,
         "i_QMD5820_CalibrationBreak: The h_DeviceHandle parameter is invalid (-1)"},
        {"i_QMD5820_CalibrationBreak", -3, "i_QMD5820_CalibrationBreak: " + kFallback + " (-3)"},
        {"i_QMD5820_GetBoardHardwareRevision", -2,
         "i_QMD5820_GetBoardHardwareRevision: " + kFallback + " (-2)"},
        {"i_QMD5820_GetBoardSerialNumber", 0, "i_QMD5820_GetBoardSerialNumber: No error. (0)"},
        {"i_QMD5820_SetLabViewInterrupt", -2,
         "i_QMD5820_SetLabViewInterrupt: An interrupt routine is already installed. Remove it "
         "with ResetBoardIntRoutine and retry (-2)"},
        {"i_QMD5820_InitAndStartTransducerSequence", -7,
         "i_QMD5820_InitAndStartTransducerSequence: b_SequenceSize * dw_SequencesBeforeInterrupt "
         "must be pair (-7)"},
        {"i_QMD5820_GetNumberOfTransducerChannels", -2,
         "i_QMD5820_GetNumberOfTransducerChannels: Unable to read the board's EEPROM (-2)"},
        {"i_QMD5820_Read8DigitalInputs", -200, "i_QMD5820_Read8DigitalInputs: " + kFallback + " (-200)"},
        {"i_QMD5820_Read8DigitalInputs", 0, "i_QMD5820_Read8DigitalInputs: No error. (0)"},
        {"i_QMD5820_InitAndStartTimer", -3,
         "i_QMD5820_InitAndStartTimer: The b_InterruptEnabled parameter is wrong (value should be "
         "between 0 and 1) (-3)"},
        {"not_a_function", -1, "not_a_function: " + kFallback + " (-1)"},
    };
    for (const Case& c : cases) {
        qmd::RecordResult(0, c.name, c.code);
        EXPECT_EQ(LastError(handle), c.text);
    }
}

TEST_F(LastErrorText, SameAddressEveryTime) {
    const QMD5820_HANDLE handle = Open();
    ASSERT_EQ(i_QMD5820_StopTimer(handle), 0);
    const char* first = pc_QMD5820_GetLastError(handle);
    ASSERT_EQ(i_QMD5820_TriggerTimer(handle), 0);
    const char* second = pc_QMD5820_GetLastError(handle);
    EXPECT_EQ(first, second);
    EXPECT_STREQ(second, "i_QMD5820_TriggerTimer: No error. (0)");
}

TEST_F(LastErrorText, CatalogueCoversEveryRecordingFunction) {
    std::set<std::string> names;
    size_t rows = 0;
    for (const qmd::CatalogueEntry& entry : qmd::Catalogue()) {
        EXPECT_TRUE(names.insert(entry.function_name).second) << entry.function_name;
        std::set<int32_t> codes;
        for (const qmd::CatalogueRow& row : entry.rows) {
            EXPECT_LT(row.code, -1) << entry.function_name;
            EXPECT_TRUE(codes.insert(row.code).second) << entry.function_name << row.code;
            EXPECT_GT(std::strlen(row.message), 0u);
        }
        rows += entry.rows.size();
        EXPECT_STREQ(qmd::CatalogueMessage(entry.function_name, -1), qmd::kInvalidHandleMessage);
    }
    // 63 exported functions less the 15 that record nothing or only their success.
    EXPECT_EQ(names.size(), 48u);
    EXPECT_EQ(rows, 163u);  // with StartCalibration -14 and CalibrationBreak -2
    for (const char* silent : {"i_QMD5820_OpenBoardViaIndex", "i_QMD5820_GetBoardInformation",
                               "i_QMD5820_SetBoardIntRoutine", "i_QMD5820_GetBoardSerialNumber"}) {
        EXPECT_EQ(names.count(silent), 0u) << silent;
    }
    // The database steps: delete -2..-32, add -2..-31.
    for (int32_t code = -2; code >= -32; --code) {
        EXPECT_NE(qmd::CatalogueMessage("i_QMD5820_TransducerDatabaseDelete", code), nullptr);
        EXPECT_EQ(qmd::CatalogueMessage("i_QMD5820_TransducerDatabaseAdd", code) == nullptr,
                  code == -32);
    }
}

TEST_F(LastErrorText, LongestMessageFitsTheBuffer) {
    const QMD5820_HANDLE handle = Open();
    qmd::RecordResult(0, "i_QMD5820_StartCalibration", -50);
    const std::string text = LastError(handle);
    EXPECT_LT(text.size(), qmd::kLastErrorTextBytes);
    EXPECT_EQ(text.substr(text.size() - 5), "(-50)");
}

}  // namespace
}  // namespace qmdtest
