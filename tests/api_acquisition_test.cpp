// Auto-refresh and sequence acquisition, trigger, stop, division factor, sequence data.
#include <array>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "api_fixture.h"
#include "qmd5820_protocol/bytes.h"

namespace qmdtest {
namespace {

std::atomic<int> g_sequence_interrupts{0};

void CountSequenceInterrupts(QMD5820_HANDLE, uint8_t info, uint32_t, uint32_t, uint32_t*,
                             uint32_t) {
    if (info == QMDSIM_INTERRUPT_SEQUENCE) ++g_sequence_interrupts;
}

class Acquisition : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        handle = Open();
        g_sequence_interrupts = 0;
    }
    void TearDown() override {
        (void)i_QMD5820_ResetBoardIntRoutine(handle);
        ApiTest::TearDown();
    }
    std::vector<uint32_t> Codes() {
        std::vector<uint32_t> codes;
        for (const Request& r : Requests()) codes.push_back(r.code);
        return codes;
    }
    int16_t StartSequence(uint16_t n = 2, uint8_t size = 2, uint8_t soft = 0, uint8_t ext = 0) {
        return i_QMD5820_InitAndStartTransducerSequence(handle, n, 0x01020304, size,
                                                        channels.data(), indexes.data(),
                                                        0x05060708, soft, ext, 0x090A0B0C);
    }
    QMD5820_HANDLE handle = 0;
    std::array<uint8_t, 16> channels{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    std::array<uint8_t, 16> indexes{1, 5, 12, 1, 5, 12, 1, 5, 12, 1, 5, 12, 1, 5, 12, 1};
};

TEST_F(Acquisition, AutoRefreshStopsInitialisesThenStarts) {
    uint64_t address = 0;
    ASSERT_EQ(i_QMD5820_InitAndStartAutoRefreshAcquisition(handle, 3, channels.data(),
                                                           indexes.data(), &address),
              0);
    const auto requests = Requests();
    std::vector<uint32_t> inits;
    for (const Request& r : requests) {
        if (r.code == 0x90002040) inits.push_back(r.in[1]);
    }
    EXPECT_EQ(requests.front().code, 0x9000208cu) << "the running acquisition is stopped first";
    EXPECT_EQ(inits, (std::vector<uint32_t>{0, 1, 2}));
    const Request& start = requests.back();
    ASSERT_EQ(start.code, 0x90002080u);
    EXPECT_EQ(start.in[1], 3);
    EXPECT_EQ(std::vector<uint8_t>(start.in.begin() + 2, start.in.begin() + 18),
              std::vector<uint8_t>(channels.begin(), channels.end()));
    EXPECT_EQ(std::vector<uint8_t>(start.in.begin() + 18, start.in.begin() + 34),
              std::vector<uint8_t>(indexes.begin(), indexes.end()));
    for (size_t i = 34; i < 48; ++i) EXPECT_EQ(start.in[i], 0) << i;
    EXPECT_EQ(address, qmd::bytes::GetU64(start.out.data() + 40));
    ASSERT_NE(address, 0u);

    // The area follows the positions: entry 1 is channel 1, transducer 5 (range 10).
    qmdsim_set_position(0, 1, -5.0);
    qmdsim_pump();
    const auto* area = reinterpret_cast<const uint16_t*>(static_cast<uintptr_t>(address));
    EXPECT_EQ(area[1], 0x8000 | 16384);
    EXPECT_EQ(LastError(handle), "i_QMD5820_InitAndStartAutoRefreshAcquisition: No error. (0)");
}

TEST_F(Acquisition, AutoRefreshGuardsAndFailures) {
    struct Out {
        uint64_t before = 0x1111111111111111, value = 0x2222222222222222,
                 after = 0x3333333333333333;
    } out;
    EXPECT_EQ(i_QMD5820_InitAndStartAutoRefreshAcquisition(handle, 17, channels.data(),
                                                           indexes.data(), &out.value),
              -2);
    EXPECT_TRUE(Requests().empty()) << "refused before any stop";

    // Count 0: stopped, nothing initialised, the driver refuses the count (status 2).
    EXPECT_EQ(i_QMD5820_InitAndStartAutoRefreshAcquisition(handle, 0, channels.data(),
                                                           indexes.data(), &out.value),
              -2);
    EXPECT_EQ(Codes(), (std::vector<uint32_t>{0x9000208c, 0x90002080}));

    // The third initialisation fails: two channels initialised, no start request.
    qmdsim_trace_clear();
    std::array<uint8_t, 16> bad = indexes;
    bad[2] = 99;
    EXPECT_EQ(i_QMD5820_InitAndStartAutoRefreshAcquisition(handle, 5, channels.data(), bad.data(),
                                                           &out.value),
              -5);
    for (uint32_t code : Codes()) EXPECT_NE(code, 0x90002080u);
    EXPECT_NE(qmd::Board(0).channels[1][0], 255);
    EXPECT_EQ(qmd::Board(0).channels[3][0], 255);
    EXPECT_EQ(LastError(handle),
              "i_QMD5820_InitAndStartAutoRefreshAcquisition: Error while initializing a "
              "transducer (wrong channel or transducer index?) (-5)");

    qmdsim_fault_request(0, 0x90002080, 1, QMDSIM_FAULT_STATUS, 50);
    EXPECT_EQ(i_QMD5820_InitAndStartAutoRefreshAcquisition(handle, 1, channels.data(),
                                                           indexes.data(), &out.value),
              -50);
    EXPECT_EQ(LastError(handle),
              "i_QMD5820_InitAndStartAutoRefreshAcquisition: Error while mapping memory for the "
              "autorefresh pointer (-50)");
    EXPECT_EQ(out.before, 0x1111111111111111u);
    EXPECT_EQ(out.value, 0x2222222222222222u) << "a failed start writes nothing";
    EXPECT_EQ(out.after, 0x3333333333333333u);
}

TEST_F(Acquisition, SequenceNeedsAnInterruptRoutine) {
    uint64_t address = 0;
    ASSERT_EQ(i_QMD5820_InitAndStartAutoRefreshAcquisition(handle, 1, channels.data(),
                                                           indexes.data(), &address),
              0);
    qmdsim_trace_clear();
    EXPECT_EQ(StartSequence(), -9);
    EXPECT_TRUE(Requests().empty());
    qmdsim_acquisition_state state{};
    qmdsim_acquisition(0, &state);
    EXPECT_EQ(state.mode, 1) << "the running acquisition keeps running";
    EXPECT_EQ(LastError(handle),
              "i_QMD5820_InitAndStartTransducerSequence: An interrupt function must be "
              "registered (use i_QMD5820_SetBoardIntRoutine first) (-9)");
}

TEST_F(Acquisition, SequenceRequestLayoutAndDriverStatuses) {
    ASSERT_EQ(i_QMD5820_SetBoardIntRoutine(handle, CountSequenceInterrupts), 0);
    ASSERT_TRUE(AwaitFirstDrain());
    qmdsim_trace_clear();
    EXPECT_EQ(StartSequence(17, 17), -3);
    EXPECT_TRUE(Requests().empty());

    ASSERT_EQ(StartSequence(258, 2, 1, 0), 0);
    const auto requests = Requests();
    const Request& start = requests.back();
    ASSERT_EQ(start.code, 0x90002084u);
    EXPECT_EQ(qmd::bytes::GetU16(start.in.data() + 2), 258);
    EXPECT_EQ(qmd::bytes::GetU32(start.in.data() + 4), 0x01020304u);
    EXPECT_EQ(start.in[8], 2);
    EXPECT_EQ(start.in[9 + 15], 15);
    EXPECT_EQ(start.in[25], 1);
    EXPECT_EQ(qmd::bytes::GetU32(start.in.data() + 44), 0x05060708u);
    EXPECT_EQ(start.in[48], 1);
    EXPECT_EQ(start.in[49], 0);
    EXPECT_EQ(qmd::bytes::GetU32(start.in.data() + 52), 0x090A0B0Cu);
    for (size_t i : {1u, 41u, 42u, 43u, 50u, 51u}) EXPECT_EQ(start.in[i], 0) << i;

    struct Case {
        uint16_t n;
        uint8_t size, soft, ext;
        int16_t code;
    };
    for (const Case c : {Case{0, 2, 0, 0, -2}, Case{2, 0, 0, 0, -3}, Case{2, 2, 3, 0, -4},
                         Case{3, 1, 0, 0, -7}, Case{2, 2, 5, 0, -8}}) {
        EXPECT_EQ(StartSequence(c.n, c.size, c.soft, c.ext), c.code)
            << c.n << " " << int{c.size} << " " << int{c.soft};
    }
    std::array<uint8_t, 16> bad = indexes;
    bad[1] = 99;
    EXPECT_EQ(i_QMD5820_InitAndStartTransducerSequence(handle, 2, 0, 2, channels.data(), bad.data(),
                                                       0, 0, 0, 0),
              -10);
}

TEST_F(Acquisition, SequenceDataAndInterrupts) {
    ASSERT_EQ(i_QMD5820_SetBoardIntRoutine(handle, CountSequenceInterrupts), 0);
    qmdsim_set_position(0, 0, 2.0);   // transducer 1, range 2: full scale
    qmdsim_set_position(0, 1, -5.0);  // transducer 5, range 10: half scale, negative
    qmdsim_set_sequence_period_us(0, 1000);
    ASSERT_EQ(StartSequence(2, 2), 0);
    qmdsim_advance_us(4500);  // four sequences, two interrupts
    for (int i = 0; i < 2000 && g_sequence_interrupts.load() < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(g_sequence_interrupts.load(), 2);

    std::vector<uint8_t> data(64, 0xEE);
    const int32_t n = l_QMD5820_ReadSequenceData(handle, 64, data.data());
    ASSERT_EQ(n, 16) << "four sequences of two 16-bit codes";
    EXPECT_EQ(qmd::bytes::GetU16(data.data()), 0x7FFF);
    EXPECT_EQ(qmd::bytes::GetU16(data.data() + 2), 0x8000 | 16384);
    EXPECT_EQ(data[16], 0xEE);
    EXPECT_EQ(LastError(handle), "l_QMD5820_ReadSequenceData: No error. (0)");

    EXPECT_EQ(l_QMD5820_ReadSequenceData(handle, 0, nullptr), 0);
    EXPECT_EQ(l_QMD5820_ReadSequenceData(handle, 4, nullptr), -2);
    EXPECT_EQ(LastError(handle), "l_QMD5820_ReadSequenceData: I/O error (-2)");
    EXPECT_EQ(l_QMD5820_ReadSequenceData(0x1234, 4, data.data()), -1);

    ASSERT_EQ(i_QMD5820_StopTransducerAcquisition(handle), 0);
    qmdsim_acquisition_state state{};
    qmdsim_acquisition(0, &state);
    EXPECT_EQ(state.mode, 0);
}

TEST_F(Acquisition, TriggerStopAndDivisionFactor) {
    EXPECT_EQ(i_QMD5820_TriggerTransducerAcquisition(handle), 0);
    EXPECT_EQ(i_QMD5820_StopTransducerAcquisition(handle), 0);
    EXPECT_EQ(i_QMD5820_SetConvertTimeDivisionFactor(handle, 40), 0);
    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].in, (std::vector<uint8_t>{0}));
    EXPECT_EQ(requests[2].in, (std::vector<uint8_t>{0, 40}));
    EXPECT_EQ(i_QMD5820_SetConvertTimeDivisionFactor(handle, 4), -2);
    EXPECT_EQ(LastError(handle),
              "i_QMD5820_SetConvertTimeDivisionFactor: The b_DivisionFactor parameter is wrong "
              "(value should be between 5 and 255) (-2)");
    qmdsim_fault_request(0, 0x90002088, 1, QMDSIM_FAULT_CALL, 0);
    EXPECT_EQ(i_QMD5820_TriggerTransducerAcquisition(handle), -100);
}

TEST_F(Acquisition, ChannelRequestsAreRefusedWhileAnAcquisitionRuns) {
    uint64_t address = 0;
    ASSERT_EQ(i_QMD5820_InitAndStartAutoRefreshAcquisition(handle, 1, channels.data(),
                                                           indexes.data(), &address),
              0);
    uint16_t raw = 0;
    EXPECT_EQ(i_QMD5820_Read1TransducerChannel(handle, 0, &raw), -50);
    EXPECT_EQ(i_QMD5820_Init1TransducerChannel(handle, 0, 1, 0.0), -50);
    ASSERT_EQ(i_QMD5820_StopTransducerAcquisition(handle), 0);
    EXPECT_EQ(i_QMD5820_Read1TransducerChannel(handle, 0, &raw), 0);
}

}  // namespace
}  // namespace qmdtest
