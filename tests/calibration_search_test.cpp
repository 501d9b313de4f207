// The calibration searches and the shared table and block layouts, without a board.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "calibration/calibration.h"
#include "calibration/search.h"

namespace {

namespace search = qmd::search;
using search::Measured;

// A measure callback that logs its trials and answers deviation(trial).
template <class T>
auto Logged(std::vector<T>& trials, std::function<double(T)> deviation) {
    return [&trials, deviation](T v) {
        trials.push_back(v);
        return Measured{0, deviation(v)};
    };
}
const auto kNoBreak = [] { return false; };

TEST(SuccessiveApproximation, TrialsFromTheHighestBitDownAndTheBestKept) {
    struct Case {
        std::function<double(uint8_t)> deviation;
        std::vector<uint8_t> trials;
        uint8_t best;
    };
    const Case cases[] = {
        {[](uint8_t v) { return v * 1.0; }, {128, 64, 32, 16, 8, 4, 2, 1}, 1},
        {[](uint8_t v) { return v - 300.0; }, {128, 192, 224, 240, 248, 252, 254, 255}, 255},
        {[](uint8_t) { return 0.0; }, {128}, 128},                               // zero: at once
        {[](uint8_t) { return 7.0; }, {128, 64, 32, 16, 8, 4, 2, 1}, 128},       // earliest of equals
        {[](uint8_t v) { return v == 64 ? 0.0 : 9.0; }, {128, 64}, 64},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> trials;
        const auto r = search::SuccessiveApproximation(Logged(trials, c.deviation), 65535);
        EXPECT_EQ(trials, c.trials);
        EXPECT_EQ(r.best, c.best);
        EXPECT_EQ(r.least, std::fabs(c.deviation(c.best)));
    }
    int calls = 0;
    const auto failed = search::SuccessiveApproximation(
        [&](uint8_t) { return ++calls == 3 ? Measured{-3, 0} : Measured{0, 5}; }, 65535);
    EXPECT_EQ(failed.code, -3);
    EXPECT_EQ(calls, 3);
}

TEST(BalancePass, DirectionByPassStepsDownTo2Pow23AndConvergence) {
    for (int pass = 0; pass < 2; ++pass) {
        std::vector<double> trials;
        const auto r = search::BalancePass(pass, Logged<double>(trials, [](double) { return -1.0; }));
        ASSERT_EQ(trials.size(), 22u);
        EXPECT_EQ(trials[1], pass == 0 ? 0.75 : 0.25);
        EXPECT_EQ(trials[2], pass == 0 ? 0.875 : 0.125);
        EXPECT_EQ(std::fabs(trials[21] - trials[20]), std::ldexp(1.0, -22));
        EXPECT_EQ(r.best, 0.5);
        // A reading falling with x converges in pass 1 only.
        std::vector<double> t2;
        const auto z = search::BalancePass(pass, Logged<double>(t2, [](double x) { return 0.755 - x; }));
        EXPECT_EQ(z.least <= search::kBalanceLimit, pass == 1);
        EXPECT_TRUE(pass == 0 || std::fabs(z.best - 0.755) < 1e-6);
    }
}

TEST(Bisection, DocumentedSequencesLeastDeviationBreakAndFailure) {
    struct Case {
        bool rising;
        std::function<double(uint8_t)> deviation;
        std::vector<uint8_t> trials;
        uint8_t value;
        double remaining;  // |deviation| measured with the value finished with
    };
    const Case cases[] = {
        {true, [](uint8_t) { return 5.0; }, {127, 191, 223, 239, 247, 251, 253, 254}, 127, 5},
        {false, [](uint8_t) { return 5.0; }, {127, 63, 31, 15, 7, 3, 1, 0}, 127, 5},
        {true, [](uint8_t) { return 0.0; }, {127}, 127, 0},
        {true, [](uint8_t v) { return 191.0 - v; }, {127, 191}, 191, 0},
        {true, [](uint8_t v) { return 200.25 - v; }, {127, 191, 223, 207, 199, 203, 201, 200}, 200, 0.25},
        // Out of reach: ends at the end stop with what is left there.
        {true, [](uint8_t v) { return 300.0 - v; }, {127, 191, 223, 239, 247, 251, 253, 254}, 254, 46},
        {false, [](uint8_t v) { return 40.0 + v; }, {127, 63, 31, 15, 7, 3, 1, 0}, 0, 40},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> trials;
        const auto r = search::Bisection(c.rising, Logged(trials, c.deviation), kNoBreak);
        EXPECT_EQ(trials, c.trials);
        EXPECT_EQ(r.value, c.value);
        EXPECT_EQ(r.deviation, c.remaining);
    }
    int calls = 0;
    const auto broken = search::Bisection(
        true, [&](uint8_t) { ++calls; return Measured{0, 5}; }, [&] { return calls == 2; });
    EXPECT_EQ(broken.value, 223);  // the next trial, unmeasured
    EXPECT_TRUE(std::isinf(broken.deviation));
    EXPECT_EQ(search::Bisection(false, [](uint8_t) { return Measured{-10, 0}; }, kNoBreak).code, -10);
}

TEST(FactorBisection, DirectionBySearchedFactorConvergenceAndBreak) {
    for (const bool b : {true, false}) {
        std::vector<double> trials;
        const auto r = search::FactorBisection(
            b, Logged<double>(trials, [b](double x) { return b ? (0.9 - x) * 1e6 : (x - 0.6) * 1e6; }),
            kNoBreak);
        EXPECT_EQ(trials[1], b ? 0.875 : 0.625);
        EXPECT_NEAR(r.factor, b ? 0.9 : 0.6, 1e-6);
        EXPECT_LE(trials.size(), 22u);
        EXPECT_LT(r.deviation, 1.0);
        // Out of reach: the end of the interval and what is left there.
        const auto left = [b](double x) { return b ? 1000 * (2 - x) : 1000 * (x + 1); };
        const auto far = search::FactorBisection(b, [&](double x) { return Measured{0, left(x)}; }, kNoBreak);
        EXPECT_NEAR(far.factor, b ? 1.0 : 0.5, 1e-6);
        EXPECT_EQ(far.deviation, left(far.factor));
    }
    int calls = 0;
    const auto broken = search::FactorBisection(
        true, [&](double) { ++calls; return Measured{0, 1}; }, [&] { return calls == 1; });
    EXPECT_EQ(broken.factor, 0.875);
    EXPECT_TRUE(std::isinf(broken.deviation));
}

TEST(ThresholdSearch, FirstRespondingValueABreakOr255) {
    int probes = 0;
    const auto probe = [&](int from) {
        return [&probes, from](uint8_t v) { ++probes; return search::Probe{0, v >= from}; };
    };
    auto r = search::ThresholdSearch(probe(100), kNoBreak);
    EXPECT_TRUE(r.record && r.value == 100 && probes == 101);
    probes = 0;
    r = search::ThresholdSearch(probe(1000), kNoBreak);
    EXPECT_TRUE(r.record && r.value == 255 && probes == 256);  // each value once
    r = search::ThresholdSearch(probe(1000), [&] { return probes == 266; });
    EXPECT_TRUE(r.record && r.value == 10);
    r = search::ThresholdSearch([](uint8_t v) { return search::Probe{int16_t(v == 5 ? 3 : 0), false}; },
                                kNoBreak);
    EXPECT_TRUE(r.code == 3 && !r.record);
}

int32_t Signed24(uint32_t s) { return s >= 0x800000u ? static_cast<int32_t>(s) - 0x1000000 : static_cast<int32_t>(s); }

TEST(SineTable, PointsSamplesAndSaturation) {
    const std::pair<double, int> points[] = {{5000, 39}, {3125, 63}, {3062.5, 64}, {3038, 0}, {196000, 1},
                                             {392001, 0}, {0, 0},    {-5000, 0},   {NAN, 0},  {INFINITY, 0}};
    for (const auto& [f, n] : points) EXPECT_EQ(qmd::SineTablePoints(f), n) << f;
    const qmd::ExcitationTable t = qmd::ComputeSineTable(39, 0.75, 0.75);
    EXPECT_EQ(t.count, 39);
    EXPECT_EQ(t.a[0], 0u);
    for (std::size_t i = 0; i < 39; ++i) {
        EXPECT_EQ(t.a[i] >> 24, 0u);
        EXPECT_NEAR(Signed24(t.a[i]), -Signed24(t.b[i]), 1) << i;
    }
    EXPECT_NEAR(Signed24(t.a[10]), std::sin(6.283185307179586 * 10 / 39) * 0.75 * 0x7FFFFF, 2);
    const qmd::ExcitationTable s = qmd::ComputeSineTable(4, 1.5, 1.5);  // saturates, no sign flip
    EXPECT_EQ(Signed24(s.a[1]), 0x7FFFFF);
    EXPECT_EQ(Signed24(s.b[1]), -0x800000);
}

}  // namespace
