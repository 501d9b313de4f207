// A driver for calibration tests: it answers the calibration, potentiometer and primary
// line requests with a model of the front end that calibration corrects (live values from
// the potentiometers, the excitation table and the transducer position; a conversion
// counter that moves on every read) and passes the rest on to the simulated board. Any
// request can fail at its n-th call. Locked: the worker thread uses it too.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <map>
#include <mutex>
#include <vector>

#include "qmd5820_protocol/bytes.h"
#include "qmd5820_protocol/requests.h"
#include "qmd5820_backend.h"
#include "qmd5820sim.h"

namespace qmdtest {

class CalibrationDriver {
public:
    struct Call {
        uint32_t code;
        std::vector<uint8_t> in;
    };
    // Model: set while no worker runs, or through the locked setters.
    double transducer = 0, range = 2.0, zeta = 0.005;  // zero error, fraction of full scale
    double second_level_effect = 0.04;                  // swing change over potentiometer 0/8
    std::array<int, 2> s0{141, 117};                    // symmetry zero per group
    std::array<double, 2> e_level{0.012, -0.009}, e_span{0.025, -0.018};
    int threshold = 100;  // potentiometer 7 value from which the line test responds
    bool frozen_counter = false, short_latched = false, short_persistent = false;
    uint8_t table_count_override = 0;

    ~CalibrationDriver() { qmd5820_install_backend(nullptr); }

    void Install() {
        qmd5820_backend t = *F();
        t.size = sizeof t;
        t.context = this;
        t.count_boards = [](void*) { return F()->count_boards(F()->context); };
        t.open_board = [](void*, uint32_t i, uint64_t* h) { return F()->open_board(F()->context, i, h); };
        t.close_handle = [](void*, uint64_t h) { return F()->close_handle(F()->context, h); };
        t.read_stream = [](void*, uint64_t h, uint8_t* b, uint32_t s, uint32_t* n) {
            return F()->read_stream(F()->context, h, b, s, n);
        };
        t.sleep_ms = [](void*, uint32_t ms) { F()->sleep_ms(F()->context, ms); };
        t.clock_seconds = [](void*) { return F()->clock_seconds(F()->context); };
        t.device_io_control = &Ioctl;
        ASSERT_EQ(qmd5820_install_backend(&t), 0);
    }
    template <class Fn>
    auto Locked(Fn fn) {
        std::lock_guard<std::mutex> lock(mu_);
        return fn();
    }
    // The n-th call of `code` from now on fails (the call, or with driver status `status`);
    // n = 0: every call.
    void FailAt(uint32_t code, int n, uint8_t status = 0) {
        std::lock_guard<std::mutex> lock(mu_);
        fail_[code] = {n == 0 ? 0 : counts_[code] + n, status};
    }
    void ClearFailures() { Locked([&] { fail_.clear(); }); }
    void SetTransducer(double position) { Locked([&] { transducer = position; }); }
    uint8_t Pot(int p) { return Locked([&] { return pots_[static_cast<std::size_t>(p)]; }); }
    void SetPot(int p, uint8_t v) { Locked([&] { pots_[static_cast<std::size_t>(p)] = v; }); }
    std::array<uint8_t, 516> Table() { return Locked([&] { return table_; }); }
    void SetTable(const std::array<uint8_t, 516>& t) { Locked([&] { table_ = t; }); }
    void ClearCalls() { Locked([&] { calls_.clear(); }); }
    // Every request but the counter reads, in order (only those of `code` if not 0).
    std::vector<Call> Calls(uint32_t code = 0) {
        std::lock_guard<std::mutex> lock(mu_);
        std::vector<Call> out;
        std::copy_if(calls_.begin(), calls_.end(), std::back_inserter(out),
                     [code](const Call& c) { return code == 0 || c.code == code; });
        return out;
    }
    uint64_t LiveAddress() const { return reinterpret_cast<uintptr_t>(live_.data()); }

private:
    enum class Mode { kNone, kLevels, kWorkerLevels, kPosition };
    struct Failure {
        int at;
        uint8_t status;
    };
    static const qmd5820_backend* F() { return qmdsim_backend(); }

    double Peak(std::size_t offset) const {  // largest |sample| / full scale
        double peak = 0;
        for (int i = 0; i < std::min<int>(table_[1], 64); ++i) {
            const uint32_t raw = qmd::bytes::GetU32(table_.data() + offset + 4 * i) & 0xFFFFFFu;
            peak = std::max(peak, std::fabs(raw >= 0x800000u ? raw - 16777216.0 : raw * 1.0));
        }
        return peak / 0x7FFFFF;
    }

    void Refresh() {
        static constexpr uint8_t kSym[2] = {13, 14}, kL1[2] = {1, 9}, kL0[2] = {0, 8},
                                 kG1[2] = {7, 3}, kG0[2] = {6, 2};
        constexpr double kMid = 32767.5, kSwing = kMid - 1535;
        const std::size_t g = static_cast<std::size_t>(group_);
        const double h = kSwing * (pots_[kL1[g]] / 128.0) * (1 - second_level_effect * (pots_[kL0[g]] - 128) / 128) *
                         (1 + e_level[g]);
        double v0 = 0, v1 = 0;
        if (mode_ == Mode::kLevels || mode_ == Mode::kWorkerLevels) {
            const double o = 96.0 * (pots_[kSym[g]] - s0[g]);
            v0 = kMid - h + o;
            v1 = kMid + h + o;
            if (mode_ == Mode::kWorkerLevels) std::swap(v0, v1);
        } else if (mode_ == Mode::kPosition) {
            const double gain = (h / kSwing) * (pots_[kG1[g]] / 128.0) *
                                (1 - 0.03 * (pots_[kG0[g]] - 128) / 128) * (1 + e_span[g]);
            const double x = transducer / range + zeta + 0.5 * (Peak(260) - Peak(4));
            v0 = kMid * (1 + std::clamp(gain * x, -1.0, 1.0));
            v1 = 65535 - v0;
        }
        const auto raw = [](double v) { return static_cast<uint32_t>(std::lround(std::clamp(v, 0.0, 65535.0))); };
        std::atomic_ref<uint32_t>(live_[0]).store(raw(v0));
        std::atomic_ref<uint32_t>(live_[1]).store(raw(v1));
    }

    bool Answer(uint32_t code, uint8_t* b) {  // false: not modelled
        namespace req = qmd::req;
        switch (code) {
            case req::kReadPotentiometer: b[2] = pots_[b[1] & 31]; break;
            case req::kWritePotentiometer: pots_[b[1] & 31] = b[2]; break;
            case req::kReadExcitationTable:
                std::copy(table_.begin() + 1, table_.end(), b + 1);
                if (table_count_override != 0) b[1] = table_count_override;
                break;
            case req::kWriteExcitationTable: std::copy(b + 1, b + 516, table_.begin() + 1); break;
            case req::kOpenAdjustment:
            case req::kOpenWorkerAdjustment:
                group_ = b[1] < 8 ? 0 : 1;
                mode_ = code == req::kOpenAdjustment ? Mode::kLevels : Mode::kWorkerLevels;
                qmd::bytes::PutU64(b + 8, LiveAddress());
                Refresh();
                break;
            case req::kLevelsAdjusted:
            case req::kWorkerLevelsAdjusted: mode_ = Mode::kPosition; break;
            case req::kCloseAdjustment:
            case req::kWorkerPositionAdjusted: mode_ = Mode::kNone; break;
            case req::kStartWorkerAdjustment: break;
            case req::kReadConversionCounter:
                if (!frozen_counter) Refresh(), ++counter_;
                qmd::bytes::PutU16(b + 2, counter_);
                break;
            case req::kSetPrimaryLineTest: line_test_ = b[1] != 0; break;
            case req::kReadPrimaryLineStatus:
                b[1] = static_cast<uint8_t>((short_latched ? 2 : 0) | (line_test_ && pots_[7] >= threshold));
                break;
            case req::kRearmPrimaryLine: short_latched = short_latched && short_persistent; break;
            default: return false;
        }
        b[0] = 0;
        return true;
    }

    static int32_t Ioctl(void* context, uint64_t handle, uint32_t code, uint8_t* buffer,
                         uint32_t in_size, uint32_t out_size) {
        auto& d = *static_cast<CalibrationDriver*>(context);
        {
            std::lock_guard<std::mutex> lock(d.mu_);
            const int n = ++d.counts_[code];
            if (code != qmd::req::kReadConversionCounter) d.calls_.push_back({code, {buffer, buffer + in_size}});
            if (auto it = d.fail_.find(code); it != d.fail_.end() && (it->second.at == 0 || it->second.at == n)) {
                buffer[0] = it->second.status;
                return it->second.status != 0;
            }
            if (d.Answer(code, buffer)) return 1;
        }
        return F()->device_io_control(F()->context, handle, code, buffer, in_size, out_size);
    }

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
    std::vector<Call> calls_;
};

}  // namespace qmdtest
