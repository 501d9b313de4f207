// The call frame shared by every handle-taking function: lookup, checks, request,
// status translation, recording of the result.
#include "api_fixture.h"

namespace qmdtest {
namespace {

using Frame = ApiTest;

// Every handle-taking function of the board, called with `handle`.
std::vector<std::pair<const char*, int16_t>> CallEverything(QMD5820_HANDLE handle) {
    uint8_t b = 0;
    uint16_t w = 0;
    uint32_t dw = 0;
    char c = 0;
    return {
        {"Read1DigitalInput", i_QMD5820_Read1DigitalInput(handle, 0, &b)},
        {"Read8DigitalInputs", i_QMD5820_Read8DigitalInputs(handle, &b)},
        {"Set1DigitalOutputOn", i_QMD5820_Set1DigitalOutputOn(handle, 0)},
        {"Set1DigitalOutputOff", i_QMD5820_Set1DigitalOutputOff(handle, 0)},
        {"Set8DigitalOutputsOn", i_QMD5820_Set8DigitalOutputsOn(handle, 1)},
        {"Set8DigitalOutputsOff", i_QMD5820_Set8DigitalOutputsOff(handle, 1)},
        {"SetDigitalOutputMemoryOn", i_QMD5820_SetDigitalOutputMemoryOn(handle)},
        {"SetDigitalOutputMemoryOff", i_QMD5820_SetDigitalOutputMemoryOff(handle)},
        {"Get1DigitalOutputStatus", i_QMD5820_Get1DigitalOutputStatus(handle, 0, &b)},
        {"Get8DigitalOutputsStatus", i_QMD5820_Get8DigitalOutputsStatus(handle, &b)},
        {"InitAndStartTimer", i_QMD5820_InitAndStartTimer(handle, 0, 10, 0)},
        {"StopTimer", i_QMD5820_StopTimer(handle)},
        {"TriggerTimer", i_QMD5820_TriggerTimer(handle)},
        {"ReadTimerStatus", i_QMD5820_ReadTimerStatus(handle, &b, &b, &w)},
        {"ReadTimerValue", i_QMD5820_ReadTimerValue(handle, &w)},
        {"LoadLogicCommand", i_QMD5820_LoadLogicCommand(handle, 1)},
        {"LoadLogicWrite", i_QMD5820_LoadLogicWrite(handle, 1)},
        {"LoadLogicRead", i_QMD5820_LoadLogicRead(handle, &dw)},
        {"GetLoadLogicStatus", i_QMD5820_GetLoadLogicStatus(handle, &b)},
        {"GetBoardHardwareRevision", i_QMD5820_GetBoardHardwareRevision(handle, &c)},
        {"GetBoardSerialNumber", i_QMD5820_GetBoardSerialNumber(handle, &dw)},
    };
}

TEST_F(Frame, AfterLoadingEveryHandleIsUnknown) {
    for (QMD5820_HANDLE handle : {QMD5820_HANDLE{0}, QMD5820_HANDLE{1}, ~QMD5820_HANDLE{0}}) {
        for (const auto& [name, code] : CallEverything(handle)) EXPECT_EQ(code, -1) << name;
        EXPECT_EQ(LastError(handle),
                  "pc_QMD5820_GetLastError failed: The h_DeviceHandle parameter is wrong (-1)");
    }
    EXPECT_TRUE(Requests().empty()) << "an unknown handle reaches no driver";
}

TEST_F(Frame, FailedEnumerationMakesOpenHandlesUnknownUntilTheNextOne) {
    QMD5820_HANDLE a = 0, b = 0;
    ASSERT_EQ(i_QMD5820_OpenBoardViaIndex(0, &a), 0);
    ASSERT_EQ(i_QMD5820_OpenBoardViaIndex(1, &b), 0);
    ASSERT_EQ(i_QMD5820_Set8DigitalOutputsOn(a, 3), 0);

    qmdsim_fault_enumeration(-1);
    EXPECT_EQ(i_QMD5820_GetNumberOfBoards(nullptr), -1);
    for (QMD5820_HANDLE h : {a, b}) {
        for (const auto& [name, code] : CallEverything(h)) EXPECT_EQ(code, -1) << name;
        EXPECT_EQ(i_QMD5820_CloseBoard(h), -2);
    }
    // The records themselves are unchanged.
    EXPECT_EQ(qmd::Board(0).device_handle.load(), a);
    EXPECT_EQ(qmd::Board(1).open_count, 1);
    EXPECT_STREQ(qmd::Board(0).last_function, "i_QMD5820_Set8DigitalOutputsOn");

    qmdsim_fault_enumeration(0);
    ASSERT_EQ(i_QMD5820_GetNumberOfBoards(nullptr), 0);
    uint8_t port = 0;
    EXPECT_EQ(i_QMD5820_Get8DigitalOutputsStatus(a, &port), 0);
    EXPECT_EQ(port, 3);
    EXPECT_EQ(i_QMD5820_CloseBoard(b), 0);
}

TEST_F(Frame, FailedArgumentCheckRecordsAndSendsNothing) {
    const QMD5820_HANDLE handle = Open();
    EXPECT_EQ(i_QMD5820_Set1DigitalOutputOn(handle, 8), -2);
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(LastError(handle),
              "i_QMD5820_Set1DigitalOutputOn: The b_Channel parameter is wrong (value should be "
              "between 0 and 7) (-2)");
}

TEST_F(Frame, DriverStatusAndFailedCallsAreTranslated) {
    const QMD5820_HANDLE handle = Open();
    struct Case {
        int32_t kind;
        uint8_t status;
        int16_t code;
    };
    for (const Case c : {Case{QMDSIM_FAULT_STATUS, 200, -200}, Case{QMDSIM_FAULT_STATUS, 1, -1},
                         Case{QMDSIM_FAULT_STATUS, 255, -255}, Case{QMDSIM_FAULT_CALL, 0, -100}}) {
        qmdsim_fault_request(QMDSIM_ANY_BOARD, 0x90002184, 1, c.kind, c.status);
        EXPECT_EQ(i_QMD5820_StopTimer(handle), c.code);
        EXPECT_EQ(qmd::Board(0).last_code, c.code);
        EXPECT_STREQ(qmd::Board(0).last_function, "i_QMD5820_StopTimer");
    }
    // A recorded -1 that came from a driver status reads as the invalid-handle row.
    qmdsim_fault_request(QMDSIM_ANY_BOARD, 0x90002184, 1, QMDSIM_FAULT_STATUS, 1);
    ASSERT_EQ(i_QMD5820_StopTimer(handle), -1);
    EXPECT_EQ(LastError(handle), "i_QMD5820_StopTimer: The h_DeviceHandle parameter is invalid (-1)");
}

TEST_F(Frame, LastResultSurvivesCloseAndReopen) {
    QMD5820_HANDLE handle = Open();
    qmdsim_fault_request(QMDSIM_ANY_BOARD, 0x90002140, 1, QMDSIM_FAULT_CALL, 0);
    uint8_t port = 0;
    ASSERT_EQ(i_QMD5820_Read8DigitalInputs(handle, &port), -100);
    ASSERT_EQ(i_QMD5820_CloseBoard(handle), 0);
    handle = Open();
    EXPECT_EQ(LastError(handle),
              "i_QMD5820_Read8DigitalInputs: An error occurred while calling the IOCTL function (-100)");
}

TEST_F(Frame, OuterFunctionRecordsLast) {
    const QMD5820_HANDLE handle = Open();
    qmdsim_set_digital_inputs(0, 0x04);
    uint8_t bit = 0;
    ASSERT_EQ(i_QMD5820_Read1DigitalInput(handle, 2, &bit), 0);
    EXPECT_EQ(bit, 1);
    EXPECT_STREQ(qmd::Board(0).last_function, "i_QMD5820_Read1DigitalInput");
    EXPECT_EQ(LastError(handle), "i_QMD5820_Read1DigitalInput: No error. (0)");
}

TEST_F(Frame, RecordsBelongToTheBoardIndex) {
    const QMD5820_HANDLE a = Open(0);
    const QMD5820_HANDLE b = Open(1);
    ASSERT_EQ(i_QMD5820_Set1DigitalOutputOff(b, 99), -2);
    ASSERT_EQ(i_QMD5820_StopTimer(a), 0);
    EXPECT_EQ(LastError(a), "i_QMD5820_StopTimer: No error. (0)");
    EXPECT_EQ(LastError(b),
              "i_QMD5820_Set1DigitalOutputOff: The b_Channel parameter is wrong (value should be "
              "between 0 and 7) (-2)");
}

}  // namespace
}  // namespace qmdtest
