#include "calibration/calibration.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "calibration/potentiometers.h"
#include "core/backend.h"
#include "qmd5820_protocol/bytes.h"
#include "core/transport.h"
#include "eeprom/directory.h"
#include "eeprom/eeprom.h"

namespace qmd {

namespace layout = req::excitation_table;

void EncodeExcitationTable(const ExcitationTable& table, uint8_t* record) {
    record[layout::kCount] = table.count;
    for (std::size_t i = 0; i < kExcitationPoints; ++i) {
        const bool used = i < table.count;
        bytes::PutU32(record + layout::kA + 4 * i, used ? table.a[i] : 0u);
        bytes::PutU32(record + layout::kB + 4 * i, used ? table.b[i] : 0u);
    }
}

ExcitationTable DecodeExcitationTable(const uint8_t* record) {
    ExcitationTable table;
    table.count = record[layout::kCount];
    for (std::size_t i = 0; i < kExcitationPoints; ++i) {
        table.a[i] = bytes::GetU32(record + layout::kA + 4 * i);
        table.b[i] = bytes::GetU32(record + layout::kB + 4 * i);
    }
    return table;
}

int16_t ReadExcitationTable(QMD5820_HANDLE handle, ExcitationTable& table) {
    Record<req::kReadExcitationTable> record{};
    const int16_t code = Exchange<req::kReadExcitationTable>(handle, record);
    if (code == 0) table = DecodeExcitationTable(record.data());
    return code;
}

int16_t WriteExcitationTable(QMD5820_HANDLE handle, const ExcitationTable& table) {
    Record<req::kWriteExcitationTable> record{};
    ExcitationTable sent = table;
    sent.count = static_cast<uint8_t>(std::min<std::size_t>(table.count, kExcitationPoints));
    EncodeExcitationTable(sent, record.data());
    return Exchange<req::kWriteExcitationTable>(handle, record);
}

namespace {

template <uint32_t Code>
int16_t Open(QMD5820_HANDLE handle, uint8_t channel, uint8_t selection_type, uint64_t& address) {
    Record<Code> record{};
    record[req::adjustment::kChannel] = channel;
    record[req::adjustment::kSelectionType] = selection_type;
    const int16_t code = Exchange<Code>(handle, record);
    if (code == 0) address = bytes::GetU64(record.data() + req::adjustment::kLiveValues);
    return code;
}

template <uint32_t Code>
int16_t StatusOnly(QMD5820_HANDLE handle) {
    Record<Code> record{};
    return Exchange<Code>(handle, record);
}

}  // namespace

int16_t OpenAdjustment(QMD5820_HANDLE handle, uint8_t channel, uint8_t selection_type,
                       uint64_t& address) {
    return Open<req::kOpenAdjustment>(handle, channel, selection_type, address);
}

int16_t OpenWorkerAdjustment(QMD5820_HANDLE handle, uint8_t channel, uint8_t selection_type,
                             uint64_t& address) {
    return Open<req::kOpenWorkerAdjustment>(handle, channel, selection_type, address);
}

int16_t LevelsAdjusted(QMD5820_HANDLE handle) { return StatusOnly<req::kLevelsAdjusted>(handle); }
int16_t CloseAdjustment(QMD5820_HANDLE handle) { return StatusOnly<req::kCloseAdjustment>(handle); }
int16_t StartWorkerAdjustment(QMD5820_HANDLE handle) {
    return StatusOnly<req::kStartWorkerAdjustment>(handle);
}
int16_t WorkerLevelsAdjusted(QMD5820_HANDLE handle) {
    return StatusOnly<req::kWorkerLevelsAdjusted>(handle);
}
int16_t WorkerPositionAdjusted(QMD5820_HANDLE handle) {
    return StatusOnly<req::kWorkerPositionAdjusted>(handle);
}
int16_t RestartConfiguration(QMD5820_HANDLE handle) {
    return StatusOnly<req::kRestartConfiguration>(handle);
}

int16_t ReadConversionCounter(QMD5820_HANDLE handle, uint16_t& counter) {
    Record<req::kReadConversionCounter> record{};
    const int16_t code = Exchange<req::kReadConversionCounter>(handle, record);
    if (code == 0) counter = bytes::GetU16(record.data() + req::conversion_counter::kCounter);
    return code;
}

std::array<uint32_t, 2> ReadLiveValues(uint64_t address) {
    std::array<uint32_t, 2> values{};
    if (address == 0) return values;
    // The driver refreshes the values while they are read: aligned values are read as
    // atomic words; a misaligned address is read byte by byte.
    auto* p = reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(address));
    if (address % std::atomic_ref<uint32_t>::required_alignment == 0) {
        values[0] = std::atomic_ref<uint32_t>(p[0]).load(std::memory_order_acquire);
        values[1] = std::atomic_ref<uint32_t>(p[1]).load(std::memory_order_acquire);
    } else {
        const volatile uint8_t* bytes = reinterpret_cast<const volatile uint8_t*>(p);
        uint8_t copy[8];
        for (int i = 0; i < 8; ++i) copy[i] = bytes[i];
        values[0] = bytes::GetU32(copy);
        values[1] = bytes::GetU32(copy + 4);
    }
    return values;
}

namespace {

constexpr int64_t kSamplingTimeoutSeconds = 2;

int64_t Now() {
    const qmd5820_backend& b = Backend();
    return b.clock_seconds(b.context);
}

bool TimedOut(int64_t t0) { return std::llabs(Now() - t0) > kSamplingTimeoutSeconds; }

}  // namespace

namespace {

enum class Refresh : uint8_t { kNext, kCounterFailed, kTimeout, kBreak };

// Yields until the conversion counter moves on from `c`, the counter request fails, it stays
// unchanged for more than 2 s, or (when `break_request` is given) a break is requested.
Refresh AwaitRefresh(QMD5820_HANDLE handle, uint16_t c,
                     const std::atomic<uint8_t>* break_request) {
    const int64_t t0 = Now();
    for (;;) {
        SleepMs(0);
        uint16_t now = 0;
        if (ReadConversionCounter(handle, now) != 0) return Refresh::kCounterFailed;
        if (now != c) return Refresh::kNext;
        if (break_request != nullptr && break_request->load() != 0) return Refresh::kBreak;
        if (TimedOut(t0)) return Refresh::kTimeout;
    }
}

}  // namespace

Averages AverageLiveValues(QMD5820_HANDLE handle, uint64_t address) {
    Averages result;
    uint64_t sum0 = 0;
    uint64_t sum1 = 0;
    for (int i = 0; i < 256; ++i) {
        uint16_t c = 0;
        if (ReadConversionCounter(handle, c) != 0) {
            result.failure = SampleFailure::kCounterBeforeWait;
            return result;
        }
        const auto values = ReadLiveValues(address);
        sum0 += values[0];
        sum1 += values[1];
        switch (AwaitRefresh(handle, c, nullptr)) {
            case Refresh::kNext:
            case Refresh::kBreak: break;
            case Refresh::kCounterFailed:
                result.failure = SampleFailure::kCounterDuringWait;
                return result;
            case Refresh::kTimeout:
                result.failure = SampleFailure::kTimeout;
                return result;
        }
    }
    result.value0 = static_cast<uint16_t>(sum0 / 256);
    result.value1 = static_cast<uint16_t>(sum1 / 256);
    return result;
}

WorkerAverages AverageLiveValues64(QMD5820_HANDLE handle, const CalibrationBlock& block) {
    WorkerAverages result;
    uint64_t sum0 = 0;
    uint64_t sum1 = 0;
    const auto finish = [&] {
        result.value0 = static_cast<uint32_t>(sum0 / 64);
        result.value1 = static_cast<uint32_t>(sum1 / 64);
        return result;
    };
    for (int i = 0; i < 64; ++i) {
        if (block.break_request.load() != 0) return finish();
        uint16_t c = 0;
        if (ReadConversionCounter(handle, c) != 0) {
            result.code = -1;
            return result;
        }
        const auto values = ReadLiveValues(block.live_values_address.load());
        sum0 += values[0];
        sum1 += values[1];
        switch (AwaitRefresh(handle, c, &block.break_request)) {
            case Refresh::kNext: break;
            case Refresh::kBreak: return finish();
            case Refresh::kCounterFailed:
                result.code = -1;
                return result;
            case Refresh::kTimeout:
                result.code = -2;
                return result;
        }
    }
    return finish();
}

uint8_t SineTablePoints(double frequency) {
    if (!std::isfinite(frequency)) return 0;
    const double n = std::floor(196000.0 / frequency + 0.5);
    if (!(n >= 1 && n <= static_cast<double>(kExcitationPoints))) return 0;
    return static_cast<uint8_t>(n);
}

namespace {

uint32_t SineSample(double scaled) {
    // Saturate instead of wrapping: a factor above 1 would otherwise flip the sign.
    const double clamped = std::clamp(std::trunc(scaled), -2147483648.0, 2147483647.0);
    const auto value = static_cast<int32_t>(clamped);
    return static_cast<uint32_t>(value) >> 8;
}

}  // namespace

ExcitationTable ComputeSineTable(uint8_t points, double a, double b) {
    ExcitationTable table;
    table.count = static_cast<uint8_t>(std::min<std::size_t>(points, kExcitationPoints));
    constexpr double kTwoPi = 6.283185307179586;
    for (std::size_t i = 0; i < table.count; ++i) {
        const double s = std::sin(kTwoPi * static_cast<double>(i) / table.count);
        table.a[i] = SineSample(s * 2147483647.0 * a);
        table.b[i] = SineSample(-s * 2147483647.0 * b);
    }
    return table;
}

void PutBlockU32(std::array<uint16_t, kBlockWords>& block, std::size_t offset, uint32_t v) {
    block[offset / 2] = static_cast<uint16_t>(v);
    block[offset / 2 + 1] = static_cast<uint16_t>(v >> 16);
}

uint32_t GetBlockU32(const std::array<uint16_t, kBlockWords>& block, std::size_t offset) {
    return block[offset / 2] | (static_cast<uint32_t>(block[offset / 2 + 1]) << 16);
}

namespace {

// Factor x 100000 with the fraction cut off, kept within 32 bits.
uint32_t FactorField(double factor) {
    const double v = factor * 100000.0;
    if (!(v > 0)) return 0;
    return static_cast<uint32_t>(std::min(std::trunc(v), 4294967295.0));
}

}  // namespace

void EnterExcitation(std::array<uint16_t, kBlockWords>& block, const ExcitationTable& table,
                     double factor_a, double factor_b) {
    const std::size_t n = std::min<std::size_t>(table.count, kExcitationPoints);
    PutBlockU32(block, cfg::FieldByte(cfg::kLastEntry),
                static_cast<uint32_t>((n == 0 ? 0 : n - 1) << cfg::kLastEntryShift));
    PutBlockU32(block, cfg::FieldByte(cfg::kFactorA), FactorField(factor_a));
    PutBlockU32(block, cfg::FieldByte(cfg::kFactorB), FactorField(factor_b));
    for (std::size_t i = 0; i < n; ++i) {
        PutBlockU32(block, cfg::FieldByte(cfg::kWaveform + 2 * i), table.a[i]);
        PutBlockU32(block, cfg::FieldByte(cfg::kWaveform + 2 * i + 1), table.b[i]);
    }
}

uint16_t BlockWordAddress(uint8_t selection_type, uint16_t k) {
    return ee::ConfigurationWord(selection_type, k);
}

int16_t ReadConfigurationBlock(QMD5820_HANDLE handle, uint8_t selection_type,
                               std::array<uint16_t, kBlockWords>& block) {
    for (uint16_t k = 0; k < kBlockWords; ++k) {
        const EepromRead r = ReadEepromWord(handle, BlockWordAddress(selection_type, k));
        if (r.code != 0) return r.code;
        block[k] = r.value;
    }
    return 0;
}

int16_t WriteConfigurationBlock(QMD5820_HANDLE handle, uint8_t selection_type,
                                const std::array<uint16_t, kBlockWords>& block) {
    for (uint16_t k = 0; k < kBlockWords; ++k) {
        const int16_t code = WriteEepromWord(handle, BlockWordAddress(selection_type, k), block[k]);
        if (code != 0) return code;
    }
    return 0;
}

MarkFailure MarkCalibrated(QMD5820_HANDLE handle, uint8_t transducer_index,
                           uint8_t selection_type) {
    const uint16_t word = ee::DefaultTransducerWord(transducer_index, selection_type);
    if (WriteEepromWord(handle, ee::kDefaultTransducer, word) != 0) return MarkFailure::kDefault;
    for (int i = 0; i < 2; ++i) {
        const auto address = static_cast<uint16_t>(ee::PotisWord(selection_type) + i);
        const EepromRead r = ReadEepromWord(handle, address);
        if (r.code != 0) return i == 0 ? MarkFailure::kReadFirst : MarkFailure::kReadSecond;
        if (WriteEepromWord(handle, address, static_cast<uint16_t>(r.value | ee::kCalibratedBit)) != 0) {
            return i == 0 ? MarkFailure::kWriteFirst : MarkFailure::kWriteSecond;
        }
    }
    return MarkFailure::kNone;
}

}  // namespace qmd
