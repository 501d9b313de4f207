// What both calibration procedures share: the calibration requests, the sampling of the
// live values, the sine table, the calibration fields of the configuration block and the
// calibration marks. The request operations neither look the handle up nor record a
// result: 0, -100 or -s.
#pragma once

#include <array>
#include <cstdint>

#include "QMD5820.h"
#include "core/board_table.h"

namespace qmd {

// An excitation table as the driver holds it: n points of arrays A and B, each a 24-bit
// two's-complement sample in the low bits of 32.
struct ExcitationTable {
    uint8_t count = 0;
    std::array<uint32_t, kExcitationPoints> a{};
    std::array<uint32_t, kExcitationPoints> b{};
};

// Request record layout of 0x900020c8 / 0x900020cc (516 bytes, byte 0 the status).
void EncodeExcitationTable(const ExcitationTable& table, uint8_t* record);
ExcitationTable DecodeExcitationTable(const uint8_t* record);

int16_t ReadExcitationTable(QMD5820_HANDLE handle, ExcitationTable& table);
// Only the first min(count, 64) points are sent.
int16_t WriteExcitationTable(QMD5820_HANDLE handle, const ExcitationTable& table);
// 0x900020d0 (interactive) or 0x900020e0 (worker): `address` receives the live values
// address on success.
int16_t OpenAdjustment(QMD5820_HANDLE handle, uint8_t channel, uint8_t selection_type,
                       uint64_t& address);
int16_t OpenWorkerAdjustment(QMD5820_HANDLE handle, uint8_t channel, uint8_t selection_type,
                             uint64_t& address);
int16_t LevelsAdjusted(QMD5820_HANDLE handle);
int16_t CloseAdjustment(QMD5820_HANDLE handle);
int16_t ReadConversionCounter(QMD5820_HANDLE handle, uint16_t& counter);
int16_t StartWorkerAdjustment(QMD5820_HANDLE handle);
int16_t WorkerLevelsAdjusted(QMD5820_HANDLE handle);
int16_t WorkerPositionAdjusted(QMD5820_HANDLE handle);
int16_t RestartConfiguration(QMD5820_HANDLE handle);

// Value 0 and value 1 as exposed now at `address`; both 0 for a null address.
std::array<uint32_t, 2> ReadLiveValues(uint64_t address);

// ---- sampling ------------------------------------------------------------------------------

enum class SampleFailure : uint8_t {
    kNone,
    kCounterBeforeWait,  // the counter request before a sample failed
    kCounterDuringWait,  // a counter request while waiting for a refresh failed
    kTimeout,            // the counter stayed unchanged for more than 2 s
};

struct Averages {
    SampleFailure failure = SampleFailure::kNone;
    uint16_t value0 = 0;
    uint16_t value1 = 0;
};

// 256 samples, each from a different refresh of the live values; sums over 64 bits,
// averages divided by 256 and taken as 16-bit numbers. Every wait is bounded by 2 s.
Averages AverageLiveValues(QMD5820_HANDLE handle, uint64_t address);

struct WorkerAverages {
    int16_t code = 0;  // 0, -1 (counter request failed) or -2 (time-out)
    uint32_t value0 = 0;
    uint32_t value1 = 0;
};

// Up to 64 samples; a break request ends the sampling at once with success and the sums so
// far divided by 64.
WorkerAverages AverageLiveValues64(QMD5820_HANDLE handle, const CalibrationBlock& block);

// ---- sine table, configuration block and marks -----------------------------------------------

// Points of the step-by-step excitation for `frequency` (Hz): floor(196000 / f + 0.5);
// 0 when f is not finite or that count is outside 1..64 (the table cannot hold it).
uint8_t SineTablePoints(double frequency);

// One sine period of `points` (<= 64) samples, amplitude factor a for array A and -b for
// array B, saturated to the signed 32-bit range before the shift to 24 bits.
ExcitationTable ComputeSineTable(uint8_t points, double a, double b);

// 32-bit value `v` at byte offset `offset` of a block held as 512 words (low word first).
void PutBlockU32(std::array<uint16_t, kBlockWords>& block, std::size_t offset, uint32_t v);
uint32_t GetBlockU32(const std::array<uint16_t, kBlockWords>& block, std::size_t offset);

// Enters (n - 1) x 65536, the factors x 100000 (fractions cut off) and the n table pairs.
void EnterExcitation(std::array<uint16_t, kBlockWords>& block, const ExcitationTable& table,
                     double factor_a, double factor_b);

inline constexpr std::size_t kThresholdOffset = cfg::FieldByte(cfg::kThreshold);

// Word address of word k of selection type s's configuration block (16-bit arithmetic).
uint16_t BlockWordAddress(uint8_t selection_type, uint16_t k);

// Reads all 512 words; 0 or the first failure's code (-100 / -s).
int16_t ReadConfigurationBlock(QMD5820_HANDLE handle, uint8_t selection_type,
                               std::array<uint16_t, kBlockWords>& block);
// Writes all 512 words, stopping at the first failure (0 or its code).
int16_t WriteConfigurationBlock(QMD5820_HANDLE handle, uint8_t selection_type,
                                const std::array<uint16_t, kBlockWords>& block);

// The calibration marks, in this order: default transducer word, then bit 0 of potis words
// 8s and 8s + 1. Result 0, or which write failed: kDefault, kReadFirst, kWriteFirst,
// kReadSecond, kWriteSecond.
enum class MarkFailure : uint8_t { kNone, kDefault, kReadFirst, kWriteFirst, kReadSecond, kWriteSecond };
MarkFailure MarkCalibrated(QMD5820_HANDLE handle, uint8_t transducer_index,
                           uint8_t selection_type);

}  // namespace qmd
