// Excitation profiles and the computation of a transducer type's board settings.
// Pure arithmetic: no driver requests, no allocation. Shared by the library and the
// simulated board's factory image.
#pragma once

#include <array>
#include <cstdint>

namespace qmd {

inline constexpr std::size_t kConfigurationBlockBytes = 1024;
inline constexpr std::size_t kMaxExcitationEntries = 40;  // 2 x the largest sample count

// One excitation profile: a half sine period sampled at `count` points, as pairs of
// 24-bit two's complement values held in 32 bits (first = negative, second = positive).
struct ExcitationProfile {
    uint32_t frequency;
    uint32_t code;
    uint32_t count;
    std::array<std::array<uint32_t, 2>, 64> pairs;  // pairs[count..63] are zero
};

// The six constant profiles, in order 0 to 5.
const std::array<ExcitationProfile, 6>& ExcitationProfiles();

// Index of the profile nearest to `frequency` (lower index wins ties).
std::size_t NearestProfile(uint32_t frequency);

// Scale a 24-bit sample by `factor`, limited to the 24-bit range; negative samples are
// scaled on their ones' complement and stay negative.
uint32_t ScaleSample(uint32_t sample, double factor);

// A frequency in Hz truncated to the 32-bit integer the settings computation takes
// (truncation toward zero; NaN and values beyond 32 bits give 0x80000000).
uint32_t TruncateFrequency(double frequency);

// The 1024-byte configuration block of a transducer type (256 little-endian 32-bit
// fields) from its data-sheet values; every byte of the block is written.
void ComputeTransducerSettings(double primary_voltage, double sensitivity, double range,
                               double impedance, uint32_t frequency,
                               uint8_t (&block)[kConfigurationBlockBytes]);

// The scaled excitation tables that calibration sends to the driver. Returns the entry
// count (2 x the profile's sample count); fills that many entries of each table.
uint8_t ComputeExcitationTables(uint32_t frequency, double factor_a, double factor_b,
                                std::array<uint32_t, kMaxExcitationEntries>& table_a,
                                std::array<uint32_t, kMaxExcitationEntries>& table_b);

}  // namespace qmd
