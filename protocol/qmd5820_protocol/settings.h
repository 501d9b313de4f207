// Excitation profiles and the computation of a transducer type's board settings, as the
// library's database add and calibration compute them and the simulated board's factory
// image and front end recompute them. Pure arithmetic: no driver requests, no allocation.
// Header-only, so every side runs the same code: the blocks the factory image holds are
// bit for bit the ones the library computes.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "qmd5820_protocol/bytes.h"
#include "qmd5820_protocol/eeprom_map.h"

namespace qmd {

inline constexpr std::size_t kConfigurationBlockBytes = cfg::kBytes;
inline constexpr std::size_t kMaxExcitationEntries = 40;  // 2 x the largest sample count

// One excitation profile: a half sine period sampled at `count` points, as pairs of
// 24-bit two's complement values held in 32 bits (first = negative, second = positive).
struct ExcitationProfile {
    uint32_t frequency;
    uint32_t code;
    uint32_t count;
    std::array<std::array<uint32_t, 2>, 64> pairs;  // pairs[count..63] are zero
};

namespace detail {

// ---- constant tables -------------------------------------------------------------------

// A profile as the board's tables give it: pairs 1 to count/2 of a half sine period. Pair
// 0 is (0, 0) and pair count - j mirrors pair j, so the rest follows from these.
struct ProfileHalf {
    uint32_t frequency;
    uint32_t code;
    uint32_t count;
    std::array<std::array<uint32_t, 2>, 10> half;  // pairs 1 to count/2
};

inline constexpr ProfileHalf kProfileHalves[6] = {
    {13951, 0, 7, {{{0xC876B8, 0x378980}, {0x9BED58, 0x64130D}, {0x83360E, 0x7CCA6F}}}},
    {4883,
     1,
     20,
     {{{0xEBFA0A, 0x14060B},
       {0xD8724A, 0x278DDE},
       {0xC5E3DF, 0x3A1C5C},
       {0xB4C3C0, 0x4B3C8C},
       {0xA57DE1, 0x5A827A},
       {0x98728A, 0x678DDE},
       {0x8DF3F3, 0x720C80},
       {0x864442, 0x79BC38},
       {0x8193ED, 0x7E6C92},
       {0x800080, 0x7FFFFF}}}},
    {7512,
     2,
     13,
     {{{0xE15E3A, 0x1EA1E5},
       {0xC4842F, 0x3B7C0D},
       {0xAB1F21, 0x54E134},
       {0x96A8E1, 0x695789},
       {0x8851DB, 0x77AE9D},
       {0x80EF6A, 0x7F1116}}}},
    {9766,
     3,
     10,
     {{{0xD8724A, 0x278DDE},
       {0xB4C3C0, 0x4B3C8C},
       {0x98728A, 0x678DDE},
       {0x864442, 0x79BC38},
       {0x800080, 0x7FFFFF}}}},
    {19531, 4, 5, {{{0xB4C3C0, 0x4B3C8C}, {0x864442, 0x79BC38}}}},
    {48828, 5, 2, {{{0x800080, 0x7FFFFF}}}},
};

constexpr ExcitationProfile Expand(const ProfileHalf& h) {
    ExcitationProfile p{h.frequency, h.code, h.count, {}};
    for (uint32_t j = 1; j <= h.count / 2; ++j) {
        p.pairs[j] = h.half[j - 1];
        p.pairs[h.count - j] = h.half[j - 1];
    }
    return p;
}

inline constexpr std::array<ExcitationProfile, 6> kProfiles = {
    Expand(kProfileHalves[0]), Expand(kProfileHalves[1]), Expand(kProfileHalves[2]),
    Expand(kProfileHalves[3]), Expand(kProfileHalves[4]), Expand(kProfileHalves[5]),
};

static_assert(kProfiles[1].pairs[10][1] == 0x7FFFFF && kProfiles[1].pairs[11][1] == 0x7E6C92 &&
              kProfiles[1].pairs[19][0] == 0xEBFA0A && kProfiles[1].pairs[20][0] == 0);
static_assert(kProfiles[0].pairs[4][0] == 0x83360E && kProfiles[0].pairs[6][1] == 0x378980);
static_assert(kProfiles[5].pairs[0][0] == 0 && kProfiles[5].pairs[1][0] == 0x800080 &&
              kProfiles[5].pairs[2][0] == 0);

struct ImpedanceRow {
    uint32_t limit;
    uint32_t code;
};
inline constexpr ImpedanceRow kImpedanceRows[4] = {{2000, 1}, {10000, 3}, {100000, 5}, {200000, 0}};

// ---- arithmetic ---------------------------------------------------------------------------

inline constexpr double kMaxAmplitude = 4.644258620689655;  // volts at 0 dB attenuation
inline constexpr uint32_t kSampleMax = 0x7FFFFF;             // largest positive 24-bit sample
inline constexpr uint32_t kSampleNegative = 0x800000;
inline constexpr uint32_t kSampleOnes = 0xFFFFFF;

// Truncation toward zero to a signed 32-bit integer. Values the board's arithmetic cannot
// represent (NaN, infinities, out of range) give 0x80000000, as the x86 conversion does.
inline int32_t Truncate(double x) {
    if (!(x > -2147483649.0 && x < 2147483648.0)) return INT32_MIN;
    return static_cast<int32_t>(x);
}

constexpr uint32_t AbsDiff(uint32_t a, uint32_t b) { return a > b ? a - b : b - a; }

// scale(v, f) with the product formed by `mul` (v × f, or v × m / 100000 for the block).
template <typename Mul>
inline uint32_t Scale(uint32_t v, Mul mul) {
    if (v < kSampleNegative) {
        int32_t t = Truncate(mul(static_cast<double>(v)));
        if (t > static_cast<int32_t>(kSampleMax)) t = static_cast<int32_t>(kSampleMax);
        return static_cast<uint32_t>(t);
    }
    int32_t t = Truncate(mul(static_cast<double>(kSampleOnes - v)));
    if (t > static_cast<int32_t>(kSampleMax)) t = static_cast<int32_t>(kSampleMax);
    return kSampleOnes - static_cast<uint32_t>(t);
}

inline void PutField(uint8_t (&block)[kConfigurationBlockBytes], std::size_t k, uint32_t v) {
    bytes::PutU32(block + cfg::FieldByte(k), v);
}

}  // namespace detail

// The six constant profiles, in order 0 to 5.
inline const std::array<ExcitationProfile, 6>& ExcitationProfiles() { return detail::kProfiles; }

// Index of the profile nearest to `frequency` (lower index wins ties).
inline std::size_t NearestProfile(uint32_t frequency) {
    const auto& profiles = detail::kProfiles;
    std::size_t best = 0;
    uint32_t best_diff = detail::AbsDiff(frequency, profiles[0].frequency);
    for (std::size_t i = 1; i < profiles.size(); ++i) {
        const uint32_t d = detail::AbsDiff(frequency, profiles[i].frequency);
        if (d < best_diff) {
            best = i;
            best_diff = d;
        }
    }
    return best;
}

// A frequency in Hz truncated to the 32-bit integer the settings computation takes
// (truncation toward zero; NaN and values beyond 32 bits give 0x80000000).
inline uint32_t TruncateFrequency(double frequency) {
    return static_cast<uint32_t>(detail::Truncate(frequency));
}

// Scale a 24-bit sample by `factor`, limited to the 24-bit range; negative samples are
// scaled on their ones' complement and stay negative.
inline uint32_t ScaleSample(uint32_t sample, double factor) {
    return detail::Scale(sample, [factor](double v) { return v * factor; });
}

// The 1024-byte configuration block of a transducer type (256 little-endian 32-bit
// fields) from its data-sheet values; every byte of the block is written.
inline void ComputeTransducerSettings(double primary_voltage, double sensitivity, double range,
                                      double impedance, uint32_t frequency,
                                      uint8_t (&block)[kConfigurationBlockBytes]) {
    using detail::PutField;
    using detail::Truncate;
    const double v = primary_voltage;

    // 1. Fields 32 and 33, and everything from field 40 on, start at zero.
    std::memset(block + cfg::FieldByte(cfg::kExcitationControl), 0, cfg::FieldByte(2));
    std::memset(block + cfg::FieldByte(cfg::kFirstZeroField), 0,
                kConfigurationBlockBytes - cfg::FieldByte(cfg::kFirstZeroField));

    // 2.-4. Attenuation from the maximum amplitude down to V, and the amplitude ratio.
    const double l = std::log10(v / detail::kMaxAmplitude) * -20.0;
    const double q = std::pow(10.0, -l / 20.0);
    const double p = (q + q) * 0.43103448275862066 * 6.0 * 1.27;

    // 5. Whole dB h, the rest as a factor m / 100000.
    int32_t h = 0;
    int32_t m = 100000;
    if (l > 0) {
        h = Truncate(l);
        if (l > h) {
            const double whole = std::pow(10.0, -static_cast<double>(h) / 20.0);
            m = Truncate(100000.0 / (whole * detail::kMaxAmplitude) * v);
        }
    }

    // 6. Attenuation fields.
    PutField(block, cfg::kAttenuation, static_cast<uint32_t>(h) | cfg::kAttenuationMark);
    for (std::size_t i = 0; i < cfg::kAttenuationFactorFields; ++i) {
        PutField(block, cfg::kAttenuationFactor + i, static_cast<uint32_t>(m));
    }

    // 7.-8. Potentiometers, with the first gain.
    for (std::size_t k = 0; k < cfg::kPotentiometerFields; ++k) {
        PutField(block, cfg::kPotentiometers + k, 128);
    }
    const double g1_raw = ((2.75 / p) * 1323792000.0 / 80260.0 - 1060.0) * 0.0128;
    const int32_t g1 = Truncate(g1_raw < 255.0 ? g1_raw : 255.0);
    for (const std::size_t k : cfg::kGain1Fields) PutField(block, k, static_cast<uint32_t>(g1));

    // 9.
    PutField(block, cfg::kThreshold, 255);

    // 10. Second gain, from sensitivity and range.
    const double p2 = (p + p) * (sensitivity / 1000.0) * range;
    const double g2_raw = ((2.75 / p2) * 2736.0326579981856 - 1060.0) / 78.125;
    const int32_t g2 = Truncate(g2_raw < 255.0 ? g2_raw : 255.0);
    for (const std::size_t k : cfg::kGain2Fields) PutField(block, k, static_cast<uint32_t>(g2));

    // 11. Impedance row nearest to Z in milliohms (unsigned distance, lower row on ties).
    const auto& rows = detail::kImpedanceRows;
    const uint32_t z = static_cast<uint32_t>(Truncate(impedance * 1000.0));
    std::size_t row = 0;
    uint32_t row_diff = detail::AbsDiff(rows[0].limit, z);
    for (std::size_t i = 1; i < 4; ++i) {
        const uint32_t d = detail::AbsDiff(rows[i].limit, z);
        if (d < row_diff) {
            row = i;
            row_diff = d;
        }
    }

    // 12. Amplitude range.
    const double e = v + 2.2;
    uint32_t range_bits = 0x30000;
    if (e <= 5.0) {
        range_bits = 0;
    } else if (e <= 7.0) {
        range_bits = 0x20000;
    } else if (e <= 8.8) {
        range_bits = 0x10000;
    }

    // 13.-14. Excitation control and the last waveform entry.
    const ExcitationProfile& profile = detail::kProfiles[NearestProfile(frequency)];
    PutField(block, cfg::kExcitationControl,
             (rows[row].code << cfg::kImpedanceCodeShift) | range_bits | profile.code);
    PutField(block, cfg::kLastEntry, (2 * profile.count - 1) << cfg::kLastEntryShift);

    // 15. Waveform: a full period, the second half with the pair values exchanged.
    const auto mul = [m](double x) { return (x * m) / 100000.0; };
    const uint32_t n = profile.count;
    for (uint32_t k = 0; k < n; ++k) {
        PutField(block, cfg::kWaveform + 2 * k, detail::Scale(profile.pairs[k][0], mul));
        PutField(block, cfg::kWaveform + 2 * k + 1, detail::Scale(profile.pairs[k][1], mul));
    }
    for (uint32_t k = 0; k < n; ++k) {
        PutField(block, cfg::kWaveform + 2 * (n + k), detail::Scale(profile.pairs[k][1], mul));
        PutField(block, cfg::kWaveform + 2 * (n + k) + 1, detail::Scale(profile.pairs[k][0], mul));
    }
}

// The scaled excitation tables that calibration sends to the driver. Returns the entry
// count (2 x the profile's sample count); fills that many entries of each table.
inline uint8_t ComputeExcitationTables(uint32_t frequency, double factor_a, double factor_b,
                                       std::array<uint32_t, kMaxExcitationEntries>& table_a,
                                       std::array<uint32_t, kMaxExcitationEntries>& table_b) {
    const ExcitationProfile& profile = detail::kProfiles[NearestProfile(frequency)];
    const uint32_t n = profile.count;
    for (uint32_t k = 0; k < n; ++k) {
        table_a[k] = ScaleSample(profile.pairs[k][0], factor_a);
        table_b[k] = ScaleSample(profile.pairs[k][1], factor_b);
    }
    for (uint32_t k = 0; k < n; ++k) {
        table_a[n + k] = ScaleSample(profile.pairs[k][1], factor_a);
        table_b[n + k] = ScaleSample(profile.pairs[k][0], factor_b);
    }
    return static_cast<uint8_t>(2 * n);
}

}  // namespace qmd
