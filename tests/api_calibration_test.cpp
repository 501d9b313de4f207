// Both calibration procedures through the public C API, against a modelled front end
// (tests/calibration_driver.h) on top of the simulated board.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "api_fixture.h"
#include "qmd5820_texts.h"
#include "calibration/calibration.h"
#include "calibration_driver.h"
#include "fake_platform.h"

namespace qmdtest {
namespace {

namespace req = qmd::req;
constexpr uint8_t kIndex = 1;  // factory type: selection type 2, range 2, 5000 Hz
constexpr uint8_t kType = 2;
constexpr double kPos = 1.0;
using Block = std::array<uint16_t, 512>;

class CalibrationTest : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        FakePlatform::Reset();
        FakePlatform::Install();
        h = Open();
        driver.Install();
        for (int p = 0; p < 32; ++p) driver.SetPot(p, static_cast<uint8_t>(200 - p));
        original = Stored();
    }
    void TearDown() override {
        if (Cal().WorkerRunning()) (void)i_QMD5820_CalibrationBreak(h);
        qmd::platform::ReplaceForTesting(nullptr);
        ApiTest::TearDown();
    }
    static Block Stored() {
        Block b{};
        for (uint16_t k = 0; k < 512; ++k) b[k] = qmdsim_eeprom_get(0, static_cast<uint16_t>(0x8400 + k));
        return b;
    }
    static uint32_t Field(const Block& b, std::size_t at) { return qmd::GetBlockU32(b, at); }
    std::vector<std::pair<uint16_t, uint16_t>> EepromWrites() {  // (word, value) in order
        std::vector<std::pair<uint16_t, uint16_t>> w;
        for (const auto& c : driver.Calls(req::kEepromWrite)) {
            w.emplace_back(qmd::bytes::GetU32(c.in.data() + 4) / 2, qmd::bytes::GetU32(c.in.data() + 8));
        }
        return w;
    }
    // The adjusted potentiometers are in the stored block, and the marks written last.
    void ExpectStored(std::initializer_list<int> pots) {
        const Block b = Stored();
        for (int p : pots) EXPECT_EQ(Field(b, 4u * static_cast<unsigned>(p)), driver.Pot(p)) << p;
        const auto w = EepromWrites();
        ASSERT_GE(w.size(), 515u);
        EXPECT_EQ(w[w.size() - 3], std::make_pair(uint16_t{0}, uint16_t{kIndex * 256 + kType}));
        EXPECT_EQ(w[w.size() - 2].first, 16);
        EXPECT_EQ(w.back().first, 17);
        EXPECT_EQ(qmdsim_eeprom_get(0, 16) & qmdsim_eeprom_get(0, 17) & 1, 1);
    }
    qmd::CalibrationBlock& Cal() { return qmd::Board(0).calibration; }
    // Forgets a step-by-step calibration left in progress, without a break.
    void AbandonStepByStep() {
        Cal().step = 0;
        Cal().Release(qmd::Procedure::kStepByStep);
    }
    // Runs the step-by-step procedure from the start up to (not including) the store.
    void StartAndBalance(uint8_t second = 0) {
        ASSERT_EQ(i_QMD5820_StartCalibration(h, kIndex, 0, second, kPos, nullptr), 0);
        driver.SetTransducer(0);
        ASSERT_EQ(i_QMD5820_NextCalibrationStep(h), 0);
        driver.SetTransducer(kPos);
    }

    int32_t Status(uint32_t* values = nullptr) {
        int32_t status = -1;
        uint32_t v[2] = {};
        EXPECT_EQ(i_QMD5820_CalibrationGetCurrentStatus(h, &status, v), 0);
        if (values != nullptr) values[0] = v[0], values[1] = v[1];
        return status;
    }
    bool WaitFor(int32_t target) {  // false when the worker ended elsewhere
        for (;;) {
            const int32_t s = Status();
            if (s == target) return true;
            if (s == 23 || !Cal().WorkerRunning()) return Status() == target;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    // Confirms each waiting status with the transducer moved to its position; final status.
    int32_t Confirm(const std::vector<std::pair<int32_t, double>>& waits) {
        for (const auto& [status, position] : waits) {
            if (!WaitFor(status)) break;
            driver.SetTransducer(position);
            EXPECT_EQ(i_QMD5820_CalibrationNextStep(h), 0);
        }
        while (Cal().WorkerRunning()) std::this_thread::sleep_for(std::chrono::microseconds(200));
        return Status();
    }
    // Runs the worker to its end confirming every wait, with the transducer moved first
    // where `moves` names that wait (elsewhere it stays where it is); the final status.
    int32_t Finish(const std::vector<std::pair<int32_t, double>>& moves) {
        int32_t confirmed = -1;
        while (Cal().WorkerRunning()) {
            const int32_t s = Status();
            if ((s == 25 || s == 9 || s == 16 || s == 19) && s != confirmed) {
                for (const auto& [wait, position] : moves) {
                    if (wait == s) driver.SetTransducer(position);
                }
                EXPECT_EQ(i_QMD5820_CalibrationNextStep(h), 0);
                confirmed = s;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return Status();
    }
    int16_t Start(uint8_t g1 = 0, uint8_t model = 0) {
        return i_QMD5820_CalibrationStart(h, kIndex, 0, g1, 6, kPos, model);
    }

    CalibrationDriver driver;
    QMD5820_HANDLE h = 0;
    Block original{};
};

// ---- step by step ------------------------------------------------------------------------------

TEST_F(CalibrationTest, StartRefusesArgumentsAndUnusableTransducersBeforeTouchingTheBoard) {
    ASSERT_EQ(i_QMD5820_TransducerDatabaseAdd(h, 40, 2.0, 50.0, 2000.0, 3.0, 6.0), 0);
    driver.ClearCalls();
    const std::tuple<uint8_t, uint8_t, uint8_t, double, int16_t> cases[] = {
        {kIndex, 8, 0, kPos, -2}, {kIndex, 0, 5, kPos, -3}, {kIndex, 0, 16, kPos, -3},
        {kIndex, 0, 0, 0.0, -4},  {kIndex, 0, 0, -0.0, -4}, {40, 0, 0, kPos, -14}};  // 2000 Hz: 98 points
    for (const auto& [index, first, second, position, code] : cases) {
        uint64_t values = 77;
        EXPECT_EQ(i_QMD5820_StartCalibration(h, index, first, second, position, &values), code);
        EXPECT_EQ(values, 77u);
    }
    for (const auto& c : driver.Calls()) EXPECT_NE(c.code & 0xFFFFFF00u, 0x90002100u) << std::hex << c.code;
    EXPECT_EQ(driver.Calls(req::kInitChannel).size(), 1u);
    EXPECT_TRUE(driver.Calls(req::kWritePotentiometer).empty());
    EXPECT_NE(LastError(h).find("cannot be calibrated"), std::string::npos);
    EXPECT_EQ(LastError(h).substr(LastError(h).size() - 5), "(-14)");
}

TEST_F(CalibrationTest, StepByStepGroup0StoresTheAdjustmentAndMarksTheType) {
    uint64_t values = 0;
    ASSERT_EQ(i_QMD5820_StartCalibration(h, kIndex, 3, 0, kPos, &values), 0);
    EXPECT_EQ(values, driver.LiveAddress());
    EXPECT_EQ(Cal().step, 4);
    const auto open = driver.Calls(req::kOpenAdjustment);
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0].in, (std::vector<uint8_t>{0, 3, kType, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(driver.Pot(13), 141);  // the symmetry zero
    EXPECT_EQ(driver.Pot(1), 126);   // 128 / 1.012
    driver.SetTransducer(0);
    EXPECT_EQ(i_QMD5820_NextCalibrationStep(h), 0);
    EXPECT_NEAR(Cal().balance_factor, 0.755, 0.001);  // the board's zero error compensated
    driver.SetTransducer(kPos);
    driver.ClearCalls();
    EXPECT_EQ(i_QMD5820_NextCalibrationStep(h), 0);
    EXPECT_EQ(Cal().step, 0);
    EXPECT_EQ(driver.Calls(req::kCloseAdjustment).size(), 1u);
    ExpectStored({13, 1, 0, 7, 6, 20});
    const Block b = Stored();
    const auto table = driver.Table();
    EXPECT_EQ(Field(b, 132), 38u * 65536u);
    EXPECT_EQ(Field(b, 148), static_cast<uint32_t>(Cal().balance_factor * 100000.0));
    EXPECT_EQ(Field(b, 152), static_cast<uint32_t>((1.5 - Cal().balance_factor) * 100000.0));
    EXPECT_EQ(Field(b, 512 + 8 * 5), qmd::bytes::GetU32(table.data() + 4 + 4 * 5));
    EXPECT_EQ(Field(b, 516 + 8 * 5), qmd::bytes::GetU32(table.data() + 260 + 4 * 5));
    EXPECT_EQ(Field(b, 512 + 8 * 39), Field(original, 512 + 8 * 39));
    EXPECT_EQ(EepromWrites().size(), 515u);  // nothing else written
}

TEST_F(CalibrationTest, StepByStepTwoGroupsStoresOnceAfterGroup1) {
    StartAndBalance(9);
    ASSERT_EQ(i_QMD5820_NextCalibrationStep(h), 0);  // group 0 positions
    EXPECT_EQ(Cal().step, 1);
    EXPECT_TRUE(driver.Calls(req::kEepromWrite).empty());
    ASSERT_EQ(i_QMD5820_NextCalibrationStep(h), 0);  // group 1 levels
    EXPECT_EQ(driver.Calls(req::kOpenAdjustment)[1].in[1], 9);
    EXPECT_EQ(driver.Pot(14), 117);
    ASSERT_EQ(i_QMD5820_NextCalibrationStep(h), 0);
    ExpectStored({13, 14, 9, 8, 3, 2});
}

TEST_F(CalibrationTest, StartFailuresGiveTheirCodes) {
    const std::tuple<uint32_t, int, uint8_t, int16_t, uint8_t> cases[] = {
        // request, failing call, second channel, result, step afterwards
        {req::kInitChannel, 1, 0, -8, 0},         {req::kInitChannel, 2, 8, -9, 0},
        {req::kSetPrimaryLineTest, 1, 0, -100, 0}, {req::kReadPotentiometer, 5, 0, -9, 0},
        {req::kWritePotentiometer, 1, 0, -10, 0},  {req::kReadExcitationTable, 1, 0, -11, 0},
        {req::kWriteExcitationTable, 1, 0, -12, 0}, {req::kOpenAdjustment, 1, 0, -13, 1}};
    for (const auto& [code, n, second, result, step] : cases) {
        AbandonStepByStep();
        driver.FailAt(code, n);
        uint64_t values = 77;
        EXPECT_EQ(i_QMD5820_StartCalibration(h, kIndex, 0, second, kPos, &values), result) << std::hex << code;
        EXPECT_EQ(values, 77u);
        EXPECT_EQ(Cal().step, step);
        driver.ClearFailures();
    }
    driver.short_latched = driver.short_persistent = true;
    AbandonStepByStep();
    EXPECT_EQ(i_QMD5820_StartCalibration(h, kIndex, 0, 0, kPos, nullptr), -6);
    EXPECT_EQ(driver.Calls(req::kRearmPrimaryLine).size(), 1u);
    driver.short_persistent = false;  // one rearm clears it
    EXPECT_EQ(i_QMD5820_StartCalibration(h, kIndex, 0, 0, kPos, nullptr), 0);
    EXPECT_EQ(i_QMD5820_StartCalibration(h, kIndex, 0, 0, kPos, nullptr), -5);
}

TEST_F(CalibrationTest, StepOneFailuresAfterARefusedStartAreNextStepCodes) {
    const std::tuple<const char*, std::function<void()>, int16_t, uint8_t> cases[] = {
        {"open", [&] { driver.FailAt(req::kOpenAdjustment, 1); }, -11, 1},
        {"write 64", [&] { driver.FailAt(req::kWritePotentiometer, 1); }, -12, 1},
        {"counter", [&] { driver.FailAt(req::kReadConversionCounter, 1); }, -12, 1},
        {"time-out", [&] { driver.frozen_counter = true; }, -12, 1},
        {"levels", [&] { driver.FailAt(req::kLevelsAdjusted, 1, 3); }, -15, 3}};
    for (const auto& [what, inject, result, step] : cases) {
        AbandonStepByStep();
        driver.s0[0] = 400;  // out of reach: step 1 refuses
        uint64_t values = 0;
        ASSERT_EQ(i_QMD5820_StartCalibration(h, kIndex, 0, 0, kPos, &values), -50);
        EXPECT_EQ(values, driver.LiveAddress());
        driver.s0[0] = 141;
        inject();
        EXPECT_EQ(i_QMD5820_NextCalibrationStep(h), result) << what;
        EXPECT_EQ(Cal().step, step) << what;
        driver.ClearFailures();
        driver.frozen_counter = false;
    }
}

TEST_F(CalibrationTest, LevelLimitsStepThreeIsStricterThanStepTwo) {
    // Residual swing error after step 2: 123 (between two first-level values), which step 3
    // cannot reduce without its potentiometer; or far beyond the first level's reach.
    const std::tuple<double, double, int16_t, uint8_t> cases[] = {
        {128 / 126.5 - 1, 0.0, -50, 3}, {128 / 126.5 - 1, 0.04, 0, 4}, {-0.6, 0.04, -50, 2}};
    for (const auto& [error, effect, result, step] : cases) {
        AbandonStepByStep();
        driver.e_level[0] = error;
        driver.second_level_effect = effect;
        EXPECT_EQ(i_QMD5820_StartCalibration(h, kIndex, 0, 0, kPos, nullptr), result);
        EXPECT_EQ(Cal().step, step);
    }
}

TEST_F(CalibrationTest, StepFourAndSixFailuresAndAnUnreachablePositionThenBreak) {
    std::array<uint8_t, 516> saved{};
    saved[1] = 12;
    for (std::size_t i = 4; i < 516; ++i) saved[i] = static_cast<uint8_t>(i * 7);
    driver.SetTable(saved);
    ASSERT_EQ(i_QMD5820_StartCalibration(h, kIndex, 0, 0, kPos, nullptr), 0);
    driver.FailAt(req::kWriteExcitationTable, 1);
    EXPECT_EQ(i_QMD5820_NextCalibrationStep(h), -1);  // moves on all the same
    EXPECT_EQ(Cal().step, 5);
    EXPECT_EQ(Cal().balance_factor, 0.75);
    driver.FailAt(req::kWritePotentiometer, 18);  // step 6's final write
    EXPECT_EQ(i_QMD5820_NextCalibrationStep(h), -5);
    EXPECT_EQ(Cal().step, 6);
    EXPECT_TRUE(driver.Calls(req::kEepromWrite).empty());
    Cal().step = 5;
    driver.SetTransducer(0.1);  // ten times the gain would be needed
    EXPECT_EQ(i_QMD5820_NextCalibrationStep(h), -50);
    driver.ClearCalls();
    EXPECT_EQ(i_QMD5820_NextCalibrationStep(h), 0);  // step 6 waits for the break
    EXPECT_TRUE(driver.Calls().empty());

    driver.FailAt(req::kWritePotentiometer, 3);
    EXPECT_EQ(i_QMD5820_BreakCalibration(h), -3);
    driver.FailAt(req::kWriteExcitationTable, 1);
    EXPECT_EQ(i_QMD5820_BreakCalibration(h), -4);
    EXPECT_EQ(Cal().step, 6);
    EXPECT_EQ(i_QMD5820_BreakCalibration(h), 0);
    for (int p = 0; p < 32; ++p) {
        EXPECT_EQ(driver.Pot(p), (p == 4 || p == 5 || p == 10 || p == 11) ? 128 : 200 - p) << p;
    }
    const auto table = driver.Table();
    EXPECT_TRUE(std::equal(table.begin() + 1, table.begin() + 4 + 48, saved.begin() + 1));
    EXPECT_TRUE(std::equal(table.begin() + 260, table.begin() + 260 + 48, saved.begin() + 260));
    EXPECT_EQ(i_QMD5820_BreakCalibration(h), -2);
    EXPECT_EQ(LastError(h), Text("i_QMD5820_BreakCalibration", "No calibration process is in progress on this board", -2));
}

TEST_F(CalibrationTest, StoreFailuresEndTheProcedure) {
    // Reads: 512 of the block, 512 back, then the two state words; writes: 512, then marks.
    const std::tuple<uint32_t, int, int16_t> cases[] = {
        {req::kEepromRead, 1, -1},    {req::kReadExcitationTable, 1, -2}, {req::kEepromWrite, 7, -3},
        {req::kEepromRead, 600, -4},  {req::kEepromWrite, 513, -6},       {req::kEepromRead, 1025, -7},
        {req::kEepromWrite, 514, -8}, {req::kEepromRead, 1026, -9},       {req::kEepromWrite, 515, -10}};
    for (const auto& [code, n, result] : cases) {
        AbandonStepByStep();
        StartAndBalance();
        driver.FailAt(code, n);
        EXPECT_EQ(i_QMD5820_NextCalibrationStep(h), result) << n;
        EXPECT_EQ(Cal().step, 0);
        driver.ClearFailures();
    }
    StartAndBalance();
    driver.table_count_override = 65;  // more than the block holds
    driver.ClearCalls();
    EXPECT_EQ(i_QMD5820_NextCalibrationStep(h), -2);
    EXPECT_TRUE(driver.Calls(req::kEepromWrite).empty());
}

// ---- worker -----------------------------------------------------------------------------------

TEST_F(CalibrationTest, WorkerStartRefusals) {
    const std::tuple<uint8_t, uint8_t, uint8_t, uint32_t, double, uint8_t, int16_t> cases[] = {
        {kIndex, 8, 0, 6, 1.0, 0, -2},  {kIndex, 0, 7, 6, 1.0, 0, -3},      {kIndex, 0, 16, 6, 1.0, 0, -3},
        {kIndex, 0, 0, 0, 0.0, 0, -4},  {kIndex, 0, 0, 6, 0.0, 0, -5},      {kIndex, 0, 0, 6, NAN, 0, -5},
        {kIndex, 0, 0, 6, -INFINITY, 0, -5}, {kIndex, 0, 0, 6, 1.0, 2, -6}, {99, 0, 0, 6, 1.0, 0, -8}};
    for (const auto& [index, g0, g1, impedance, position, model, result] : cases) {
        EXPECT_EQ(i_QMD5820_CalibrationStart(h, index, g0, g1, impedance, position, model), result);
    }
    driver.FailAt(req::kEepromRead, 0);
    EXPECT_EQ(Start(), -9);
    driver.ClearFailures();
    Cal().break_request.store(1);  // cleared even by a refused start
    Cal().step = 3;
    EXPECT_EQ(Start(), -7);
    EXPECT_EQ(Cal().break_request.load(), 0);
    AbandonStepByStep();
    for (int32_t busy : {1, 21, 24, 25}) {
        Cal().worker_status.store(busy);
        EXPECT_EQ(Start(), -7) << busy;
    }
    FakePlatform::fail_thread = true;
    Cal().worker_status.store(23);
    EXPECT_EQ(Start(), -10);
    EXPECT_FALSE(Cal().WorkerRunning());
    EXPECT_EQ(Status(), 23);
    EXPECT_TRUE(driver.Calls(req::kOpenWorkerAdjustment).empty());
    FakePlatform::fail_thread = false;
    EXPECT_EQ(Start(), 0);  // a break at once stops the new run
    EXPECT_EQ(i_QMD5820_CalibrationBreak(h), 0);
    EXPECT_FALSE(Cal().WorkerRunning());
    EXPECT_EQ(Status(), 0);
}

// Positions no run can reach or check are refused with -5 before anything runs: not
// positive, below R / 128 or 0.01, above R - 0.01 (type 1: R = 2, so 0.015625 to 1.99).
TEST_F(CalibrationTest, WorkerStartRefusesPositionsTheProcedureCannotReachOrCheck) {
    ASSERT_EQ(i_QMD5820_TransducerDatabaseAdd(h, 41, 0.015, 50.0, 5000.0, 3.0, 6.0), 0);  // no room
    const std::tuple<uint8_t, double, int16_t> cases[] = {
        {kIndex, -1.0, -5},    {kIndex, -3.0, -5},         {kIndex, -5.0, -5},    {kIndex, 1e-300, -5},
        {kIndex, 0.0156, -5},  {kIndex, 0.015625, 0},      {kIndex, 1.99, 0},     {kIndex, 1.9901, -5},
        {kIndex, 2.0, -5},     {kIndex, 11.0, -5},         {kIndex, 100.0, -5},   {kIndex, 1e308, -5},
        {kIndex, -0.0, -5},    {41, 0.01, -5},             {99, 11.0, -8},        {99, -1.0, -5}};
    Cal().worker_status.store(QMD5820_WORKER_FAILED);
    for (const auto& [index, position, result] : cases) {
        driver.ClearCalls();
        EXPECT_EQ(i_QMD5820_CalibrationStart(h, index, 0, 0, 6, position, 0), result) << position;
        if (result == -5) {
            EXPECT_EQ(LastError(h), Text("i_QMD5820_CalibrationStart",
                                         "The db_Position parameter is wrong (value should be different from 0.0)", -5));
        }
        if (result == 0) {
            EXPECT_EQ(i_QMD5820_CalibrationBreak(h), 0);
            Cal().worker_status.store(QMD5820_WORKER_FAILED);
            continue;
        }
        EXPECT_FALSE(Cal().WorkerRunning()) << position;
        EXPECT_EQ(Status(), QMD5820_WORKER_FAILED) << position;  // the old status stays
        EXPECT_TRUE(driver.Calls(req::kEepromWrite).empty()) << position;
        EXPECT_TRUE(driver.Calls(req::kSetPrimaryLineTest).empty()) << position;
    }
}

// Each adjustment that ends beyond the step-by-step procedure's limit fails its phase with
// code 50 and stores nothing; a break then restores the block as it was.
TEST_F(CalibrationTest, WorkerPhasesBeyondTheirLimitsFailAndStoreNothing) {
    const uint32_t kBeyond = QMD5820_WORKER_BEYOND_LIMIT;
    struct Case {
        const char* what;
        std::function<void()> setup;
        uint8_t group1;
        std::vector<std::pair<int32_t, double>> moves;  // transducer moved before confirming
        int32_t phase;
    };
    const Case cases[] = {
        {"symmetry zero out of reach", [&] { driver.s0[0] = 400; }, 0, {}, QMD5820_WORKER_GROUP0_SYMMETRY},
        {"group 1 symmetry", [&] { driver.s0[1] = -200; }, 12, {{25, 0.0}, {9, kPos}},
         QMD5820_WORKER_GROUP1_SYMMETRY},
        {"first level out of reach", [&] { driver.e_level[0] = -0.6; }, 0, {}, QMD5820_WORKER_GROUP0_FIRST_LEVEL},
        {"second level without effect", [&] { driver.e_level[0] = 128 / 126.5 - 1; driver.second_level_effect = 0; },
         0, {}, QMD5820_WORKER_GROUP0_SECOND_LEVEL},
        {"zero beyond the balance", [&] { driver.zeta = 0.4; }, 0, {{25, 0.0}}, QMD5820_WORKER_BALANCE},
        {"not moved to the position", [] {}, 0, {{25, 0.0}, {9, 0.0}}, QMD5820_WORKER_GROUP0_SECOND_POSITION},
        {"moved a quarter of the way", [] {}, 0, {{25, 0.0}, {9, kPos / 4}}, QMD5820_WORKER_GROUP0_SECOND_POSITION},
        {"group 1 not moved", [] {}, 12, {{25, 0.0}, {9, kPos}, {16, 0.0}}, QMD5820_WORKER_GROUP1_SECOND_POSITION},
    };
    qmdsim_eeprom_set(0, 0x8400 + 300, 0x1234);  // differs from the computed block
    const Block before = Stored();
    const uint16_t marks[3] = {qmdsim_eeprom_get(0, 0), qmdsim_eeprom_get(0, 16), qmdsim_eeprom_get(0, 17)};
    for (const Case& c : cases) {
        driver.s0 = {141, 117};
        driver.e_level = {0.012, -0.009};
        driver.second_level_effect = 0.04;
        driver.zeta = 0.005;
        driver.SetTransducer(0.0);
        c.setup();
        ASSERT_EQ(Start(c.group1), 0) << c.what;
        const int32_t status = Finish(c.moves);
        uint32_t values[2] = {};
        EXPECT_EQ(status, QMD5820_WORKER_FAILED) << c.what;
        EXPECT_EQ(Status(values), QMD5820_WORKER_FAILED);
        EXPECT_EQ(values[0], static_cast<uint32_t>(c.phase)) << c.what;
        EXPECT_EQ(values[1], kBeyond) << c.what;
        EXPECT_STRNE(qmd5820_worker_failure_text(c.phase, kBeyond), QMD5820_UNKNOWN_FAILURE_TEXT) << c.what;
        EXPECT_EQ(qmdsim_eeprom_get(0, 0), marks[0]) << c.what;  // not marked calibrated
        EXPECT_EQ(qmdsim_eeprom_get(0, 16), marks[1]) << c.what;
        EXPECT_EQ(qmdsim_eeprom_get(0, 17), marks[2]) << c.what;
        EXPECT_EQ(i_QMD5820_CalibrationBreak(h), 0);
        EXPECT_EQ(Stored(), before) << c.what;
    }
}

TEST_F(CalibrationTest, APollRightAfterAStartSeesTheNewRunNotThePreviousStatus) {
    // The previous run failed (23, with its phase and code), completed, or was reported.
    for (int32_t previous : {QMD5820_WORKER_FAILED, QMD5820_WORKER_DONE, QMD5820_WORKER_IDLE}) {
        Cal().worker_status.store(previous);
        Cal().error_phase.store(4);
        Cal().error_code.store(10);
        FakePlatform::hold_threads = true;  // the worker thread has not run a line yet
        ASSERT_EQ(Start(), 0);
        uint32_t values[2] = {7, 7};
        EXPECT_EQ(Status(values), QMD5820_WORKER_PREPARE) << previous;
        EXPECT_EQ(values[0] + values[1], 0u) << previous;
        EXPECT_EQ(Start(), -7);  // the board is taken before the thread runs
        EXPECT_EQ(i_QMD5820_StartCalibration(h, kIndex, 0, 0, kPos, nullptr), -5);
        FakePlatform::hold_threads = false;
        EXPECT_EQ(i_QMD5820_CalibrationBreak(h), 0);
        EXPECT_EQ(Status(), QMD5820_WORKER_IDLE);
    }
}

// Two starts at the same moment on one board, of either kind: exactly one of them runs,
// the other is refused as for a calibration in progress. The one that runs keeps the
// board until the trial ends: its worker waits to be let go, its step by step start ends
// in step 1 (-13).
TEST_F(CalibrationTest, SimultaneousStartsOfEitherKindNeverBothRun) {
    driver.FailAt(req::kOpenAdjustment, 0);
    enum Kind { kWorker, kStepByStep };
    const auto start = [&](Kind k) -> int16_t {
        return k == kWorker ? Start() : i_QMD5820_StartCalibration(h, kIndex, 0, 0, kPos, nullptr);
    };
    const auto refused = [](Kind k) -> int16_t { return k == kWorker ? -7 : -5; };
    const std::pair<Kind, Kind> pairs[] = {{kWorker, kWorker}, {kWorker, kStepByStep}, {kStepByStep, kStepByStep}};
    for (const auto& [a, b] : pairs) {
        int both_ran = 0;
        for (int trial = 0; trial < 60; ++trial) {
            FakePlatform::hold_threads = true;
            std::atomic<int> ready{0};
            int16_t r[2] = {0, 0};
            const auto run = [&](int i, Kind k) {
                ++ready;
                while (ready.load() < 2) std::this_thread::yield();
                r[i] = start(k);
            };
            std::thread first(run, 0, a);
            std::thread second(run, 1, b);
            first.join();
            second.join();
            const Kind kinds[2] = {a, b};
            const bool ran[2] = {r[0] != refused(a), r[1] != refused(b)};
            both_ran += ran[0] && ran[1];
            EXPECT_TRUE(ran[0] || ran[1]) << r[0] << " " << r[1];
            FakePlatform::hold_threads = false;
            for (int i : {0, 1}) {
                if (!ran[i]) continue;
                EXPECT_EQ(r[i], kinds[i] == kWorker ? 0 : -13);
                const int16_t broken = kinds[i] == kWorker ? i_QMD5820_CalibrationBreak(h)
                                                           : i_QMD5820_BreakCalibration(h);
                EXPECT_EQ(broken, 0);
            }
            ASSERT_FALSE(Cal().WorkerRunning());
            ASSERT_EQ(Cal().step, 0);
        }
        EXPECT_EQ(both_ran, 0) << "kinds " << a << " and " << b;
    }
}

TEST_F(CalibrationTest, WorkerGroup0RunsEveryPhaseAndStoresTheBlock) {
    ASSERT_EQ(i_QMD5820_CalibrationStart(h, kIndex, 3, 0, 6, kPos, 0), 0);
    EXPECT_EQ(i_QMD5820_StartCalibration(h, kIndex, 0, 0, kPos, nullptr), -5);
    EXPECT_EQ(Start(), -7);
    ASSERT_TRUE(WaitFor(25));
    uint32_t values[2] = {};
    EXPECT_EQ(Status(values), 25);
    EXPECT_EQ(values[0] + values[1], 65535u);  // the live values while adjusting
    EXPECT_EQ(Confirm({{25, 0.0}, {9, kPos}, {19, kPos}}), 22);
    EXPECT_EQ(Status(), 0);  // completion is reported once
    const auto open = driver.Calls(req::kOpenWorkerAdjustment);
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0].in[1], 3);
    EXPECT_EQ(open[0].in[2], kType);
    EXPECT_EQ(driver.Pot(13), 141);
    EXPECT_EQ(driver.Pot(7), Cal().worker_potentiometers[7]);  // restored after the threshold
    ExpectStored({13, 1, 0, 7, 6});
    const Block b = Stored();
    for (unsigned p : {2, 3, 4, 5, 8, 9, 10, 11, 12, 14, 15, 20}) EXPECT_EQ(Field(b, 4 * p), Field(original, 4 * p)) << p;
    EXPECT_EQ(Field(b, qmd::kThresholdOffset), 100u);
    EXPECT_EQ(Field(b, 148), 100000u);
    EXPECT_EQ(Field(b, 152), static_cast<uint32_t>(Cal().factor_b * 100000.0));
    EXPECT_LT(Cal().factor_b, 1.0);  // the board's zero error compensated on B
}

TEST_F(CalibrationTest, WorkerTwoGroupsAndAThresholdThatNeverResponds) {
    driver.threshold = 300;
    ASSERT_EQ(Start(12), 0);
    EXPECT_EQ(Confirm({{25, 0.0}, {9, kPos}, {16, kPos}, {19, kPos}}), 22);
    EXPECT_EQ(driver.Calls(req::kOpenWorkerAdjustment)[1].in[1], 12);
    EXPECT_EQ(driver.Pot(14), 117);
    ExpectStored({13, 14, 9, 8, 3, 2});
    EXPECT_EQ(Field(Stored(), qmd::kThresholdOffset), 255u);
}

TEST_F(CalibrationTest, WorkerFailuresReportPhaseAndCodeAndABreakRestoresTheBlock) {
    FakePlatform::fail_thread = true;  // count the start's own EEPROM reads
    driver.ClearCalls();
    ASSERT_EQ(Start(), -10);
    FakePlatform::fail_thread = false;
    const int start_reads = static_cast<int>(driver.Calls(req::kEepromRead).size());
    const std::tuple<const char*, std::function<void()>, uint32_t, uint32_t> cases[] = {
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
        {"levels", [&] { driver.FailAt(req::kWorkerLevelsAdjusted, 1); }, 6, 10}};
    qmdsim_eeprom_set(0, 0x8400 + 300, 0x1234);  // differs from the computed block
    const Block before = Stored();
    for (const auto& [what, inject, phase, code] : cases) {
        inject();
        ASSERT_EQ(Start(), 0);
        uint32_t values[2] = {};
        EXPECT_EQ(Confirm({}), 23) << what;
        EXPECT_EQ(Status(values), 23);
        EXPECT_EQ(values[0], phase) << what;
        EXPECT_EQ(values[1], code) << what;
        EXPECT_STRNE(qmd5820_worker_failure_text(phase, code), QMD5820_UNKNOWN_FAILURE_TEXT) << what;
        driver.ClearFailures();
        driver.frozen_counter = driver.short_latched = driver.short_persistent = false;
        EXPECT_EQ(i_QMD5820_CalibrationBreak(h), 0);
        EXPECT_EQ(Status(), 0);
        EXPECT_EQ(Stored(), before) << what;
    }
}

TEST_F(CalibrationTest, BreakWhileWaitingRestoresTheBlockByteForByteAndAfterCompletionNothing) {
    qmdsim_eeprom_set(0, 0x8400 + 300, 0x1234);
    const Block before = Stored();
    for (int32_t wait : {25, 9}) {
        ASSERT_EQ(Start(), 0);
        ASSERT_TRUE(WaitFor(25));
        if (wait == 9) {
            driver.SetTransducer(0);
            ASSERT_EQ(i_QMD5820_CalibrationNextStep(h), 0);
            ASSERT_TRUE(WaitFor(9));
        }
        EXPECT_NE(Stored(), before);  // the computed block during the run
        driver.ClearCalls();
        EXPECT_EQ(i_QMD5820_CalibrationBreak(h), 0);
        EXPECT_FALSE(Cal().WorkerRunning());
        EXPECT_EQ(Status(), 0);
        EXPECT_EQ(Stored(), before);
        const auto calls = driver.Calls();
        ASSERT_EQ(calls.size(), 516u);
        EXPECT_EQ(calls[0].code, req::kWorkerLevelsAdjusted);
        EXPECT_EQ(calls[1].code, req::kWorkerPositionAdjusted);
        EXPECT_EQ(calls[2].code, req::kSetPrimaryLineTest);
        EXPECT_EQ(calls[2].in[1], 0);
        EXPECT_EQ(EepromWrites()[0].first, 0x8400);
        EXPECT_EQ(calls.back().code, req::kRestartConfiguration);
    }
    ASSERT_EQ(Start(), 0);
    ASSERT_EQ(Confirm({{25, 0.0}, {9, kPos}, {19, kPos}}), 22);
    driver.ClearCalls();
    EXPECT_EQ(i_QMD5820_CalibrationBreak(h), 0);
    EXPECT_TRUE(driver.Calls(req::kEepromWrite).empty());
}

TEST_F(CalibrationTest, AFailedStoreAndAFailedWriteBackAreReported) {
    ASSERT_EQ(Start(), 0);
    for (const auto& [status, position] : {std::pair{25, 0.0}, std::pair{9, kPos}}) {
        ASSERT_TRUE(WaitFor(status));
        driver.SetTransducer(position);
        i_QMD5820_CalibrationNextStep(h);
    }
    ASSERT_TRUE(WaitFor(19));
    driver.FailAt(req::kEepromWrite, 0);
    uint32_t values[2] = {};
    EXPECT_EQ(Confirm({{19, kPos}}), 23);
    EXPECT_EQ(Status(values), 23);
    EXPECT_EQ(values[0] * 100 + values[1], 2101u);
    EXPECT_EQ(i_QMD5820_CalibrationBreak(h), -2);
    EXPECT_EQ(LastError(h), Text("i_QMD5820_CalibrationBreak",
                                 "Unable to write the transducer's configuration block back to the board's EEPROM", -2));
    EXPECT_EQ(Status(values), 23);
    EXPECT_EQ(values[0] * 100 + values[1], 2404u);
    driver.ClearFailures();
    EXPECT_EQ(i_QMD5820_CalibrationBreak(h), 0);  // the write-back is still due
    EXPECT_EQ(Status(), 0);
    EXPECT_EQ(Stored(), original);
}

TEST_F(CalibrationTest, ModelOneWaitsForTheTransducersZeroAndTakesAnEarlyConfirmation) {
    driver.zeta = 0;
    driver.SetTransducer(0.5);
    ASSERT_EQ(Start(0, 1), 0);
    ASSERT_TRUE(WaitFor(7));
    EXPECT_EQ(i_QMD5820_CalibrationNextStep(h), 0);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(Status(), 7);
    driver.SetTransducer(0);
    ASSERT_TRUE(WaitFor(9));
    EXPECT_EQ(Cal().factor_a + Cal().factor_b, 2.0);
    for (const auto& c : driver.Calls(req::kWritePotentiometer)) EXPECT_FALSE(c.in[1] == 7 && c.in[2] == 255);
    EXPECT_EQ(i_QMD5820_CalibrationBreak(h), 0);
}

}  // namespace
}  // namespace qmdtest
