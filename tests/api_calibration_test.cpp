// Both calibration procedures through the public C API, against a driver that models the
// board's front end (tests/calibration_driver.h) on top of the simulated board.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <cmath>
#include <set>
#include <thread>
#include <utility>

#include "api_fixture.h"
#include "calibration_driver.h"
#include "core/board_table.h"
#include "core/bytes.h"
#include "core/requests.h"
#include "calibration/calibration.h"
#include "fake_platform.h"

namespace qmdtest {
namespace {

namespace req = qmd::req;
using Mode = CalibrationDriver::Mode;

constexpr uint8_t kIndex = 1;          // factory type: selection type 2, range 2, 5000 Hz
constexpr uint8_t kSelection = 2;
constexpr double kPosition = 1.0;

class CalibrationTest : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        FakePlatform::Reset();
        FakePlatform::Install();
        handle = Open();
        driver.Install();
        for (int p = 0; p < 32; ++p) driver.SetPot(p, static_cast<uint8_t>(200 - p));
        original = Block(kSelection);
    }
    void TearDown() override {
        if (qmd::Board(0).calibration.running.load() != 0) (void)i_QMD5820_CalibrationBreak(handle);
        FakePlatform::Reset();
        qmd::platform::ReplaceForTesting(nullptr);
        ApiTest::TearDown();
    }

    static std::array<uint16_t, 512> Block(uint8_t s) {
        std::array<uint16_t, 512> block{};
        for (uint16_t k = 0; k < 512; ++k) {
            block[k] = qmdsim_eeprom_get(0, static_cast<uint16_t>(0x8000 + 512 * s + k));
        }
        return block;
    }
    static uint32_t Field(const std::array<uint16_t, 512>& b, std::size_t offset) {
        return b[offset / 2] | (uint32_t{b[offset / 2 + 1]} << 16);
    }
    // (word address, value) of every EEPROM write, in order.
    std::vector<std::pair<uint16_t, uint16_t>> EepromWrites() {
        std::vector<std::pair<uint16_t, uint16_t>> writes;
        for (const auto& c : driver.Calls(req::kEepromWrite)) {
            writes.emplace_back(static_cast<uint16_t>(qmd::bytes::GetU32(c.in.data() + 4) / 2),
                                static_cast<uint16_t>(qmd::bytes::GetU32(c.in.data() + 8)));
        }
        return writes;
    }
    std::vector<uint32_t> Codes() {
        std::vector<uint32_t> codes;
        for (const auto& c : driver.Calls()) codes.push_back(c.code);
        return codes;
    }

    qmd::CalibrationBlock& Cal() { return qmd::Board(0).calibration; }

    // ---- worker helpers

    int32_t Status(uint32_t* values = nullptr) {
        int32_t status = -1;
        uint32_t v[2] = {};
        EXPECT_EQ(i_QMD5820_CalibrationGetCurrentStatus(handle, &status, v), 0);
        if (values != nullptr) {
            values[0] = v[0];
            values[1] = v[1];
        }
        return status;
    }
    // Polls until the status is `target` (true) or the worker ends elsewhere (false).
    bool WaitFor(int32_t target) {
        for (int i = 0; i < 200000; ++i) {
            const int32_t s = Status();
            if (s == target) return true;
            if (s == 23 || (s == 0 && Cal().running.load() == 0)) return false;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return false;
    }
    void WaitUntilStopped() {
        while (Cal().running.load() != 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    // Runs a started worker through its confirmations to the end; the final status.
    int32_t Confirm(std::initializer_list<std::pair<int32_t, double>> waits) {
        for (const auto& [status, position] : waits) {
            if (!WaitFor(status)) return Status();
            driver.SetTransducer(position);
            EXPECT_EQ(i_QMD5820_CalibrationNextStep(handle), 0);
        }
        WaitUntilStopped();
        return Status();
    }

    CalibrationDriver driver;
    QMD5820_HANDLE handle = 0;
    std::array<uint16_t, 512> original{};
};

// ---- step by step ------------------------------------------------------------------------

TEST_F(CalibrationTest, StartRefusesBadArgumentsBeforeAnyRequest) {
    struct Case {
        uint8_t first, second;
        double position;
        int16_t code;
    };
    const Case cases[] = {{8, 0, 1.0, -2}, {0, 5, 1.0, -3}, {0, 16, 1.0, -3}, {0, 1, 1.0, -3},
                          {0, 0, 0.0, -4}, {0, 0, -0.0, -4}};
    for (const Case& c : cases) {
        uint64_t values = 77;
        EXPECT_EQ(i_QMD5820_StartCalibration(handle, kIndex, c.first, c.second, c.position, &values),
                  c.code);
        EXPECT_EQ(values, 77u);
    }
    EXPECT_TRUE(driver.Calls().empty());
    EXPECT_EQ(LastError(handle),
              Text("i_QMD5820_StartCalibration",
                   "The db_Position parameter is wrong (value should be different from 0.0)", -4));
}

TEST_F(CalibrationTest, StartRefusesAFrequencyTheTableCannotHoldBeforeTouchingTheBoard) {
    ASSERT_EQ(i_QMD5820_TransducerDatabaseAdd(handle, 40, 2.0, 50.0, 2000.0, 3.0, 6.0), 0);
    driver.ClearCalls();
    EXPECT_EQ(i_QMD5820_StartCalibration(handle, 40, 0, 0, kPosition, nullptr), -14);
    const auto codes = Codes();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), req::kInitChannel), 1);
    for (uint32_t touched : {req::kSetPrimaryLineTest, req::kReadPotentiometer,
                             req::kWritePotentiometer, req::kWriteExcitationTable}) {
        EXPECT_EQ(std::count(codes.begin(), codes.end(), touched), 0) << std::hex << touched;
    }
    EXPECT_EQ(Cal().step, 0);
    EXPECT_NE(LastError(handle).find("cannot be calibrated"), std::string::npos);
}

TEST_F(CalibrationTest, StepByStepGroup0StoresTheAdjustmentAndMarksTheType) {
    uint64_t values = 0;
    ASSERT_EQ(i_QMD5820_StartCalibration(handle, kIndex, 3, 0, kPosition, &values), 0);
    EXPECT_EQ(values, driver.LiveAddress());
    EXPECT_EQ(Cal().step, 4);
    // Start: 32 potentiometers saved and set to 128, then the adjustment opened on channel 3.
    const auto open = driver.Calls(req::kOpenAdjustment);
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0].in[1], 3);
    EXPECT_EQ(open[0].in[2], kSelection);
    EXPECT_EQ(driver.Pot(13), 141);  // symmetry zero of group 0
    EXPECT_EQ(driver.Pot(1), 126);   // 128 / 1.012, to the nearest measured step
    EXPECT_EQ(driver.CurrentMode(), Mode::kPosition);
    const std::vector<uint8_t> start_table = driver.Table();
    EXPECT_EQ(start_table[1], 39);  // 5000 Hz

    driver.SetTransducer(0);
    EXPECT_EQ(i_QMD5820_NextCalibrationStep(handle), 0);
    EXPECT_EQ(Cal().step, 5);
    EXPECT_NEAR(Cal().balance_factor, 0.755, 0.001);  // the board zero error compensated

    driver.SetTransducer(kPosition);
    driver.ClearCalls();
    EXPECT_EQ(i_QMD5820_NextCalibrationStep(handle), 0);
    EXPECT_EQ(Cal().step, 0);
    EXPECT_EQ(driver.CurrentMode(), Mode::kNone);  // closed

    const auto block = Block(kSelection);
    for (int p : {13, 1, 0, 7, 6}) EXPECT_EQ(Field(block, 4u * static_cast<unsigned>(p)), driver.Pot(p)) << p;
    EXPECT_EQ(Field(block, 4u * 20), 128u);
    EXPECT_EQ(Field(block, 132), 38u * 65536u);
    EXPECT_EQ(Field(block, 148), static_cast<uint32_t>(Cal().balance_factor * 100000.0));
    EXPECT_EQ(Field(block, 152), static_cast<uint32_t>((1.5 - Cal().balance_factor) * 100000.0));
    const std::vector<uint8_t> table = driver.Table();
    EXPECT_EQ(Field(block, 512 + 8 * 5), qmd::bytes::GetU32(table.data() + 4 + 4 * 5));
    EXPECT_EQ(Field(block, 516 + 8 * 5), qmd::bytes::GetU32(table.data() + 260 + 4 * 5));
    EXPECT_EQ(Field(block, 512 + 8 * 39), Field(original, 512 + 8 * 39));

    // The block, then the default transducer, then both calibration state words.
    const auto writes = EepromWrites();
    ASSERT_EQ(writes.size(), 515u);
    EXPECT_EQ(writes[0].first, 0x8400);
    EXPECT_EQ(writes[511].first, 0x8400 + 511);
    EXPECT_EQ(writes[512], std::make_pair(uint16_t{0}, uint16_t{kIndex * 256 + kSelection}));
    EXPECT_EQ(writes[513].first, 16);
    EXPECT_EQ(writes[514].first, 17);
    EXPECT_EQ(qmdsim_eeprom_get(0, 16) & 1, 1);
    EXPECT_EQ(qmdsim_eeprom_get(0, 17) & 1, 1);
}

TEST_F(CalibrationTest, StartFailuresGiveTheirCodesAndLeaveTheStepAsDocumented) {
    struct Case {
        uint32_t code;
        int n;
        uint8_t second;
        int16_t result;
        uint8_t step;  // the step field afterwards
    };
    const Case cases[] = {
        {req::kInitChannel, 1, 0, -8, 0},
        {req::kInitChannel, 2, 8, -9, 0},
        {req::kSetPrimaryLineTest, 1, 0, -100, 0},
        {req::kReadPotentiometer, 5, 0, -9, 0},
        {req::kWritePotentiometer, 1, 0, -10, 0},
        {req::kReadExcitationTable, 1, 0, -11, 0},
        {req::kWriteExcitationTable, 1, 0, -12, 0},
        {req::kOpenAdjustment, 1, 0, -13, 1},
    };
    for (const Case& c : cases) {
        Cal().step = 0;
        driver.FailAt(c.code, c.n);
        uint64_t values = 77;
        EXPECT_EQ(i_QMD5820_StartCalibration(handle, kIndex, 0, c.second, kPosition, &values),
                  c.result)
            << std::hex << c.code;
        EXPECT_EQ(values, 77u);
        EXPECT_EQ(Cal().step, c.step);
        driver.ClearFailures();
    }
    // After a failed step 1 the procedure is in progress: the break restores it.
    EXPECT_EQ(i_QMD5820_BreakCalibration(handle), 0);
}

TEST_F(CalibrationTest, ShortCircuitIsRearmedOnceAndAPersistentOneRefused) {
    driver.short_latched = true;
    driver.short_persistent = true;
    EXPECT_EQ(i_QMD5820_StartCalibration(handle, kIndex, 0, 0, kPosition, nullptr), -6);
    EXPECT_EQ(driver.Calls(req::kRearmPrimaryLine).size(), 1u);
    EXPECT_TRUE(driver.Calls(req::kWritePotentiometer).empty());
    driver.short_persistent = false;
    EXPECT_EQ(i_QMD5820_StartCalibration(handle, kIndex, 0, 0, kPosition, nullptr), 0);
    EXPECT_EQ(driver.Calls(req::kRearmPrimaryLine).size(), 2u);
}

TEST_F(CalibrationTest, StepOneFailuresAfterARefusedStartAreReportedByNextStep) {
    struct Case {
        const char* what;
        std::function<void()> inject;
        int16_t result;
        uint8_t step;
    };
    const Case cases[] = {
        {"open", [&] { driver.FailAt(req::kOpenAdjustment, 1); }, -11, 1},
        {"first write", [&] { driver.FailAt(req::kWritePotentiometer, 1); }, -12, 1},
        {"counter", [&] { driver.FailAt(req::kReadConversionCounter, 1); }, -12, 1},
        {"time-out", [&] { driver.frozen_counter = true; }, -12, 1},
        {"levels request", [&] { driver.FailAt(req::kLevelsAdjusted, 1, 3); }, -15, 3},
    };
    for (const Case& c : cases) {
        Cal().step = 0;
        driver.s0[0] = 400;  // symmetry zero out of reach
        uint64_t values = 0;
        ASSERT_EQ(i_QMD5820_StartCalibration(handle, kIndex, 0, 0, kPosition, &values), -50);
        EXPECT_EQ(values, driver.LiveAddress());
        EXPECT_EQ(Cal().step, 1);
        driver.s0[0] = 141;
        c.inject();
        EXPECT_EQ(i_QMD5820_NextCalibrationStep(handle), c.result) << c.what;
        EXPECT_EQ(Cal().step, c.step) << c.what;
        EXPECT_EQ(LastError(handle).substr(0, 31), "i_QMD5820_NextCalibrationStep: ");
        driver.ClearFailures();
        driver.frozen_counter = false;
    }
}

TEST_F(CalibrationTest, AFailedStepFourMovesOnAndAFailedLastStepSixStoresNothing) {
    ASSERT_EQ(i_QMD5820_StartCalibration(handle, kIndex, 0, 0, kPosition, nullptr), 0);
    driver.FailAt(req::kWriteExcitationTable, 1);
    EXPECT_EQ(i_QMD5820_NextCalibrationStep(handle), -1);
    EXPECT_EQ(Cal().step, 5);
    EXPECT_EQ(Cal().balance_factor, 0.75);  // the start's factor, not an earlier run's
    driver.SetTransducer(kPosition);
    driver.ClearCalls();
    driver.FailAt(req::kWritePotentiometer, 18);  // step 6's final write
    EXPECT_EQ(i_QMD5820_NextCalibrationStep(handle), -5);
    EXPECT_EQ(Cal().step, 6);
    EXPECT_TRUE(driver.Calls(req::kEepromWrite).empty());
    driver.ClearCalls();
    EXPECT_EQ(i_QMD5820_NextCalibrationStep(handle), 0);
    EXPECT_TRUE(driver.Calls().empty());
}

TEST_F(CalibrationTest, AnUnreachablePositionLeavesStepSixUntilABreakRestoresTheBoard) {
    std::array<uint8_t, 516> saved{};
    saved[1] = 12;
    for (std::size_t i = 4; i < 516; ++i) saved[i] = static_cast<uint8_t>(i * 7);
    driver.SetTable(saved);
    ASSERT_EQ(i_QMD5820_StartCalibration(handle, kIndex, 0, 0, kPosition, nullptr), 0);
    driver.SetTransducer(0);
    ASSERT_EQ(i_QMD5820_NextCalibrationStep(handle), 0);
    driver.SetTransducer(0.1);  // ten times the gain would be needed
    EXPECT_EQ(i_QMD5820_NextCalibrationStep(handle), -50);
    EXPECT_EQ(Cal().step, 6);
    driver.ClearCalls();
    EXPECT_EQ(i_QMD5820_NextCalibrationStep(handle), 0);
    EXPECT_TRUE(driver.Calls().empty());

    EXPECT_EQ(i_QMD5820_BreakCalibration(handle), 0);
    EXPECT_EQ(Cal().step, 0);
    for (int p = 0; p < 32; ++p) {
        const bool kept = p == 4 || p == 5 || p == 10 || p == 11;
        EXPECT_EQ(driver.Pot(p), kept ? 128 : 200 - p) << p;
    }
    const std::vector<uint8_t> table = driver.Table();
    EXPECT_EQ(table[1], 12);
    EXPECT_TRUE(std::equal(table.begin() + 4, table.begin() + 4 + 48, saved.begin() + 4));
    EXPECT_TRUE(std::equal(table.begin() + 260, table.begin() + 260 + 48, saved.begin() + 260));
    EXPECT_EQ(driver.Calls(req::kCloseAdjustment).size(), 1u);
    EXPECT_TRUE(driver.Calls(req::kEepromWrite).empty());
    EXPECT_EQ(i_QMD5820_BreakCalibration(handle), -2);
    EXPECT_EQ(LastError(handle), Text("i_QMD5820_BreakCalibration",
                                      "No calibration process is in progress on this board", -2));
}

TEST_F(CalibrationTest, BreakFailuresKeepTheProcedureInProgress) {
    ASSERT_EQ(i_QMD5820_StartCalibration(handle, kIndex, 0, 0, kPosition, nullptr), 0);
    driver.FailAt(req::kWritePotentiometer, 3);
    EXPECT_EQ(i_QMD5820_BreakCalibration(handle), -3);
    EXPECT_EQ(Cal().step, 4);
    driver.FailAt(req::kWriteExcitationTable, 1);
    EXPECT_EQ(i_QMD5820_BreakCalibration(handle), -4);
    EXPECT_EQ(Cal().step, 4);
    EXPECT_EQ(i_QMD5820_BreakCalibration(handle), 0);
}

TEST_F(CalibrationTest, StoreFailuresEndTheProcedure) {
    struct Case {
        uint32_t code;
        int n;
        int16_t result;
    };
    // Reads: 512 of the block, 512 back, then the two state words; writes: 512, then marks.
    const Case cases[] = {
        {req::kEepromRead, 1, -1},    {req::kReadExcitationTable, 1, -2},
        {req::kEepromWrite, 7, -3},   {req::kEepromRead, 600, -4},
        {req::kEepromWrite, 513, -6}, {req::kEepromRead, 1025, -7},
        {req::kEepromWrite, 514, -8}, {req::kEepromRead, 1026, -9},
        {req::kEepromWrite, 515, -10},
    };
    for (const Case& c : cases) {
        Cal().step = 0;
        ASSERT_EQ(i_QMD5820_StartCalibration(handle, kIndex, 0, 0, kPosition, nullptr), 0);
        driver.SetTransducer(0);
        ASSERT_EQ(i_QMD5820_NextCalibrationStep(handle), 0);
        driver.SetTransducer(kPosition);
        driver.FailAt(c.code, c.n);
        EXPECT_EQ(i_QMD5820_NextCalibrationStep(handle), c.result) << c.n;
        EXPECT_EQ(Cal().step, 0);
        driver.ClearFailures();
    }
    // A driver table of more than 64 points is refused.
    ASSERT_EQ(i_QMD5820_StartCalibration(handle, kIndex, 0, 0, kPosition, nullptr), 0);
    driver.SetTransducer(0);
    ASSERT_EQ(i_QMD5820_NextCalibrationStep(handle), 0);
    driver.SetTransducer(kPosition);
    driver.table_count_override = 65;
    driver.ClearCalls();
    EXPECT_EQ(i_QMD5820_NextCalibrationStep(handle), -2);
    EXPECT_TRUE(driver.Calls(req::kEepromWrite).empty());
}

TEST_F(CalibrationTest, StepByStepTwoGroupsAdjustsBothAndStoresOnce) {
    ASSERT_EQ(i_QMD5820_StartCalibration(handle, kIndex, 2, 9, kPosition, nullptr), 0);
    driver.SetTransducer(0);
    ASSERT_EQ(i_QMD5820_NextCalibrationStep(handle), 0);
    driver.SetTransducer(kPosition);
    ASSERT_EQ(i_QMD5820_NextCalibrationStep(handle), 0);  // group 0 positions
    EXPECT_EQ(Cal().step, 1);
    EXPECT_EQ(Cal().current_group, 1);
    EXPECT_TRUE(driver.Calls(req::kEepromWrite).empty());
    ASSERT_EQ(i_QMD5820_NextCalibrationStep(handle), 0);  // group 1 levels
    EXPECT_EQ(Cal().step, 5);
    const auto open = driver.Calls(req::kOpenAdjustment);
    ASSERT_EQ(open.size(), 2u);
    EXPECT_EQ(open[1].in[1], 9);
    EXPECT_EQ(driver.Pot(14), 117);
    ASSERT_EQ(i_QMD5820_NextCalibrationStep(handle), 0);  // group 1 positions and the store
    EXPECT_EQ(Cal().step, 0);
    const auto block = Block(kSelection);
    for (int p : {14, 9, 8, 3, 2}) {
        EXPECT_EQ(Field(block, 4u * static_cast<unsigned>(p)), driver.Pot(p)) << p;
    }
    EXPECT_EQ(EepromWrites().size(), 515u);
}

// ---- worker ----------------------------------------------------------------------------------

TEST_F(CalibrationTest, WorkerStartRefusesBadArgumentsWithoutAThread) {
    struct Case {
        uint8_t index, g0, g1;
        uint32_t impedance;
        double position;
        uint8_t model;
        int16_t result;
    };
    const Case cases[] = {
        {kIndex, 8, 0, 6, 1.0, 0, -2},        {kIndex, 0, 7, 6, 1.0, 0, -3},
        {kIndex, 0, 16, 6, 1.0, 0, -3},       {kIndex, 0, 0, 0, 0.0, 0, -4},
        {kIndex, 0, 0, 6, 0.0, 0, -5},        {kIndex, 0, 0, 6, NAN, 0, -5},
        {kIndex, 0, 0, 6, INFINITY, 0, -5},   {kIndex, 0, 0, 6, 1.0, 2, -6},
        {99, 0, 0, 6, 1.0, 0, -8},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(i_QMD5820_CalibrationStart(handle, c.index, c.g0, c.g1, c.impedance, c.position,
                                             c.model),
                  c.result);
        EXPECT_EQ(Cal().running.load(), 0);
    }
    driver.FailAlways(req::kEepromRead);
    EXPECT_EQ(i_QMD5820_CalibrationStart(handle, kIndex, 0, 0, 6, 1.0, 0), -9);
    driver.ClearFailures();
    // A pending break request is cleared even by a refused start.
    Cal().break_request.store(1);
    Cal().step = 3;
    EXPECT_EQ(i_QMD5820_CalibrationStart(handle, kIndex, 0, 0, 6, 1.0, 0), -7);
    EXPECT_EQ(Cal().break_request.load(), 0);
    Cal().step = 0;
    for (int32_t busy : {1, 21, 24, 25}) {
        Cal().worker_status.store(busy);
        EXPECT_EQ(i_QMD5820_CalibrationStart(handle, kIndex, 0, 0, 6, 1.0, 0), -7) << busy;
    }
    Cal().worker_status.store(0);
    EXPECT_EQ(Status(), 0);
    EXPECT_TRUE(driver.Calls(req::kOpenWorkerAdjustment).empty());
}

TEST_F(CalibrationTest, AFailingThreadStartIsReportedAndLeavesNothingRunning) {
    FakePlatform::fail_thread = true;
    Cal().worker_status.store(23);
    EXPECT_EQ(i_QMD5820_CalibrationStart(handle, kIndex, 0, 0, 6, 1.0, 0), -10);
    EXPECT_EQ(Cal().running.load(), 0);
    EXPECT_EQ(Cal().worker_status.load(), 23);
    EXPECT_NE(LastError(handle).find("(-10)"), std::string::npos);
    FakePlatform::fail_thread = false;
    EXPECT_EQ(i_QMD5820_CalibrationStart(handle, kIndex, 0, 0, 6, 1.0, 0), 0);
}

TEST_F(CalibrationTest, WorkerGroup0RunsEveryPhaseAndStoresTheBlock) {
    ASSERT_EQ(i_QMD5820_CalibrationStart(handle, kIndex, 3, 0, 6, kPosition, 0), 0);
    EXPECT_EQ(i_QMD5820_StartCalibration(handle, kIndex, 0, 0, kPosition, nullptr), -5);
    EXPECT_EQ(i_QMD5820_CalibrationStart(handle, kIndex, 3, 0, 6, kPosition, 0), -7);
    ASSERT_TRUE(WaitFor(25));
    uint32_t values[2] = {};
    EXPECT_EQ(Status(values), 25);
    EXPECT_GT(values[0], 0u);  // live values while adjusting
    EXPECT_EQ(values[0] + values[1], 65535u);
    EXPECT_EQ(Confirm({{25, 0.0}, {9, kPosition}, {19, kPosition}}), 22);
    EXPECT_EQ(Status(), 0);  // completion is reported once

    const auto open = driver.Calls(req::kOpenWorkerAdjustment);
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0].in[1], 3);
    EXPECT_EQ(open[0].in[2], kSelection);
    EXPECT_EQ(driver.Pot(13), 141);
    EXPECT_EQ(driver.Pot(7), qmd::Board(0).calibration.worker_potentiometers[7]);

    const auto block = Block(kSelection);
    for (int p : {13, 1, 0, 7, 6}) {
        EXPECT_EQ(Field(block, 4u * static_cast<unsigned>(p)), driver.Pot(p)) << p;
    }
    for (int p : {2, 3, 4, 5, 8, 9, 10, 11, 12, 14, 15}) {  // not adjusted: kept
        EXPECT_EQ(Field(block, 4u * static_cast<unsigned>(p)), Field(original, 4u * static_cast<unsigned>(p))) << p;
    }
    EXPECT_EQ(Field(block, 4u * 20), Field(original, 4u * 20));
    EXPECT_EQ(Field(block, qmd::kThresholdOffset), 100u);
    EXPECT_EQ(Field(block, 148), static_cast<uint32_t>(Cal().factor_a * 100000.0));
    EXPECT_EQ(Field(block, 152), static_cast<uint32_t>(Cal().factor_b * 100000.0));
    EXPECT_EQ(Cal().factor_a, 1.0);  // the board zero is compensated on B
    EXPECT_LT(Cal().factor_b, 1.0);
    const auto writes = EepromWrites();
    ASSERT_GE(writes.size(), 515u);
    EXPECT_EQ(writes[writes.size() - 3], std::make_pair(uint16_t{0}, uint16_t{kIndex * 256 + kSelection}));
    EXPECT_EQ(writes[writes.size() - 2].first, 16);
    EXPECT_EQ(writes.back().first, 17);
    EXPECT_EQ(qmdsim_eeprom_get(0, 17) & 1, 1);
}

TEST_F(CalibrationTest, WorkerTwoGroupsWaitsBeforeEachGroupsPositions) {
    ASSERT_EQ(i_QMD5820_CalibrationStart(handle, kIndex, 0, 12, 6, kPosition, 0), 0);
    EXPECT_EQ(Confirm({{25, 0.0}, {9, kPosition}, {16, kPosition}, {19, kPosition}}), 22);
    const auto open = driver.Calls(req::kOpenWorkerAdjustment);
    ASSERT_EQ(open.size(), 2u);
    EXPECT_EQ(open[1].in[1], 12);
    EXPECT_EQ(driver.Pot(14), 117);
    const auto block = Block(kSelection);
    for (int p : {14, 9, 8, 3, 2}) {
        EXPECT_EQ(Field(block, 4u * static_cast<unsigned>(p)), driver.Pot(p)) << p;
    }
}

TEST_F(CalibrationTest, WorkerFailuresReportPhaseAndCodeAndABreakRestoresTheBlock) {
    // The EEPROM reads of the start itself (the transducer record).
    FakePlatform::fail_thread = true;
    driver.ClearCalls();
    ASSERT_EQ(i_QMD5820_CalibrationStart(handle, kIndex, 0, 0, 6, kPosition, 0), -10);
    FakePlatform::fail_thread = false;
    const int start_reads = static_cast<int>(driver.Calls(req::kEepromRead).size());
    struct Case {
        const char* what;
        std::function<void()> inject;
        uint32_t phase, code;
    };
    const Case cases[] = {
        {"test on", [&] { driver.FailAt(req::kSetPrimaryLineTest, 1); }, 1, 1},
        {"line status", [&] { driver.FailAt(req::kReadPrimaryLineStatus, 1, 4); }, 1, 2},
        {"test off", [&] { driver.FailAt(req::kSetPrimaryLineTest, 2); }, 1, 3},
        {"short", [&] { driver.short_latched = driver.short_persistent = true; }, 1, 4},
        {"block", [&] { driver.FailAt(req::kEepromRead, start_reads + 3); }, 2, 1},
        {"open", [&] { driver.FailAt(req::kOpenWorkerAdjustment, 1); }, 3, 1},
        {"start", [&] { driver.FailAt(req::kStartWorkerAdjustment, 1); }, 3, 2},
        {"prelude", [&] { driver.FailAt(req::kWritePotentiometer, 1); }, 4, 1},
        {"counter", [&] { driver.FailAt(req::kReadConversionCounter, 1); }, 4, 10},
        {"time-out", [&] { driver.frozen_counter = true; }, 4, 10},
        {"levels", [&] { driver.FailAt(req::kWorkerLevelsAdjusted, 1); }, 6, 10},
    };
    // The stored block differs from the computed one, so the run writes it and a break must
    // bring it back.
    qmdsim_eeprom_set(0, 0x8400 + 300, 0x1234);
    const auto before = Block(kSelection);
    for (const Case& c : cases) {
        c.inject();
        ASSERT_EQ(i_QMD5820_CalibrationStart(handle, kIndex, 0, 0, 6, kPosition, 0), 0);
        WaitUntilStopped();
        uint32_t values[2] = {};
        EXPECT_EQ(Status(values), 23) << c.what;
        EXPECT_EQ(values[0], c.phase) << c.what;
        EXPECT_EQ(values[1], c.code) << c.what;
        driver.ClearFailures();
        driver.frozen_counter = driver.short_latched = driver.short_persistent = false;
        EXPECT_EQ(i_QMD5820_CalibrationBreak(handle), 0);
        EXPECT_EQ(Status(), 0);
        EXPECT_EQ(Block(kSelection), before) << c.what;
    }
}

TEST_F(CalibrationTest, BreakWhileWaitingRestoresTheBlockByteForByte) {
    qmdsim_eeprom_set(0, 0x8400 + 300, 0x1234);
    const auto before = Block(kSelection);
    for (int32_t wait : {25, 9}) {
        ASSERT_EQ(i_QMD5820_CalibrationStart(handle, kIndex, 0, 0, 6, kPosition, 0), 0);
        ASSERT_TRUE(WaitFor(25));
        if (wait == 9) {
            driver.SetTransducer(0);
            ASSERT_EQ(i_QMD5820_CalibrationNextStep(handle), 0);
            ASSERT_TRUE(WaitFor(9));
        }
        EXPECT_NE(Block(kSelection), before);  // the computed block during the run
        driver.ClearCalls();
        EXPECT_EQ(i_QMD5820_CalibrationBreak(handle), 0);
        EXPECT_EQ(Cal().running.load(), 0);
        EXPECT_EQ(Status(), 0);
        EXPECT_EQ(Block(kSelection), before);
        const auto codes = Codes();
        ASSERT_GE(codes.size(), 516u);
        EXPECT_EQ(codes[0], req::kWorkerLevelsAdjusted);
        EXPECT_EQ(codes[1], req::kWorkerPositionAdjusted);
        EXPECT_EQ(codes[2], req::kSetPrimaryLineTest);
        EXPECT_EQ(driver.Calls(req::kSetPrimaryLineTest)[0].in[1], 0);
        EXPECT_EQ(codes.back(), req::kRestartConfiguration);
        EXPECT_EQ(EepromWrites().size(), 512u);
        EXPECT_EQ(EepromWrites()[0].first, 0x8400);
    }
}

TEST_F(CalibrationTest, BreakAfterCompletionWritesNothingBack) {
    ASSERT_EQ(i_QMD5820_CalibrationStart(handle, kIndex, 0, 0, 6, kPosition, 0), 0);
    ASSERT_EQ(Confirm({{25, 0.0}, {9, kPosition}, {19, kPosition}}), 22);
    const auto stored = Block(kSelection);
    driver.ClearCalls();
    EXPECT_EQ(i_QMD5820_CalibrationBreak(handle), 0);
    EXPECT_TRUE(driver.Calls(req::kEepromWrite).empty());
    EXPECT_EQ(Block(kSelection), stored);
    // Never started since load: nothing to write back either.
    qmd::OnProcessAttach();
    handle = Open();
    driver.ClearCalls();
    EXPECT_EQ(i_QMD5820_CalibrationBreak(handle), 0);
    EXPECT_TRUE(driver.Calls(req::kEepromWrite).empty());
}

TEST_F(CalibrationTest, AFailedStoreAndAFailedWriteBackAreReported) {
    ASSERT_EQ(i_QMD5820_CalibrationStart(handle, kIndex, 0, 0, 6, kPosition, 0), 0);
    ASSERT_TRUE(WaitFor(25));
    driver.SetTransducer(0);
    ASSERT_EQ(i_QMD5820_CalibrationNextStep(handle), 0);
    ASSERT_TRUE(WaitFor(9));
    driver.SetTransducer(kPosition);
    ASSERT_EQ(i_QMD5820_CalibrationNextStep(handle), 0);
    ASSERT_TRUE(WaitFor(19));
    driver.FailAlways(req::kEepromWrite);
    ASSERT_EQ(i_QMD5820_CalibrationNextStep(handle), 0);
    WaitUntilStopped();
    uint32_t values[2] = {};
    EXPECT_EQ(Status(values), 23);
    EXPECT_EQ(values[0], 21u);
    EXPECT_EQ(values[1], 1u);
    EXPECT_EQ(i_QMD5820_CalibrationBreak(handle), -2);
    EXPECT_EQ(LastError(handle),
              Text("i_QMD5820_CalibrationBreak",
                   "Unable to write the transducer's configuration block back to the board's EEPROM",
                   -2));
    EXPECT_EQ(Status(values), 23);
    EXPECT_EQ(values[0], 24u);
    EXPECT_EQ(values[1], 4u);
    driver.ClearFailures();
    EXPECT_EQ(i_QMD5820_CalibrationBreak(handle), 0);  // the write-back is still pending
    EXPECT_EQ(Status(), 0);
    EXPECT_EQ(Block(kSelection), original);
}

TEST_F(CalibrationTest, ModelOneWaitsForTheTransducersZeroAndAnEarlyConfirmation) {
    driver.zeta = 0;
    driver.SetTransducer(0.5);
    ASSERT_EQ(i_QMD5820_CalibrationStart(handle, kIndex, 0, 0, 6, kPosition, 1), 0);
    ASSERT_TRUE(WaitFor(7));
    EXPECT_EQ(i_QMD5820_CalibrationNextStep(handle), 0);  // early: counts once 25 is reached
    for (int i = 0; i < 20; ++i) EXPECT_EQ(Status(), 7);
    driver.SetTransducer(0);
    ASSERT_TRUE(WaitFor(9));
    EXPECT_EQ(Cal().factor_a, 1.0);
    EXPECT_EQ(Cal().factor_b, 1.0);
    EXPECT_TRUE(std::none_of(driver.Calls(req::kWritePotentiometer).begin(),
                             driver.Calls(req::kWritePotentiometer).end(),
                             [](const CalibrationDriver::Call& c) { return c.in[1] == 7 && c.in[2] == 255; }));
    EXPECT_EQ(i_QMD5820_CalibrationBreak(handle), 0);
}

TEST_F(CalibrationTest, AThresholdThatNeverRespondsRecords255) {
    driver.threshold = 300;
    ASSERT_EQ(i_QMD5820_CalibrationStart(handle, kIndex, 0, 0, 6, kPosition, 0), 0);
    ASSERT_EQ(Confirm({{25, 0.0}, {9, kPosition}, {19, kPosition}}), 22);
    EXPECT_EQ(Field(Block(kSelection), qmd::kThresholdOffset), 255u);
}

}  // namespace
}  // namespace qmdtest
