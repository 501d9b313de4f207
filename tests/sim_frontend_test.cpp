// The simulated board's analog front end through the calibration requests: excitation
// table, adjustments and their live values, the conversion counter, channel codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <vector>

#include "qmd5820_protocol/bytes.h"
#include "qmd5820_protocol/settings.h"
#include "qmd5820sim.h"

namespace {

namespace bytes = qmd::bytes;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kReadTable = 0x900020c8, kWriteTable = 0x900020cc;
constexpr uint32_t kOpen = 0x900020d0, kLevelsDone = 0x900020d4, kClose = 0x900020d8;
constexpr uint32_t kCounter = 0x900020dc, kOpenWorker = 0x900020e0, kStartWorker = 0x900020e4;
constexpr uint32_t kWorkerLevelsDone = 0x900020e8, kWorkerClose = 0x900020ec;
constexpr uint8_t kType = 2;  // factory type 1: 3 V, 50 mV/V/mm, range 2 mm: N1 123, N2 99
constexpr double kRange = 2.0, kN1 = 123, kN2 = 99;
constexpr double kMid = 32767.5, kNominal = kMid - 1535;

const qmd5820_backend& B() { return *qmdsim_backend(); }

Bytes Req(uint64_t h, uint32_t code, uint32_t size, Bytes in = {}) {
    in.resize(size, 0);
    EXPECT_EQ(B().device_io_control(B().context, h, code, in.data(), size, size), 1);
    return in;
}

struct Pots {  // one group's symmetry, levels and positions
    double s, l1, l0, g1, g0;
};
constexpr uint8_t kPotNumbers[2][5] = {{13, 1, 0, 7, 6}, {14, 9, 8, 3, 2}};

// The documented model, written out independently of the simulator.
double Swing(const qmdsim_frontend_params& m, int g, const Pots& p) {
    return kNominal * (p.l1 / kN1) * (1 - 0.04 * (p.l0 - 128) / 128) * (1 + m.level_error[g]);
}
double Offset(const qmdsim_frontend_params& m, int g, const Pots& p) {
    return 96 * (p.s - m.symmetry_zero[g]);
}
double Response(const qmdsim_frontend_params& m, int g, const Pots& p, double x_rel,
                double balance) {
    const double h = Swing(m, g, p) / kNominal;
    const double u = std::clamp(h * (p.g1 / kN2) * (1 - 0.02 * (p.g0 - 128) / 128) *
                                    (1 + m.span_error[g]) * (x_rel + m.board_zero + balance),
                                -1.05, 1.05);
    const double y = u * (1 - (h - 1) * u * u) + 0.5 * Offset(m, g, p) / kNominal * u * u;
    return std::clamp(y, -1.0, 1.0);
}

class Frontend : public ::testing::Test {
  protected:
    void SetUp() override {
        qmdsim_reset();
        qmdsim_set_virtual_clock(1);
        qmdsim_frontend_params_get(0, &m_);
        ASSERT_EQ(B().open_board(B().context, 0, &h_), QMD5820_OPEN_OK);
    }
    void TearDown() override { qmdsim_reset(); }

    void SetPots(int g, const Pots& p) {
        const double v[5] = {p.s, p.l1, p.l0, p.g1, p.g0};
        for (int i = 0; i < 5; ++i) {
            ASSERT_EQ(Req(h_, 0x900020c4, 3,
                          {0, kPotNumbers[g][i], static_cast<uint8_t>(v[i])})[0], 0);
        }
    }
    qmdsim_adjustment_state State() {
        qmdsim_adjustment_state s{};
        qmdsim_adjustment(0, &s);
        return s;
    }
    // The two words at the live values address, as the library reads them.
    std::array<uint32_t, 2> Live(uint64_t address) {
        auto* p = reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(address));
        return {std::atomic_ref<uint32_t>(p[0]).load(), std::atomic_ref<uint32_t>(p[1]).load()};
    }
    void Convert() {  // one more millisecond: the next request refreshes the values
        qmdsim_advance_us(1000);
        Counter();
    }
    uint16_t Counter() {
        const Bytes r = Req(h_, kCounter, 4);
        EXPECT_EQ(r[0], 0);
        EXPECT_EQ(r[1], 0);
        return bytes::GetU16(&r[2]);
    }
    Bytes Table(uint8_t count, uint32_t a0, uint32_t b0) {
        Bytes r(516, 0);
        r[1] = count;
        for (uint32_t i = 0; i < count; ++i) {
            bytes::PutU32(&r[4 + 4 * i], a0 + i);
            bytes::PutU32(&r[260 + 4 * i], b0 + i);
        }
        return r;
    }

    uint64_t h_ = 0;
    qmdsim_frontend_params m_{};
};

TEST_F(Frontend, ExcitationTableRoundTripAndRefusals) {
    Bytes r = Req(h_, kReadTable, 516);
    std::array<uint32_t, qmd::kMaxExcitationEntries> a{}, b{};
    ASSERT_EQ(qmd::ComputeExcitationTables(4883, 1.0, 1.0, a, b), 40);
    ASSERT_EQ(r[1], 40);
    for (uint32_t i = 0; i < 40; ++i) {
        EXPECT_EQ(bytes::GetU32(&r[4 + 4 * i]), a[i]) << i;
        EXPECT_EQ(bytes::GetU32(&r[260 + 4 * i]), b[i]) << i;
    }

    const Bytes written = Table(64, 0x7FFFC0, 0x800000);
    EXPECT_EQ(Req(h_, kWriteTable, 516, written)[0], 0);
    r = Req(h_, kReadTable, 516);
    EXPECT_EQ(Bytes(r.begin() + 1, r.end()), Bytes(written.begin() + 1, written.end()));

    Bytes too_long = Table(3, 1, 2);
    too_long[1] = 65;
    Bytes upper_bits = Table(3, 1, 2);
    upper_bits[260 + 8 + 3] = 0x01;  // B[2] = 0x01000004
    for (const auto& [table, status] : {std::pair{too_long, 2}, std::pair{upper_bits, 3}}) {
        EXPECT_EQ(Req(h_, kWriteTable, 516, table)[0], status);
        EXPECT_EQ(Bytes(Req(h_, kReadTable, 516)), r);  // unchanged
    }
    ASSERT_EQ(Req(h_, kWriteTable, 516, Table(2, 5, 6))[0], 0);
    uint32_t sa[64], sb[64];
    EXPECT_EQ(qmdsim_excitation_table(0, sa, sb), 2u);
    EXPECT_EQ((std::array{sa[1], sb[1], sa[2]}), (std::array{6u, 7u, 0u}));  // none beyond n
}

TEST_F(Frontend, OpenAdjustmentChecksAndOneStableAddress) {
    const uint64_t address = State().address;
    ASSERT_NE(address, 0u);
    const struct {
        uint32_t code;
        uint8_t channel, type, status, mode;
    } cases[] = {
        {kOpen, 16, kType, 2, QMDSIM_ADJUST_CLOSED},
        {kOpenWorker, 3, 9, 3, QMDSIM_ADJUST_CLOSED},
        {kOpen, 3, kType, 0, QMDSIM_ADJUST_LEVELS},
        {kOpenWorker, 12, kType, 0, QMDSIM_ADJUST_OPENED},
        {kOpen, 15, 0, 3, QMDSIM_ADJUST_OPENED},  // a refused open keeps the adjustment
        {kOpen, 9, 4, 0, QMDSIM_ADJUST_LEVELS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.code << " ch " << int{c.channel});
        const Bytes r = Req(h_, c.code, 16, {0, c.channel, c.type});
        EXPECT_EQ(r[0], c.status);
        EXPECT_EQ(bytes::GetU64(&r[8]), c.status == 0 ? address : 0u);
        EXPECT_EQ(State().mode, c.mode);
        if (c.status == 0) {
            EXPECT_EQ((std::array{State().channel, State().selection_type, State().worker}),
                      (std::array<uint8_t, 3>{c.channel, c.type, c.code == kOpenWorker}));
        }
    }
    qmdsim_set_acquisition_running(0, 1);
    EXPECT_EQ(Req(h_, kOpen, 16, {0, 1, kType})[0], 50);
    EXPECT_EQ(State().channel, 9);
}

TEST_F(Frontend, ConversionCounterFollowsTheClockAndFreezesAtRateZero) {
    const uint16_t c0 = Counter();
    const struct {
        double rate;
        uint64_t advance_us;
        uint32_t more;
    } steps[] = {{2000, 10000, 20}, {500, 10000, 5}, {0, 5000000, 0}, {2000, 40000000, 80000}};
    uint32_t total = 0;
    for (const auto& s : steps) {
        qmdsim_frontend_params p = m_;
        p.conversions_per_second = s.rate;
        qmdsim_frontend_params_set(0, &p);
        qmdsim_advance_us(s.advance_us);
        total += s.more;
        EXPECT_EQ(Counter(), static_cast<uint16_t>(c0 + total)) << s.rate;
    }
    B().sleep_ms(B().context, 0);  // a yield moves virtual time by 1 ms: 2 conversions
    EXPECT_EQ(Counter(), static_cast<uint16_t>(c0 + total + 2));
}

TEST_F(Frontend, LevelModeValuesAndWorkerSwap) {
    const struct {
        int g;
        uint8_t channel;
        Pots p;
    } cases[] = {
        {0, 3, {141, 123, 128, 128, 128}},
        {0, 0, {151, 64, 128, 128, 128}},
        {0, 7, {120, 123, 200, 10, 250}},
        {1, 8, {135, 123, 128, 128, 128}},
        {1, 15, {100, 250, 0, 128, 128}},  // saturates
    };
    for (const auto& c : cases) {
        for (uint32_t open : {kOpen, kOpenWorker}) {
            SCOPED_TRACE(::testing::Message() << "ch " << int{c.channel} << std::hex << " " << open);
            SetPots(c.g, c.p);
            const uint64_t address = bytes::GetU64(&Req(h_, open, 16, {0, c.channel, kType})[8]);
            if (open == kOpenWorker) {
                const auto before = Live(address);
                qmdsim_advance_us(10000);
                Counter();
                EXPECT_EQ(Live(address), before);  // not converting before the start
                ASSERT_EQ(Req(h_, kStartWorker, 1)[0], 0);
            }
            Convert();
            const double hw = Swing(m_, c.g, c.p), o = Offset(m_, c.g, c.p);
            const double low = std::clamp(kMid - hw + o, 0.0, 65535.0);
            const double high = std::clamp(kMid + hw + o, 0.0, 65535.0);
            const auto v = Live(address);
            EXPECT_NEAR(v[0], open == kOpen ? low : high, 0.5);
            EXPECT_NEAR(v[1], open == kOpen ? high : low, 0.5);
        }
    }
    EXPECT_EQ(Req(h_, kWorkerClose, 1)[0], 0);
    EXPECT_EQ(Req(h_, kStartWorker, 1)[0], 3);  // nothing open
}

TEST_F(Frontend, PositionModeFollowsPotentiometersTableAndTransducer) {
    const Pots p{141, 121, 140, 96, 119};
    SetPots(0, p);
    qmdsim_set_transducer_error(0, 5, 0.004, 0.001);
    const uint64_t address = bytes::GetU64(&Req(h_, kOpen, 16, {0, 5, kType})[8]);
    EXPECT_EQ(Req(h_, kWorkerLevelsDone, 1)[0], 0);  // the worker's request: not this one
    EXPECT_EQ(State().mode, QMDSIM_ADJUST_LEVELS);
    ASSERT_EQ(Req(h_, kLevelsDone, 1)[0], 0);
    EXPECT_EQ(State().mode, QMDSIM_ADJUST_POSITION);

    // Table: A at full scale, B at half: balance term 0.5 (B - A) = -0.25.
    Bytes t(516, 0);
    t[1] = 2;
    bytes::PutU32(&t[4], 0x7FFFFF);
    bytes::PutU32(&t[8], 0x800001);
    bytes::PutU32(&t[260], 0x400000);
    bytes::PutU32(&t[264], 0xC00000);
    for (const auto& [table, balance] : {std::pair{Bytes{}, 0.0}, std::pair{t, -0.25}}) {
        if (!table.empty()) {
            ASSERT_EQ(Req(h_, kWriteTable, 516, table)[0], 0);
        }
        for (double x : {-1.9, -0.7, 0.0, 0.5, 1.3, 2.5}) {
            SCOPED_TRACE(::testing::Message() << "x " << x << " balance " << balance);
            qmdsim_set_position(0, 5, x);
            Convert();
            const double y = Response(m_, 0, p, 1.004 * x / kRange + 0.001, balance);
            const auto v = Live(address);
            EXPECT_NEAR(v[0], kMid * (1 + y), 0.5);
            EXPECT_EQ(v[0] + v[1], 65535u);
        }
    }
    // Frozen counter: a move is not seen until the next conversion.
    qmdsim_frontend_params frozen = m_;
    frozen.conversions_per_second = 0;
    qmdsim_frontend_params_set(0, &frozen);
    const auto held = Live(address);
    qmdsim_set_position(0, 5, -1.0);
    qmdsim_advance_us(100000);
    Counter();
    EXPECT_EQ(Live(address), held);
    qmdsim_frontend_params_set(0, &m_);
    Convert();
    EXPECT_NE(Live(address), held);

    ASSERT_EQ(Req(h_, kClose, 1)[0], 0);
    EXPECT_EQ(State().mode, QMDSIM_ADJUST_CLOSED);
    const auto closed = Live(address);
    qmdsim_set_position(0, 5, 0.3);
    Convert();
    EXPECT_EQ(Live(address), closed);
}

TEST_F(Frontend, ChannelCodesIdealWhenOffAndFromTheConfigurationBlockWhenOn) {
    ASSERT_EQ(Req(h_, 0x90002040, 5, {0, 4, kType, 1, 1})[0], 0);
    const auto read = [&] {
        const Bytes r = Req(h_, 0x90002044, 4, {0, 4});
        EXPECT_EQ(r[0], 0);
        const uint16_t code = bytes::GetU16(&r[2]);
        return (code & 0x8000) != 0 ? -(code & 0x7FFF) / 32767.0 : code / 32767.0;
    };
    const auto block_field = [](uint32_t k, uint32_t v) {
        const auto word = [](uint32_t w) { return static_cast<uint16_t>(0x8000 + 512 * kType + w); };
        qmdsim_eeprom_set(0, word(2 * k), static_cast<uint16_t>(v));
        qmdsim_eeprom_set(0, word(2 * k + 1), static_cast<uint16_t>(v >> 16));
    };
    SetPots(0, {0, 0, 0, 0, 0});  // the board's potentiometers play no part in reads
    qmdsim_set_transducer_error(0, 4, -0.005, 0.0);
    for (double x : {-1.5, 0.4, 1.0}) {
        qmdsim_set_position(0, 4, x);
        EXPECT_NEAR(read(), x / kRange, 0.5 / 32767) << "off, x " << x;
    }

    qmdsim_frontend_enable(0, 1);
    // The factory block: symmetry and levels 128 but L1 = N1, G1 = N2; equal arrays.
    const Pots factory{128, kN1, 128, kN2, 128};
    for (double x : {-1.5, 0.4, 1.0}) {
        qmdsim_set_position(0, 4, x);
        const double y = Response(m_, 0, factory, 0.995 * x / kRange, 0.0);
        EXPECT_NEAR(read(), y, 0.5 / 32767) << "on, x " << x;
        EXPECT_GT(std::fabs(read() - x / kRange), 0.01);
    }
    block_field(7, 140);  // the block's first position potentiometer: the gain follows it
    qmdsim_set_position(0, 4, 0.8);
    const Pots changed{128, kN1, 128, 140, 128};
    EXPECT_NEAR(read(), Response(m_, 0, changed, 0.995 * 0.8 / kRange, 0.0), 0.5 / 32767);
    block_field(7, 0xFFFFFFFF);  // a negative field limits to 0: no signal
    EXPECT_EQ(read(), 0.0);
}

TEST_F(Frontend, LiveValuesStayReadableAfterTheBoardIsGone) {
    const uint64_t address = bytes::GetU64(&Req(h_, kOpen, 16, {0, 1, kType})[8]);
    Convert();
    // All at 128: mid - H + O clips at 0; mid + H + O = 32767.5 + 32892.3 - 1248.
    EXPECT_EQ(Live(address), (std::array<uint32_t, 2>{0, 64412}));
    qmdsim_reset();  // boards rebuilt: the old pair is reused, never freed
    const auto v = Live(address);
    EXPECT_EQ(v[0], 0u);
    EXPECT_EQ(v[1], 0u);
}

}  // namespace
