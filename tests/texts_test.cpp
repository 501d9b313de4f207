// qmd5820_texts.h: the status and failure texts, the number texts and the two checks, with
// what the transducer bounds protect in the settings computation.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>

#include "qmd5820_texts.h"

#include "qmd5820_protocol/bytes.h"
#include "qmd5820_protocol/settings.h"

extern "C" int qmd_c_texts_smoke(void);

namespace {

// The header compiled as C (tests/c_header_test.c), with this platform's C runtime.
TEST(Texts, TheHeaderWorksCompiledAsC) { EXPECT_EQ(qmd_c_texts_smoke(), 0); }

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::string Number(double v) {
    char text[QMD5820_NUMBER_TEXT_SIZE];
    qmd5820_number_text(v, text);
    return text;
}

TEST(Texts, NumbersAreTheShortestDecimalThatReadsBack) {
    const std::pair<double, const char*> cases[] = {
        {327.675, "327.675"}, {1e306, "1e+306"}, {1e-12, "1e-12"},       {2147483647.0, "2147483647"},
        {-0.0, "-0"},         {30.0, "30"},      {2 - 0.01, "1.99"},     {0.1 + 0.2, "0.30000000000000004"},
        {5e-324, "5e-324"},   {-kNan, "nan"},    {-kInf, "-inf"},        {1e16, "10000000000000000"},
        {1e17, "1e+17"},      {1e-4, "0.0001"},  {1e-5, "1e-05"}};
    for (const auto& [value, text] : cases) EXPECT_EQ(Number(value), text) << text;
}

TEST(Texts, EveryWorkerStatusHasItsOwnTextAndTwinPhasesShareTheirFailures) {
    std::set<std::string> texts;
    for (int32_t s = QMD5820_WORKER_IDLE; s <= QMD5820_WORKER_CONFIRM_ZERO; ++s) {
        const std::string text = qmd5820_worker_status_text(s);
        EXPECT_NE(text, QMD5820_UNKNOWN_STATUS_TEXT) << s;
        EXPECT_TRUE(texts.insert(text).second) << s << ": " << text;
    }
    EXPECT_STREQ(qmd5820_worker_status_text(QMD5820_WORKER_PREPARE), "preparing the configuration block");
    EXPECT_STREQ(qmd5820_worker_status_text(-1), QMD5820_UNKNOWN_STATUS_TEXT);
    EXPECT_STREQ(qmd5820_worker_status_text(26), QMD5820_UNKNOWN_STATUS_TEXT);

    EXPECT_STREQ(qmd5820_worker_failure_text(QMD5820_WORKER_GROUP0_SECOND_POSITION, QMD5820_WORKER_BEYOND_LIMIT),
                 "the reading stayed more than 0.005 away from the position: was the transducer at the "
                 "position when it was confirmed?");
    EXPECT_STREQ(qmd5820_worker_failure_text(18, 50), qmd5820_worker_failure_text(11, 50));
    EXPECT_STREQ(qmd5820_worker_failure_text(13, 50), qmd5820_worker_failure_text(4, 50));
    EXPECT_STRNE(qmd5820_worker_failure_text(5, 50), qmd5820_worker_failure_text(4, 50));
    EXPECT_STRNE(qmd5820_worker_failure_text(15, 10), qmd5820_worker_failure_text(14, 10));  // levels request
    // No limit, so no such failure: the first position phase, the threshold search.
    EXPECT_STREQ(qmd5820_worker_failure_text(10, 50), QMD5820_UNKNOWN_FAILURE_TEXT);
    EXPECT_STREQ(qmd5820_worker_failure_text(20, 50), QMD5820_UNKNOWN_FAILURE_TEXT);
    EXPECT_STREQ(qmd5820_worker_failure_text(24, 4),
                 "writing the configuration block back failed (the break can be repeated)");
}

TEST(Texts, TransducerDataFirstFieldOutOfBoundsWithItsText) {
    struct Case {
        double r, s, f, v, z;
        int field;
        const char* text;
    };
    const Case cases[] = {
        {2, 50, 5000, 3, 6, 0, ""},
        {327.675, 1e306, 2147483647, 30, 2147483.647, 0, ""},  // every maximum
        {4.9e-324, 4.9e-324, 4.9e-324, 1.0000000000000002e-12, 4.9e-324, 0, ""},
        {-5, 40, 3000, 3, 350, 1, "range: expected a number above 0 and at most 327.675 mm, got -5"},
        {0, 40, 3000, 3, 350, 1, "range: expected a number above 0 and at most 327.675 mm, got 0"},
        {327.67500000000007, 40, 3000, 3, 350, 1,
         "range: expected a number above 0 and at most 327.675 mm, got 327.67500000000007"},
        {kNan, 40, 3000, 3, 350, 1, "range: expected a number above 0 and at most 327.675 mm, got nan"},
        {4, 0, 3000, 3, 350, 2, "sensitivity: expected a number above 0 and at most 1e+306 mV/V/mm, got 0"},
        {4, 1e308, 3000, 3, 350, 2, "sensitivity: expected a number above 0 and at most 1e+306 mV/V/mm, got 1e+308"},
        {4, 40, -1, 3, 350, 3, "frequency: expected a number above 0 and at most 2147483647 Hz, got -1"},
        {4, 40, 2147483648.0, 3, 350, 3,
         "frequency: expected a number above 0 and at most 2147483647 Hz, got 2147483648"},
        {4, 40, 3000, 1e-12, 350, 4, "voltage: expected a number above 1e-12 and at most 30 V, got 1e-12"},
        {4, 40, 3000, 30.000000000000004, 350, 4,
         "voltage: expected a number above 1e-12 and at most 30 V, got 30.000000000000004"},
        {4, 40, 3000, -kInf, 350, 4, "voltage: expected a number above 1e-12 and at most 30 V, got -inf"},
        {4, 40, 3000, 3, -1, 5, "impedance: expected a number above 0 and at most 2147483.647 ohm, got -1"},
        {4, 40, 3000, 3, 1e308, 5, "impedance: expected a number above 0 and at most 2147483.647 ohm, got 1e+308"},
        {-1, -1, -1, -1, -1, 1, "range: expected a number above 0 and at most 327.675 mm, got -1"},
    };
    for (const Case& c : cases) {
        char text[128] = "untouched";
        EXPECT_EQ(qmd5820_transducer_data_problem(c.r, c.s, c.f, c.v, c.z, text, sizeof text), c.field) << c.text;
        EXPECT_STREQ(text, c.text);
        EXPECT_EQ(qmd5820_transducer_data_problem(c.r, c.s, c.f, c.v, c.z, nullptr, 0), c.field);
    }
    char small[12] = "untouched";
    EXPECT_EQ(qmd5820_transducer_data_problem(-5, 40, 3000, 3, 350, small, sizeof small), 1);
    EXPECT_STREQ(small, "range: expe");  // cut to the buffer, terminated
    EXPECT_EQ(qmd5820_transducer_data_problem(-5, 40, 3000, 3, 350, small, 0), 1);
    EXPECT_STREQ(small, "range: expe");  // size 0: nothing written
}

// What the voltage and frequency bounds protect: within them the settings computation's
// attenuation field holds the whole dB and the first gain is a potentiometer value; the
// truncated frequency is the frequency. Just outside they are not.
TEST(Texts, VoltageAndFrequencyBoundsAreWhereTheSettingsFieldsStopHoldingThem) {
    const auto field = [](double v, uint32_t k) {
        uint8_t block[qmd::kConfigurationBlockBytes] = {};
        qmd::ComputeTransducerSettings(v, 50.0, 2.0, 6.0, 5000, block);
        return static_cast<int32_t>(qmd::bytes::GetU32(block + 4 * k));
    };
    const auto whole_db = [](double v) { return static_cast<int32_t>(-20.0 * std::log10(v / 4.644258620689655)); };
    EXPECT_EQ(field(1.0000000000000002e-12, 34) & 0xFF, whole_db(1.0000000000000002e-12));  // 253 dB
    EXPECT_EQ(field(1.0000000000000002e-12, 34) & ~0xFF, 0x300);
    EXPECT_NE(field(5e-13, 34) & 0xFF, whole_db(5e-13));  // 259 dB does not fit
    EXPECT_GE(field(30.0, 1), 0);   // first gain
    EXPECT_LT(field(33.0, 1), 0);
    EXPECT_EQ(qmd::TruncateFrequency(2147483647.9), 2147483647u);
    EXPECT_NE(qmd::TruncateFrequency(4e9), 4000000000u);
}

TEST(Texts, WorkerPositionWithinTheBoundsOfItsRange) {
    struct Case {
        double position, range;
        int result;
        const char* text;
    };
    const Case cases[] = {
        {1.0, 2.0, 0, ""},
        {0.015625, 2.0, 0, ""},  // R / 128
        {1.99, 2.0, 0, ""},      // R - 0.01
        {0.01, 1.0, 0, ""},      // 0.01 above R / 128
        {-1, 10.0, 1, "position: expected a number from 0.078125 to 9.99 mm for a range of 10 mm, got -1"},
        {1e-300, 10.0, 1, "position: expected a number from 0.078125 to 9.99 mm for a range of 10 mm, got 1e-300"},
        {11, 10.0, 1, "position: expected a number from 0.078125 to 9.99 mm for a range of 10 mm, got 11"},
        {0.0099, 1.0, 1, "position: expected a number from 0.01 to 0.99 mm for a range of 1 mm, got 0.0099"},
        {kNan, 2.0, 1, "position: expected a number from 0.015625 to 1.99 mm for a range of 2 mm, got nan"},
        {0.01, 0.0199, 2, "position: a range of 0.0199 mm leaves no position to calibrate at (it needs at least 0.02 mm)"},
        {1.0, -2.0, 2, "position: a range of -2 mm leaves no position to calibrate at (it needs at least 0.02 mm)"},
        {1.0, kInf, 2, "position: a range of inf mm leaves no position to calibrate at (it needs at least 0.02 mm)"},
        {0.01, 0.02, 0, ""},
    };
    for (const Case& c : cases) {
        char text[160] = "untouched";
        EXPECT_EQ(qmd5820_worker_position_problem(c.position, c.range, text, sizeof text), c.result) << c.text;
        EXPECT_STREQ(text, c.text);
    }
}

}  // namespace
