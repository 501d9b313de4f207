// A driver for calibration tests: it answers the calibration, potentiometer and primary
// line requests with a small model of the board's front end (live values that depend on
// the potentiometers, the excitation table and the transducer's position; a conversion
// counter that moves on every read) and passes everything else on to the simulated board.
// Any request code can be made to fail at its n-th call. Thread-safe: the worker thread
// and the test thread use it at once.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "core/bytes.h"
#include "core/requests.h"
#include "qmd5820_backend.h"
#include "qmd5820sim.h"

namespace qmdtest {

class CalibrationDriver {
public:
    struct Call {
        uint32_t code;
        std::vector<uint8_t> in;
    };

    enum class Mode { kNone, kLevels, kWorkerLevels, kPosition };

    // Model parameters (per group where indexed).
    double transducer = 0;                 // position of the transducer, metric units
    double range = 2.0;
    double zeta = 0.005;                   // board zero error, fraction of full scale
    std::array<int, 2> s0{141, 117};       // symmetry zero
    std::array<double, 2> e_level{0.012, -0.009};
    std::array<double, 2> e_span{0.025, -0.018};
    int threshold = 100;                   // potentiometer 7 value where the line test responds
    bool frozen_counter = false;
    bool short_latched = false;
    bool short_persistent = false;
    uint8_t table_count_override = 0;      // count answered by a table read, if not 0

    explicit CalibrationDriver(const qmd5820_backend* fallback = qmdsim_backend())
        : fallback_(fallback) {
        table_.fill(0);
        pots_.fill(0);
    }
    ~CalibrationDriver() { qmd5820_install_backend(nullptr); }
    CalibrationDriver(const CalibrationDriver&) = delete;
    CalibrationDriver& operator=(const CalibrationDriver&) = delete;

    void Install() {
        qmd5820_backend table{};
        table.size = sizeof table;
        table.context = this;
        table.count_boards = [](void* c) { return Self(c).fallback_->count_boards(Self(c).fallback_->context); };
        table.open_board = [](void* c, uint32_t i, uint64_t* h) {
            return Self(c).fallback_->open_board(Self(c).fallback_->context, i, h);
        };
        table.close_handle = [](void* c, uint64_t h) {
            return Self(c).fallback_->close_handle(Self(c).fallback_->context, h);
        };
        table.device_io_control = &Ioctl;
        table.read_stream = [](void* c, uint64_t h, uint8_t* b, uint32_t s, uint32_t* n) {
            return Self(c).fallback_->read_stream(Self(c).fallback_->context, h, b, s, n);
        };
        table.sleep_ms = [](void* c, uint32_t ms) {
            Self(c).fallback_->sleep_ms(Self(c).fallback_->context, ms);
        };
        table.clock_seconds = [](void* c) {
            return Self(c).fallback_->clock_seconds(Self(c).fallback_->context);
        };
        ASSERT_EQ(qmd5820_install_backend(&table), 0);
    }

    // The n-th call of `code` from now on (1 = the next) fails: the call itself when
    // `status` is 0, else with that driver status.
    void FailAt(uint32_t code, int n, uint8_t status = 0) {
        std::lock_guard<std::mutex> lock(mu_);
        fail_[code] = Failure{counts_[code] + n, status};
    }
    // Every call of `code` from now on fails.
    void FailAlways(uint32_t code, uint8_t status = 0) {
        std::lock_guard<std::mutex> lock(mu_);
        always_[code] = status;
    }

    void ClearFailures() {
        std::lock_guard<std::mutex> lock(mu_);
        fail_.clear();
        always_.clear();
    }

    void SetTransducer(double position) {
        std::lock_guard<std::mutex> lock(mu_);
        transducer = position;
    }

    uint8_t Pot(int p) {
        std::lock_guard<std::mutex> lock(mu_);
        return pots_[static_cast<std::size_t>(p)];
    }
    void SetPot(int p, uint8_t v) {
        std::lock_guard<std::mutex> lock(mu_);
        pots_[static_cast<std::size_t>(p)] = v;
    }
    Mode CurrentMode() {
        std::lock_guard<std::mutex> lock(mu_);
        return mode_;
    }
    // The last table written (raw 516-byte record).
    std::vector<uint8_t> Table() {
        std::lock_guard<std::mutex> lock(mu_);
        return std::vector<uint8_t>(table_.begin(), table_.end());
    }
    void SetTable(const std::array<uint8_t, 516>& record) {
        std::lock_guard<std::mutex> lock(mu_);
        table_ = record;
    }

    // Every request except the conversion counter reads, in order.
    std::vector<Call> Calls() {
        std::lock_guard<std::mutex> lock(mu_);
        return calls_;
    }
    std::vector<Call> Calls(uint32_t code) {
        std::lock_guard<std::mutex> lock(mu_);
        std::vector<Call> out;
        for (const Call& c : calls_) {
            if (c.code == code) out.push_back(c);
        }
        return out;
    }
    void ClearCalls() {
        std::lock_guard<std::mutex> lock(mu_);
        calls_.clear();
    }
    uint64_t LiveAddress() const { return reinterpret_cast<uintptr_t>(live_.data()); }

private:
    struct Failure {
        int at;
        uint8_t status;
    };

    static CalibrationDriver& Self(void* c) { return *static_cast<CalibrationDriver*>(c); }

    static constexpr double kMid = 32767.5;
    static constexpr double kHalfSwing = kMid - 1535;

    static int Group(uint8_t channel) { return channel < 8 ? 0 : 1; }

    double Peak(std::size_t offset) const {
        double peak = 0;
        const int n = std::min<int>(table_[1], 64);
        for (int i = 0; i < n; ++i) {
            const uint32_t raw = qmd::bytes::GetU32(table_.data() + offset + 4 * i) & 0xFFFFFFu;
            const int32_t v = (raw & 0x800000u) != 0 ? static_cast<int32_t>(raw) - 0x1000000
                                                    : static_cast<int32_t>(raw);
            peak = std::max(peak, std::fabs(static_cast<double>(v)));
        }
        return peak / 0x7FFFFF;
    }

    double Pot(const uint8_t* by_group) const { return pots_[by_group[group_]]; }

    // Recomputes the live values from the model (under the lock).
    void Refresh() {
        static constexpr uint8_t kSym[2] = {13, 14}, kL1[2] = {1, 9}, kL0[2] = {0, 8},
                                 kG1[2] = {7, 3}, kG0[2] = {6, 2};
        const std::size_t g = static_cast<std::size_t>(group_);
        const double h = kHalfSwing * (Pot(kL1) / 128.0) * (1 - 0.04 * (Pot(kL0) - 128) / 128) *
                         (1 + e_level[g]);
        double v0 = 0;
        double v1 = 0;
        if (mode_ == Mode::kLevels || mode_ == Mode::kWorkerLevels) {
            const double o = 96 * (Pot(kSym) - s0[g]);
            v0 = kMid - h + o;
            v1 = kMid + h + o;
            if (mode_ == Mode::kWorkerLevels) std::swap(v0, v1);
        } else if (mode_ == Mode::kPosition) {
            const double gain = (h / kHalfSwing) * (Pot(kG1) / 128.0) *
                                (1 - 0.03 * (Pot(kG0) - 128) / 128) * (1 + e_span[g]);
            const double y = std::clamp(
                gain * (transducer / range + zeta + 0.5 * (Peak(260) - Peak(4))), -1.0, 1.0);
            v0 = kMid * (1 + y);
            v1 = 65535 - v0;
        }
        const auto clamp16 = [](double v) {
            return static_cast<uint32_t>(std::lround(std::clamp(v, 0.0, 65535.0)));
        };
        std::atomic_ref<uint32_t>(live_[0]).store(clamp16(v0));
        std::atomic_ref<uint32_t>(live_[1]).store(clamp16(v1));
    }

    // Answers a modelled request; false when the request is not modelled.
    bool Answer(uint32_t code, uint8_t* buffer) {
        namespace req = qmd::req;
        switch (code) {
            case req::kReadPotentiometer: buffer[2] = pots_[buffer[1] & 31]; return true;
            case req::kWritePotentiometer: pots_[buffer[1] & 31] = buffer[2]; return true;
            case req::kReadExcitationTable:
                std::copy(table_.begin() + 1, table_.end(), buffer + 1);
                if (table_count_override != 0) buffer[1] = table_count_override;
                return true;
            case req::kWriteExcitationTable: std::copy(buffer + 1, buffer + 516, table_.begin() + 1); return true;
            case req::kOpenAdjustment:
            case req::kOpenWorkerAdjustment:
                group_ = Group(buffer[1]);
                mode_ = code == req::kOpenAdjustment ? Mode::kLevels : Mode::kWorkerLevels;
                qmd::bytes::PutU64(buffer + 8, LiveAddress());
                Refresh();
                return true;
            case req::kLevelsAdjusted:
            case req::kWorkerLevelsAdjusted: mode_ = Mode::kPosition; return true;
            case req::kCloseAdjustment:
            case req::kWorkerPositionAdjusted: mode_ = Mode::kNone; return true;
            case req::kStartWorkerAdjustment: return true;
            case req::kReadConversionCounter:
                if (!frozen_counter) {
                    Refresh();
                    ++counter_;
                }
                qmd::bytes::PutU16(buffer + 2, counter_);
                return true;
            case req::kSetPrimaryLineTest: line_test_ = buffer[1] != 0; return true;
            case req::kReadPrimaryLineStatus:
                buffer[1] = static_cast<uint8_t>((short_latched ? 2 : 0) |
                                                 (line_test_ && pots_[7] >= threshold ? 1 : 0));
                return true;
            case req::kRearmPrimaryLine:
                if (!short_persistent) short_latched = false;
                return true;
            default: return false;
        }
    }

    static int32_t Ioctl(void* context, uint64_t handle, uint32_t code, uint8_t* buffer,
                         uint32_t in_size, uint32_t out_size) {
        CalibrationDriver& d = Self(context);
        {
            std::lock_guard<std::mutex> lock(d.mu_);
            const int n = ++d.counts_[code];
            if (code != qmd::req::kReadConversionCounter) {
                d.calls_.push_back({code, std::vector<uint8_t>(buffer, buffer + in_size)});
            }
            uint8_t status = 0;
            bool fail = false;
            if (auto it = d.always_.find(code); it != d.always_.end()) {
                fail = true;
                status = it->second;
            }
            if (auto it = d.fail_.find(code); it != d.fail_.end() && it->second.at == n) {
                fail = true;
                status = it->second.status;
            }
            if (fail) {
                if (status == 0) return 0;
                buffer[0] = status;
                return 1;
            }
            if (d.Answer(code, buffer)) {
                buffer[0] = 0;
                return 1;
            }
        }
        return d.fallback_->device_io_control(d.fallback_->context, handle, code, buffer, in_size,
                                              out_size);
    }

    const qmd5820_backend* fallback_;
    std::mutex mu_;
    std::array<uint8_t, 32> pots_{};
    std::array<uint8_t, 516> table_{};
    alignas(8) std::array<uint32_t, 2> live_{};
    uint16_t counter_ = 0;
    Mode mode_ = Mode::kNone;
    int group_ = 0;
    bool line_test_ = false;
    std::map<uint32_t, int> counts_;
    std::map<uint32_t, Failure> fail_;
    std::map<uint32_t, uint8_t> always_;
    std::vector<Call> calls_;
};

}  // namespace qmdtest
