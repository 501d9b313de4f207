// The calibration searches and the shared table and block layouts, without a board.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "calibration/calibration.h"
#include "calibration/search.h"

namespace {

using qmd::search::Measured;

// A measure callback that logs its trials and answers with a fixed deviation, or with a
// deviation computed from the trial.
template <class T>
struct Script {
    std::vector<T> trials;
    std::function<double(T)> deviation;
    std::function<Measured(T)> Fn() {
        return [this](T v) {
            trials.push_back(v);
            return Measured{0, deviation(v)};
        };
    }
};

const auto kNoBreak = [] { return false; };

TEST(SuccessiveApproximation, TrialsFollowTheSignFromTheHighestBitDown) {
    struct Case {
        double sign;
        std::vector<uint8_t> trials;
    };
    const Case cases[] = {
        {+1, {128, 64, 32, 16, 8, 4, 2, 1}},
        {-1, {128, 192, 224, 240, 248, 252, 254, 255}},
    };
    for (const Case& c : cases) {
        Script<uint8_t> s;
        // |e| is least at the last trial either way.
        s.deviation = [&](uint8_t v) { return c.sign > 0 ? v : v - 300.0; };
        const auto r = qmd::search::SuccessiveApproximation(s.Fn(), 65535);
        EXPECT_EQ(s.trials, c.trials);
        EXPECT_EQ(r.best, c.trials.back());
        EXPECT_EQ(r.least, std::fabs(s.deviation(c.trials.back())));
    }
}

TEST(SuccessiveApproximation, ZeroStopsAtOnceAndEqualDeviationsKeepTheEarlierValue) {
    Script<uint8_t> zero;
    zero.deviation = [](uint8_t) { return 0.0; };
    const auto r = qmd::search::SuccessiveApproximation(zero.Fn(), 65535);
    EXPECT_EQ(zero.trials, std::vector<uint8_t>{128});
    EXPECT_EQ(r.best, 128);
    EXPECT_EQ(r.least, 0);

    Script<uint8_t> equal;
    equal.deviation = [](uint8_t) { return 7.0; };
    EXPECT_EQ(qmd::search::SuccessiveApproximation(equal.Fn(), 65535).best, 128);

    // Nothing measured below the initial least: the start value stays.
    Script<uint8_t> large;
    large.deviation = [](uint8_t) { return 1e6; };
    const auto l = qmd::search::SuccessiveApproximation(large.Fn(), 65535);
    EXPECT_EQ(l.best, 128);
    EXPECT_EQ(l.least, 65535);
}

TEST(SuccessiveApproximation, AFailedMeasurementEndsTheSearchWithItsCode) {
    int calls = 0;
    const auto r = qmd::search::SuccessiveApproximation(
        [&](uint8_t) { return ++calls == 3 ? Measured{-3, 0} : Measured{0, 5}; }, 65535);
    EXPECT_EQ(r.code, -3);
    EXPECT_EQ(calls, 3);
}

TEST(BalancePass, DirectionDependsOnThePassAndStepsHalveDownTo2Pow23) {
    for (int pass = 0; pass < 2; ++pass) {
        Script<double> s;
        s.deviation = [](double) { return -1.0; };
        const auto r = qmd::search::BalancePass(pass, s.Fn());
        ASSERT_EQ(s.trials.size(), 22u);
        EXPECT_EQ(s.trials[0], 0.5);
        EXPECT_EQ(s.trials[1], pass == 0 ? 0.75 : 0.25);
        EXPECT_EQ(s.trials[2], pass == 0 ? 0.875 : 0.125);
        EXPECT_EQ(std::fabs(s.trials[21] - s.trials[20]), std::ldexp(1.0, -22));
        EXPECT_EQ(r.best, 0.5);  // all equal: the first stays
        EXPECT_EQ(r.least, 1.0);
    }
}

TEST(BalancePass, ConvergesOnTheZeroOfAFallingReading) {
    Script<double> s;
    s.deviation = [](double x) { return 0.755 - x; };  // positive below the zero
    const auto r = qmd::search::BalancePass(1, s.Fn());
    EXPECT_NEAR(r.best, 0.755, 1e-6);
    EXPECT_LE(r.least, qmd::search::kBalanceLimit);
    Script<double> wrong;
    wrong.deviation = [](double x) { return 0.755 - x; };
    EXPECT_GT(qmd::search::BalancePass(0, wrong.Fn()).least, qmd::search::kBalanceLimit);
}

TEST(Bisection, DocumentedTrialSequences) {
    struct Case {
        bool rising;
        double deviation;
        std::vector<uint8_t> trials;
        uint8_t value;
    };
    const Case cases[] = {
        {true, 5, {127, 191, 223, 239, 247, 251, 253, 254}, 127},
        {false, 5, {127, 63, 31, 15, 7, 3, 1, 0}, 127},
        {true, -5, {127, 63, 31, 15, 7, 3, 1, 0}, 127},
        {true, 0, {127}, 127},
    };
    for (const Case& c : cases) {
        Script<uint8_t> s;
        s.deviation = [&](uint8_t) { return c.deviation; };
        const auto r = qmd::search::Bisection(c.rising, s.Fn(), kNoBreak);
        EXPECT_EQ(s.trials, c.trials);
        EXPECT_EQ(r.value, c.value);  // equal deviations: the earliest entry
        EXPECT_EQ(r.measurements, static_cast<int>(c.trials.size()));
    }
}

TEST(Bisection, ChoosesTheLeastDeviationAndFindsAZero) {
    Script<uint8_t> s;
    s.deviation = [](uint8_t v) { return 200.25 - v; };  // rising: positive below 200.25
    EXPECT_EQ(qmd::search::Bisection(true, s.Fn(), kNoBreak).value, 200);
    Script<uint8_t> z;
    z.deviation = [](uint8_t v) { return 191.0 - v; };
    const auto r = qmd::search::Bisection(true, z.Fn(), kNoBreak);
    EXPECT_EQ(r.value, 191);
    EXPECT_EQ(r.measurements, 2);
}

TEST(Bisection, ABreakFinishesWithTheCurrentTrialAndAFailureWithItsCode) {
    int calls = 0;
    const auto r = qmd::search::Bisection(
        true, [&](uint8_t) { ++calls; return Measured{0, 5}; }, [&] { return calls == 2; });
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.value, 223);  // 127, 191 measured; 223 next
    const auto f = qmd::search::Bisection(
        false, [](uint8_t) { return Measured{-10, 0}; }, kNoBreak);
    EXPECT_EQ(f.code, -10);
}

TEST(FactorBisection, DirectionBySearchedFactorAndConvergence) {
    for (const bool search_b : {true, false}) {
        Script<double> s;
        // d = 32767 - value 0; for B a positive d means the factor is too small.
        s.deviation = [&](double x) { return search_b ? (0.9 - x) * 1e6 : (x - 0.6) * 1e6; };
        const auto r = qmd::search::FactorBisection(search_b, s.Fn(), kNoBreak);
        EXPECT_EQ(s.trials[0], 0.75);
        EXPECT_EQ(s.trials[1], search_b ? 0.875 : 0.625);
        EXPECT_NEAR(r.factor, search_b ? 0.9 : 0.6, 1e-6);
        EXPECT_LE(r.measurements, 22);
        EXPECT_GE(r.measurements, 20);
    }
    int calls = 0;
    const auto b = qmd::search::FactorBisection(
        true, [&](double) { ++calls; return Measured{0, 1}; }, [&] { return calls == 1; });
    EXPECT_EQ(b.factor, 0.875);
}

TEST(ThresholdSearch, RecordsTheFirstRespondingValueABreakOr255) {
    std::vector<int> probed;
    const auto found = qmd::search::ThresholdSearch(
        [&](uint8_t v) { probed.push_back(v); return qmd::search::Probe{0, v >= 100}; }, kNoBreak);
    EXPECT_TRUE(found.record);
    EXPECT_EQ(found.value, 100);
    EXPECT_EQ(probed.size(), 101u);

    probed.clear();
    const auto never = qmd::search::ThresholdSearch(
        [&](uint8_t v) { probed.push_back(v); return qmd::search::Probe{0, false}; }, kNoBreak);
    EXPECT_TRUE(never.record);
    EXPECT_EQ(never.value, 255);
    EXPECT_EQ(probed.size(), 256u);  // each value once, no wrap-around

    int n = 0;
    const auto stop = qmd::search::ThresholdSearch(
        [](uint8_t) { return qmd::search::Probe{0, false}; }, [&] { return ++n == 11; });
    EXPECT_TRUE(stop.record);
    EXPECT_EQ(stop.value, 10);

    const auto failed = qmd::search::ThresholdSearch(
        [](uint8_t v) { return qmd::search::Probe{v == 5 ? int16_t{3} : int16_t{0}, false}; },
        kNoBreak);
    EXPECT_EQ(failed.code, 3);
    EXPECT_FALSE(failed.record);
}

int32_t Signed24(uint32_t sample) {
    EXPECT_EQ(sample >> 24, 0u);
    return (sample & 0x800000u) != 0 ? static_cast<int32_t>(sample) - 0x1000000
                                     : static_cast<int32_t>(sample);
}

TEST(SineTable, PointsFromTheFrequencyAndRefusedCounts) {
    struct Case {
        double frequency;
        uint8_t points;
    };
    const Case cases[] = {{5000, 39}, {3125, 63}, {3062.5, 64}, {3038, 0}, {196000, 1},
                          {392001, 0}, {0, 0},    {-5000, 0},   {NAN, 0},  {INFINITY, 0}};
    for (const Case& c : cases) EXPECT_EQ(qmd::SineTablePoints(c.frequency), c.points) << c.frequency;
}

TEST(SineTable, SamplesAre24BitMirrorsAndSaturate) {
    const qmd::ExcitationTable t = qmd::ComputeSineTable(39, 0.75, 0.75);
    ASSERT_EQ(t.count, 39);
    EXPECT_EQ(t.a[0], 0u);
    for (int i = 0; i < 39; ++i) {
        EXPECT_NEAR(Signed24(t.a[i]), -Signed24(t.b[i]), 1) << i;
    }
    EXPECT_NEAR(Signed24(t.a[10]), std::sin(6.283185307179586 * 10 / 39) * 0.75 * 0x7FFFFF, 2);
    // 1.5 x full scale saturates: the peak stays positive at the top of the scale.
    const qmd::ExcitationTable s = qmd::ComputeSineTable(4, 1.5, 1.5);
    EXPECT_EQ(Signed24(s.a[1]), 0x7FFFFF);
    EXPECT_EQ(Signed24(s.b[1]), -0x800000);
    EXPECT_EQ(s.a[3] , s.b[1]);
}

TEST(ExcitationRecord, LayoutOfTheTableRequest) {
    qmd::ExcitationTable t;
    t.count = 2;
    t.a[0] = 0x00123456;
    t.a[1] = 0x00ABCDEF;
    t.b[0] = 0x00FEDCBA;
    t.b[1] = 0x00000001;
    t.a[2] = 0x00777777;  // beyond the count: not sent
    uint8_t record[516] = {};
    qmd::EncodeExcitationTable(t, record);
    EXPECT_EQ(record[1], 2);
    EXPECT_EQ(record[4], 0x56);
    EXPECT_EQ(record[6], 0x12);
    EXPECT_EQ(record[8], 0xEF);
    EXPECT_EQ(record[12], 0);
    EXPECT_EQ(record[260], 0xBA);
    EXPECT_EQ(record[264], 0x01);
    const qmd::ExcitationTable back = qmd::DecodeExcitationTable(record);
    EXPECT_EQ(back.count, 2);
    EXPECT_EQ(back.a[1], t.a[1]);
    EXPECT_EQ(back.b[0], t.b[0]);
}

TEST(ConfigurationBlock, CalibrationFieldsAndAddresses) {
    std::array<uint16_t, qmd::kBlockWords> block{};
    block.fill(0xEEEE);
    qmd::ExcitationTable t;
    t.count = 3;
    for (int i = 0; i < 3; ++i) {
        t.a[static_cast<std::size_t>(i)] = 0x00010000u + static_cast<uint32_t>(i);
        t.b[static_cast<std::size_t>(i)] = 0x00FF0000u + static_cast<uint32_t>(i);
    }
    qmd::EnterExcitation(block, t, 0.75, 1.0);
    EXPECT_EQ(qmd::GetBlockU32(block, 132), 2u * 65536u);
    EXPECT_EQ(qmd::GetBlockU32(block, 148), 75000u);
    EXPECT_EQ(qmd::GetBlockU32(block, 152), 100000u);
    EXPECT_EQ(block[256], 0x0000);  // A[0] low word at byte 512
    EXPECT_EQ(block[257], 0x0001);
    EXPECT_EQ(qmd::GetBlockU32(block, 516 + 16), 0x00FF0002u);
    EXPECT_EQ(qmd::GetBlockU32(block, 512 + 24), 0xEEEEEEEEu);  // pair 3 keeps its content
    EXPECT_EQ(qmd::GetBlockU32(block, 136), 0xEEEEEEEEu);
    EXPECT_EQ(qmd::BlockWordAddress(2, 0), 0x8400);
    EXPECT_EQ(qmd::BlockWordAddress(15, 511), 0x9FFF);
}

}  // namespace
