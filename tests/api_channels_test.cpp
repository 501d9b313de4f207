// Transducer channels and raw-to-metric conversion.
#include <cmath>
#include <cstring>
#include <vector>

#include "api_fixture.h"
#include "qmd5820_protocol/bytes.h"
#include "measure/measure.h"

namespace qmdtest {
namespace {

class Channels : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        handle = Open();
    }
    QMD5820_HANDLE handle = 0;
};

TEST(Dividers, NearestExcitationFrequencyRow) {
    struct Case {
        double frequency;
        uint8_t first, second;
    };
    const Case cases[] = {
        {10000.0, 3, 3},  // row 6 (9765) at 235 beats row 5 (10851) at 851
        {5000.0, 8, 3},   // row 10 (4883)
        {20000.0, 0, 4},  // row 0
        {1.0, 12, 6},     // row 13
        {13951.0, 0, 6},  // exact
        {(19531.0 + 16276.0) / 2, 0, 4},  // halfway: the earlier row
        {(4883.0 + 3986.0) / 2, 8, 3},
        {1e21, 0, 0},     // 1e20 or more from every row: no row
        {-1e21, 0, 0},
        {NAN, 0, 0},
        {-5.0, 12, 6},
    };
    for (const Case& c : cases) {
        const qmd::Dividers d = qmd::ChooseDividers(c.frequency);
        EXPECT_EQ(d.first, c.first) << c.frequency;
        EXPECT_EQ(d.second, c.second) << c.frequency;
    }
}

TEST(RawToMetric, BothCodeFormats) {
    struct Case {
        uint16_t raw;
        double range;
        bool offset_binary;
        double value;
    };
    const Case cases[] = {
        {0x7FFF, 2.0, false, 2.0},
        {0xFFFF, 2.0, false, -2.0},
        {0x4000, 2.0, false, 2.0 * (16384 / 32767.0)},
        {0, 2.0, false, 0.0},
        {0, 2.0, true, -2.0},
        {65535, 2.0, true, 2.0},
        {32768, 2.0, true, (32768 / 65535.0) * 4.0 - 2.0},
        {0x1234, 0.0, false, 0.0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(qmd::RawToMetric(c.raw, c.range, c.offset_binary), c.value) << c.raw;
    }
    const double minus_zero = qmd::RawToMetric(0x8000, 2.0, false);
    EXPECT_EQ(minus_zero, 0.0);
    EXPECT_TRUE(std::signbit(minus_zero));
}

TEST_F(Channels, NumberOfChannelsComesFromTheHeader) {
    uint8_t n = 0;
    ASSERT_EQ(i_QMD5820_GetNumberOfTransducerChannels(handle, &n), 0);
    EXPECT_EQ(n, 16);
    qmdsim_eeprom_set(0, 133, 0);
    n = 77;
    EXPECT_EQ(i_QMD5820_GetNumberOfTransducerChannels(handle, &n), -2);
    EXPECT_EQ(n, 77);
    EXPECT_EQ(LastError(handle),
              "i_QMD5820_GetNumberOfTransducerChannels: Unable to read the board's EEPROM (-2)");
}

TEST_F(Channels, InitialisationSendsSelectionTypeAndDividers) {
    struct Case {
        uint8_t channel, index;
        double frequency;
        uint8_t selection_type, first, second;
    };
    const Case cases[] = {
        {0, 1, 0.0, 2, 8, 3},       // the transducer's own 5000 Hz: row 10
        {7, 12, -0.0, 4, 0, 6},     // its own 13951 Hz, exactly row 2
        {15, 5, 10000.0, 3, 3, 3},  // requested frequency
    };
    for (const Case& c : cases) {
        qmdsim_trace_clear();
        ASSERT_EQ(i_QMD5820_Init1TransducerChannel(handle, c.channel, c.index, c.frequency), 0);
        const auto requests = Requests();
        ASSERT_FALSE(requests.empty());
        const Request& init = requests.back();
        EXPECT_EQ(init.code, 0x90002040u);
        EXPECT_EQ(init.in, (std::vector<uint8_t>{0, c.channel, c.selection_type, c.first, c.second}));
        qmdsim_channel_state state{};
        qmdsim_channel(0, c.channel, &state);
        EXPECT_EQ(state.initialised, 1);
        EXPECT_EQ(state.selection_type, c.selection_type);
        // The channel block holds the record (the requested frequency is not stored).
        EXPECT_EQ(qmd::Board(0).channels[c.channel][0], c.index);
    }
}

TEST_F(Channels, InitialisationFailures) {
    ASSERT_EQ(i_QMD5820_Init1TransducerChannel(handle, 3, 1, 0.0), 0);
    const qmd::ChannelBlock before = qmd::Board(0).channels[3];

    EXPECT_EQ(i_QMD5820_Init1TransducerChannel(handle, 16, 1, 0.0), -2);
    EXPECT_EQ(i_QMD5820_Init1TransducerChannel(handle, 3, 99, 0.0), -3);
    EXPECT_EQ(LastError(handle),
              "i_QMD5820_Init1TransducerChannel: Unable to read the board's EEPROM (-3)");
    qmdsim_set_acquisition_running(0, 1);
    EXPECT_EQ(i_QMD5820_Init1TransducerChannel(handle, 3, 12, 0.0), -50);
    EXPECT_EQ(LastError(handle),
              "i_QMD5820_Init1TransducerChannel: An acquisition is already in progress (-50)");
    qmdsim_set_acquisition_running(0, 0);
    qmdsim_fault_request(0, 0x90002040, 1, QMDSIM_FAULT_CALL, 0);
    EXPECT_EQ(i_QMD5820_Init1TransducerChannel(handle, 3, 12, 0.0), -100);
    EXPECT_EQ(qmd::Board(0).channels[3], before) << "failures keep the previous block";
}

TEST_F(Channels, SingleReads) {
    uint16_t raw = 0xAAAA;
    qmdsim_trace_clear();
    EXPECT_EQ(i_QMD5820_Read1TransducerChannel(handle, 4, &raw), -4);
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(raw, 0xAAAA);
    EXPECT_EQ(i_QMD5820_Read1TransducerChannel(handle, 16, &raw), -2);

    ASSERT_EQ(i_QMD5820_Init1TransducerChannel(handle, 4, 1, 0.0), 0);  // range 2.0
    qmdsim_set_position(0, 4, -1.0);
    qmdsim_trace_clear();
    ASSERT_EQ(i_QMD5820_Read1TransducerChannel(handle, 4, &raw), 0);
    EXPECT_EQ(raw, 0x8000 | 16384);
    EXPECT_EQ(Requests().at(0).in, (std::vector<uint8_t>{0, 4, 0, 0}));

    struct Case {
        uint8_t status;
        int16_t code;
        const char* message;
    };
    for (const Case c : {Case{51, -51, "A timeout occurred during the acquisition"},
                         Case{50, -50, "An acquisition is already in progress"},
                         Case{3, -3, "Unable to read the board's EEPROM"}}) {
        qmdsim_fault_request(0, 0x90002044, 1, QMDSIM_FAULT_STATUS, c.status);
        raw = 0xAAAA;
        EXPECT_EQ(i_QMD5820_Read1TransducerChannel(handle, 4, &raw), c.code);
        EXPECT_EQ(raw, 0xAAAA);
        EXPECT_EQ(LastError(handle), std::string("i_QMD5820_Read1TransducerChannel: ") + c.message +
                                         " (" + std::to_string(c.code) + ")");
    }
}

TEST_F(Channels, MultipleReadsStopAtTheFirstFailure) {
    for (uint8_t ch : {uint8_t{0}, uint8_t{1}, uint8_t{3}}) {
        ASSERT_EQ(i_QMD5820_Init1TransducerChannel(handle, ch, 1, 0.0), 0);
    }
    qmdsim_set_position(0, 0, 2.0);
    qmdsim_set_position(0, 1, 1.0);
    std::vector<uint16_t> raw(4, 0xAAAA);
    const uint8_t channels[] = {0, 1, 2, 3};
    EXPECT_EQ(i_QMD5820_ReadMoreTransducerChannels(handle, 4, channels, raw.data()), -4);
    EXPECT_EQ(raw, (std::vector<uint16_t>{0x7FFF, 16384, 0xAAAA, 0xAAAA}));
    EXPECT_EQ(LastError(handle),
              "i_QMD5820_ReadMoreTransducerChannels: All the inputs must be initialized first "
              "(with i_QMD5820_Init1TransducerChannel) (-4)");

    // A channel number beyond the 16 blocks is refused like a channel never initialised.
    const uint8_t beyond[] = {0, 200};
    raw.assign(4, 0xAAAA);
    EXPECT_EQ(i_QMD5820_ReadMoreTransducerChannels(handle, 2, beyond, raw.data()), -4);
    EXPECT_EQ(raw[0], 0x7FFF);
    EXPECT_EQ(raw[1], 0xAAAA);

    qmdsim_fault_request(0, 0x90002044, 2, QMDSIM_FAULT_CALL, 0);
    raw.assign(4, 0xAAAA);
    const uint8_t ok[] = {3, 0, 1};
    EXPECT_EQ(i_QMD5820_ReadMoreTransducerChannels(handle, 3, ok, raw.data()), -100);
    EXPECT_EQ(raw, (std::vector<uint16_t>{0, 0xAAAA, 0xAAAA, 0xAAAA}));

    EXPECT_EQ(i_QMD5820_ReadMoreTransducerChannels(handle, 0, nullptr, nullptr), 0);
    EXPECT_EQ(i_QMD5820_ReadMoreTransducerChannels(handle, 2, nullptr, raw.data()), -4);
}

TEST_F(Channels, ConversionUsesTheRangeOfTheChannelsTransducer) {
    double value = -99;
    EXPECT_EQ(i_QMD5820_Convert1RawToMetricValue(handle, 2, 0x7FFF, &value), -3);
    EXPECT_EQ(i_QMD5820_Convert1RawToMetricValue(handle, 16, 0x7FFF, &value), -2);
    EXPECT_EQ(value, -99);
    EXPECT_EQ(LastError(handle),
              "i_QMD5820_Convert1RawToMetricValue: The b_Channel parameter is wrong (value should "
              "be between 0 and 15) (-2)");

    ASSERT_EQ(i_QMD5820_Init1TransducerChannel(handle, 2, 5, 0.0), 0);  // range 10.0
    ASSERT_EQ(i_QMD5820_Convert1RawToMetricValue(handle, 2, 0xFFFF, &value), 0);
    EXPECT_EQ(value, -10.0);
    // While an interactive calibration runs the codes are offset binary.
    qmd::Board(0).calibration.step = 3;
    ASSERT_EQ(i_QMD5820_Convert1RawToMetricValue(handle, 2, 0, &value), 0);
    EXPECT_EQ(value, -10.0);
}

TEST_F(Channels, MultipleConversionStopsAtTheFirstBadEntry) {
    ASSERT_EQ(i_QMD5820_Init1TransducerChannel(handle, 3, 1, 0.0), 0);
    const uint8_t channels[] = {3, 20, 3};
    const uint16_t raw[] = {0x7FFF, 0x7FFF, 0x7FFF};
    double values[3] = {-9, -9, -9};
    EXPECT_EQ(i_QMD5820_ConvertMoreRawToMetricValues(handle, 3, channels, raw, values), -2);
    EXPECT_EQ(values[0], 2.0);
    EXPECT_EQ(values[1], -9);
    EXPECT_EQ(values[2], -9);
    const uint8_t uninitialised[] = {3, 4};
    EXPECT_EQ(i_QMD5820_ConvertMoreRawToMetricValues(handle, 2, uninitialised, raw, values), -3);
    EXPECT_EQ(LastError(handle),
              "i_QMD5820_ConvertMoreRawToMetricValues: All the inputs must be initialized first "
              "(with i_QMD5820_Init1TransducerChannel) (-3)");
    EXPECT_EQ(i_QMD5820_ConvertMoreRawToMetricValues(handle, 0, nullptr, nullptr, nullptr), 0);
}

// Mixed lists: which entries are written before the first bad one, the code it gives and
// what is recorded, in both code formats, for entries on either side of the loop's pairs,
// up to the largest count. Channel 3 has range 2.0, channel 9 range 10.0; the others are
// not initialised.
TEST_F(Channels, MultipleConversionWritesExactlyTheEntriesBeforeTheFirstBadOne) {
    ASSERT_EQ(i_QMD5820_Init1TransducerChannel(handle, 3, 1, 0.0), 0);  // range 2.0
    ASSERT_EQ(i_QMD5820_Init1TransducerChannel(handle, 9, 5, 0.0), 0);  // range 10.0
    const auto range_of = [](uint8_t channel) { return channel == 3 ? 2.0 : 10.0; };
    const auto bits = [](double v) {
        uint64_t b = 0;
        std::memcpy(&b, &v, sizeof b);
        return b;
    };
    // 255 entries alternating over both channels, then the same with its last entry bad.
    std::vector<uint8_t> full(255);
    for (std::size_t i = 0; i < full.size(); ++i) full[i] = i % 3 == 0 ? 9 : 3;
    std::vector<uint8_t> full_last_bad = full;
    full_last_bad.back() = 4;

    struct Case {
        const char* what;
        std::vector<uint8_t> channels;
        uint8_t step;  // calibration step: not 0 = offset binary codes
        int16_t code;
        std::size_t written;
    };
    const Case cases[] = {
        {"all good, even count", {3, 9, 3, 9}, 0, 0, 4},
        {"all good, odd count", {9, 3, 9}, 0, 0, 3},
        {"one good entry", {9}, 0, 0, 1},
        {"first entry above 15", {16, 3, 9}, 0, -2, 0},
        {"first entry not initialised", {4, 3}, 0, -3, 0},
        {"second of a pair above 15", {3, 20, 9, 3}, 0, -2, 1},
        {"first of the second pair not initialised", {3, 9, 15, 3}, 0, -3, 2},
        {"last of an odd count", {3, 9, 3, 9, 255}, 0, -2, 4},
        {"last of an even count", {9, 3, 9, 0}, 0, -3, 3},
        {"not initialised before above 15", {9, 4, 16}, 0, -3, 1},
        {"above 15 before not initialised", {3, 200, 4}, 0, -2, 1},
        {"offset binary, all good", {9, 3, 3}, 2, 0, 3},
        {"offset binary, third above 15", {9, 3, 16, 3}, 6, -2, 2},
        {"largest count", full, 0, 0, 255},
        {"largest count, last not initialised", full_last_bad, 1, -3, 254},
    };
    constexpr double kUnwritten = -12345.0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        qmd::Board(0).calibration.step = c.step;
        // Codes across both formats' range, minus zero (0x8000) among them.
        std::vector<uint16_t> raw(c.channels.size());
        for (std::size_t i = 0; i < raw.size(); ++i) {
            raw[i] = static_cast<uint16_t>(0x8000 + i * 4099);
        }
        std::vector<double> values(c.channels.size(), kUnwritten);
        const auto count = static_cast<uint8_t>(c.channels.size());
        EXPECT_EQ(i_QMD5820_ConvertMoreRawToMetricValues(handle, count, c.channels.data(),
                                                         raw.data(), values.data()),
                  c.code);
        EXPECT_STREQ(qmd::Board(0).last_function, "i_QMD5820_ConvertMoreRawToMetricValues");
        EXPECT_EQ(qmd::Board(0).last_code, c.code);
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (i < c.written) {
                const double expected =
                    qmd::RawToMetric(raw[i], range_of(c.channels[i]), c.step != 0);
                EXPECT_EQ(bits(values[i]), bits(expected)) << "entry " << i;
            } else {
                EXPECT_EQ(values[i], kUnwritten) << "entry " << i;
            }
        }
        // Without an output array the same entries are checked, with the same result.
        EXPECT_EQ(i_QMD5820_ConvertMoreRawToMetricValues(handle, count, c.channels.data(),
                                                         raw.data(), nullptr),
                  c.code);
        EXPECT_EQ(qmd::Board(0).last_code, c.code);
    }
}

TEST_F(Channels, TransducerIndex255CountsAsNotInitialised) {
    ASSERT_EQ(i_QMD5820_TransducerDatabaseAdd(handle, 255, 1.0, 10.0, 5000.0, 2.0, 1.0), 0);
    ASSERT_EQ(i_QMD5820_Init1TransducerChannel(handle, 6, 255, 0.0), 0);
    uint16_t raw = 0;
    EXPECT_EQ(i_QMD5820_Read1TransducerChannel(handle, 6, &raw), -4);
}

TEST_F(Channels, OneMeasurementEndToEnd) {
    // Open, initialise, read, convert: the position set on the board comes back in mm.
    ASSERT_EQ(i_QMD5820_Init1TransducerChannel(handle, 9, 5, 0.0), 0);  // range 10.0
    qmdsim_set_position(0, 9, 7.5);
    uint16_t raw = 0;
    ASSERT_EQ(i_QMD5820_Read1TransducerChannel(handle, 9, &raw), 0);
    double value = 0;
    ASSERT_EQ(i_QMD5820_Convert1RawToMetricValue(handle, 9, raw, &value), 0);
    EXPECT_NEAR(value, 7.5, 10.0 / 32767);
}

}  // namespace
}  // namespace qmdtest
