// The primary line: test, rearm, short-circuit interrupts, test threshold calibration.
#include <vector>

#include "api_fixture.h"
#include "qmd5820_protocol/bytes.h"

namespace qmdtest {
namespace {

class PrimaryLine : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        handle = Open();
    }
    // The values written to potentiometer 7, in order.
    std::vector<uint8_t> ThresholdWrites() {
        std::vector<uint8_t> values;
        for (const Request& r : Requests()) {
            if (r.code == 0x900020c4 && r.in[1] == 7) values.push_back(r.in[2]);
        }
        return values;
    }
    QMD5820_HANDLE handle = 0;
};

TEST_F(PrimaryLine, TestSwitchesOnReadsAndSwitchesOff) {
    qmdsim_inject_short_circuit(0, 0);
    const uint64_t start = qmdsim_now_us();
    uint8_t status = 0;
    ASSERT_EQ(i_QMD5820_TestPrimaryLine(handle, &status), 0);
    EXPECT_EQ(qmdsim_now_us() - start, 500000u) << "250 ms after each switch";
    EXPECT_EQ(status & 0x02, 0x02);
    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].in, (std::vector<uint8_t>{0, 1}));
    EXPECT_EQ(requests[1].code, 0x90002104u);
    EXPECT_EQ(requests[2].in, (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(LastError(handle), "i_QMD5820_TestPrimaryLine: No error. (0)");
}

TEST_F(PrimaryLine, TestFailures) {
    uint8_t status = 0xEE;
    qmdsim_set_acquisition_running(0, 1);
    EXPECT_EQ(i_QMD5820_TestPrimaryLine(handle, &status), -50);
    EXPECT_EQ(LastError(handle), "i_QMD5820_TestPrimaryLine: An acquisition is already in progress (-50)");
    qmdsim_set_acquisition_running(0, 0);
    qmdsim_fault_request(0, 0x90002104, 1, QMDSIM_FAULT_CALL, 0);
    EXPECT_EQ(i_QMD5820_TestPrimaryLine(handle, &status), -100);
    EXPECT_EQ(status, 0xEE) << "written only when the status read succeeds";
    qmdsim_primary_line_state line{};
    qmdsim_primary_line(0, &line);
    EXPECT_EQ(line.test_on, 1) << "the test stays switched on after a failed read";
}

TEST_F(PrimaryLine, RearmAndInterruptSwitch) {
    qmdsim_inject_short_circuit(0, 0);
    ASSERT_EQ(i_QMD5820_RearmPrimaryLine(handle), 0);
    qmdsim_primary_line_state line{};
    qmdsim_primary_line(0, &line);
    EXPECT_EQ(line.latched, 0);
    EXPECT_EQ(i_QMD5820_EnableDisableShortCircuitInterrupts(handle, 1), 0);
    qmdsim_primary_line(0, &line);
    EXPECT_EQ(line.interrupts_enabled, 1);
    EXPECT_EQ(Requests().back().in, (std::vector<uint8_t>{0, 1}));
    EXPECT_EQ(i_QMD5820_EnableDisableShortCircuitInterrupts(handle, 2), -2);
    EXPECT_EQ(LastError(handle),
              "i_QMD5820_EnableDisableShortCircuitInterrupts: The b_Enabled parameter is wrong "
              "(value should be equal to 1 or equal to 0) (-2)");
}

TEST_F(PrimaryLine, CalibrationLeavesTheThresholdPlusMargin) {
    struct Case {
        uint16_t threshold;  // the detection responds from this value upward
        uint8_t left;
    };
    for (const Case c : {Case{100, 101}, Case{0, 2}, Case{1, 2}, Case{253, 254}, Case{254, 255},
                         Case{255, 255}, Case{256, 255}, Case{128, 129}}) {
        qmdsim_set_line_test_threshold(0, c.threshold);
        qmdsim_trace_clear();
        const uint64_t start = qmdsim_now_us();
        ASSERT_EQ(i_QMD5820_CalibratePrimaryLineTest(handle), 0) << c.threshold;
        EXPECT_EQ(qmdsim_potentiometer(0, 7), c.left) << c.threshold;
        EXPECT_EQ(qmdsim_now_us() - start, 900000u) << "250 + 8 x 50 + 250 ms";
        const std::vector<uint8_t> writes = ThresholdWrites();
        ASSERT_EQ(writes.size(), 9u);
        EXPECT_EQ(writes[0], 128);
        EXPECT_TRUE(writes[1] == 64 || writes[1] == 192);
        EXPECT_EQ(writes[8], c.left);
        qmdsim_primary_line_state line{};
        qmdsim_primary_line(0, &line);
        EXPECT_EQ(line.test_on, 0);
    }
}

TEST_F(PrimaryLine, CalibrationRearmsALatchedShortCircuitOnce) {
    qmdsim_inject_short_circuit(0, 0);
    const uint64_t start = qmdsim_now_us();
    ASSERT_EQ(i_QMD5820_CalibratePrimaryLineTest(handle), 0);
    EXPECT_EQ(qmdsim_now_us() - start, 1000000u) << "100 ms more for the rearm";
    qmdsim_primary_line_state line{};
    qmdsim_primary_line(0, &line);
    EXPECT_EQ(line.rearms, 1u);
    EXPECT_EQ(LastError(handle), "i_QMD5820_CalibratePrimaryLineTest: No error. (0)");

    // A short circuit that a rearm does not clear: -2, the test never switched on and the
    // threshold never written.
    qmdsim_inject_short_circuit(0, 1);
    qmdsim_primary_line(0, &line);
    const uint32_t tests = line.tests_switched_on;
    qmdsim_trace_clear();
    EXPECT_EQ(i_QMD5820_CalibratePrimaryLineTest(handle), -2);
    qmdsim_primary_line(0, &line);
    EXPECT_EQ(line.rearms, 2u);
    EXPECT_EQ(line.tests_switched_on, tests);
    EXPECT_TRUE(ThresholdWrites().empty());
    EXPECT_EQ(LastError(handle),
              "i_QMD5820_CalibratePrimaryLineTest: A short circuit was detected on the primary "
              "line, try to rearm it first with i_QMD5820_RearmPrimaryLine (-2)");
}

TEST_F(PrimaryLine, CalibrationFailures) {
    struct Case {
        const char* what;
        uint32_t code;
        uint32_t nth;
        int32_t kind;
        uint8_t status;
        int16_t result;
        bool test_left_on;
    };
    const Case cases[] = {
        {"first status read", 0x90002104, 1, QMDSIM_FAULT_STATUS, 9, -9, false},
        {"search status read", 0x90002104, 3, QMDSIM_FAULT_CALL, 0, -100, true},
        {"search status read status", 0x90002104, 3, QMDSIM_FAULT_STATUS, 9, -9, true},
        {"threshold write status", 0x900020c4, 2, QMDSIM_FAULT_STATUS, 9, -100, true},
        {"final threshold write", 0x900020c4, 9, QMDSIM_FAULT_CALL, 0, -100, true},
        {"switching on", 0x90002100, 1, QMDSIM_FAULT_STATUS, 50, -50, false},
        {"switching off", 0x90002100, 2, QMDSIM_FAULT_STATUS, 7, -7, true},
    };
    for (const Case& c : cases) {
        qmdsim_reset();
        qmdsim_set_virtual_clock(1);
        qmd::OnProcessAttach();
        handle = Open();
        qmdsim_fault_request(0, c.code, c.nth, c.kind, c.status);
        EXPECT_EQ(i_QMD5820_CalibratePrimaryLineTest(handle), c.result) << c.what;
        qmdsim_primary_line_state line{};
        qmdsim_primary_line(0, &line);
        EXPECT_EQ(line.test_on, c.test_left_on ? 1 : 0) << c.what;
    }
}

}  // namespace
}  // namespace qmdtest
