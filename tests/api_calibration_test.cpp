// Both calibration procedures through the public C API, against a driver that models the
// board's front end (tests/calibration_driver.h) on top of the simulated board.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <set>
#include <thread>
#include <utility>

#include "api_fixture.h"
#include "calibration_driver.h"
#include "core/board_table.h"
#include "core/bytes.h"
#include "core/requests.h"
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

}  // namespace
}  // namespace qmdtest
