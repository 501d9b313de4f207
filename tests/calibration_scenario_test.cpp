// Whole calibrations on the simulated board with its front end on (virtual clock): the
// transducer reads visibly wrong before, within 0.1 % of range after; a break at any wait
// of the worker leaves the transducer's configuration block as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "api_fixture.h"

namespace qmdtest {
namespace {

struct Type {
    uint8_t index, selection;
    double range;
};
constexpr Type kType1{1, 2, 2.0};    // 5000 Hz, N1 123, N2 99
constexpr Type kType5{5, 3, 10.0};   // 4883 Hz, N1 191, N2 45
constexpr Type kType12{12, 4, 1.0};  // 13951 Hz, N1 89, N2 71

class CalibrationScenario : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        Fresh();
    }
    // A board as it leaves the factory, with its front end on, opened.
    void Fresh() {
        if (handle != 0) {
            EXPECT_EQ(i_QMD5820_CloseBoard(handle), 0);
        }
        qmdsim_reset();
        qmdsim_set_virtual_clock(1);
        qmdsim_trace_enable(0);  // a run is many thousands of requests
        qmdsim_frontend_enable(0, 1);
        handle = Open();
        zero_ = 0.0;
    }
    void TearDown() override {
        int32_t status = 0;
        uint32_t values[2] = {};
        i_QMD5820_CalibrationGetCurrentStatus(handle, &status, values);
        if (status != 0 && status != 22 && status != 23) i_QMD5820_CalibrationBreak(handle);
        ApiTest::TearDown();
    }

    // Reading of `ch` (initialised with `t`) with the transducer at `x`.
    double Reading(const Type& t, uint8_t ch, double x) {
        EXPECT_EQ(i_QMD5820_Init1TransducerChannel(handle, ch, t.index, 0.0), 0);
        qmdsim_set_position(0, ch, x);
        uint16_t raw = 0;
        double value = NAN;
        EXPECT_EQ(i_QMD5820_Read1TransducerChannel(handle, ch, &raw), 0);
        EXPECT_EQ(i_QMD5820_Convert1RawToMetricValue(handle, ch, raw, &value), 0);
        return value;
    }

    // Errors in % of range at `points` (relative positions) around `zero`.
    std::vector<double> Errors(const Type& t, uint8_t ch, const std::vector<double>& points,
                               double zero = 0.0) {
        std::vector<double> e;
        for (double p : points) {
            e.push_back(100.0 * (Reading(t, ch, zero + p * t.range) - p * t.range) / t.range);
        }
        return e;
    }

    static int32_t Status(QMD5820_HANDLE h, uint32_t* values = nullptr) {
        int32_t status = -1;
        uint32_t v[2] = {};
        EXPECT_EQ(i_QMD5820_CalibrationGetCurrentStatus(h, &status, v), 0);
        if (values != nullptr) std::copy(v, v + 2, values);
        return status;
    }

    // Runs the worker to its end (22 or 23) or until it waits in `stop_at`, putting the
    // transducer where each wait needs it before confirming: its zero (model 1: until the
    // front end sees it), `position` on the group's channel at 9 and 16.
    int32_t Worker(uint8_t ch0, uint8_t ch1, double position, uint8_t model,
                   int32_t stop_at = -1) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        int32_t confirmed = -1;
        while (std::chrono::steady_clock::now() < deadline) {
            const int32_t s = Status(handle);
            if (s == 22 || s == 23 || s == stop_at) return s;
            if (s == confirmed) {  // the worker has not taken the confirmation yet
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            confirmed = -1;
            if (s == 7) {  // model 1: the transducer is moved to the board's zero
                zero_ = qmdsim_frontend_zero_position(0, ch0);
                qmdsim_set_position(0, ch0, zero_);
            } else if (s == 25 || s == 9 || s == 16 || s == 19) {
                if (s == 25 && model == 0) qmdsim_set_position(0, ch0, 0.0);
                if (s == 9) qmdsim_set_position(0, ch0, zero_ + position);
                if (s == 16) qmdsim_set_position(0, ch1, position);
                EXPECT_EQ(i_QMD5820_CalibrationNextStep(handle), 0);
                confirmed = s;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        ADD_FAILURE() << "the worker did not finish";
        return -1;
    }

    std::array<uint16_t, 512> Block(uint8_t s) {
        std::array<uint16_t, 512> b{};
        for (uint16_t k = 0; k < 512; ++k) {
            b[k] = qmdsim_eeprom_get(0, static_cast<uint16_t>(0x8000 + 512 * s + k));
        }
        return b;
    }

    QMD5820_HANDLE handle = 0;
    double zero_ = 0.0;  // model 1: where the transducer was zeroed
};

// Positions whose reading the uncalibrated board gets more than 1 % of range wrong.
const std::vector<double> kGroup0Points{-0.9, -0.7, -0.5, 0.5, 0.7};
const std::vector<double> kGroup1Points{-0.9, -0.7, -0.5, 0.7, 0.9};

void ExpectOffBefore(const std::vector<double>& errors) {
    for (double e : errors) EXPECT_GT(std::fabs(e), 1.0);
}
void ExpectWithinAfter(const std::vector<double>& errors) {
    for (double e : errors) EXPECT_LT(std::fabs(e), 0.1);
}

TEST_F(CalibrationScenario, WorkerOnOneAndTwoGroupsAndModel1) {
    const struct {
        const char* name;
        Type type;
        uint8_t ch0, ch1, model;
        double position;
    } runs[] = {
        {"group 0", kType1, 3, 0, 0, 1.0},
        {"groups 0 and 1", kType5, 0, 12, 0, 6.0},
        {"model 1", kType12, 6, 0, 1, 0.5},
    };
    for (const auto& r : runs) {
        SCOPED_TRACE(r.name);
        Fresh();
        const std::vector<double> before0 = Errors(r.type, r.ch0, kGroup0Points);
        ExpectOffBefore(before0);
        std::vector<double> before1;
        if (r.ch1 != 0) ExpectOffBefore(before1 = Errors(r.type, r.ch1, kGroup1Points));

        ASSERT_EQ(i_QMD5820_CalibrationStart(handle, r.type.index, r.ch0, r.ch1, 6, r.position,
                                             r.model), 0);
        uint32_t values[2] = {};
        ASSERT_EQ(Worker(r.ch0, r.ch1, r.position, r.model), 22);
        EXPECT_EQ(Status(handle, values), 0);  // 22 is reported once

        ExpectWithinAfter(Errors(r.type, r.ch0, kGroup0Points, zero_));
        if (r.ch1 != 0) ExpectWithinAfter(Errors(r.type, r.ch1, kGroup1Points));
        // Marked: the default transducer word and bit 0 of both calibration state words.
        EXPECT_EQ(qmdsim_eeprom_get(0, 0), r.type.index * 256 + r.type.selection);
        EXPECT_EQ(qmdsim_eeprom_get(0, static_cast<uint16_t>(8 * r.type.selection)) & 1, 1);
        EXPECT_EQ(qmdsim_eeprom_get(0, static_cast<uint16_t>(8 * r.type.selection + 1)) & 1, 1);
    }
}

// Each adjustment the worker made is needed: undoing any one of them in the stored block
// (by 16 steps) puts some reading off by more than 0.1 % again, gain and zero as they are.
TEST_F(CalibrationScenario, EveryStoredAdjustmentIsNeeded) {
    ASSERT_EQ(i_QMD5820_CalibrationStart(handle, kType1.index, 3, 0, 6, 1.0, 0), 0);
    ASSERT_EQ(Worker(3, 0, 1.0, 0), 22);
    ExpectWithinAfter(Errors(kType1, 3, kGroup0Points));
    const auto base = static_cast<uint16_t>(0x8000 + 512 * kType1.selection);
    for (int field : {13, 1, 0, 7, 6}) {  // symmetry, levels, positions
        SCOPED_TRACE(::testing::Message() << "field " << field);
        const uint16_t word = static_cast<uint16_t>(base + 2 * field);
        const uint16_t stored = qmdsim_eeprom_get(0, word);
        qmdsim_eeprom_set(0, word, static_cast<uint16_t>(stored + 16));
        double worst = 0;
        for (double e : Errors(kType1, 3, kGroup0Points)) worst = std::max(worst, std::fabs(e));
        EXPECT_GT(worst, 0.1);
        qmdsim_eeprom_set(0, word, stored);
    }
}

TEST_F(CalibrationScenario, InteractiveOnOneAndTwoGroups) {
    const struct {
        const char* name;
        Type type;
        uint8_t ch0, ch1;
        double position;
    } runs[] = {
        {"group 0", kType1, 2, 0, 1.0},
        {"groups 0 and 1", kType5, 1, 9, 6.0},
    };
    for (const auto& r : runs) {
        SCOPED_TRACE(r.name);
        Fresh();
        ExpectOffBefore(Errors(r.type, r.ch0, kGroup0Points));
        if (r.ch1 != 0) ExpectOffBefore(Errors(r.type, r.ch1, kGroup1Points));

        uint64_t address = 0;
        ASSERT_EQ(i_QMD5820_StartCalibration(handle, r.type.index, r.ch0, r.ch1, r.position,
                                             &address), 0);
        qmdsim_adjustment_state st{};
        qmdsim_adjustment(0, &st);
        EXPECT_EQ(address, st.address);
        qmdsim_set_position(0, r.ch0, 0.0);
        ASSERT_EQ(i_QMD5820_NextCalibrationStep(handle), 0);  // balance at zero
        qmdsim_set_position(0, r.ch0, r.position);
        ASSERT_EQ(i_QMD5820_NextCalibrationStep(handle), 0);  // positions (and the store)
        if (r.ch1 != 0) {
            ASSERT_EQ(i_QMD5820_NextCalibrationStep(handle), 0);  // group 1 levels
            qmdsim_set_position(0, r.ch1, r.position);
            ASSERT_EQ(i_QMD5820_NextCalibrationStep(handle), 0);  // positions, store
        }
        EXPECT_EQ(i_QMD5820_NextCalibrationStep(handle), -2);  // over
        qmdsim_adjustment(0, &st);
        EXPECT_EQ(st.mode, QMDSIM_ADJUST_CLOSED);

        ExpectWithinAfter(Errors(r.type, r.ch0, kGroup0Points));
        if (r.ch1 != 0) ExpectWithinAfter(Errors(r.type, r.ch1, kGroup1Points));
        EXPECT_EQ(qmdsim_eeprom_get(0, 0), r.type.index * 256 + r.type.selection);
    }
}

TEST_F(CalibrationScenario, FrontEndFaultsReachTheProceduresCodes) {
    // An unreachable symmetry zero: step 1 finds no setting; a board zero beyond what the
    // balance can take: step 4 finds none; the transducer away from the position: step 6.
    qmdsim_frontend_params p{};
    qmdsim_frontend_params_get(0, &p);
    p.symmetry_zero[0] = 300;
    qmdsim_frontend_params_set(0, &p);
    uint64_t address = 0;
    EXPECT_EQ(i_QMD5820_StartCalibration(handle, 1, 0, 0, 1.0, &address), -50);
    EXPECT_EQ(i_QMD5820_BreakCalibration(handle), 0);

    qmdsim_frontend_default_params(&p);
    p.board_zero = 0.4;
    qmdsim_frontend_params_set(0, &p);
    ASSERT_EQ(i_QMD5820_StartCalibration(handle, 1, 0, 0, 1.0, &address), 0);
    EXPECT_EQ(i_QMD5820_NextCalibrationStep(handle), -50);
    EXPECT_EQ(i_QMD5820_BreakCalibration(handle), 0);

    qmdsim_frontend_default_params(&p);
    qmdsim_frontend_params_set(0, &p);
    ASSERT_EQ(i_QMD5820_StartCalibration(handle, 1, 0, 0, 1.0, &address), 0);
    ASSERT_EQ(i_QMD5820_NextCalibrationStep(handle), 0);
    qmdsim_set_position(0, 0, 0.2);  // far from 1.0: no gain reaches it
    EXPECT_EQ(i_QMD5820_NextCalibrationStep(handle), -50);
    EXPECT_EQ(i_QMD5820_BreakCalibration(handle), 0);

    // A frozen conversion counter: the 2 s time-out of the level sampling (step 1: -13,
    // its own -12 recorded under NextCalibrationStep), and of the worker (phase 4, code 10).
    p.conversions_per_second = 0;
    qmdsim_frontend_params_set(0, &p);
    EXPECT_EQ(i_QMD5820_StartCalibration(handle, 1, 0, 0, 1.0, &address), -13);
    EXPECT_EQ(i_QMD5820_BreakCalibration(handle), 0);
    ASSERT_EQ(i_QMD5820_CalibrationStart(handle, 1, 0, 0, 6, 1.0, 0), 0);
    uint32_t values[2] = {};
    ASSERT_EQ(Worker(0, 0, 1.0, 0), 23);
    EXPECT_EQ(Status(handle, values), 23);
    EXPECT_EQ(values[0], 4u);
    EXPECT_EQ(values[1], 10u);
}

// What the worker cannot verify it does not store: positions outside what the position
// phases can reach and check are refused at the start; a confirmation without moving the
// transducer fails the second position phase; the readings stay as they were.
TEST_F(CalibrationScenario, WorkerStoresOnlyWhatItVerified) {
    for (double position : {-1.0, -3.0, -5.0, 1e-300, 0.05, 9.995, 11.0, 100.0, 1e308}) {
        EXPECT_EQ(i_QMD5820_CalibrationStart(handle, kType5.index, 3, 0, 6, position, 0), -5) << position;
    }
    const std::vector<double> before = Errors(kType5, 3, kGroup0Points);
    const auto block = Block(kType5.selection);
    ASSERT_EQ(i_QMD5820_CalibrationStart(handle, kType5.index, 3, 0, 6, 6.0, 0), 0);
    uint32_t values[2] = {};
    ASSERT_EQ(Worker(3, 0, 0.0, 0), 23);  // confirmed at 9 with the transducer still at 0
    EXPECT_EQ(Status(handle, values), 23);
    EXPECT_EQ(values[0], 11u);
    EXPECT_EQ(values[1], 50u);
    EXPECT_EQ(i_QMD5820_CalibrationBreak(handle), 0);
    EXPECT_EQ(Block(kType5.selection), block);
    EXPECT_EQ(qmdsim_eeprom_get(0, static_cast<uint16_t>(8 * kType5.selection)) & 1, 0);
    EXPECT_EQ(Errors(kType5, 3, kGroup0Points), before);
}

TEST_F(CalibrationScenario, BreakInEveryWaitLeavesTheBlockAsItWas) {
    const struct {
        int32_t wait;
        uint8_t ch1, model;
    } cases[] = {{7, 0, 1}, {25, 0, 0}, {9, 0, 0}, {16, 10, 0}, {19, 10, 0}, {19, 0, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "status " << c.wait << " model " << int{c.model});
        Fresh();
        qmdsim_set_position(0, 4, 0.5);  // model 1: away from its zero, so 7 is seen
        const auto block = Block(kType1.selection);
        const uint16_t marks[3] = {qmdsim_eeprom_get(0, 0), qmdsim_eeprom_get(0, 16),
                                   qmdsim_eeprom_get(0, 17)};
        // An impedance other than the factory's: the run writes its computed block first.
        ASSERT_EQ(i_QMD5820_CalibrationStart(handle, 1, 4, c.ch1, 150000, 1.0, c.model), 0);
        ASSERT_EQ(Worker(4, c.ch1, 1.0, c.model, c.wait), c.wait);
        EXPECT_EQ(i_QMD5820_CalibrationBreak(handle), 0);
        EXPECT_EQ(Status(handle), 0);
        EXPECT_EQ(Block(kType1.selection), block);
        EXPECT_EQ(qmdsim_eeprom_get(0, 0), marks[0]);
        EXPECT_EQ(qmdsim_eeprom_get(0, 16), marks[1]);
        EXPECT_EQ(qmdsim_eeprom_get(0, 17), marks[2]);
        qmdsim_adjustment_state st{};
        qmdsim_adjustment(0, &st);
        EXPECT_EQ(st.mode, QMDSIM_ADJUST_CLOSED);
    }
}

}  // namespace
}  // namespace qmdtest
