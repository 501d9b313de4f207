// The simulated board through its backend table and its control API.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "qmd5820_protocol/bytes.h"
#include "qmd5820_protocol/settings.h"
#include "qmd5820sim.h"

namespace {

namespace bytes = qmd::bytes;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kEepromWrite = 0x9001c008;
constexpr uint32_t kEepromRead = 0x9001c00c;
constexpr uint32_t kDriverVersion = 0x90002018;
constexpr uint32_t kTimerStatus = 0x9000218c;
constexpr uint32_t kTimerValue = 0x90002190;
constexpr uint32_t kLogicCommand = 0x90002200;
constexpr uint32_t kLogicWrite = 0x90002204;
constexpr uint32_t kLogicRead = 0x90002208;
constexpr uint32_t kRestart = 0x90002048;
constexpr uint32_t kInitChannel = 0x90002040;
constexpr uint32_t kReadChannel = 0x90002044;

const qmd5820_backend& B() { return *qmdsim_backend(); }

uint64_t Open(uint32_t board) {
    uint64_t h = 0;
    EXPECT_EQ(B().open_board(B().context, board, &h), QMD5820_OPEN_OK);
    return h;
}

// One request on a record of max(in, out) bytes followed by a guard byte that must survive.
int32_t Call(uint64_t h, uint32_t code, Bytes& rec, uint32_t in, uint32_t out) {
    rec.resize(std::max(in, out) + 1, 0);
    rec.back() = 0xEE;
    const int32_t ok = B().device_io_control(B().context, h, code, rec.data(), in, out);
    EXPECT_EQ(rec.back(), 0xEE) << std::hex << code;
    rec.pop_back();
    return ok;
}

// A two-way request of `size` bytes; returns the reply.
Bytes Req(uint64_t h, uint32_t code, uint32_t size, Bytes in = {}) {
    in.resize(size, 0);
    EXPECT_EQ(Call(h, code, in, size, size), 1) << std::hex << code;
    return in;
}

// A record with `v` at bytes 4 to 7 (and `w` at 8 to 11 for the 12-byte EEPROM record).
Bytes At4(uint32_t size, uint32_t v, uint32_t w = 0) {
    Bytes r(size, 0);
    bytes::PutU32(&r[4], v);
    if (size >= 12) bytes::PutU32(&r[8], w);
    return r;
}

uint16_t Word(uint64_t h, uint32_t w) {
    const Bytes r = Req(h, kEepromRead, 12, At4(12, 2 * (w & 0xFFFF)));
    EXPECT_EQ(r[0], 0);
    return static_cast<uint16_t>(bytes::GetU32(&r[8]));
}

class Sim : public ::testing::Test {
  protected:
    void SetUp() override { qmdsim_reset(); }
    void TearDown() override { qmdsim_reset(); }
};

// ---- request table, handles, identity ------------------------------------------------------

TEST_F(Sim, RequestTableSizesAndPlaceholders) {
    const struct {
        uint32_t code, in, out;
        bool placeholder;  // answered with a zero record (none is, now)
    } table[] = {
        {0x9001c014, 8, 0, 0},   {0x90002000, 0, 84, 0},  {0x90002018, 0, 4, 0},
        {0x9001c010, 0, 8, 0},   {0x90002004, 8, 0, 0},   {0x90002008, 0, 144, 0},
        {0x9001c008, 12, 12, 0}, {0x9001c00c, 12, 12, 0}, {0x90002048, 1, 1, 0},
        {0x90002040, 5, 5, 0},   {0x90002044, 4, 4, 0},   {0x90002080, 48, 48, 0},
        {0x90002084, 56, 56, 0}, {0x90002088, 1, 1, 0},   {0x9000208c, 1, 1, 0},
        {0x90002090, 2, 2, 0},   {0x900020c0, 3, 3, 0},   {0x900020c4, 3, 3, 0},
        {0x900020c8, 516, 516, 0}, {0x900020cc, 516, 516, 0}, {0x900020d0, 16, 16, 0},
        {0x900020d4, 1, 1, 0},   {0x900020d8, 1, 1, 0},   {0x900020dc, 4, 4, 0},
        {0x900020e0, 16, 16, 0}, {0x900020e4, 1, 1, 0},   {0x900020e8, 1, 1, 0},
        {0x900020ec, 1, 1, 0},   {0x90002100, 2, 2, 0},   {0x90002104, 2, 2, 0},
        {0x90002108, 1, 1, 0},   {0x9000210c, 2, 2, 0},   {0x90002140, 2, 2, 0},
        {0x90002144, 3, 3, 0},   {0x90002148, 2, 2, 0},   {0x9000214c, 2, 2, 0},
        {0x90002180, 6, 6, 0},   {0x90002184, 1, 1, 0},   {0x90002188, 1, 1, 0},
        {0x9000218c, 6, 6, 0},   {0x90002190, 4, 4, 0},   {0x90002200, 8, 8, 0},
        {0x90002204, 8, 8, 0},   {0x90002208, 8, 8, 0},   {0x9000220c, 2, 2, 0},
    };
    const uint64_t h = Open(0);
    for (const auto& r : table) {
        SCOPED_TRACE(::testing::Message() << std::hex << r.code);
        Bytes rec;
        EXPECT_EQ(Call(h, r.code, rec, r.in + 1, r.out), 0);
        EXPECT_EQ(Call(h, r.code, rec, r.in, r.out + 1), 0);
        if (r.in != r.out) {
            EXPECT_EQ(Call(h, r.code, rec, r.out, r.in), 0);
        }
        rec.assign(std::max(r.in, r.out), 0x5A);
        ASSERT_EQ(Call(h, r.code, rec, r.in, r.out), 1);
        if (r.placeholder) {
            EXPECT_EQ(Bytes(rec.begin(), rec.begin() + r.out), Bytes(r.out, 0));
        }
        if (r.out == 0) {
            EXPECT_EQ(rec, Bytes(r.in, 0x5A));  // nothing answered
        }
    }
    for (uint32_t unknown : {0u, 0x9000200cu, 0x9000204cu, 0x90002194u, 0x9001c018u}) {
        Bytes rec;
        EXPECT_EQ(Call(h, unknown, rec, 8, 8), 0) << std::hex << unknown;
    }
}

TEST_F(Sim, HandlesAreUniqueCountedAndUnknownOnesFail) {
    std::set<uint64_t> seen;
    const uint64_t a = Open(0), b = Open(0), c = Open(1);
    for (uint64_t h : {a, b, c}) {
        EXPECT_TRUE(h != 0 && h != QMD5820_INVALID_HANDLE_VALUE && seen.insert(h).second);
    }
    EXPECT_EQ(qmdsim_open_handles(0), 2u);
    EXPECT_EQ(qmdsim_open_handles(1), 1u);
    EXPECT_EQ(B().close_handle(B().context, a), 0);
    EXPECT_NE(B().close_handle(B().context, a), 0);
    EXPECT_EQ(qmdsim_open_handles(0), 1u);
    uint64_t untouched = 77;
    EXPECT_EQ(B().open_board(B().context, 2, &untouched), QMD5820_OPEN_NO_INTERFACE);
    EXPECT_EQ(untouched, 77u);

    Bytes hs(8);
    bytes::PutU64(hs.data(), b);
    EXPECT_EQ(Call(b, 0x9001c014, hs, 8, 0), 1);
    EXPECT_EQ(qmdsim_last_handshake(0), b);

    qmdsim_reset();  // every handle closed; new ones are never old ones
    const uint64_t d = Open(0);
    EXPECT_FALSE(seen.count(d));
    uint32_t read = 5;
    Bytes rec;
    for (uint64_t h : {a, b, c, uint64_t{0}, QMD5820_INVALID_HANDLE_VALUE, d + 4}) {
        EXPECT_EQ(Call(h, kDriverVersion, rec, 0, 4), 0);
        EXPECT_EQ(B().read_stream(B().context, h, hs.data(), 8, &read), 0);
    }
    EXPECT_EQ(B().read_stream(B().context, d, hs.data(), 8, &read), 1);
    EXPECT_EQ(read, 0u);
    qmdsim_clear_boards();
    EXPECT_EQ(Call(d, kDriverVersion, rec, 0, 4), 0);
}

TEST_F(Sim, BoardInformationVersionsAndIdentityWords) {
    qmdsim_board_config cfg{};
    for (uint32_t i = 0; i < QMDSIM_IDENTIFIER_BYTES; ++i) {
        cfg.identifier[i] = static_cast<char>('A' + i % 26);  // fills the field, unterminated
    }
    for (uint32_t i = 0; i < 7; ++i) cfg.info_values[i] = 0x11223344u * (i + 1);
    cfg.info_value8 = 0x9C;
    cfg.driver_version = 0x00040005;
    cfg.firmware_version = 0x0001000A;
    cfg.serial_number = 0x12345678;
    cfg.hardware_revision = 3;
    ASSERT_EQ(qmdsim_add_board(&cfg), 2);
    const uint64_t h = Open(2);

    Bytes info(84, 0xFF);
    ASSERT_EQ(Call(h, 0x90002000, info, 0, 84), 1);
    for (uint32_t i = 0; i < 7; ++i) EXPECT_EQ(bytes::GetU32(&info[4 * i]), cfg.info_values[i]);
    EXPECT_EQ(Bytes(info.begin() + 28, info.begin() + 32), (Bytes{0x9C, 0, 0, 0}));
    EXPECT_EQ(std::memcmp(&info[32], cfg.identifier, QMDSIM_IDENTIFIER_BYTES), 0);
    Bytes v(8, 0xFF);
    ASSERT_EQ(Call(h, kDriverVersion, v, 0, 4), 1);
    EXPECT_EQ(bytes::GetU32(v.data()), 0x00040005u);
    ASSERT_EQ(Call(h, 0x9001c010, v, 0, 8), 1);
    EXPECT_EQ(bytes::GetU64(v.data()), 0x0001000Au);
    EXPECT_EQ(Word(h, 128), 0x3000);
    EXPECT_EQ(Word(h, 129), 0x5678);
    EXPECT_EQ(Word(h, 130), 0x1234);

    for (uint32_t b = 0; b < 2; ++b) {  // the demo boards
        const uint64_t hb = Open(b);
        ASSERT_EQ(Call(hb, 0x90002000, info, 0, 84), 1);
        const char* id = reinterpret_cast<const char*>(&info[32]);
        EXPECT_STREQ(id, b ? "QMD5820-DEMO-1" : "QMD5820-DEMO-0");
        EXPECT_EQ(static_cast<uint32_t>(Word(hb, 129) | Word(hb, 130) << 16), 26040001 + b);
        EXPECT_EQ(Word(hb, 128), b == 0 ? 0x1000 : 0x0000);
    }
    qmdsim_board_config d0{}, d1{};
    qmdsim_default_board_config(0, &d0);
    qmdsim_default_board_config(1, &d1);
    EXPECT_NE(std::memcmp(d0.info_values, d1.info_values, sizeof d0.info_values), 0);
    EXPECT_EQ(std::set<uint32_t>(d0.info_values, d0.info_values + 7).size(), 7u);
}

// ---- EEPROM --------------------------------------------------------------------------------

TEST_F(Sim, EepromByteAddressing) {
    const uint64_t h = Open(0);
    const uint16_t other = qmdsim_eeprom_get(1, 0x8400);
    EXPECT_EQ(Req(h, kEepromWrite, 12, At4(12, 0x10800, 0xABCD1234))[0], 0);
    EXPECT_EQ(qmdsim_eeprom_get(0, 0x8400), 0x1234);
    EXPECT_EQ(qmdsim_eeprom_get(1, 0x8400), other);  // boards have their own EEPROM
    qmdsim_eeprom_set(0, 0xFFFF, 0xBEEF);
    EXPECT_EQ(Req(h, kEepromRead, 12, At4(12, 131070, 0xFFFFFFFF)), At4(12, 131070, 0xBEEF));

    std::vector<uint16_t> before(QMDSIM_EEPROM_WORDS), after(QMDSIM_EEPROM_WORDS);
    qmdsim_eeprom_dump(0, before.data(), QMDSIM_EEPROM_WORDS);
    for (uint32_t bad : {1u, 0x10801u, 131071u, 131072u, 0xFFFFFFFEu}) {
        EXPECT_EQ(Req(h, kEepromWrite, 12, At4(12, bad, 0x7777))[0], 2) << bad;
        Bytes want = At4(12, bad, 0x55);
        want[0] = 2;
        EXPECT_EQ(Req(h, kEepromRead, 12, At4(12, bad, 0x55)), want) << bad;
    }
    qmdsim_eeprom_dump(0, after.data(), QMDSIM_EEPROM_WORDS);
    EXPECT_EQ(before, after);
}

TEST_F(Sim, FactoryImageWalksToTheTransducerTable) {
    const uint64_t h = Open(0);
    const uint16_t n = Word(h, 133) & 0xFF;
    ASSERT_GE(n, 3);
    uint16_t b = 0xFFFF, kind2 = n;
    std::vector<std::pair<uint16_t, uint16_t>> items;  // first word, size in words
    for (uint16_t i = 0; i < n; ++i) {
        const uint16_t first = static_cast<uint16_t>(Word(h, 135 + 2 * i) / 2 + 128);
        items.emplace_back(first, static_cast<uint16_t>(Word(h, first) >> 5));
        if ((Word(h, 134 + 2 * i) & 0x3F) == 2 && b == 0xFFFF) {
            b = first;
            kind2 = i;
        }
    }
    ASSERT_TRUE(kind2 > 0 && kind2 < n - 1);
    ASSERT_EQ(Word(h, b + 12) & 1, 1);
    ASSERT_EQ(Word(h, b + 7), 16);
    uint16_t t = static_cast<uint16_t>(b + 2);
    for (int i = 0; i < 17; ++i) t = static_cast<uint16_t>(t + (Word(h, t) >> 5));

    qmdsim_transducer ft{};
    const uint32_t count = qmdsim_factory_transducer(0, &ft);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(ft.calibrated, 1);  // the first is calibrated and the default transducer
    EXPECT_EQ(Word(h, 0), ft.transducer_index << 8 | ft.selection_type);
    ASSERT_EQ(Word(h, t + 4), count);
    const uint16_t end = static_cast<uint16_t>(t + 5 + 29 * count);
    EXPECT_EQ(t + (Word(h, t) >> 5), end);
    EXPECT_EQ(b + (Word(h, b) >> 5), end);  // the table closes the functionality
    for (uint16_t i = 0; i < n; ++i) {
        EXPECT_TRUE(i == kind2 || (i < kind2 ? items[i].first < b : items[i].first >= end)) << i;
    }
    EXPECT_EQ(132 + Word(h, 132) / 2, items.back().first + items.back().second - 1);

    std::vector<uint16_t> image(QMDSIM_EEPROM_WORDS);
    qmdsim_eeprom_dump(0, image.data(), QMDSIM_EEPROM_WORDS);
    std::set<uint8_t> indexes;
    for (uint32_t i = 0; i < count; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(qmdsim_factory_transducer(i, &ft), count);
        uint8_t rec[58];
        for (uint32_t w = 0; w < 29; ++w) bytes::PutU16(rec + 2 * w, Word(h, t + 5 + 29 * i + w));
        EXPECT_EQ(rec[0], ft.transducer_index);
        EXPECT_EQ(rec[1], ft.selection_type);
        EXPECT_TRUE(indexes.insert(rec[0]).second);
        EXPECT_EQ(bytes::GetF64(rec + 2), ft.range);
        EXPECT_EQ(bytes::GetF64(rec + 10), ft.sensitivity);
        for (int k : {18, 26, 34}) EXPECT_EQ(bytes::GetF64(rec + k), ft.frequency);
        EXPECT_EQ(bytes::GetF64(rec + 42), ft.primary_voltage);
        EXPECT_EQ(bytes::GetU64(rec + 50), uint64_t{0xC350D6D8} << 32);  // 50-53 zero

        const uint32_t s = ft.selection_type;
        const uint16_t potis[8] = {0x0D00, 0x1D00, 0x2100, 0x2D00, 0x4100, 0x3500, 0x3900, 0xB100};
        for (uint32_t k = 0; k < 8; ++k) {
            EXPECT_EQ(image[8 * s + k], potis[k] | (k < 2 ? ft.calibrated : 0)) << k;
        }
        uint8_t block[qmd::kConfigurationBlockBytes];
        qmd::ComputeTransducerSettings(ft.primary_voltage, ft.sensitivity, ft.range, ft.impedance,
                                       static_cast<uint32_t>(ft.frequency), block);
        for (uint32_t k = 0; k < 512; ++k) {
            ASSERT_EQ(image[32768 + 512 * s + k], bytes::GetU16(block + 2 * k)) << k;
        }
    }

    // Serial number and revision change words 128 to 130 only.
    std::vector<uint16_t> other(QMDSIM_EEPROM_WORDS);
    qmdsim_build_factory_image(other.data(), 0xCAFE0042, 9);
    EXPECT_EQ(std::vector<uint16_t>(other.begin() + 128, other.begin() + 131),
              (std::vector<uint16_t>{0x9000, 0x0042, 0xCAFE}));
    std::copy(image.begin() + 128, image.begin() + 131, other.begin() + 128);
    EXPECT_TRUE(other == image);
}

// ---- digital I/O, timer, logic load --------------------------------------------------------

TEST_F(Sim, DigitalOutputsByMaskInputsAndMemory) {
    const uint64_t h = Open(0);
    const struct {
        uint8_t mask, on, status, outputs;
    } steps[] = {{0x05, 1, 0, 0x05}, {0x30, 1, 0, 0x35}, {0x14, 0, 0, 0x21},
                 {0x00, 1, 0, 0x21}, {0xFF, 2, 2, 0x21}, {0xFF, 0, 0, 0x00}};
    for (const auto& s : steps) {
        EXPECT_EQ(Req(h, 0x90002144, 3, {0, s.mask, s.on})[0], s.status);
        EXPECT_EQ(qmdsim_digital_outputs(0), s.outputs);
        EXPECT_EQ(Req(h, 0x9000214c, 2), (Bytes{0, s.outputs}));
    }
    qmdsim_set_digital_inputs(0, 0xA5);
    EXPECT_EQ(Req(h, 0x90002140, 2), (Bytes{0, 0xA5}));
    for (uint8_t on : Bytes{1, 2, 0}) {
        EXPECT_EQ(Req(h, 0x90002148, 2, {0, on})[0], on > 1 ? 2 : 0);
        EXPECT_EQ(qmdsim_digital_output_memory(0), on > 1 ? 1 : on);
    }
}

TEST_F(Sim, TimerRejectsAndCountsDownOnTheVirtualClock) {
    qmdsim_set_virtual_clock(1);
    const uint64_t h = Open(0);
    const auto start = [&](uint8_t base, uint16_t reload, uint8_t irq) {
        return Req(h, 0x90002180, 6, {0, base, uint8_t(reload), uint8_t(reload >> 8), irq})[0];
    };
    const auto value = [&] { return bytes::GetU16(&Req(h, kTimerValue, 4)[2]); };
    EXPECT_EQ(start(3, 9, 0), 2);
    EXPECT_EQ(start(3, 9, 2), 2);
    EXPECT_EQ(start(1, 9, 2), 3);
    qmdsim_timer_state st{};
    qmdsim_timer(0, &st);
    EXPECT_EQ(st.running, 0);

    EXPECT_EQ(start(1, 9, 1), 0);  // 1 ms per count: 10 ms per period
    const struct {
        uint64_t advance_us;
        uint16_t value;
    } steps[] = {{0, 9}, {3000, 6}, {7000, 9}, {25999, 4}};  // 35.999 ms: 3 periods
    for (const auto& s : steps) {
        qmdsim_advance_us(s.advance_us);
        EXPECT_EQ(value(), s.value) << s.advance_us;
    }
    EXPECT_EQ(Req(h, kTimerStatus, 6), (Bytes{0, 1, 1, 0, 3, 0}));
    qmdsim_timer(0, &st);
    EXPECT_EQ((Bytes{st.running, st.time_base, st.interrupt_enabled}), (Bytes{1, 1, 1}));
    EXPECT_EQ(st.reload_value, 9);
    EXPECT_EQ(st.expirations, 3);

    EXPECT_EQ(Req(h, 0x90002188, 1)[0], 0);  // trigger: reload, keep the expirations
    EXPECT_EQ(value(), 9);
    B().sleep_ms(B().context, 2);
    EXPECT_EQ(value(), 7);
    EXPECT_EQ(Req(h, 0x90002184, 1)[0], 0);  // stop holds count and expirations
    qmdsim_advance_us(50000);
    EXPECT_EQ(value(), 7);
    EXPECT_EQ(Req(h, kTimerStatus, 6), (Bytes{0, 0, 1, 0, 3, 0}));

    EXPECT_EQ(start(0, 1000, 0), 0);  // 1 us per count; a start clears the expirations
    qmdsim_advance_us(5);
    EXPECT_EQ(value(), 995);
    EXPECT_EQ(Req(h, kTimerStatus, 6), (Bytes{0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(start(2, 3, 0), 0);  // 1 s per count
    qmdsim_advance_us(999999);
    EXPECT_EQ(value(), 3);
    qmdsim_advance_us(1);
    EXPECT_EQ(value(), 2);
}

TEST_F(Sim, LogicLoadModel) {
    const uint64_t h = Open(0);
    const auto status = [&] { return Req(h, 0x9000220c, 2)[1]; };
    const auto cmd = [&](uint32_t c) { return Req(h, kLogicCommand, 8, At4(8, c))[0]; };
    const auto write = [&](uint32_t v) { return Req(h, kLogicWrite, 8, At4(8, v))[0]; };
    EXPECT_EQ(cmd(7), 2);
    EXPECT_EQ(qmdsim_logic_last_command(0), 7u);
    EXPECT_EQ(write(1), 3);
    EXPECT_EQ(Req(h, kLogicRead, 8)[0], 5);

    EXPECT_EQ(cmd(1), 0);
    EXPECT_EQ(status(), 0b101);
    const uint32_t words[] = {0xFFFFFFFF, 0, 0x12345678};
    for (uint32_t v : words) EXPECT_EQ(write(v), 0);
    EXPECT_EQ(cmd(2), 0);
    EXPECT_EQ(status(), 0b010);
    EXPECT_EQ(write(1), 3);
    for (uint32_t v : words) EXPECT_EQ(Req(h, kLogicRead, 8), At4(8, v));
    EXPECT_EQ(Req(h, kLogicRead, 8)[0], 5);
    EXPECT_EQ(status(), 0b110);
    EXPECT_EQ(cmd(3), 0);
    EXPECT_EQ(Req(h, kLogicRead, 8), At4(8, words[0]));

    EXPECT_EQ(cmd(1), 0);  // begin clears the memory
    EXPECT_EQ(qmdsim_logic_word_count(0), 0u);
    for (uint32_t i = 0; i < 4096; ++i) ASSERT_EQ(write(i), 0);
    EXPECT_EQ(write(1), 4);
    EXPECT_EQ(qmdsim_logic_word_count(0), 4096u);
    EXPECT_EQ(qmdsim_logic_last_command(0), 1u);
}

// ---- faults --------------------------------------------------------------------------------

TEST_F(Sim, RequestFaultsByNthBoardAndAddress) {
    const uint64_t h0 = Open(0), h1 = Open(1);
    const auto read = [&](uint64_t h, uint32_t address) {  // status, or -1 for a failed call
        Bytes r = At4(12, address);
        return Call(h, kEepromRead, r, 12, 12) == 1 ? r[0] : -1;
    };
    Word(h0, 0);  // requests before the injection do not count
    qmdsim_fault_request(0, kEepromRead, 2, QMDSIM_FAULT_CALL, 0);
    qmdsim_fault_request_at(QMDSIM_ANY_BOARD, kEepromRead, 258, 2, QMDSIM_FAULT_STATUS, 9);
    const struct {
        uint64_t h;
        uint32_t address;
        int result;
    } steps[] = {{h1, 0, 0},   {h0, 0, 0},   {h0, 0, -1},  {h0, 0, 0},
                 {h0, 258, 0}, {h1, 256, 0}, {h1, 258, 9}, {h1, 258, 0}};
    for (const auto& s : steps) EXPECT_EQ(read(s.h, s.address), s.result);

    // Faulted writes write nothing: a status answer for every one, a failed call once.
    qmdsim_fault_request(1, kEepromWrite, 0, QMDSIM_FAULT_STATUS, 7);
    qmdsim_fault_request(0, kEepromWrite, 1, QMDSIM_FAULT_CALL, 0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Req(h1, kEepromWrite, 12, At4(12, 2, 0x4444))[0], 7);
    Bytes w = At4(12, 2, 0x4444);
    EXPECT_EQ(Call(h0, kEepromWrite, w, 12, 12), 0);
    EXPECT_NE(qmdsim_eeprom_get(0, 1), 0x4444);
    EXPECT_NE(qmdsim_eeprom_get(1, 1), 0x4444);

    // Requests without a status byte of their own: byte 0, or nothing at all.
    qmdsim_fault_request(0, kDriverVersion, 1, QMDSIM_FAULT_STATUS, 5);
    qmdsim_fault_request(0, 0x9001c014, 1, QMDSIM_FAULT_STATUS, 5);
    Bytes v, hs(8, 0x11);
    EXPECT_EQ(Call(h0, kDriverVersion, v, 0, 4), 1);
    EXPECT_EQ(v, (Bytes{5, 0, 0, 0}));
    EXPECT_EQ(Call(h0, 0x9001c014, hs, 8, 0), 1);
    EXPECT_EQ(qmdsim_last_handshake(0), 0u);

    qmdsim_fault_clear();
    EXPECT_EQ(Req(h1, kEepromWrite, 12, At4(12, 2, 0x4444))[0], 0);
    EXPECT_EQ(qmdsim_eeprom_get(1, 1), 0x4444);
}

TEST_F(Sim, EnumerationOpenAndCloseFaults) {
    for (int32_t r : {-1, -3, 0}) {
        qmdsim_fault_enumeration(r);
        EXPECT_EQ(B().count_boards(B().context), r ? r : 2);
        EXPECT_EQ(B().count_boards(B().context), r ? r : 2);
    }
    for (int32_t step = -3; step >= -7; --step) {
        qmdsim_fault_open(1, step);
        uint64_t h = 42;
        EXPECT_EQ(B().open_board(B().context, 1, &h), step);
        EXPECT_EQ(h, step == -7 ? QMD5820_INVALID_HANDLE_VALUE : 42u);
        EXPECT_EQ(qmdsim_open_handles(1), 0u);
        Open(0);  // other boards open normally
    }
    qmdsim_fault_open(1, 0);
    const uint64_t h = Open(1);

    qmdsim_fault_close(2);
    EXPECT_EQ(B().close_handle(B().context, Open(0)), 0);
    EXPECT_NE(B().close_handle(B().context, h), 0);
    EXPECT_EQ(Req(h, 0x90002140, 2)[0], 0);  // still open
    EXPECT_EQ(B().close_handle(B().context, h), 0);
    EXPECT_EQ(qmdsim_open_handles(1), 0u);
}

// ---- trace, clock, reset -------------------------------------------------------------------

TEST_F(Sim, TraceRecordsEveryCallWithinItsCapacity) {
    B().count_boards(B().context);
    EXPECT_EQ(qmdsim_trace_count(), 0u);  // disabled after reset
    qmdsim_trace_enable(16);
    B().count_boards(B().context);
    const uint64_t h = Open(1);
    Req(h, kEepromRead, 12, At4(12, 258));
    Bytes rec(8);
    Call(h + 4, kDriverVersion, rec, 0, 4);
    uint32_t n = 0;
    B().read_stream(B().context, h, rec.data(), 4, &n);
    B().close_handle(B().context, h);

    const struct {
        uint32_t kind, board;
        uint64_t handle;
        uint32_t code, in_size;
        int32_t result;
    } want[] = {{QMDSIM_TRACE_COUNT, QMDSIM_ANY_BOARD, 0, 0, 0, 2},
                {QMDSIM_TRACE_OPEN, 1, h, 0, 0, 0},
                {QMDSIM_TRACE_IOCTL, 1, h, kEepromRead, 12, 1},
                {QMDSIM_TRACE_IOCTL, QMDSIM_ANY_BOARD, h + 4, kDriverVersion, 0, 0},
                {QMDSIM_TRACE_READ, 1, h, 0, 4, 1},
                {QMDSIM_TRACE_CLOSE, 1, h, 0, 0, 1}};
    ASSERT_EQ(qmdsim_trace_count(), 6u);
    qmdsim_trace_entry e{};
    for (uint32_t i = 0; i < 6; ++i) {
        ASSERT_EQ(qmdsim_trace_get(i, &e), 0);
        EXPECT_EQ(e.kind, want[i].kind) << i;
        EXPECT_EQ(e.board, want[i].board) << i;
        EXPECT_EQ(e.handle, want[i].handle) << i;
        EXPECT_EQ(e.code, want[i].code) << i;
        EXPECT_EQ(e.in_size, want[i].in_size) << i;
        EXPECT_EQ(e.result, want[i].result) << i;
    }
    qmdsim_trace_get(2, &e);
    EXPECT_EQ(Bytes(e.in, e.in + 12), At4(12, 258));                           // as received
    EXPECT_EQ(Bytes(e.out, e.out + 12), At4(12, 258, 26040002u & 0xFFFF));  // as answered
    EXPECT_EQ(qmdsim_trace_get(6, &e), -1);

    qmdsim_trace_enable(3);  // shrinking keeps the newest
    ASSERT_EQ(qmdsim_trace_get(0, &e), 0);
    EXPECT_EQ(e.handle, h + 4);
    for (int i = 0; i < 5; ++i) B().count_boards(B().context);
    EXPECT_EQ(qmdsim_trace_count(), 3u);
    qmdsim_trace_enable(0);
    B().count_boards(B().context);
    EXPECT_EQ(qmdsim_trace_count(), 3u);
    qmdsim_trace_clear();
    EXPECT_EQ(qmdsim_trace_count(), 0u);
}

TEST_F(Sim, VirtualClockSleepsAdvanceAtOnce) {
    qmdsim_set_virtual_clock(1);
    EXPECT_EQ(qmdsim_now_us(), 0u);
    EXPECT_EQ(B().clock_seconds(B().context), 1800000000);
    B().sleep_ms(B().context, 0);
    EXPECT_EQ(qmdsim_now_us(), 1000u);
    B().sleep_ms(B().context, 2500);
    qmdsim_advance_us(500000);
    EXPECT_EQ(qmdsim_now_us(), 3001000u);
    EXPECT_EQ(B().clock_seconds(B().context), 1800000003);

    qmdsim_reset();  // real time again
    const int64_t calendar = static_cast<int64_t>(std::time(nullptr));
    EXPECT_LE(std::abs(B().clock_seconds(B().context) - calendar), 2);
    const uint64_t t0 = qmdsim_now_us();
    B().sleep_ms(B().context, 5);
    EXPECT_GE(qmdsim_now_us() - t0, 5000u);
}

TEST_F(Sim, ResetRestoresTheDemoSetAndBoardsAreLimited) {
    qmdsim_clear_boards();
    int32_t last = 0;
    for (int32_t i = 0; i < 300 && last >= 0; ++i) {
        last = qmdsim_add_board(nullptr);
        if (last >= 0) {
            EXPECT_EQ(last, i);
        }
    }
    EXPECT_EQ(last, -1);
    EXPECT_EQ(qmdsim_board_count(), 255u);
    qmdsim_fault_enumeration(-1);
    qmdsim_trace_enable(4);
    qmdsim_reset();
    EXPECT_EQ(B().count_boards(B().context), 2);
    EXPECT_EQ(qmdsim_trace_count(), 0u);
    EXPECT_EQ(qmdsim_eeprom_get(1, 129), 26040002u & 0xFFFF);
}

TEST_F(Sim, ConcurrentRequestsOnTwoBoards) {
    qmdsim_trace_enable(64);
    std::vector<std::thread> threads;
    for (uint32_t b = 0; b < 2; ++b) {
        threads.emplace_back([b] {
            const uint64_t h = Open(b);
            for (uint32_t i = 0; i < 200; ++i) {
                Bytes r = At4(12, 2 * (20000 + i), i + 1000 * b);
                Call(h, kEepromWrite, r, 12, 12);
                B().sleep_ms(B().context, 0);
            }
        });
    }
    for (auto& t : threads) t.join();
    for (uint32_t b = 0; b < 2; ++b) {
        for (uint32_t i = 0; i < 200; ++i) {
            ASSERT_EQ(qmdsim_eeprom_get(b, static_cast<uint16_t>(20000 + i)), i + 1000 * b);
        }
    }
    EXPECT_EQ(qmdsim_trace_count(), 64u);
}

// ---- transducer channels, configuration restart ------------------------------------------

// Directory kind word, transducer functionality B and table T of the factory image.
struct Layout {
    uint32_t kind_word = 0, b = 0, t = 0;
};
Layout FactoryLayout(uint32_t board) {
    const auto w = [board](uint32_t a) {
        return qmdsim_eeprom_get(board, static_cast<uint16_t>(a));
    };
    Layout l;
    for (uint32_t i = 0; i < (w(133) & 0xFFu) && l.b == 0; ++i) {
        if ((w(134 + 2 * i) & 0x3F) == 2) {
            l.kind_word = 134 + 2 * i;
            l.b = w(135 + 2 * i) / 2u + 128;
        }
    }
    l.t = l.b + 2;
    for (int i = 0; i < 17; ++i) l.t += w(l.t) >> 5;  // header and 16 input blocks
    return l;
}

qmdsim_transducer Factory(uint32_t i) {
    qmdsim_transducer t{};
    qmdsim_factory_transducer(i, &t);
    return t;
}

qmdsim_channel_state Channel(uint32_t board, uint8_t channel) {
    qmdsim_channel_state st;
    std::memset(&st, 0x5A, sizeof st);
    qmdsim_channel(board, channel, &st);
    return st;
}

Bytes Init(uint64_t h, uint8_t channel, uint8_t selection, uint8_t d1 = 0, uint8_t d2 = 0) {
    return Req(h, kInitChannel, 5, {0, channel, selection, d1, d2});
}

TEST_F(Sim, ChannelInitialisationFindsTheSelectionTypeInTheBoardsTable) {
    const uint64_t h = Open(0);
    const uint32_t count = qmdsim_factory_transducer(0, nullptr);
    for (uint32_t i = 0; i < count; ++i) {
        SCOPED_TRACE(i);
        const qmdsim_transducer ft = Factory(i);
        const auto ch = static_cast<uint8_t>(5 * i + 1), d2 = static_cast<uint8_t>(3 + i);
        EXPECT_EQ(Init(h, ch, ft.selection_type, 8, d2),
                  (Bytes{0, ch, ft.selection_type, 8, d2}));
        const qmdsim_channel_state st = Channel(0, ch);
        EXPECT_EQ(st.initialised, 1);
        EXPECT_EQ(st.selection_type, ft.selection_type);
        EXPECT_EQ(st.divider1, 8);
        EXPECT_EQ(st.divider2, d2);
        EXPECT_EQ(st.range, ft.range);
        EXPECT_EQ(st.position, 0.0);
    }

    // Re-initialising keeps the position; failures leave the channel as it was.
    const qmdsim_transducer ft = Factory(1);
    qmdsim_set_position(0, 1, 1.25);
    EXPECT_EQ(Init(h, 1, ft.selection_type)[0], 0);
    EXPECT_EQ(Init(h, 1, 7, 1, 1), (Bytes{3, 1, 7, 1, 1}));  // no record of type 7
    EXPECT_EQ(Init(h, 16, ft.selection_type)[0], 2);
    EXPECT_EQ(Init(h, 255, ft.selection_type)[0], 2);
    const qmdsim_channel_state st = Channel(0, 1);
    EXPECT_EQ(st.selection_type, ft.selection_type);
    EXPECT_EQ(st.range, ft.range);
    EXPECT_EQ(st.position, 1.25);
    EXPECT_EQ(Channel(0, 0).initialised, 0);
    EXPECT_EQ(Channel(1, 1).initialised, 0);  // the other board
    EXPECT_EQ(Channel(0, 16).initialised, 0);
}

TEST_F(Sim, ChannelInitialisationWalksWhateverTheEepromHolds) {
    std::vector<uint16_t> factory(QMDSIM_EEPROM_WORDS);
    qmdsim_eeprom_dump(0, factory.data(), QMDSIM_EEPROM_WORDS);
    const Layout l = FactoryLayout(0);
    const qmdsim_transducer ft = Factory(0);  // record 0
    const uint8_t s = ft.selection_type;
    const auto retyped = static_cast<uint16_t>(9 << 8 | ft.transducer_index);
    const auto s_high = static_cast<uint16_t>(s << 8);
    const struct {
        const char* name;
        std::vector<std::pair<uint32_t, uint16_t>> words;  // (word, value) over the factory image
        uint8_t selection;
        uint8_t status;
    } cases[] = {
        {"factory", {}, s, 0},
        {"kind word 0x42", {{l.kind_word, 0x42}}, s, 0},
        {"record retyped: found", {{l.t + 5, retyped}}, 9, 0},
        {"record retyped: old type gone", {{l.t + 5, retyped}}, s, 3},
        {"one input block covering all", {{l.b + 12, 0}, {l.b + 14, (64 * 2) << 4 | 4}}, s, 0},
        {"no functionality", {{133, 0xFF00}}, s, 3},
        {"no kind 2", {{l.kind_word, 3}}, s, 3},
        {"empty table", {{l.t + 4, 0}}, s, 3},
        // Stepping in place would make the header its own table, with a record of type s.
        {"sizeless block", {{l.b + 12, 0}, {l.b + 2, 3}, {l.b + 6, 1}, {l.b + 7, s_high}}, s, 3},
        {"inputs walk off the end", {{l.b + 7, 0xFFFF}}, s, 3},
        {"huge count, type absent", {{l.t + 4, 0xFFFF}}, 15, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        qmdsim_reset();
        qmdsim_eeprom_load(0, factory.data(), QMDSIM_EEPROM_WORDS);
        for (const auto& [w, v] : c.words) qmdsim_eeprom_set(0, static_cast<uint16_t>(w), v);
        EXPECT_EQ(Init(Open(0), 4, c.selection)[0], c.status);
        const qmdsim_channel_state st = Channel(0, 4);
        EXPECT_EQ(st.initialised, c.status == 0 ? 1 : 0);
        EXPECT_EQ(st.range, c.status == 0 ? ft.range : 0.0);
    }

    // Every word a block of 2047 words and a record of type 0xFF: the walk runs past the
    // last word (where 16-bit arithmetic would wrap round) and stops there.
    std::vector<uint16_t> garbage(QMDSIM_EEPROM_WORDS, 0xFFF1);
    garbage[133] = 1;
    garbage[134] = 2;
    garbage[135] = 0x100;  // B = 256
    qmdsim_eeprom_load(0, garbage.data(), QMDSIM_EEPROM_WORDS);
    EXPECT_EQ(Init(Open(0), 4, 0xFF)[0], 3);
}

TEST_F(Sim, ChannelReadAnswersSignAndMagnitudeCodes) {
    const uint32_t range_word = FactoryLayout(0).t + 5 + 1;  // record 0, bytes 2 to 9
    const uint8_t s = Factory(0).selection_type;
    const uint64_t h = Open(0);
    const double nan = std::nan("");
    const struct {
        double range, position;
        uint16_t code;
    } cases[] = {
        {2.0, 2.0, 0x7FFF},    {2.0, -2.0, 0xFFFF},  {2.0, 1.0, 16384},  // 16383.5 up
        {2.0, -1.0, 0xC000},   {2.0, 16383.4 / 32767 * 2, 16383},
        {2.0, 0.0, 0},         {2.0, -0.0, 0},       {2.0, -1e-9, 0x8000},
        {2.0, 2.5, 0x7FFF},    {2.0, -1e300, 0xFFFF}, {2.0, INFINITY, 0x7FFF},
        {2.0, nan, 0},         {10.0, 2.5, 8192},    // 8191.75
        {0.0, 1.0, 0},         {0.0, -1.0, 0},       {-2.0, 1.0, 0},     {nan, 1.0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.range << " " << c.position);
        uint8_t image[8];
        bytes::PutF64(image, c.range);
        for (uint32_t w = 0; w < 4; ++w) {
            qmdsim_eeprom_set(0, static_cast<uint16_t>(range_word + w),
                              bytes::GetU16(image + 2 * w));
        }
        ASSERT_EQ(Init(h, 9, s)[0], 0);
        qmdsim_set_position(0, 9, c.position);
        const Bytes r = Req(h, kReadChannel, 4, {0x44, 9, 0x12, 0x34});
        EXPECT_EQ(r[0], 0);
        EXPECT_EQ(r[1], 9);
        EXPECT_EQ(bytes::GetU16(&r[2]), c.code);
    }
    // Refused reads leave the value bytes as sent.
    EXPECT_EQ(Req(h, kReadChannel, 4, {0, 8, 0x12, 0x34}), (Bytes{3, 8, 0x12, 0x34}));
    EXPECT_EQ(Req(h, kReadChannel, 4, {0, 16, 0x12, 0x34}), (Bytes{2, 16, 0x12, 0x34}));
}

TEST_F(Sim, AcquisitionStateRestartsAndReset) {
    const uint64_t h0 = Open(0), h1 = Open(1);
    const qmdsim_transducer a = Factory(0), b = Factory(1);
    ASSERT_EQ(Init(h0, 2, a.selection_type, 1, 2)[0], 0);
    qmdsim_set_position(0, 2, -a.range);

    qmdsim_set_acquisition_running(0, 1);
    EXPECT_EQ(Init(h0, 2, b.selection_type, 3, 4), (Bytes{50, 2, b.selection_type, 3, 4}));
    EXPECT_EQ(Init(h0, 16, b.selection_type)[0], 50);
    EXPECT_EQ(Req(h0, kReadChannel, 4, {0, 2, 0x12, 0x34}), (Bytes{50, 2, 0x12, 0x34}));
    EXPECT_EQ(Init(h1, 2, b.selection_type)[0], 0);  // only board 0 acquires
    EXPECT_EQ(Req(h0, kRestart, 1, {0x77}), Bytes{0});
    EXPECT_EQ(Channel(0, 2).selection_type, a.selection_type);
    EXPECT_EQ(Channel(0, 2).divider1, 1);
    qmdsim_set_acquisition_running(0, 0);
    EXPECT_EQ(Req(h0, kReadChannel, 4, {0, 2, 0, 0}), (Bytes{0, 2, 0xFF, 0xFF}));

    // Restarts count per board; faulted ones do not.
    qmdsim_fault_request(0, kRestart, 2, QMDSIM_FAULT_STATUS, 6);
    qmdsim_fault_request(0, kRestart, 3, QMDSIM_FAULT_CALL, 0);
    EXPECT_EQ(Req(h0, kRestart, 1)[0], 0);
    EXPECT_EQ(Req(h0, kRestart, 1)[0], 6);
    Bytes r{0};
    EXPECT_EQ(Call(h0, kRestart, r, 1, 1), 0);
    EXPECT_EQ(Req(h0, kRestart, 1)[0], 0);
    EXPECT_EQ(qmdsim_restart_count(0), 3u);  // with the one during the acquisition
    EXPECT_EQ(qmdsim_restart_count(1), 0u);

    qmdsim_set_acquisition_running(0, 1);
    qmdsim_reset();
    EXPECT_EQ(qmdsim_restart_count(0), 0u);
    EXPECT_EQ(Channel(0, 2).initialised, 0);
    EXPECT_EQ(Channel(0, 2).position, 0.0);
    const uint64_t h = Open(0);
    EXPECT_EQ(Init(h, 2, a.selection_type)[0], 0);  // acquisition over
    EXPECT_EQ(Req(h, kReadChannel, 4, {0, 2, 9, 9}), (Bytes{0, 2, 0, 0}));
}

TEST_F(Sim, AnyCodeFaultsCountEveryRequestOfTheBoard) {
    const uint64_t h0 = Open(0), h1 = Open(1);
    const uint8_t s = Factory(0).selection_type;
    qmdsim_fault_request(0, QMDSIM_ANY_CODE, 3, QMDSIM_FAULT_STATUS, 9);
    B().count_boards(B().context);  // none of these is a request
    B().close_handle(B().context, Open(0));
    uint8_t buf[4];
    uint32_t got = 0;
    B().read_stream(B().context, h0, buf, sizeof buf, &got);
    Word(h1, 0);  // the other board
    Bytes r;
    EXPECT_EQ(Call(h0, kRestart, r, 2, 1), 0);  // refused by the driver
    EXPECT_EQ(Call(h0, kDriverVersion, r, 0, 4), 1);  // 1st
    EXPECT_NE(r[0], 9);
    EXPECT_EQ(Req(h0, kRestart, 1)[0], 0);  // 2nd
    EXPECT_EQ(Init(h0, 0, s)[0], 9);        // 3rd: nothing done
    EXPECT_EQ(Channel(0, 0).initialised, 0);
    EXPECT_EQ(Init(h0, 0, s)[0], 0);
    EXPECT_EQ(qmdsim_restart_count(0), 1u);

    // Every request of a board; with an address, requests of any code carrying it.
    qmdsim_fault_request(1, QMDSIM_ANY_CODE, 0, QMDSIM_FAULT_CALL, 0);
    qmdsim_fault_request_at(0, QMDSIM_ANY_CODE, 258, 2, QMDSIM_FAULT_STATUS, 7);
    EXPECT_EQ(Call(h1, kRestart, r, 1, 1), 0);
    EXPECT_EQ(Call(h1, kDriverVersion, r, 0, 4), 0);
    EXPECT_EQ(Req(h0, kEepromRead, 12, At4(12, 258))[0], 0);  // 1st at 258
    EXPECT_EQ(Req(h0, kEepromRead, 12, At4(12, 256))[0], 0);
    EXPECT_EQ(Req(h0, kRestart, 1)[0], 0);                    // too short to carry one
    EXPECT_EQ(Req(h0, kLogicWrite, 8, At4(8, 258))[0], 7);    // 2nd at 258, another code
    EXPECT_EQ(Req(h0, kEepromRead, 12, At4(12, 258))[0], 0);
}

TEST_F(Sim, CutFaultFailsFromTheNthRequestOnAndKeepsTheState) {
    const uint64_t h0 = Open(0), h1 = Open(1);
    const uint16_t before = Word(h0, 300);
    qmdsim_fault_request(0, QMDSIM_ANY_CODE, 3, QMDSIM_FAULT_CUT, 0);
    Bytes r = At4(12, 2 * 300, 0x1111);
    EXPECT_EQ(Call(h0, kEepromWrite, r, 12, 12), 1);  // 1st and 2nd are answered
    EXPECT_EQ(Word(h0, 300), 0x1111);
    for (int i = 0; i < 3; ++i) {  // the 3rd and every later one: no answer, nothing done
        r = At4(12, 2 * 300, 0x2222);
        EXPECT_EQ(Call(h0, kEepromWrite, r, 12, 12), 0);
        r.assign(1, 0);
        EXPECT_EQ(Call(h0, kRestart, r, 1, 1), 0);
    }
    EXPECT_EQ(qmdsim_eeprom_get(0, 300), 0x1111);
    EXPECT_EQ(qmdsim_restart_count(0), 0u);
    Word(h1, 300);  // the other board answers
    qmdsim_fault_clear();  // the board comes back as it was at the cut
    EXPECT_EQ(Word(h0, 300), 0x1111);
    EXPECT_NE(before, 0x1111);
}

// ---- interrupts ----------------------------------------------------------------------------

constexpr uint32_t kReadIrq = 0x90002008;
constexpr uint32_t kAutoRefresh = 0x90002080;
constexpr uint32_t kSequence = 0x90002084;
constexpr uint32_t kTrigger = 0x90002088;
constexpr uint32_t kStartTimer = 0x90002180;

std::atomic<uint32_t> g_signals{0}, g_pending_seen{0};
std::atomic<uint64_t> g_last_event{0};
std::atomic<int> g_inside_signaller{0};

// Calls back into the driver, as the library's interrupt thread does: a signal sent under
// the driver's lock would deadlock here.
void CountingSignaller(uint64_t event) {
    ++g_inside_signaller;
    g_pending_seen = qmdsim_pending_interrupts(0);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    g_last_event = event;
    ++g_signals;
    --g_inside_signaller;
}

// With the counting signaller installed (and removed again: it outlives resets).
class SimIrq : public Sim {
  protected:
    void SetUp() override {
        Sim::SetUp();
        g_signals = 0;
        qmdsim_set_event_signaller(CountingSignaller);
    }
    void TearDown() override {
        qmdsim_set_event_signaller(nullptr);
        Sim::TearDown();
    }
};

uint64_t OpenRegistered(uint32_t board, uint64_t event) {
    const uint64_t h = Open(board);
    Bytes r(8);
    bytes::PutU64(r.data(), event);
    EXPECT_EQ(Call(h, 0x90002004, r, 8, 0), 1);
    return h;
}

Bytes ReadIrq(uint64_t h) {
    Bytes r(144, 0x77);
    EXPECT_EQ(Call(h, kReadIrq, r, 0, 144), 1);
    return r;
}

// The 144-byte record a driver answers for `q`; the empty answer for nullptr.
Bytes RecordBytes(const qmdsim_interrupt* q) {
    Bytes r(144, 0);
    r[141] = q == nullptr;
    if (q == nullptr) return r;
    bytes::PutU32(&r[0], q->value1);
    bytes::PutU32(&r[4], q->value2);
    for (int i = 0; i < 32; ++i) bytes::PutU32(&r[8 + 4 * i], q->data[i]);
    bytes::PutU32(&r[136], q->data_count);
    r[140] = q->info;
    return r;
}

TEST_F(SimIrq, RecordsQueueInOrderSignalTheRegisteredEventAndOverflow) {
    qmdsim_interrupt q[3] = {};
    for (uint32_t i = 0; i < 3; ++i) {
        q[i] = {static_cast<uint8_t>(0xA0 + i), 0x01020304u * (i + 1), ~i, {}, i == 2 ? 40 : i};
        for (uint32_t k = 0; k < 32; ++k) q[i].data[k] = (i << 16) | (k * 0x101);
    }
    qmdsim_raise_interrupt(0, &q[0]);  // before the registration: queued, not signalled
    EXPECT_EQ(g_signals, 0u);
    const uint64_t h0 = OpenRegistered(0, 0x7E57'0000'0E0Eu), h1 = Open(1);
    EXPECT_EQ(qmdsim_registered_event(0), 0x7E57'0000'0E0Eu);
    qmdsim_raise_interrupt(0, &q[1]);
    qmdsim_raise_interrupt(0, &q[2]);
    qmdsim_raise_interrupt(1, &q[2]);  // board 1 has no event
    EXPECT_EQ(g_signals, 3u);          // the registration (q[0] waits) and two records
    EXPECT_EQ(g_last_event, 0x7E57'0000'0E0Eu);
    EXPECT_EQ(g_pending_seen, 3u);  // signalled once the record is there
    for (const auto& want : q) EXPECT_EQ(ReadIrq(h0), RecordBytes(&want));
    EXPECT_EQ(ReadIrq(h0), RecordBytes(nullptr));

    for (uint32_t i = 0; i < QMDSIM_INTERRUPT_QUEUE; ++i) qmdsim_raise_interrupt(1, &q[0]);
    EXPECT_EQ(qmdsim_pending_interrupts(1), QMDSIM_INTERRUPT_QUEUE);
    EXPECT_EQ(qmdsim_dropped_interrupts(1), 1u);
    EXPECT_EQ(ReadIrq(h1), RecordBytes(&q[2]));  // the oldest stays, the newest is dropped
    qmdsim_reset();
    EXPECT_EQ(qmdsim_pending_interrupts(1) + qmdsim_registered_event(0), 0u);
}

// A driver signals its event while its queue is not empty: a registration that finds
// records pending signals at once (once), an empty queue does not.
TEST_F(SimIrq, RegistrationSignalsWhenRecordsArePending) {
    const qmdsim_interrupt q{QMDSIM_INTERRUPT_TIMER, 1, 0, {}, 0};
    const uint64_t h1 = OpenRegistered(1, 0x51);
    EXPECT_EQ(g_signals, 0u) << "nothing pending on board 1";
    for (int i = 0; i < 3; ++i) qmdsim_raise_interrupt(0, &q);
    EXPECT_EQ(g_signals, 0u) << "no event registered yet";
    (void)OpenRegistered(0, 0x52);
    EXPECT_EQ(g_signals, 1u);
    EXPECT_EQ(g_last_event, 0x52u);
    EXPECT_EQ(g_pending_seen, 3u) << "signalled with the records still there";
    Bytes r(8);
    bytes::PutU64(r.data(), 0x53);
    EXPECT_EQ(Call(h1, 0x90002004, r, 8, 0), 1);  // re-registration, empty queue
    EXPECT_EQ(g_signals, 1u);
}

TEST_F(SimIrq, TimerExpirationsBecomeRecordsOnTheVirtualClock) {
    qmdsim_set_virtual_clock(1);
    const uint64_t h = OpenRegistered(0, 0x99);
    const auto start = [&](uint8_t base, uint16_t reload) {
        return Req(h, kStartTimer, 6, {0, base, uint8_t(reload), uint8_t(reload >> 8), 1})[0];
    };
    ASSERT_EQ(start(1, 9), 0);  // 10 ms per period
    qmdsim_advance_us(35000);
    EXPECT_EQ(g_signals, 1u);      // one pump, one signal for its three records
    B().sleep_ms(B().context, 5);  // 40 ms
    for (uint32_t i = 1; i <= 4; ++i) {
        const qmdsim_interrupt want{QMDSIM_INTERRUPT_TIMER, i, 9, {}, 0};
        EXPECT_EQ(ReadIrq(h), RecordBytes(&want));
    }
    EXPECT_EQ(Req(h, 0x90002184, 1)[0], 0);  // stopped: no more
    qmdsim_advance_us(100000);
    EXPECT_EQ(qmdsim_pending_interrupts(0), 0u);

    ASSERT_EQ(start(0, 0), 0);  // 1 us per period: the queue takes what it can
    qmdsim_advance_us(1000000);
    EXPECT_EQ(qmdsim_pending_interrupts(0), QMDSIM_INTERRUPT_QUEUE);
    EXPECT_EQ(qmdsim_dropped_interrupts(0), 1000000u - QMDSIM_INTERRUPT_QUEUE);
    EXPECT_EQ(bytes::GetU32(&ReadIrq(h)[0]), 1u);
}

// ---- acquisition ---------------------------------------------------------------------------

Bytes SequenceRequest(uint16_t per_interrupt, uint8_t size, const Bytes& channels, uint8_t soft,
                      uint8_t external) {
    Bytes r(56, 0);
    bytes::PutU16(&r[2], per_interrupt);
    bytes::PutU32(&r[4], 0x11111111);
    r[8] = size;
    for (size_t i = 0; i < channels.size(); ++i) {
        r[9 + i] = channels[i];
        r[25 + i] = static_cast<uint8_t>(0x40 + i);
    }
    bytes::PutU32(&r[44], 0x22222222);
    r[48] = soft;
    r[49] = external;
    bytes::PutU32(&r[52], 0x33333333);
    return r;
}

Bytes AutoRefreshRequest(uint8_t count, const Bytes& channels) {
    Bytes r(48, 0);
    r[1] = count;
    std::copy(channels.begin(), channels.end(), r.begin() + 2);
    return r;
}

qmdsim_acquisition_state Acquisition(uint32_t board) {
    qmdsim_acquisition_state st{};
    qmdsim_acquisition(board, &st);
    return st;
}

TEST_F(Sim, AcquisitionStartsCheckTheirParametersInOrder) {
    const uint64_t h = Open(0);
    for (uint8_t ch : Bytes{0, 1, 2}) ASSERT_EQ(Init(h, ch, Factory(0).selection_type)[0], 0);
    const struct {
        uint16_t per;
        uint8_t size;
        Bytes channels;
        uint8_t soft, external, status;
    } cases[] = {
        {0, 0, {16}, 9, 1, 2},    {1, 0, {16}, 9, 1, 3}, {1, 17, {0}, 0, 0, 3},
        {1, 1, {16}, 9, 1, 4},    {1, 1, {16}, 2, 5, 4}, {1, 1, {16}, 1, 5, 6},
        {2, 2, {0, 7}, 0, 0, 6},  {1, 1, {0}, 0, 5, 7},  {3, 2, {0, 1}, 5, 1, 8},
        {2, 1, {0}, 1, 5, 8},     {2, 3, {0, 1, 2, 16}, 1, 7, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.per << "/" << int{c.size} << "/" << int{c.soft});
        const Bytes in = SequenceRequest(c.per, c.size, c.channels, c.soft, c.external);
        EXPECT_EQ(Req(h, kSequence, 56, in)[0], c.status);
        EXPECT_EQ(Acquisition(0).mode, c.status == 0 ? 2 : 0);  // refused: nothing started
    }
    const qmdsim_acquisition_state st = Acquisition(0);
    EXPECT_EQ((Bytes{st.sequence_size, st.channels[3], st.transducer_indexes[3],
                     st.soft_trigger_mode, st.extern_trigger_mode}),
              (Bytes{3, 16, 0x43, 1, 7}));
    EXPECT_EQ((std::vector<uint32_t>(st.parameters, st.parameters + 3)),
              (std::vector<uint32_t>{0x11111111, 0x22222222, 0x33333333}));

    const struct {
        uint8_t count;
        Bytes channels;
        uint8_t status;
    } autos[] = {{0, {0}, 2}, {17, {0}, 2}, {2, {0, 5}, 4}, {1, {16}, 4}};
    for (const auto& c : autos) {
        Bytes want = AutoRefreshRequest(c.count, c.channels);
        want[0] = c.status;  // and no address
        EXPECT_EQ(Req(h, kAutoRefresh, 48, AutoRefreshRequest(c.count, c.channels)), want);
        EXPECT_EQ(Acquisition(0).mode, 2);  // the sequence acquisition still runs
    }
    for (uint8_t f : Bytes{4, 0, 5, 255}) {
        EXPECT_EQ(Req(h, 0x90002090, 2, {0, f})[0], f < 5 ? 2 : 0);
    }
    EXPECT_EQ(Acquisition(0).division_factor, 255);
}

TEST_F(SimIrq, SequenceAcquisitionStreamsCodesAndInterrupts) {
    qmdsim_set_virtual_clock(1);
    const uint64_t h = OpenRegistered(0, 7);
    const qmdsim_transducer t = Factory(0);
    for (uint8_t ch : Bytes{1, 3}) ASSERT_EQ(Init(h, ch, t.selection_type)[0], 0);
    qmdsim_set_position(0, 1, t.range);         // 0x7FFF
    qmdsim_set_position(0, 3, -t.range / 2.0);  // 0xC000 (16383.5 rounds up)
    const auto read = [&](uint32_t n) {
        Bytes buf(n + 1, 0xEE);
        uint32_t got = 999;
        EXPECT_EQ(B().read_stream(B().context, h, buf.data(), n, &got), 1);
        EXPECT_EQ(buf[n], 0xEE);
        buf.resize(std::min(got, n));
        return buf;
    };

    // Mode 0: three sequences of channels 3 and 1 per interrupt, one per millisecond.
    ASSERT_EQ(Req(h, kSequence, 56, SequenceRequest(3, 2, {3, 1}, 0, 0))[0], 0);
    EXPECT_EQ(Req(h, kReadChannel, 4, {0, 1, 0, 0})[0], 50);
    qmdsim_advance_us(2500);
    EXPECT_EQ(qmdsim_stream_bytes(0), 8u);
    EXPECT_EQ(qmdsim_pending_interrupts(0), 0u);
    qmdsim_advance_us(500);
    EXPECT_EQ(g_signals, 1u);
    qmdsim_interrupt want{QMDSIM_INTERRUPT_SEQUENCE, 3, 12, {}, 6};  // 12 bytes, 6 codes
    for (uint32_t i = 0; i < 6; ++i) want.data[i] = i % 2 ? 0x7FFF : 0xC000;
    EXPECT_EQ(ReadIrq(h), RecordBytes(&want));

    qmdsim_set_position(0, 1, 0.0);  // from the fourth sequence on
    EXPECT_EQ(read(5), (Bytes{0x00, 0xC0, 0xFF, 0x7F, 0x00}));
    qmdsim_advance_us(1000);
    const Bytes rest = read(64);
    EXPECT_EQ(rest.size(), 11u);
    EXPECT_EQ(Bytes(rest.begin() + 3, rest.end()), (Bytes{0, 0xC0, 0xFF, 0x7F, 0, 0xC0, 0, 0}));
    EXPECT_EQ(read(64).size(), 0u);

    EXPECT_EQ(Req(h, 0x9000208c, 1)[0], 0);
    qmdsim_advance_us(10000);
    EXPECT_EQ(Acquisition(0).sequences_done, 4u);
    EXPECT_EQ(Req(h, kReadChannel, 4, {0, 1, 0, 0})[0], 0);

    // Mode 1 waits for the first trigger; mode 5 runs one block per trigger.
    for (const auto& [soft, after_trigger] : {std::pair<uint8_t, uint32_t>{1, 10}, {5, 2}}) {
        SCOPED_TRACE(int{soft});
        ASSERT_EQ(Req(h, kSequence, 56, SequenceRequest(2, 1, {1}, soft, soft))[0], 0);
        qmdsim_advance_us(5000);
        EXPECT_EQ(Req(h, kTrigger, 1)[0], 0);
        qmdsim_advance_us(10000);
        EXPECT_EQ(Acquisition(0).sequences_done, after_trigger);
        EXPECT_EQ(qmdsim_stream_bytes(0), 2 * after_trigger);
    }
    EXPECT_EQ(Req(h, kTrigger, 1)[0], 0);
    EXPECT_EQ(Req(h, kTrigger, 1)[0], 0);  // queued behind the first
    qmdsim_advance_us(10000);
    EXPECT_EQ(Acquisition(0).sequences_done, 6u);
    EXPECT_EQ(Acquisition(0).triggers, 3u);
}

TEST_F(Sim, AutoRefreshAreaFollowsThePositions) {
    const uint64_t h = Open(0);
    const qmdsim_transducer t = Factory(0);
    for (uint8_t ch : Bytes{2, 4}) ASSERT_EQ(Init(h, ch, t.selection_type)[0], 0);
    qmdsim_set_position(0, 2, t.range);
    const Bytes r = Req(h, kAutoRefresh, 48, AutoRefreshRequest(2, {4, 2}));
    ASSERT_EQ(r[0], 0);
    const uint64_t address = bytes::GetU64(&r[40]);
    ASSERT_NE(address, 0u);
    EXPECT_EQ(Acquisition(0).auto_refresh_address, address);
    const auto area = [address] {
        Bytes v(32);
        std::memcpy(v.data(), reinterpret_cast<const void*>(static_cast<uintptr_t>(address)), 32);
        return v;
    };
    Bytes want(32, 0);
    want[2] = 0xFF;
    want[3] = 0x7F;
    EXPECT_EQ(area(), want);
    qmdsim_set_position(0, 4, -t.range);
    want[0] = want[1] = 0xFF;
    EXPECT_EQ(area(), want);
    EXPECT_EQ(Init(h, 4, t.selection_type)[0], 50);

    qmdsim_set_acquisition_running(0, 0);  // stops, like the request
    EXPECT_EQ(Acquisition(0).mode, 0);
    qmdsim_set_position(0, 4, 0.0);
    EXPECT_EQ(area(), want);  // no longer refreshed
    EXPECT_EQ(bytes::GetU64(&Req(h, kAutoRefresh, 48, AutoRefreshRequest(1, {2, 4}))[40]), address);
    want.assign(32, 0);  // entry 1 no longer listed
    want[0] = 0xFF;
    want[1] = 0x7F;
    EXPECT_EQ(area(), want);
}

// ---- potentiometers and primary line -------------------------------------------------------

TEST_F(SimIrq, PotentiometersAndThePrimaryLine) {
    const uint64_t h = OpenRegistered(0, 3);
    const auto status = [&] { return Req(h, 0x90002104, 2)[1]; };
    const auto test = [&](uint8_t on) { return Req(h, 0x90002100, 2, {0, on})[0]; };
    const auto pot = [&](uint8_t n, uint8_t v) { return Req(h, 0x900020c4, 3, {0, n, v})[0]; };
    const auto rearm = [&] { return Req(h, 0x90002108, 1)[0]; };
    EXPECT_EQ(Req(h, 0x900020c0, 3, {0, 31, 0}), (Bytes{0, 31, 128}));
    EXPECT_EQ(Req(h, 0x900020c0, 3, {0, 32, 9}), (Bytes{2, 32, 9}));
    EXPECT_EQ(pot(32, 1), 2);
    ASSERT_EQ(pot(7, 99), 0);
    EXPECT_EQ(qmdsim_potentiometer(0, 7), 99);
    EXPECT_EQ(qmdsim_potentiometer(1, 7), 128);

    EXPECT_EQ(test(2), 2);
    ASSERT_EQ(test(1), 0);
    EXPECT_EQ(status(), 0);  // 99: below the threshold of 100
    pot(7, 100);
    EXPECT_EQ(status(), 1);
    qmdsim_set_line_test_threshold(0, 256);
    pot(7, 255);
    EXPECT_EQ(status(), 0);
    ASSERT_EQ(test(0), 0);

    EXPECT_EQ(Req(h, 0x9000210c, 2, {0, 2})[0], 2);
    qmdsim_inject_short_circuit(0, 0);  // interrupts off: latched only
    EXPECT_EQ(qmdsim_pending_interrupts(0), 0u);
    EXPECT_EQ(status(), 2);
    EXPECT_EQ(rearm(), 0);
    EXPECT_EQ(status(), 0);
    ASSERT_EQ(Req(h, 0x9000210c, 2, {0, 1})[0], 0);
    qmdsim_inject_short_circuit(0, 1);
    EXPECT_EQ(g_signals, 1u);
    const qmdsim_interrupt want{QMDSIM_INTERRUPT_SHORT_CIRCUIT, 2, 0, {}, 0};
    EXPECT_EQ(ReadIrq(h), RecordBytes(&want));
    rearm();
    EXPECT_EQ(status(), 2);  // persists
    qmdsim_clear_short_circuit(0);
    EXPECT_EQ(status(), 2);  // latched until the next rearm
    rearm();
    EXPECT_EQ(status(), 0);

    qmdsim_set_acquisition_running(0, 1);
    EXPECT_EQ(test(1), 50);
    EXPECT_EQ(test(0), 0);
    qmdsim_primary_line_state st{};
    qmdsim_primary_line(0, &st);
    EXPECT_EQ((Bytes{st.test_on, st.latched, st.persistent, st.interrupts_enabled}),
              (Bytes{0, 0, 0, 1}));
    EXPECT_EQ(st.rearms, 3u);
    EXPECT_EQ(st.tests_switched_on, 1u);
}

// ---- the pump thread on the real clock -----------------------------------------------------

size_t ThreadCount() {  // 0 where it cannot be seen (ThreadSanitizer adds threads of its own)
    size_t n = 0;
#if defined(__linux__) && !defined(__SANITIZE_THREAD__)
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
        ++n;
    }
#endif
    return n;
}

TEST_F(SimIrq, RealClockTimerSignalsFromThePumpThreadUntilReset) {
    const size_t threads = ThreadCount();
    // A reset stops it; the next need starts another, signalling through the same signaller.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const uint64_t h = OpenRegistered(0, 42);
        const uint32_t before = g_signals;
        ASSERT_EQ(Req(h, kStartTimer, 6, {0, 1, 1, 0, 1})[0], 0);  // 2 ms periods
        // No request from here on: only the simulator's own thread can pump.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (g_signals < before + 3 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_GE(g_signals, before + 3);
        EXPECT_EQ(g_last_event, 42u);
        EXPECT_EQ(ThreadCount(), threads == 0 ? 0 : threads + 1);
        qmdsim_reset();
        EXPECT_EQ(g_inside_signaller, 0);  // joined: no signal in flight
        EXPECT_EQ(ThreadCount(), threads);
    }
}

}  // namespace
