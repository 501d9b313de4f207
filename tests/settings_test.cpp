// Excitation profiles, sample scaling and the configuration block of a transducer type.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>

#include "qmd5820_protocol/bytes.h"
#include "qmd5820_protocol/settings.h"

namespace qmd {
namespace {

using Block = uint8_t[kConfigurationBlockBytes];

uint32_t Field(const Block& block, std::size_t k) { return bytes::GetU32(block + 4 * k); }
int32_t SignedField(const Block& block, std::size_t k) {
    return static_cast<int32_t>(Field(block, k));
}

// A block computed from a buffer full of garbage, so that untouched bytes show.
struct Settings {
    Block block;
    Settings(double v, double s, double r, double z, uint32_t f, uint8_t fill = 0xA5) {
        std::memset(block, fill, sizeof block);
        ComputeTransducerSettings(v, s, r, z, f, block);
    }
    uint32_t operator[](std::size_t k) const { return Field(block, k); }
};

constexpr double kMaxAmplitude = 4.644258620689655;

// ---- profiles ----------------------------------------------------------------------------

TEST(ExcitationProfiles, HeadsAndMirroredHalfPeriods) {
    struct Head {
        uint32_t frequency, code, count;
        std::array<uint32_t, 2> first_pair;  // pair 1 as listed for the board
    };
    const Head heads[6] = {
        {13951, 0, 7, {0xC876B8, 0x378980}}, {4883, 1, 20, {0xEBFA0A, 0x14060B}},
        {7512, 2, 13, {0xE15E3A, 0x1EA1E5}}, {9766, 3, 10, {0xD8724A, 0x278DDE}},
        {19531, 4, 5, {0xB4C3C0, 0x4B3C8C}}, {48828, 5, 2, {0x800080, 0x7FFFFF}}};
    const std::array<uint32_t, 2> zero{0, 0};
    const auto& profiles = ExcitationProfiles();
    for (std::size_t i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        const ExcitationProfile& p = profiles[i];
        EXPECT_EQ(p.frequency, heads[i].frequency);
        EXPECT_EQ(p.code, heads[i].code);
        ASSERT_EQ(p.count, heads[i].count);
        EXPECT_EQ(p.pairs[0], zero);
        EXPECT_EQ(p.pairs[1], heads[i].first_pair);
        for (uint32_t j = 1; j < p.count; ++j) EXPECT_EQ(p.pairs[j], p.pairs[p.count - j]) << j;
        for (uint32_t j = p.count; j < 64; ++j) EXPECT_EQ(p.pairs[j], zero) << j;
    }
    // The crest of the even profiles and the last listed pairs of the odd ones.
    EXPECT_EQ(profiles[1].pairs[10], (std::array<uint32_t, 2>{0x800080, 0x7FFFFF}));
    EXPECT_EQ(profiles[1].pairs[11], (std::array<uint32_t, 2>{0x8193ED, 0x7E6C92}));
    EXPECT_EQ(profiles[3].pairs[5], (std::array<uint32_t, 2>{0x800080, 0x7FFFFF}));
    EXPECT_EQ(profiles[0].pairs[4], (std::array<uint32_t, 2>{0x83360E, 0x7CCA6F}));
    EXPECT_EQ(profiles[2].pairs[7], (std::array<uint32_t, 2>{0x80EF6A, 0x7F1116}));
    EXPECT_EQ(profiles[4].pairs[3], (std::array<uint32_t, 2>{0x864442, 0x79BC38}));
}

TEST(ExcitationProfiles, NearestByUnsignedDistanceLowerIndexOnTies) {
    const struct {
        uint32_t frequency;
        std::size_t profile;
    } cases[] = {
        {11741, 3},       // 1975 from 9766 against 2210 from 13951
        {8639, 2},        // 1127 from both 7512 and 9766
        {0, 1},           // the lowest frequency
        {16741, 0},       // 2790 from both 13951 and 19531
        {13951, 0},  {48828, 5}, {0xFFFFFFFFu, 5}, {6197, 1}, {6198, 2},
    };
    for (const auto& c : cases) EXPECT_EQ(NearestProfile(c.frequency), c.profile) << c.frequency;
}

// ---- sample scaling ------------------------------------------------------------------------

TEST(ScaleSample, PositiveLimitedNegativeOnOnesComplement) {
    const struct {
        uint32_t sample;
        double factor;
        uint32_t expected;
    } cases[] = {
        {0x7FFFFF, 1.0, 0x7FFFFF}, {0x7FFFFF, 2.0, 0x7FFFFF}, {0x800080, 2.0, 0x800000},
        {0x800080, 1.0, 0x800080}, {0x400000, 0.5, 0x200000}, {0x000003, 0.5, 0x000001},
        {0xFFFFFD, 0.5, 0xFFFFFE},  // ones' complement 2 -> 1
        {0xFFFFFF, 5.0, 0xFFFFFF}, {0x000000, 3.0, 0x000000}, {0x123456, 0.0, 0x000000},
        {0x876543, 0.0, 0xFFFFFF},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ScaleSample(c.sample, c.factor), c.expected)
            << std::hex << c.sample << " x " << c.factor;
    }
}

// ---- configuration block --------------------------------------------------------------------

TEST(TransducerSettings, AttenuationSplitIntoWholeDbAndFraction) {
    const struct {
        double v;
        uint32_t field34;
        uint32_t m_min, m_max;
    } cases[] = {
        {1.0, 0x30D, 96179, 96179},
        {3.0, 0x303, 91244, 91244},
        {kMaxAmplitude, 0x300, 99999, 100000},
        {5.0, 0x300, 100000, 100000},
        {40.0, 0x300, 100000, 100000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.v);
        const Settings s(c.v, 50.0, 2.0, 6.0, 5000);
        EXPECT_EQ(s[34], c.field34);
        EXPECT_GE(s[35], c.m_min);
        EXPECT_LE(s[35], c.m_max);
        for (std::size_t k = 36; k <= 38; ++k) EXPECT_EQ(s[k], s[35]) << k;
    }
}

TEST(TransducerSettings, PotentiometersAndGains) {
    const struct {
        double v, sensitivity, range;
        int32_t g1, g2;
    } cases[] = {
        {3.0, 50.0, 2.0, 123, 99},
        {1.0, 50.0, 2.0, 255, 255},  // limited from above
        {40.0, 50.0, 2.0, -3, -5},   // no lower limit: stored as negative 32-bit values
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.v);
        const Settings s(c.v, c.sensitivity, c.range, 6.0, 5000);
        for (std::size_t k = 0; k < 32; ++k) {
            if (k == 1 || k == 9) {
                EXPECT_EQ(SignedField(s.block, k), c.g1) << k;
            } else if (k == 3 || k == 7) {
                EXPECT_EQ(SignedField(s.block, k), c.g2) << k;
            } else {
                EXPECT_EQ(s[k], 128u) << k;
            }
        }
        EXPECT_EQ(s[39], 255u);
    }
}

TEST(TransducerSettings, AmplitudeRangeThresholds) {
    const struct {
        double v;
        uint32_t bits;
    } cases[] = {{1.0, 0}, {2.8, 0}, {2.81, 0x20000}, {4.8, 0x20000},
                 {4.81, 0x10000}, {6.6, 0x10000}, {6.61, 0x30000}, {40.0, 0x30000}};
    for (const auto& c : cases) {
        const Settings s(c.v, 50.0, 2.0, 6.0, 5000);
        EXPECT_EQ(s[32] & 0xFFFF0000u, c.bits) << c.v;
    }
}

TEST(TransducerSettings, ImpedanceCodeNearestRowLowerRowOnTies) {
    const struct {
        double z;
        uint32_t code;
    } cases[] = {
        {6.0, 1},     // 4000 from rows 0 and 1
        {6.001, 3},   {0.0, 1},    {10.0, 3},
        {55.0, 3},    // 45000 from rows 1 and 2
        {55.001, 5},  {150.0, 5},  // 50000 from rows 2 and 3
        {150.001, 0}, {1000.0, 0},
        {-1.0, 0},    // a negative value compares as a huge unsigned one
    };
    for (const auto& c : cases) {
        const Settings s(1.0, 50.0, 2.0, c.z, 5000);
        EXPECT_EQ((s[32] >> 8) & 0xFFu, c.code) << c.z;
    }
}

TEST(TransducerSettings, ProfileCodeLastEntryAndWaveformOfTheShortestProfile) {
    // Unscaled (V above the maximum amplitude), profile 5.
    const Settings s(5.0, 50.0, 2.0, 6.0, 48828);
    EXPECT_EQ(s[32] & 0xFFu, 5u);
    EXPECT_EQ(s[33], 0x30000u);
    const uint32_t expected[8] = {0, 0, 0x800080, 0x7FFFFF, 0, 0, 0x7FFFFF, 0x800080};
    for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(s[128 + i], expected[i]) << i;

    // Scaled by m = 96179 (V = 1.0) as v * m / 100000.
    const Settings t(1.0, 50.0, 2.0, 6.0, 48828);
    const uint32_t scaled[8] = {0, 0, 0x84E48C, 0x7B1BEE, 0, 0, 0x7B1BEE, 0x84E48C};
    for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(t[128 + i], scaled[i]) << i;
}

TEST(TransducerSettings, FullWaveformSecondHalfExchanged) {
    const struct {
        uint32_t frequency;
        std::size_t profile;
    } cases[] = {{13951, 0}, {4883, 1}, {7512, 2}, {11741, 3}, {19531, 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.frequency);
        const Settings s(kMaxAmplitude * 1.5, 50.0, 2.0, 6.0, c.frequency);
        const ExcitationProfile& p = ExcitationProfiles()[c.profile];
        const uint32_t n = p.count;
        EXPECT_EQ(s[32] & 0xFFu, p.code);
        EXPECT_EQ(s[33], (2 * n - 1) << 16);
        for (uint32_t k = 0; k < n; ++k) {
            EXPECT_EQ(s[128 + 2 * k], p.pairs[k][0]) << k;
            EXPECT_EQ(s[129 + 2 * k], p.pairs[k][1]) << k;
            EXPECT_EQ(s[128 + 2 * (n + k)], p.pairs[k][1]) << k;
            EXPECT_EQ(s[129 + 2 * (n + k)], p.pairs[k][0]) << k;
        }
        for (std::size_t k = 128 + 4 * n; k < 256; ++k) EXPECT_EQ(s[k], 0u) << k;
    }
}

TEST(TransducerSettings, EveryByteWrittenAndUnusedFieldsZero) {
    const Settings a(3.0, 50.0, 2.0, 6.0, 4883, 0x00);
    const Settings b(3.0, 50.0, 2.0, 6.0, 4883, 0xFF);
    EXPECT_EQ(std::memcmp(a.block, b.block, kConfigurationBlockBytes), 0);
    for (std::size_t k = 40; k < 128; ++k) EXPECT_EQ(a[k], 0u) << k;
    for (std::size_t k = 128 + 80; k < 256; ++k) EXPECT_EQ(a[k], 0u) << k;
    EXPECT_NE(a[128 + 79], 0u);  // the last of the 40 entries is a sample
}

// ---- excitation tables ----------------------------------------------------------------------

TEST(ExcitationTables, FirstHalfDirectSecondHalfExchangedOnlyCountWritten) {
    std::array<uint32_t, kMaxExcitationEntries> a{}, b{};
    a.fill(0xDEADBEEF);
    b.fill(0xDEADBEEF);
    // Profile 3 (N = 10); A unscaled, B halved.
    ASSERT_EQ(ComputeExcitationTables(9766, 1.0, 0.5, a, b), 20);
    EXPECT_EQ(a[0], 0u);
    EXPECT_EQ(b[0], 0u);
    EXPECT_EQ(a[1], 0xD8724Au);
    EXPECT_EQ(b[1], 0x13C6EFu);   // 0x278DDE / 2
    EXPECT_EQ(a[11], 0x278DDEu);
    EXPECT_EQ(b[11], 0xEC3925u);  // 0xD8724A halved on its ones' complement
    EXPECT_EQ(a[5], 0x800080u);
    EXPECT_EQ(a[15], 0x7FFFFFu);
    const ExcitationProfile& p = ExcitationProfiles()[3];
    for (std::size_t k = 0; k < 10; ++k) {
        EXPECT_EQ(a[k], p.pairs[k][0]);
        EXPECT_EQ(a[10 + k], p.pairs[k][1]);
        EXPECT_EQ(b[k], ScaleSample(p.pairs[k][1], 0.5));
        EXPECT_EQ(b[10 + k], ScaleSample(p.pairs[k][0], 0.5));
    }
    for (std::size_t k = 20; k < kMaxExcitationEntries; ++k) {
        EXPECT_EQ(a[k], 0xDEADBEEFu);
        EXPECT_EQ(b[k], 0xDEADBEEFu);
    }
}

TEST(ExcitationTables, EntryCountPerProfile) {
    const struct {
        uint32_t frequency;
        uint8_t entries;
    } cases[] = {{13951, 14}, {0, 40}, {7512, 26}, {9766, 20}, {19531, 10}, {60000, 4}};
    for (const auto& c : cases) {
        std::array<uint32_t, kMaxExcitationEntries> a{}, b{};
        EXPECT_EQ(ComputeExcitationTables(c.frequency, 1.0, 1.0, a, b), c.entries) << c.frequency;
    }
}

}  // namespace
}  // namespace qmd
